// Writing `value.json` and `result.json`.
//
// Each file is replaced atomically: its text goes to a new temporary file in
// the same directory, which is then renamed over the target. A worker that is
// killed mid-write (a timeout, the out-of-memory killer) therefore never
// leaves a truncated `value.json` beside an older `result.json` that still
// vouches for it. There is no fsync: rename after a complete write already
// keeps a killed process from exposing partial files, and a flush to stable
// storage per file would dominate the cost of small assets.
#include "materialization/artifacts.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace tamso::materialization {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;
using py::Status;

// Attempts at finding an unused temporary name before giving up.
constexpr int kNameAttempts = 64;
// The largest single write(2); Linux transfers at most about 2 GiB per call.
constexpr std::size_t kWriteChunk = std::size_t{1} << 30;

std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t process_seed() {
  std::uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    seed = static_cast<std::uint64_t>(now.tv_sec) * 1000000007ull + static_cast<std::uint64_t>(now.tv_nsec);
  }
  return seed;
}

// A token for a temporary name, unique within the process and unlikely to
// repeat across processes; O_EXCL settles any collision that remains. The
// process id is mixed in each time so that forked children diverge.
std::uint64_t next_token() {
  static const std::uint64_t seed = process_seed();
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix(seed ^ mix(n + (static_cast<std::uint64_t>(::getpid()) << 32)));
}

// "<dir>/.<name>.<16 hex digits>.tmp"
std::string temp_path(const std::string& dir, std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string path = dir;
  path += "/.";
  path += name;
  path += '.';
  std::uint64_t token = next_token();
  for (int i = 0; i < 16; ++i, token >>= 4) path += kHex[token & 0xF];
  path += ".tmp";
  return path;
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), std::min(data.size(), kWriteChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// The whole replacement, without the interpreter: returns 0 or the errno of
// the first failure, after which no temporary file remains. Nothing allocates
// once the temporary file exists.
int replace_unlocked(const std::string& dir, std::string_view name, std::string_view data) {
  const std::string target = (dir + "/").append(name);
  std::string temp;
  int fd = -1;
  int error = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    temp = temp_path(dir, name);
    // 0666 leaves the permissions to the umask, as for any new file.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = errno;
      if (error != EEXIST && error != EINTR) return error;
    }
  }
  if (fd < 0) return error;
  error = write_all(fd, data);
  // After close(2) fails with EINTR the descriptor is gone and the data was
  // handed over; any other failure (EIO, ENOSPC on some file systems) counts.
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

// Raises the OSError subclass for `error`, naming the file by str(shown) as
// the interpreter's own file functions would.
Error os_error(int error, Handle shown) {
  Ref filename = Ref::steal(PyObject_Str(shown.ptr()));
  if (!filename) {
    if (Status dropped = py::discard_pending(); !dropped) return std::move(dropped).error();
  }
  errno = error;
  if (filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
  } else {
    PyErr_SetFromErrno(PyExc_OSError);
  }
  return Error::fetch();
}

// The UTF-8 bytes of the text that goes into a file; refuses a non-str with
// the message of the interpreter's own text-file writing.
Result<std::string_view> file_text(Handle text) {
  if (!PyUnicode_Check(text.ptr())) {
    std::string name = "<unknown>";
    if (Ref n = Ref::steal(PyType_GetName(Py_TYPE(text.ptr()))); n && PyUnicode_Check(n.get())) {
      name = py::lossy_text(n);
    } else {
      TAMSO_CHECK(py::discard_pending());
    }
    return Error::raise(PyExc_TypeError, "data must be str, not " + name);
  }
  return py::text(text);
}

// str() of an object as text (UnicodeEncodeError for lone surrogates).
Result<std::string> str_text(Handle obj) {
  TAMSO_TRY(Ref str, py::steal_result(PyObject_Str(obj.ptr())));
  TAMSO_TRY(std::string_view text, py::text(str));
  return std::string(text);
}

json::Value::Member member(const char* key, json::Value value) { return {key, std::move(value)}; }

}  // namespace

Result<std::string> anchor(Handle output_dir) {
  TAMSO_TRY(Ref encoded, py::steal_result(PyUnicode_EncodeFSDefault(output_dir.ptr())));
  const std::string_view relative(PyBytes_AS_STRING(encoded.get()),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (relative.find('\0') != std::string_view::npos) {
    return Error::raise(PyExc_ValueError, "embedded null byte");
  }
  if (!relative.empty() && relative.front() == '/') return std::string(relative);
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) {
      PyErr_SetFromErrno(PyExc_OSError);
      return Error::fetch();
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string absolute(buffer.data());
  if (!relative.empty()) {
    if (absolute.back() != '/') absolute += '/';
    absolute += relative;
  }
  return absolute;
}

Status replace_file(const std::string& dir, std::string_view name, std::string_view data, Handle shown) {
  int error = 0;
  // The interpreter's own file writing also lets other threads run meanwhile;
  // nothing here touches an interpreter object, and `data` stays alive. No
  // C++ exception may leave this block without the lock taken back.
  Py_BEGIN_ALLOW_THREADS
  try {
    error = replace_unlocked(dir, name, data);
  } catch (...) {
    error = ENOMEM;  // building a path string is the only thing that can throw
  }
  Py_END_ALLOW_THREADS
  if (error != 0) return os_error(error, shown);
  return py::ok();
}

Status write_success(const OutputDir& out, Handle json_module, Handle inspect_module, Handle callable,
                     Handle value, std::string_view module_name, std::string_view function_name) {
  TAMSO_TRY(Ref value_path, py::call_method(out.path.handle(), TAMSO_ID("__truediv__"), TAMSO_ID("value.json")));
  {
    TAMSO_TRY(Ref dumps, py::getattr(json_module, TAMSO_ID("dumps")));
    TAMSO_TRY(Ref dumped, py::call(dumps, value));
    TAMSO_TRY(std::string_view data, file_text(dumped));
    TAMSO_CHECK(replace_file(out.anchored, "value.json", data, value_path));
  }  // the dumped text, possibly large, is released here
  TAMSO_TRY(std::string value_path_text, str_text(value_path));
  TAMSO_TRY(Ref signature_fn, py::getattr(inspect_module, TAMSO_ID("signature")));
  TAMSO_TRY(Ref signature, py::call(signature_fn, callable));
  TAMSO_TRY(std::string signature_text, str_text(signature));
  TAMSO_TRY(Ref type_name, py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), TAMSO_ID("__name__")));
  TAMSO_TRY(std::string_view type_name_text, py::text(type_name));

  const json::Value document = json::Value::object({
      member("artifact_format", json::Value::string("json")),
      member("function_name", json::Value::string(std::string(function_name))),
      member("module_path", json::Value::string(std::string(module_name))),
      member("ok", json::Value::boolean(true)),
      member("result_type", json::Value::string(std::string(type_name_text))),
      member("signature", json::Value::string(std::move(signature_text))),
      member("value_path", json::Value::string(std::move(value_path_text))),
  });
  return replace_file(out.anchored, "result.json", json::write(document), out.result_path);
}

Status write_error(const OutputDir& out, std::string_view error, std::string_view error_type) {
  const json::Value document = json::Value::object({
      member("error", json::Value::string(std::string(error))),
      member("error_type", json::Value::string(std::string(error_type))),
      member("ok", json::Value::boolean(false)),
  });
  return replace_file(out.anchored, "result.json", json::write(document), out.result_path);
}

}  // namespace tamso::materialization

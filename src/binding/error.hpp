// Failures inside an operation, carried as values back to the call guard.
//
// An `Error` is either a Python exception fetched from the interpreter (type,
// value, traceback, always normalised) or an internal failure: a broken
// invariant with a message, raised at the boundary as
// `pyo3_runtime.PanicException`. Operations return `Result<T>`; only the call
// guard (guard.hpp) sets an exception on the way out, exactly once.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/ref.hpp"

namespace tamso::py {

class [[nodiscard]] Error {
 public:
  // Takes the pending exception. When the interpreter reported a failure
  // without setting one, this is SystemError "attempted to fetch exception but
  // none was set". A PanicException coming back from Python turns into an
  // internal failure carrying its message.
  static Error fetch();

  // A new exception of `type` with one argument, the message.
  static Error raise(PyObject* type, std::string_view message);

  // An internal failure; a short diagnostic naming the message and the place
  // goes to standard error now.
  static Error internal(std::string message,
                        std::source_location where = std::source_location::current());

  bool is_internal() const noexcept { return internal_; }
  const std::string& internal_message() const noexcept { return message_; }
  Handle type() const noexcept { return type_; }
  Handle value() const noexcept { return value_; }
  // True for a Python exception whose type is exactly `type` (no subclass).
  bool is_exactly(PyObject* type) const noexcept { return !internal_ && type_.get() == type; }

  // Sets this failure as the interpreter's pending exception.
  void restore() &&;

 private:
  Error() = default;
  static Error resume_panic(PyObject* type, PyObject* value, PyObject* traceback);
  Ref type_, value_, traceback_;
  std::string message_;
  bool internal_ = false;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  Error& error() & { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok() { return Ok{}; }

// A C-API call that returned a new reference or NULL.
inline Result<Ref> steal_result(PyObject* p) {
  if (p == nullptr) return Error::fetch();
  return Ref::steal(p);
}
// A C-API call that returned 0 on success or -1 with an exception set.
inline Status check(int rc) {
  if (rc < 0) return Error::fetch();
  return ok();
}

// Clears the pending exception where an operation discards it on purpose. Our
// own internal-failure exception is never discarded: it comes back as an
// internal failure. Returns ok when the exception was dropped.
Status discard_pending();

// The class `pyo3_runtime.PanicException`, created on first use and kept for
// the life of the process. Returns NULL with an exception set on failure.
PyObject* panic_exception_type();

// Writes all of `text` to file descriptor 2, bypassing `sys.stderr`.
void write_stderr(std::string_view text) noexcept;

}  // namespace tamso::py

#define TAMSO_CONCAT_INNER(a, b) a##b
#define TAMSO_CONCAT(a, b) TAMSO_CONCAT_INNER(a, b)

// TAMSO_TRY(auto x, expr): evaluates a Result; on failure returns its Error
// from the enclosing function, otherwise binds the value.
#define TAMSO_TRY(decl, expr) TAMSO_TRY_IMPL(TAMSO_CONCAT(tamso_try_, __LINE__), decl, expr)
#define TAMSO_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                    \
  if (!tmp) return std::move(tmp).error(); \
  decl = std::move(tmp).value()

// TAMSO_CHECK(expr): evaluates a Result and returns its Error on failure.
#define TAMSO_CHECK(expr)                          \
  do {                                             \
    auto tamso_check_ = (expr);                    \
    if (!tamso_check_) return std::move(tamso_check_).error(); \
  } while (0)

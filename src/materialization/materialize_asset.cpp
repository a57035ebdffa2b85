// `materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)`:
// runs one asset function and leaves `value.json` and `result.json` behind.
//
// A call has three stages. Preparation (tool modules, the output directory,
// the result path) fails with its own exception and writes nothing. The asset
// run (import, lookup, unwrap, keyword arguments, the call, the artifacts)
// catches every exception, SystemExit and KeyboardInterrupt included. The
// failure report records that exception in `result.json` and ends the call
// with `sys.exit(1)`. Nothing is written to standard output or standard error.
#include <array>
#include <optional>
#include <string>

#include "binding/args.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "materialization/artifacts.hpp"
#include "materialization/materialization.hpp"

namespace tamso::materialization {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;
using py::Status;

constexpr std::array<std::string_view, 4> kParams{"module_name", "function_name", "output_dir", "input_kwargs_json"};
constexpr py::Signature kSignature{.name = "materialize_asset", .positional = kParams, .required = 3};

// One argument after binding: its text and a str holding exactly that text.
struct TextArg {
  std::string_view text;
  Ref str;
};

// A str subclass is handed on as a plain str of the same text, so that no
// user-defined method of the subclass runs inside the driver's own calls.
Result<TextArg> text_arg(std::string_view name, Handle obj) {
  TAMSO_TRY(std::string_view text, py::argument(name, py::text(obj)));
  if (PyUnicode_CheckExact(obj.ptr())) return TextArg{text, Ref::borrow(obj)};
  TAMSO_TRY(Ref str, py::new_str(text));
  return TextArg{text, std::move(str)};
}

struct Arguments {
  TextArg module_name;
  TextArg function_name;
  TextArg output_dir;
  std::optional<TextArg> input_kwargs_json;
};

Result<Arguments> bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[4] = {nullptr, nullptr, nullptr, nullptr};
  TAMSO_CHECK(py::bind(kSignature, args, nargsf, kwnames, slots));
  TAMSO_TRY(TextArg module_name, text_arg(kParams[0], slots[0]));
  TAMSO_TRY(TextArg function_name, text_arg(kParams[1], slots[1]));
  TAMSO_TRY(TextArg output_dir, text_arg(kParams[2], slots[2]));
  std::optional<TextArg> input_kwargs_json;
  if (slots[3] != nullptr && slots[3] != Py_None) {
    TAMSO_TRY(TextArg kwargs, text_arg(kParams[3], slots[3]));
    input_kwargs_json = std::move(kwargs);
  }
  return Arguments{std::move(module_name), std::move(function_name), std::move(output_dir),
                   std::move(input_kwargs_json)};
}

struct ToolModules {
  Ref importlib, inspect, json, pathlib;
};

Result<ToolModules> import_tools() {
  TAMSO_TRY(Ref importlib, py::import(TAMSO_ID("importlib")));
  TAMSO_TRY(Ref inspect, py::import(TAMSO_ID("inspect")));
  TAMSO_TRY(Ref json, py::import(TAMSO_ID("json")));
  TAMSO_TRY(Ref pathlib, py::import(TAMSO_ID("pathlib")));
  return ToolModules{std::move(importlib), std::move(inspect), std::move(json), std::move(pathlib)};
}

// ("parents", "exist_ok"), made once and kept for the life of the process.
Result<Handle> mkdir_keywords() {
  static PyObject* names = nullptr;
  if (names == nullptr) {
    TAMSO_TRY(Ref tuple, py::steal_result(PyTuple_Pack(2, TAMSO_ID("parents"), TAMSO_ID("exist_ok"))));
    names = tuple.release();
  }
  return Handle(names);
}

// `pathlib.Path(output_dir)`, `mkdir(parents=True, exist_ok=True)`, the
// result path, and the directory anchored against the working directory of
// this moment, so that an asset that changes directory cannot move the files.
Result<OutputDir> prepare(const ToolModules& tools, const TextArg& output_dir) {
  TAMSO_TRY(Ref path_class, py::getattr(tools.pathlib, TAMSO_ID("Path")));
  TAMSO_TRY(Ref path, py::call(path_class, output_dir.str.handle()));
  TAMSO_TRY(Handle keywords, mkdir_keywords());
  {
    std::array<PyObject*, 3> argv{path.get(), Py_True, Py_True};
    TAMSO_TRY(Ref made, py::steal_result(PyObject_VectorcallMethod(
                            TAMSO_ID("mkdir"), argv.data(), 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.ptr())));
  }
  TAMSO_TRY(Ref result_path, py::call_method(path.handle(), TAMSO_ID("__truediv__"), TAMSO_ID("result.json")));
  TAMSO_TRY(std::string anchored, anchor(output_dir.str));
  return OutputDir{std::move(path), std::move(result_path), std::move(anchored)};
}

// The asset run: every exception it returns is recorded by the caller.
Status run(const ToolModules& tools, const Arguments& args, const OutputDir& out) {
  TAMSO_TRY(Ref import_module, py::getattr(tools.importlib, TAMSO_ID("import_module")));
  TAMSO_TRY(Ref module, py::call(import_module, args.module_name.str.handle()));
  TAMSO_TRY(Ref found, py::getattr(module, args.function_name.str.get()));
  // The unwrap rule: an asset hands over its undecorated function; any
  // failure of the lookup means the object itself is what runs.
  TAMSO_TRY(Ref original, py::getattr_or_empty(found, TAMSO_ID("__tamso_original__")));
  Ref callable = original ? std::move(original) : std::move(found);

  Ref value;
  if (!args.input_kwargs_json) {
    TAMSO_TRY(value, py::steal_result(PyObject_CallNoArgs(callable.get())));
  } else {
    TAMSO_TRY(Ref loads, py::getattr(tools.json, TAMSO_ID("loads")));
    TAMSO_TRY(Ref parsed, py::call(loads, args.input_kwargs_json->str.handle()));
    TAMSO_TRY(Handle kwargs, py::dict(parsed));
    TAMSO_TRY(Ref no_args, py::steal_result(PyTuple_New(0)));
    TAMSO_TRY(value, py::steal_result(PyObject_Call(callable.get(), no_args.get(), kwargs.ptr())));
  }
  return write_success(out, tools.json, tools.inspect, callable, value, args.module_name.text,
                       args.function_name.text);
}

// Records the run's exception as the error form of `result.json` and asks
// for exit status 1. The exception itself is dropped once its two texts are
// taken; a failure here propagates instead of the exit.
Result<Ref> report_failure(const OutputDir& out, Error failure) {
  std::string error = py::exception_display_text(failure.value());
  std::string error_type;
  {
    TAMSO_TRY(Ref name, py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(failure.value().ptr())),
                                    TAMSO_ID("__name__")));
    TAMSO_TRY(std::string_view text, py::text(name));
    error_type = text;
  }
  { Error dropped = std::move(failure); }  // its traceback may hold the asset's frames
  TAMSO_CHECK(write_error(out, error, error_type));
  TAMSO_TRY(Ref sys, py::import(TAMSO_ID("sys")));
  TAMSO_TRY(Ref exit, py::getattr(sys, TAMSO_ID("exit")));
  TAMSO_TRY(Ref one, py::steal_result(PyLong_FromLong(1)));
  TAMSO_TRY(Ref returned, py::call(exit, one.handle()));
  return Ref::borrow(Py_None);  // only when `sys.exit` has been replaced
}

Result<Ref> materialize(PyObject* const* argv, Py_ssize_t nargsf, PyObject* kwnames) {
  TAMSO_TRY(Arguments args, bind(argv, nargsf, kwnames));
  TAMSO_TRY(ToolModules tools, import_tools());
  TAMSO_TRY(OutputDir out, prepare(tools, args.output_dir));

  Status ran = run(tools, args, out);
  if (ran) return Ref::borrow(Py_None);
  Error failure = std::move(ran).error();
  // Our own internal failure (or one coming back through Python code) is
  // never recorded as a failed run: it ends the call as a PanicException.
  if (failure.is_internal()) return failure;
  return report_failure(out, std::move(failure));
}

}  // namespace

PyObject* materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guard([&] { return materialize(args, nargsf, kwnames); });
}

}  // namespace tamso::materialization

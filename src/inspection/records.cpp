#include "inspection/records.hpp"

#include <string_view>
#include <utility>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace tamso::inspection {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;

constexpr std::string_view kJsonParseError = "JSON parse error: ";
constexpr std::string_view kTargetBool = "PyBool";

// The result of an interpreter call whose failure is passed over on purpose:
// an empty Ref then. Our own internal failure coming back is never passed over.
Result<Ref> or_empty(Result<Ref> result) {
  if (result || result.error().is_internal()) return result;
  return Ref();
}

Result<std::string> owned_text(Handle obj) {
  TAMSO_TRY(std::string_view text, py::text(obj));
  return std::string(text);
}

Result<std::string> attribute_text(Handle obj, PyObject* name) {
  TAMSO_TRY(Ref value, py::getattr(obj, name));
  return owned_text(value);
}

// Absolute, symlink-resolved path of the file holding `function`, or the
// empty text when `inspect.getsourcefile` raises.
Result<std::string> file_path(const ToolModules& tools, Handle function) {
  TAMSO_TRY(Ref getsourcefile, py::getattr(tools.inspect, TAMSO_ID("getsourcefile")));
  TAMSO_TRY(Ref file, or_empty(py::call(getsourcefile, function)));
  if (!file) return std::string();
  TAMSO_TRY(Ref path_class, py::getattr(tools.pathlib, TAMSO_ID("Path")));
  TAMSO_TRY(Ref path, py::call(path_class, file.handle()));
  TAMSO_TRY(Ref resolved, py::call_method(path, TAMSO_ID("resolve")));
  TAMSO_TRY(Ref text, py::steal_result(PyObject_Str(resolved.get())));
  return owned_text(text);
}

// Null without a return annotation; the bare `__name__` of a class; the
// `str()` of anything else (a string annotation comes out unchanged).
Result<json::Value> return_type(const ToolModules& tools, Handle function) {
  TAMSO_TRY(Ref signature_of, py::getattr(tools.inspect, TAMSO_ID("signature")));
  TAMSO_TRY(Ref signature, py::call(signature_of, function));
  TAMSO_TRY(Ref annotation, py::getattr(signature, TAMSO_ID("return_annotation")));
  TAMSO_TRY(Ref signature_class, py::getattr(tools.inspect, TAMSO_ID("Signature")));
  TAMSO_TRY(Ref empty, py::getattr(signature_class, TAMSO_ID("empty")));
  if (annotation.handle().is(empty)) return json::Value::null();

  TAMSO_TRY(Ref builtins, py::import(TAMSO_ID("builtins")));
  TAMSO_TRY(Ref isinstance, py::getattr(builtins, TAMSO_ID("isinstance")));
  TAMSO_TRY(Ref is_class, py::call(isinstance, annotation.handle(), reinterpret_cast<PyObject*>(&PyType_Type)));
  if (!PyBool_Check(is_class.get())) return py::conversion_error(is_class, kTargetBool);
  Ref text;
  if (is_class.get() == Py_True) {
    TAMSO_TRY(text, py::getattr(annotation, TAMSO_ID("__name__")));
  } else {
    TAMSO_TRY(text, py::steal_result(PyObject_Str(annotation.get())));
  }
  TAMSO_TRY(std::string name, owned_text(text));
  return json::Value::string(std::move(name));
}

}  // namespace

Result<std::string> source_text(const ToolModules& tools, Handle obj) {
  TAMSO_TRY(Ref getsource, py::getattr(tools.inspect, TAMSO_ID("getsource")));
  TAMSO_TRY(Ref source, py::call(getsource, obj));
  TAMSO_TRY(Ref dedent, py::getattr(tools.textwrap, TAMSO_ID("dedent")));
  TAMSO_TRY(Ref dedented, py::call(dedent, source.handle()));
  TAMSO_TRY(Ref stripped, py::call_method(dedented, TAMSO_ID("strip")));
  TAMSO_TRY(std::string_view text, py::text(stripped));
  std::string out;
  out.reserve(text.size() + 1);
  out.append(text);
  out += '\n';
  return out;
}

Result<json::Value> python_dict_to_json(Handle obj) {
  TAMSO_TRY(Ref json_module, py::import(TAMSO_ID("json")));
  TAMSO_TRY(Ref dumps, py::getattr(json_module, TAMSO_ID("dumps")));
  TAMSO_TRY(Ref dumped, py::call(dumps, obj));
  TAMSO_TRY(std::string_view text, py::text(dumped));
  json::Value value;
  json::ReadError error;
  if (!json::read(text, value, error)) {
    return Error::raise(PyExc_RuntimeError, std::string(kJsonParseError) + error.text());
  }
  return value;
}

Result<json::Value> asset_record(const ToolModules& tools, Handle module, Handle member,
                                 const std::string& module_source, const std::string& python_version) {
  TAMSO_TRY(Ref metadata_object, py::getattr(member, TAMSO_ID("__tamso_metadata__")));
  TAMSO_TRY(json::Value metadata, python_dict_to_json(metadata_object));
  metadata_object.reset();

  TAMSO_TRY(Ref function, py::getattr_or_empty(member, TAMSO_ID("__tamso_original__")));
  if (!function) function = Ref::borrow(member);

  TAMSO_TRY(std::string function_source, source_text(tools, function));
  TAMSO_TRY(std::string function_name, attribute_text(function, TAMSO_ID("__name__")));
  TAMSO_TRY(std::string path, file_path(tools, function));
  TAMSO_TRY(json::Value returns, return_type(tools, function));
  TAMSO_TRY(std::string module_path, attribute_text(module, TAMSO_ID("__name__")));

  // Already in key order, so building the object sorts nothing.
  json::Value::Object members;
  members.reserve(9);
  members.emplace_back("decorator_metadata", std::move(metadata));
  members.emplace_back("file_path", json::Value::string(std::move(path)));
  members.emplace_back("function_name", json::Value::string(std::move(function_name)));
  members.emplace_back("function_source", json::Value::string(std::move(function_source)));
  members.emplace_back("kind", json::Value::string("asset"));
  members.emplace_back("module_path", json::Value::string(std::move(module_path)));
  members.emplace_back("module_source", json::Value::string(module_source));
  members.emplace_back("python_version", json::Value::string(python_version));
  members.emplace_back("return_type", std::move(returns));
  return json::Value::object(std::move(members));
}

Result<Ref> write_document(std::vector<json::Value> records) {
  json::Value::Object members;
  members.emplace_back("assets", json::Value::array(std::move(records)));
  const json::Value document = json::Value::object(std::move(members));
  return py::new_str(json::write(document));
}

}  // namespace tamso::inspection

// `inspect_modules(modules)`: imports each named pipeline module, picks out
// the members that declare themselves assets and returns the inspection
// document. A module that fails to import costs one skip line on file
// descriptor 2; every other failure ends the call.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "inspection/inspection.hpp"
#include "inspection/records.hpp"

namespace tamso::inspection {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;

constexpr std::array<std::string_view, 1> kModulesParams{"modules"};
constexpr py::Signature kInspectSignature{.name = "inspect_modules", .positional = kModulesParams, .required = 1};

Result<ToolModules> import_tools() {
  ToolModules tools;
  TAMSO_TRY(tools.importlib, py::import(TAMSO_ID("importlib")));
  TAMSO_TRY(tools.inspect, py::import(TAMSO_ID("inspect")));
  TAMSO_TRY(tools.textwrap, py::import(TAMSO_ID("textwrap")));
  TAMSO_TRY(tools.sys, py::import(TAMSO_ID("sys")));
  TAMSO_TRY(tools.pathlib, py::import(TAMSO_ID("pathlib")));
  return tools;
}

Result<long long> version_part(Handle info, PyObject* name) {
  TAMSO_TRY(Ref part, py::getattr(info, name));
  const long long value = PyLong_AsLongLong(part.get());
  if (value == -1 && PyErr_Occurred()) return Error::fetch();
  return value;
}

// "major.minor.micro" of `sys.version_info`.
Result<std::string> python_version(const ToolModules& tools) {
  TAMSO_TRY(Ref info, py::getattr(tools.sys, TAMSO_ID("version_info")));
  TAMSO_TRY(long long major, version_part(info, TAMSO_ID("major")));
  TAMSO_TRY(long long minor, version_part(info, TAMSO_ID("minor")));
  TAMSO_TRY(long long micro, version_part(info, TAMSO_ID("micro")));
  return std::to_string(major) + '.' + std::to_string(minor) + '.' + std::to_string(micro);
}

// The member is an asset when its `__tamso_kind__` is a str reading exactly
// "asset". A failed lookup or a str without a UTF-8 form is passed over.
Result<bool> is_asset(Handle member) {
  TAMSO_TRY(Ref kind, py::getattr_or_empty(member, TAMSO_ID("__tamso_kind__")));
  if (!kind || !PyUnicode_Check(kind.get())) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(kind.get(), &size);
  if (data == nullptr) {
    TAMSO_CHECK(py::discard_pending());
    return false;
  }
  return std::string_view(data, static_cast<std::size_t>(size)) == "asset";
}

// Imports `name`; an empty Ref when the import raised, after the skip line
// has been written and the exception dropped.
Result<Ref> import_or_skip(const ToolModules& tools, const std::string& name) {
  TAMSO_TRY(Ref import_module, py::getattr(tools.importlib, TAMSO_ID("import_module")));
  TAMSO_TRY(Ref name_object, py::new_str(name));
  Result<Ref> module = py::call(import_module, name_object.handle());
  if (module) return module;
  Error error = std::move(module).error();
  if (error.is_internal()) return error;
  std::string line = "tamso: skipping module '";
  line += name;
  line += "': ";
  line += py::exception_display_text(error.value());
  line += '\n';
  py::write_stderr(line);
  return Ref();
}

// Appends the records of every asset that `module` holds, in the order of
// `inspect.getmembers` (sorted by member name).
py::Status scan_module(const ToolModules& tools, Handle module, const std::string& version,
                       std::vector<json::Value>& records) {
  // Computed once: every record of the module carries the same text.
  TAMSO_TRY(std::string module_source, source_text(tools, module));
  TAMSO_TRY(Ref getmembers, py::getattr(tools.inspect, TAMSO_ID("getmembers")));
  TAMSO_TRY(Ref members, py::call(getmembers, module));
  TAMSO_TRY(Ref iterator, py::steal_result(PyObject_GetIter(members.get())));
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return Error::fetch();
      break;
    }
    if (!PyTuple_Check(item.get())) return py::conversion_error(item, py::kTargetTuple);
    PyObject* value = PyTuple_GetItem(item.get(), 1);  // IndexError when the tuple is short
    if (value == nullptr) return Error::fetch();
    // Held by us: the member's own code may drop the tuple's reference.
    Ref member = Ref::borrow(value);
    TAMSO_TRY(bool asset, is_asset(member));
    if (!asset) continue;
    TAMSO_TRY(json::Value record, asset_record(tools, module, member, module_source, version));
    records.push_back(std::move(record));
  }
  return py::ok();
}

Result<Ref> inspect_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[1] = {nullptr};
  TAMSO_CHECK(py::bind(kInspectSignature, args, nargsf, kwnames, slots));
  TAMSO_TRY(std::vector<std::string> names, py::argument("modules", py::text_list(slots[0])));

  TAMSO_TRY(ToolModules tools, import_tools());
  TAMSO_TRY(std::string version, python_version(tools));

  std::vector<json::Value> records;
  for (const std::string& name : names) {
    TAMSO_TRY(Ref module, import_or_skip(tools, name));
    if (!module) continue;
    TAMSO_CHECK(scan_module(tools, module, version, records));
  }
  return write_document(std::move(records));
}

}  // namespace

PyObject* inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guard([&] { return inspect_impl(args, nargsf, kwnames); });
}

}  // namespace tamso::inspection

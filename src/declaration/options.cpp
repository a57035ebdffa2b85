// Copying options and rendering them as the decorator metadata record.
#include "declaration/options.hpp"

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "json/writer.hpp"

namespace tamso::declaration {
namespace {

using py::Handle;
using py::Ref;
using py::Result;
using py::Status;

Status set(Handle dict, PyObject* key, Handle value) {
  return py::check(PyDict_SetItem(dict.ptr(), key, value.ptr() != nullptr ? value.ptr() : Py_None));
}

Result<Ref> new_dict() { return py::steal_result(PyDict_New()); }
Result<Ref> copy_dict(Handle dict) { return py::steal_result(PyDict_Copy(dict.ptr())); }

}  // namespace

Result<PartitionSpec> make_partition_spec(std::vector<json::Value> values) {
  json::Value array = json::Value::array(std::move(values));
  TAMSO_TRY(Ref text, py::new_str(json::write(array)));
  TAMSO_TRY(Ref rendered, new_dict());
  TAMSO_CHECK(set(rendered, TAMSO_ID("kind"), TAMSO_ID("inline")));
  TAMSO_CHECK(set(rendered, TAMSO_ID("values_json"), text));
  return PartitionSpec{std::move(array.as_array()), std::move(rendered)};
}

Options Options::copy() const {
  Options out;
  out.name = name.clone();
  out.serializer = serializer.clone();
  if (inputs) {
    out.inputs.emplace();
    out.inputs->reserve(inputs->size());
    for (const auto& [parameter, reference] : *inputs) out.inputs->emplace_back(parameter.clone(), reference.clone());
  }
  if (partitions) {
    out.partitions.emplace();
    out.partitions->reserve(partitions->size());
    for (const auto& [dimension, declared] : *partitions) out.partitions->emplace_back(dimension.clone(), declared.copy());
  }
  out.record_head = record_head.clone();
  out.rendered_inputs = rendered_inputs.clone();
  return out;
}

Status render_record(Options& options) {
  TAMSO_TRY(Ref head, new_dict());
  TAMSO_CHECK(set(head, TAMSO_ID("kind"), TAMSO_ID("asset")));
  TAMSO_CHECK(set(head, TAMSO_ID("name"), options.name));
  TAMSO_CHECK(set(head, TAMSO_ID("serializer"), options.serializer));
  TAMSO_CHECK(set(head, TAMSO_ID("inputs"), Py_None));
  TAMSO_CHECK(set(head, TAMSO_ID("partitions"), Py_None));
  if (options.inputs) {
    TAMSO_TRY(Ref inputs, new_dict());
    for (const auto& [parameter, reference] : *options.inputs) TAMSO_CHECK(set(inputs, parameter.get(), reference));
    options.rendered_inputs = std::move(inputs);
  }
  options.record_head = std::move(head);
  return py::ok();
}

Result<Ref> metadata_record(const Options& options) {
  if (!options.record_head || (options.inputs && !options.rendered_inputs)) {
    return py::Error::internal("asset options were never rendered");
  }
  // The head holds all five keys in order, "inputs" and "partitions" as
  // None; present maps replace those values in place.
  TAMSO_TRY(Ref record, copy_dict(options.record_head));
  if (options.inputs) {
    TAMSO_TRY(Ref inputs, copy_dict(options.rendered_inputs));
    TAMSO_CHECK(set(record, TAMSO_ID("inputs"), inputs));
  }
  if (options.partitions) {
    TAMSO_TRY(Ref partitions, new_dict());
    for (const auto& [dimension, declared] : *options.partitions) {
      TAMSO_TRY(Ref entry, copy_dict(declared.rendered));
      TAMSO_CHECK(set(partitions, dimension.get(), entry));
    }
    TAMSO_CHECK(set(record, TAMSO_ID("partitions"), partitions));
  }
  return record;
}

}  // namespace tamso::declaration

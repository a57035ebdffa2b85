// Copying options and rendering them as the decorator metadata record.
#include "declaration/options.hpp"

#include "binding/call.hpp"

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

Result<Ref> inputs_dict(const Options::Inputs& inputs) {
  TAMSO_TRY(Ref out, new_dict());
  for (const auto& [parameter, reference] : inputs) TAMSO_CHECK(set(out, parameter.get(), reference));
  return out;
}

Result<Ref> partitions_dict(const Options::Partitions& partitions) {
  TAMSO_TRY(Ref out, new_dict());
  for (const auto& [dimension, spec] : partitions) {
    TAMSO_TRY(Ref entry, new_dict());
    TAMSO_CHECK(set(entry, TAMSO_ID("kind"), TAMSO_ID("inline")));
    TAMSO_CHECK(set(entry, TAMSO_ID("values_json"), spec.values_json));
    TAMSO_CHECK(set(out, dimension.get(), entry));
  }
  return out;
}

}  // namespace

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
    for (const auto& [dimension, spec] : *partitions) out.partitions->emplace_back(dimension.clone(), spec.copy());
  }
  return out;
}

Result<Ref> metadata_record(const Options& options) {
  TAMSO_TRY(Ref record, new_dict());
  TAMSO_CHECK(set(record, TAMSO_ID("kind"), TAMSO_ID("asset")));
  TAMSO_CHECK(set(record, TAMSO_ID("name"), options.name));
  TAMSO_CHECK(set(record, TAMSO_ID("serializer"), options.serializer));
  if (options.inputs) {
    TAMSO_TRY(Ref inputs, inputs_dict(*options.inputs));
    TAMSO_CHECK(set(record, TAMSO_ID("inputs"), inputs));
  } else {
    TAMSO_CHECK(set(record, TAMSO_ID("inputs"), Py_None));
  }
  if (options.partitions) {
    TAMSO_TRY(Ref partitions, partitions_dict(*options.partitions));
    TAMSO_CHECK(set(record, TAMSO_ID("partitions"), partitions));
  } else {
    TAMSO_CHECK(set(record, TAMSO_ID("partitions"), Py_None));
  }
  return record;
}

}  // namespace tamso::declaration

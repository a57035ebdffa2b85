// The normalised options of one asset declaration, shared by the decorator
// factory (asset.cpp) and the wrapper (wrapper.cpp).
//
// Every text is held as an exact, immutable `str` made once when the options
// are built: texts only ever leave as `str` (in the metadata record), so a
// record read costs no new string and no rehash. A str subclass given by the
// user is never kept; its UTF-8 text is copied into a fresh exact str.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "json/value.hpp"

namespace tamso::declaration {

// One partition dimension: the values copied from a `Partitions` marker and
// the dimension's entry of the metadata record, rendered once (the values
// never change).
struct PartitionSpec {
  std::vector<json::Value> values;
  py::Ref rendered;  // {"kind": "inline", "values_json": <compact JSON array>}

  PartitionSpec copy() const { return {values, rendered.clone()}; }
};

// A PartitionSpec from a dimension's values, with its record entry rendered.
py::Result<PartitionSpec> make_partition_spec(std::vector<json::Value> values);

struct Options {
  using Inputs = std::vector<std::pair<py::Ref, py::Ref>>;              // parameter -> reference
  using Partitions = std::vector<std::pair<py::Ref, PartitionSpec>>;    // dimension -> PartitionSpec

  py::Ref name;        // exact str, or empty when absent
  py::Ref serializer;  // exact str, or empty when absent
  std::optional<Inputs> inputs;          // keys unique by text; order promised to nobody
  std::optional<Partitions> partitions;  // keys unique by text; order promised to nobody

  // Pieces of the metadata record rendered once by render_record(), like
  // each PartitionSpec's entry. They are never handed out and never
  // changed: every read gets copies, which costs a fraction of building the
  // dicts entry by entry.
  py::Ref record_head;      // the whole record with "inputs" and "partitions" None
  py::Ref rendered_inputs;  // {parameter: reference}, when inputs are present

  // A copy that shares nothing that anyone can change with this one: the
  // texts are immutable strs and the rendered pieces are private and never
  // changed, so those are shared by reference.
  Options copy() const;
};

// Renders `record_head` and `rendered_inputs` from the other fields.
py::Status render_record(Options& options);

// The decorator metadata record of rendered options: a new dict, with new
// nested dicts, on every call.
py::Result<py::Ref> metadata_record(const Options& options);

// A new AssetWrapper owning `options` and one reference to `function`.
py::Result<py::Ref> make_wrapper(py::Handle function, Options options);

}  // namespace tamso::declaration

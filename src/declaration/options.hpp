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
// their compact JSON array text, written once (the values never change).
struct PartitionSpec {
  std::vector<json::Value> values;
  py::Ref values_json;  // exact str

  PartitionSpec copy() const { return {values, values_json.clone()}; }
};

struct Options {
  using Inputs = std::vector<std::pair<py::Ref, py::Ref>>;              // parameter -> reference
  using Partitions = std::vector<std::pair<py::Ref, PartitionSpec>>;    // dimension -> spec

  py::Ref name;        // exact str, or empty when absent
  py::Ref serializer;  // exact str, or empty when absent
  std::optional<Inputs> inputs;          // keys unique by text; order promised to nobody
  std::optional<Partitions> partitions;  // keys unique by text; order promised to nobody

  // A copy that shares nothing mutable with this one (the texts are
  // immutable strs, so they are shared by reference).
  Options copy() const;
};

// The decorator metadata record: a new dict on every call.
py::Result<py::Ref> metadata_record(const Options& options);

// A new AssetWrapper owning `options` and one reference to `function`.
py::Result<py::Ref> make_wrapper(py::Handle function, Options options);

}  // namespace tamso::declaration

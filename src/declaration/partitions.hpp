// The `Partitions` marker and what the decorator needs of it.
#pragma once

#include <vector>

#include "binding/error.hpp"
#include "json/value.hpp"

namespace tamso::declaration {

// True when `obj` is a `Partitions` instance (exact type or subtype).
bool is_partitions(py::Handle obj) noexcept;
// The normalised values held by a `Partitions` instance.
const std::vector<json::Value>& partitions_values(py::Handle obj) noexcept;

}  // namespace tamso::declaration

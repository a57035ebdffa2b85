// Number text in both directions, shared by the reader and the writer.
#pragma once

#include <cstddef>

#include "json/value.hpp"

namespace tamso::json::detail {

// Lays out a finite double into buf (at least kDoubleMax bytes) and returns
// the length written.
inline constexpr std::size_t kDoubleMax = 32;
std::size_t format_double(double d, char* buf) noexcept;

// Outcome of reading one number.
struct NumberScan {
  const char* end = nullptr;      // first byte after the number, on success
  const char* message = nullptr;  // null on success
  const char* at = nullptr;       // on failure: the byte the reader stopped at (or the text's end)
};

// Reads the number starting at p (a '-' or a digit; p < end) into out.
NumberScan scan_number(const char* p, const char* end, Value& out) noexcept;

}  // namespace tamso::json::detail

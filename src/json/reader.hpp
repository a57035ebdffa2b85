// Reads one JSON text into a Value.
//
// The whole text must be one value with optional white space (space, tab,
// line feed, carriage return) around it. Objects may nest arrays and objects
// up to 127 deep. Numbers: integers that fit are read as UInt (non-negative)
// or Int (negative); "-0", fractions, exponents and integers beyond the 64-bit
// ranges become the nearest double, and a number whose magnitude is too large
// for a double is an error. Of two equal keys in an object the later wins.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace tamso::json {

struct ReadError {
  std::string message;   // e.g. "EOF while parsing a list"
  std::size_t line = 0;  // 1-based; 0 means no position
  std::size_t column = 0;
  // "{message} at line {line} column {column}", or the message alone when
  // line is 0.
  std::string text() const;
};

// Reads exactly one JSON value from UTF-8 text. Returns true and sets out, or
// false and sets err, leaving out unchanged. The position of an error is
// the byte the reader stopped at: its line (1 + the line feeds before it) and
// its column (bytes from the line's start up to and including it). When the
// text ends early that is the text's last byte; an empty text gives line 1,
// column 0.
//
// The text is expected to be valid UTF-8; bytes above 0x7F are copied into
// strings without being checked.
bool read(std::string_view text, Value& out, ReadError& err);

}  // namespace tamso::json

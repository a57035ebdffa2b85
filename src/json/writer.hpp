// Compact JSON text from a Value: no white space outside strings, object
// members in key order, non-ASCII text as raw UTF-8, doubles in the shortest
// form that reads back as the same double.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace tamso::json {

// Appends the text of v to out. Writing cannot fail (short of memory).
void write(const Value& v, std::string& out);

// The text of v, in a string reserved once from an estimate of its size.
std::string write(const Value& v);

// Appends utf8 as a quoted JSON string: '"' and '\\' are escaped with a
// backslash, \b \t \n \f \r by their letters, other bytes below 0x20 as
// \u00xx (lowercase hex); every other byte is copied unchanged.
void write_string(std::string_view utf8, std::string& out);

// Appends the text of a finite double: "0.0" / "-0.0" for zeros, otherwise
// the shortest round-trip digits, in plain layout when the decimal exponent
// is within [-5, 15] ("100.0", "0.001234") and in exponent layout outside it
// ("1e+16", "1.5e-7").
void write_double(double d, std::string& out);

}  // namespace tamso::json

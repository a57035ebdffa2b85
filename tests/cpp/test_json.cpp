// Unit tests of the JSON core (src/json): writer text, reader values and
// error texts, number edge cases, nesting limit, round trips.
//
// Build: g++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Isrc src/json/*.cpp tests/cpp/test_json.cpp
// The last line printed is "N passed, N failed"; the exit status is nonzero
// when anything failed.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

using tamso::json::ReadError;
using tamso::json::Value;
using Kind = Value::Kind;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL line %d: %s\n", line, what);
  }
}

void check_text(const std::string& got, const std::string& want, const char* what, int line) {
  if (got == want) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL line %d: %s\n  got:  %s\n  want: %s\n", line, what, got.c_str(), want.c_str());
  }
}

#define CHECK(cond) check((cond), #cond, __LINE__)
#define CHECK_TEXT(got, want) check_text((got), (want), #got, __LINE__)

std::string w(const Value& v) { return tamso::json::write(v); }

std::string wd(double d) {
  std::string s;
  tamso::json::write_double(d, s);
  return s;
}

// Reads text that must be accepted; a failure is reported and gives null.
Value rd(std::string_view text) {
  Value v;
  ReadError err;
  if (!tamso::json::read(text, v, err)) {
    ++g_failed;
    std::printf("FAIL: read rejected [%.*s]: %s\n", static_cast<int>(text.size()), text.data(), err.text().c_str());
  }
  return v;
}

// The error text for a text that must be refused.
std::string err_of(std::string_view text) {
  Value v;
  ReadError err;
  if (tamso::json::read(text, v, err)) return "(accepted: " + w(v) + ")";
  return err.text();
}

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The escaping rules byte by byte, as a reference for the word-at-a-time writer.
std::string reference_quote(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void test_writer_scalars_and_containers() {
  CHECK_TEXT(w(Value()), "null");
  CHECK_TEXT(w(Value::boolean(true)) + w(Value::boolean(false)), "truefalse");
  CHECK_TEXT(w(Value::uinteger(0)), "0");
  CHECK_TEXT(w(Value::uinteger(18446744073709551615ull)), "18446744073709551615");
  CHECK_TEXT(w(Value::integer(-1)), "-1");
  CHECK_TEXT(w(Value::integer(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  CHECK(Value::integer(5).kind() == Kind::UInt);
  CHECK(Value::integer(-5).kind() == Kind::Int);
  CHECK(Value::number(std::nan("")).kind() == Kind::Null);
  CHECK(Value::number(-HUGE_VAL).kind() == Kind::Null);
  CHECK_TEXT(w(Value::array({})) + w(Value::object({})), "[]{}");
  Value nested = Value::array({Value::uinteger(1), Value::string("x"),
                               Value::object({{"k", Value::array({Value(), Value::number(2.5)})}})});
  CHECK_TEXT(w(nested), "[1,\"x\",{\"k\":[null,2.5]}]");
  std::string appended = "prefix";
  tamso::json::write(nested, appended);
  CHECK_TEXT(appended, "prefix" + w(nested));
}

void test_double_layout() {
  const struct {
    double d;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {0.001234, "0.001234"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1e100, "1e+100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-2.5, "-2.5"},
      {123456789012345.6, "123456789012345.6"},
      {1234567890123456.7, "1234567890123456.8"},
      {0.000012345, "0.000012345"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {-1e-300, "-1e-300"},
  };
  for (const auto& c : cases) CHECK_TEXT(wd(c.d), c.text);
}

void test_string_escapes() {
  CHECK_TEXT(w(Value::string("\xC3\xA9\t\x1b/")), "\"\xC3\xA9\\t\\u001b/\"");
  CHECK_TEXT(w(Value::string("a\"b\\c\x7f")), "\"a\\\"b\\\\c\x7f\"");
  std::string all_controls;
  for (int c = 0; c < 0x20; ++c) all_controls.push_back(static_cast<char>(c));
  CHECK_TEXT(w(Value::string(all_controls)), reference_quote(all_controls));
  CHECK_TEXT(w(Value::string(std::string("a\0b", 3))), "\"a\\u0000b\"");

  // One special byte at every offset of strings of every length up to 40,
  // around the eight-byte word boundaries of the scanner, followed by a byte
  // that the word-wise test could wrongly flag after a real hit.
  bool all_match = true;
  const char specials[] = {'"', '\\', '\n', '\x1f', '\0', '\x7f', '\x80', ' '};
  const char followers[] = {'a', '#', ']', ' ', '!'};
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t pos = 0; pos < len; ++pos) {
      for (char sp : specials) {
        for (char next : followers) {
          std::string s(len, 'a');
          s[pos] = sp;
          if (pos + 1 < len) s[pos + 1] = next;
          if (pos + 3 < len) s[pos + 3] = '\xE9';  // a high byte after it
          std::string out;
          tamso::json::write_string(s, out);
          if (out != reference_quote(s)) all_match = false;
        }
      }
    }
  }
  CHECK(all_match);
}

void test_object_order_and_set() {
  Value o = Value::object({{"b", Value::uinteger(1)},
                           {"a", Value::uinteger(2)},
                           {"B", Value::uinteger(3)},
                           {"a_b", Value::uinteger(4)}});
  CHECK_TEXT(w(o), "{\"B\":3,\"a\":2,\"a_b\":4,\"b\":1}");
  // Key bytes compare unsigned: a non-ASCII key sorts after every ASCII one.
  CHECK_TEXT(w(Value::object({{"\xC3\xA9", Value()}, {"z", Value()}, {"ab", Value()}})),
             "{\"ab\":null,\"z\":null,\"\xC3\xA9\":null}");
  // Duplicates: the later of equal keys wins, wherever they stand.
  CHECK_TEXT(w(Value::object({{"k", Value::uinteger(1)},
                              {"a", Value()},
                              {"k", Value::uinteger(2)},
                              {"k", Value::uinteger(3)}})),
             "{\"a\":null,\"k\":3}");
  o.set("a", Value::string("new"));
  o.set("ab", Value::boolean(true));
  o.set("", Value());
  CHECK_TEXT(w(o), "{\"\":null,\"B\":3,\"a\":\"new\",\"a_b\":4,\"ab\":true,\"b\":1}");
  CHECK(o.as_object().size() == 6);

  bool threw = false;
  try {
    Value::uinteger(1).as_double();
  } catch (const std::logic_error&) {
    threw = true;
  }
  CHECK(threw);
}

void test_value_semantics() {
  CHECK(!(Value::uinteger(1) == Value::number(1.0)));
  CHECK(!(Value::number(0.0) == Value::number(-0.0)));
  CHECK(Value::number(0.5) == Value::number(0.5));
  CHECK(!(Value::boolean(false) == Value()));
  CHECK(!(Value::uinteger(0) == Value::boolean(false)));
  CHECK(Value::object({{"a", Value()}}) == Value::object({{"a", Value()}}));
  CHECK(!(Value::object({{"a", Value()}}) == Value::object({{"b", Value()}})));

  Value a = Value::array({Value::string(std::string(100, 'x')), Value::object({{"k", Value::integer(-3)}})});
  Value b = a;  // deep copy
  b.as_array()[0] = Value::uinteger(1);
  CHECK(a.as_array()[0].as_string().size() == 100);
  Value c = std::move(a);
  CHECK(c.as_array().size() == 2);
  Value& self = c;
  c = self;
  c = std::move(self);
  CHECK(c.as_array()[1].as_object()[0].second.as_int() == -3);
}

void test_reader_errors() {
  const std::string ctrl =
      "control character (\\u0000-\\u001F) found while parsing a string";
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      // end of text: the position is the text's last byte
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
      // the offending byte
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"123abc", "trailing characters at line 1 column 4"},
      {"{\"a\": NaN}", "expected value at line 1 column 7"},
      {"'a'", "expected value at line 1 column 1"},
      {"[,1]", "expected value at line 1 column 2"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"trux", "expected ident at line 1 column 4"},
      {"nulL", "expected ident at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"\"\x01\"", ctrl + " at line 1 column 2"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"[1.7976931348623159e308]", "number out of range at line 1 column 23"},
      {"1e2147483648", "number out of range at line 1 column 12"},
      {"1e99999999999999", "number out of range at line 1 column 12"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
      // lines and columns: bytes, not characters; a stop at a line feed
      // counts that line feed
      {"[\n1,\n]", "trailing comma at line 3 column 1"},
      {"[\"\xC3\xA9\", x]", "expected value at line 1 column 8"},
      {"[\n", "EOF while parsing a list at line 2 column 0"},
      {"\"a\nb\"", ctrl + " at line 2 column 0"},
  };
  for (const auto& c : cases) CHECK_TEXT(err_of(c.text), c.error);

  ReadError bare{"some message", 0, 0};
  CHECK_TEXT(bare.text(), "some message");

  // Every proper prefix of a document ends early, at its own last byte.
  const std::string doc =
      "[null,true,false,-12.5e-3,{\"k\\u00e9\":[\"\\ud83d\\ude00\\n\",0]},\"\xE2\x82\xAC\",1E+2]";
  bool all_eof = true;
  for (std::size_t n = 0; n < doc.size(); ++n) {
    const std::string e = err_of(doc.substr(0, n));
    const std::string where = " at line 1 column " + std::to_string(n);
    if (e.rfind("EOF while parsing", 0) != 0 || e.size() < where.size() ||
        e.compare(e.size() - where.size(), where.size(), where) != 0) {
      all_eof = false;
      std::printf("  prefix %zu: %s\n", n, e.c_str());
    }
  }
  CHECK(all_eof);
  CHECK_TEXT(w(rd(doc)), "[null,true,false,-0.0125,{\"k\xC3\xA9\":[\"\xF0\x9F\x98\x80\\n\",0]},\"\xE2\x82\xAC\",100.0]");

  // A failed read leaves the output alone.
  Value keep = Value::uinteger(7);
  ReadError err;
  CHECK(!tamso::json::read("[1,", keep, err) && keep == Value::uinteger(7));
}

void test_numbers() {
  Value v = rd("18446744073709551615");
  CHECK(v.kind() == Kind::UInt && v.as_uint() == 18446744073709551615ull);
  v = rd("18446744073709551616");
  CHECK(v.kind() == Kind::Double);
  CHECK_TEXT(w(v), "1.8446744073709552e+19");
  v = rd("-9223372036854775808");
  CHECK(v.kind() == Kind::Int && v.as_int() == std::numeric_limits<std::int64_t>::min());
  v = rd("-9223372036854775809");
  CHECK(v.kind() == Kind::Double && v.as_double() == -9223372036854775808.0);
  v = rd("-1");
  CHECK(v.kind() == Kind::Int && v.as_int() == -1);
  v = rd("-0");
  CHECK(v.kind() == Kind::Double && std::signbit(v.as_double()));
  CHECK_TEXT(w(v), "-0.0");
  CHECK_TEXT(w(rd("0")), "0");
  CHECK(rd("0").kind() == Kind::UInt);
  CHECK_TEXT(w(rd("1.0")), "1.0");
  CHECK_TEXT(w(rd("-1.5E-3")) + " " + w(rd("1e+5")) + " " + w(rd("2E2")), "-0.0015 100000.0 200.0");
  CHECK_TEXT(w(rd("1" + std::string(30, '0'))), "1e+30");
  CHECK_TEXT(w(rd("-1" + std::string(30, '0'))), "-1e+30");

  // Underflow gives a zero of the number's sign, never an error.
  v = rd("1e-400");
  CHECK(v.kind() == Kind::Double && v.as_double() == 0 && !std::signbit(v.as_double()));
  v = rd("-1e-400");
  CHECK(v.kind() == Kind::Double && std::signbit(v.as_double()));
  // Exponents of twenty digits: settled by the exponent rules.
  CHECK_TEXT(w(rd("1e00000000000000000005")), "100000.0");
  CHECK_TEXT(w(rd("1e-99999999999999999999")), "0.0");
  CHECK_TEXT(w(rd("-1e-99999999999999999999")), "-0.0");
  CHECK_TEXT(w(rd("0e99999999999999999999")), "0.0");
  CHECK_TEXT(w(rd("-0.000e+99999999999999999999")), "-0.0");
  CHECK_TEXT(err_of("0.001e99999999999999999999"), "number out of range at line 1 column 16");
  // Over- and underflow are told apart by magnitude, not by the exponent's sign.
  CHECK_TEXT(w(rd("-0." + std::string(400, '0') + "1e5")), "-0.0");
  CHECK_TEXT(err_of("1" + std::string(400, '0') + "e-5"), "number out of range at line 1 column 404");

  // Correctly rounded, also where a long mantissa or the subnormal range matters.
  CHECK(rd("1.7976931348623157e308").as_double() == std::numeric_limits<double>::max());
  CHECK(rd("5e-324").as_double() == std::numeric_limits<double>::denorm_min());
  CHECK(rd("2.4703282292062328e-324").as_double() == std::numeric_limits<double>::denorm_min());
  CHECK(rd("2.4703282292062327e-324").as_double() == 0);
  CHECK(rd("9007199254740993.0").as_double() == 9007199254740992.0);
  CHECK(rd("0.1000000000000000055511151231257827021181583404541015625").as_double() == 0.1);
  CHECK(rd("1" + std::string(308, '0')).as_double() == 1e308);
  CHECK(rd("0." + std::string(400, '0') + "1e401").as_double() == 1.0);
  CHECK(rd("1" + std::string(400, '0') + "e-400").as_double() == 1.0);
}

void test_strings_and_nesting() {
  CHECK(rd("\"\\ud83d\\ude00\"").as_string() == "\xF0\x9F\x98\x80");
  CHECK_TEXT(w(rd("\"\\uD83D\\uDE00\"")), "\"\xF0\x9F\x98\x80\"");
  CHECK(rd("\"\\u00e9\\u20AC\\u0041\"").as_string() == "\xC3\xA9\xE2\x82\xAC" "A");
  CHECK(rd("\"\\u0000\"").as_string() == std::string(1, '\0'));
  CHECK(rd("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"").as_string() == "\"\\/\b\f\n\r\t");
  CHECK(rd(" \t\r\n\"x\"\n ").as_string() == "x");
  CHECK_TEXT(w(rd("{\"b\":1,\"a\":2,\"b\":3}")), "{\"a\":2,\"b\":3}");

  // Strings with every byte value except the high ones, escaped by the
  // writer and read back.
  std::uint64_t seed = 1;
  bool round_trips = true;
  for (int i = 0; i < 2000; ++i) {
    std::string s(splitmix(seed) % 70, ' ');
    for (char& c : s) c = static_cast<char>(splitmix(seed) % 0x80);
    Value back;
    ReadError err;
    if (!tamso::json::read(w(Value::string(s)), back, err) || !(back == Value::string(s))) round_trips = false;
  }
  CHECK(round_trips);

  auto nest = [](int depth, const char* open, const char* close) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
  };
  CHECK_TEXT(w(rd(nest(127, "[", "]"))), nest(127, "[", "]"));
  CHECK_TEXT(err_of(nest(128, "[", "]")), "recursion limit exceeded at line 1 column 128");
  CHECK_TEXT(w(rd(nest(126, "{\"a\":", "}").insert(126 * 5, "[]"))), nest(126, "{\"a\":", "}").insert(126 * 5, "[]"));
  CHECK_TEXT(err_of(nest(128, "{\"a\":", "}")), "recursion limit exceeded at line 1 column 636");
  // The limit is on open containers: many closed ones in a row are fine.
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += nest(100, "[", "]") + ",";
  CHECK(rd("[" + wide + "1]").as_array().size() == 301);
}

// The significant digits of a number text: no sign, point, exponent, or
// leading and trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char ch : text.substr(0, text.find('e'))) {
    if (ch >= '0' && ch <= '9') digits += ch;
  }
  digits.erase(0, digits.find_first_not_of('0'));
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

// write_double must give the shortest round-trip digits, the nearest of them
// to the value: those of std::to_chars. Checked on random bit patterns
// (subnormals included) and on short decimals, where the writer takes its
// fast path, and each text must read back as the same bits.
void test_double_digits_and_round_trips() {
  std::uint64_t seed = 42;
  int mismatches = 0;
  auto try_double = [&](double d) {
    if (!std::isfinite(d)) return;
    const std::string text = wd(d);
    char ref[64];
    const char* ref_end = std::to_chars(ref, ref + sizeof ref, d, std::chars_format::scientific).ptr;
    Value back;
    ReadError err;
    const bool ok = tamso::json::read(text, back, err) && back.kind() == Kind::Double &&
                    std::bit_cast<std::uint64_t>(back.as_double()) == std::bit_cast<std::uint64_t>(d) &&
                    significant_digits(text) == significant_digits(std::string_view(ref, ref_end - ref));
    if (!ok && ++mismatches <= 5) std::printf("  %s for %.17g\n", text.c_str(), d);
  };
  for (int i = 0; i < 300000; ++i) {
    std::uint64_t bits = splitmix(seed);
    if (i % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // subnormal (or zero)
    try_double(std::bit_cast<double>(bits));
  }
  for (int i = 0; i < 300000; ++i) {
    const std::uint64_t digits = splitmix(seed) % 10 + 1;
    const double m = static_cast<double>(splitmix(seed) % static_cast<std::uint64_t>(std::pow(10.0, digits)));
    const double scale = std::pow(10.0, static_cast<double>(splitmix(seed) % 40) - 25);
    try_double(m * scale);
    try_double(m / std::pow(10.0, static_cast<double>(splitmix(seed) % 23)));
    try_double(std::nextafter(m * scale, 1e300));
  }
  CHECK(mismatches == 0);
}

}  // namespace

// A group that throws (an accessor on a value that a failed read left null)
// counts as one more failure and the remaining groups still run.
void run(void (*group)(), const char* name) {
  try {
    group();
  } catch (const std::exception& e) {
    ++g_failed;
    std::printf("FAIL %s: exception: %s\n", name, e.what());
  }
}

int main() {
  run(test_writer_scalars_and_containers, "writer");
  run(test_double_layout, "double layout");
  run(test_string_escapes, "string escapes");
  run(test_object_order_and_set, "objects");
  run(test_value_semantics, "value semantics");
  run(test_reader_errors, "reader errors");
  run(test_numbers, "numbers");
  run(test_strings_and_nesting, "strings and nesting");
  run(test_double_digits_and_round_trips, "double digits and round trips");
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

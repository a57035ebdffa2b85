#include "json/number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "json/messages.hpp"

namespace tamso::json::detail {

namespace {

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

NumberScan failure(const char* message, const char* at) noexcept {
  NumberScan r;
  r.message = message;
  r.at = at;
  return r;
}

NumberScan success(const char* end) noexcept {
  NumberScan r;
  r.end = end;
  return r;
}

}  // namespace

std::size_t format_double(double d, char* buf) noexcept {
  char* o = buf;
  if (d == 0) {
    if (std::signbit(d)) *o++ = '-';
    std::memcpy(o, "0.0", 3);
    return static_cast<std::size_t>(o + 3 - buf);
  }
  if (d < 0) {
    *o++ = '-';
    d = -d;
  }
  // Shortest round-trip digits, always as d[.ddd]e(+|-)XX: the scientific
  // format gives digits and exponent in one fixed shape whatever the value.
  char sci[32];
  const char* const sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
  char digits[20];
  int n = 0;
  const char* s = sci;
  digits[n++] = *s++;
  if (*s == '.') {
    for (++s; *s != 'e'; ++s) digits[n++] = *s;
  }
  ++s;  // 'e'
  const bool negative_exponent = *s++ == '-';
  int e = 0;
  for (; s != sci_end; ++s) e = e * 10 + (*s - '0');
  if (negative_exponent) e = -e;

  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) {  // an integer: digits, zeros, ".0"
      std::memcpy(o, digits, static_cast<std::size_t>(n));
      o += n;
      for (int i = 0; i < e - n + 1; ++i) *o++ = '0';
      *o++ = '.';
      *o++ = '0';
    } else if (e < 0) {  // "0.", -e-1 zeros, the digits
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -e - 1; ++i) *o++ = '0';
      std::memcpy(o, digits, static_cast<std::size_t>(n));
      o += n;
    } else {  // e+1 integer digits, ".", the rest
      std::memcpy(o, digits, static_cast<std::size_t>(e + 1));
      o += e + 1;
      *o++ = '.';
      std::memcpy(o, digits + e + 1, static_cast<std::size_t>(n - e - 1));
      o += n - e - 1;
    }
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      std::memcpy(o, digits + 1, static_cast<std::size_t>(n - 1));
      o += n - 1;
    }
    *o++ = 'e';
    *o++ = e < 0 ? '-' : '+';
    o = std::to_chars(o, o + 4, e < 0 ? -e : e).ptr;
  }
  return static_cast<std::size_t>(o - buf);
}

// Integers that fit their 64-bit kind are read here digit by digit. Every
// other number (a fraction, an exponent, or more integer digits than 64 bits
// hold) becomes the double nearest to its exact decimal value, read by
// std::from_chars over the number's own text. The scan still tracks what the
// error rules need: whether any digit is nonzero, the decimal exponent of the
// leading nonzero digit, and the exponent, which is read as a signed 32-bit
// value so that an overlong exponent is settled here and never reaches
// from_chars.
NumberScan scan_number(const char* p, const char* end, Value& out) noexcept {
  const char* const start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end) return failure(msg::kEofValue, end);

  std::uint64_t significand = 0;
  bool is_double = false;       // a fraction, an exponent, or too many integer digits
  bool nonzero = false;         // some digit of integer part or fraction is not 0
  std::int64_t leading = 0;     // decimal exponent of the first nonzero digit
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return failure(msg::kInvalidNumber, p);
  } else if (is_digit(*p)) {
    const char* const first = p;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    significand = static_cast<std::uint64_t>(*p++ - '0');
    while (p != end && is_digit(*p)) {
      const auto digit = static_cast<std::uint64_t>(*p - '0');
      if (significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) {
        is_double = true;  // beyond 2^64 - 1
        while (p != end && is_digit(*p)) ++p;
        break;
      }
      significand = significand * 10 + digit;
      ++p;
    }
    nonzero = true;
    leading = (p - first) - 1;
  } else {
    return failure(msg::kInvalidNumber, p);  // "-" not followed by a digit
  }

  if (p != end && *p == '.') {
    ++p;
    if (p == end) return failure(msg::kEofValue, end);
    if (!is_digit(*p)) return failure(msg::kInvalidNumber, p);
    is_double = true;
    const char* const first = p;
    if (!nonzero) {
      while (p != end && *p == '0') ++p;
      if (p != end && is_digit(*p)) {
        nonzero = true;
        leading = -(p - first) - 1;
      }
    }
    while (p != end && is_digit(*p)) ++p;
  }

  std::int32_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative_exponent = false;
    if (p != end && (*p == '+' || *p == '-')) {
      negative_exponent = *p == '-';
      ++p;
    }
    if (p == end) return failure(msg::kEofValue, end);
    if (!is_digit(*p)) return failure(msg::kInvalidNumber, p);
    is_double = true;
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    exponent = *p++ - '0';
    while (p != end && is_digit(*p)) {
      const std::int32_t digit = *p - '0';
      if (exponent >= kMax / 10 && (exponent > kMax / 10 || digit > kMax % 10)) {
        // The exponent does not fit 32 bits: a nonzero value with a positive
        // exponent is out of range (stopping at this digit); anything else is
        // a zero, whatever the remaining digits.
        if (nonzero && !negative_exponent) return failure(msg::kNumberOutOfRange, p);
        while (p != end && is_digit(*p)) ++p;
        out = Value::number(negative ? -0.0 : 0.0);
        return success(p);
      }
      exponent = exponent * 10 + digit;
      ++p;
    }
    if (negative_exponent) exponent = -exponent;
  }

  if (!is_double) {
    if (!negative) {
      out = Value::uinteger(significand);
    } else if (significand == 0) {
      out = Value::number(-0.0);
    } else if (significand <= (std::uint64_t{1} << 63)) {
      // 0 - significand wraps to the two's complement of -significand;
      // 2^63 gives INT64_MIN.
      out = Value::integer(static_cast<std::int64_t>(0 - significand));
    } else {
      out = Value::number(-static_cast<double>(significand));
    }
    return success(p);
  }

  double d = 0;
  const std::from_chars_result r = std::from_chars(start, p, d, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves d alone on overflow and on underflow to zero alike;
    // the magnitude tells which. It is out of range only by hundreds of
    // decimal places, so the sign of the estimate is decisive.
    if (leading + exponent >= 0) return failure(msg::kNumberOutOfRange, p - 1);
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || r.ptr != p) {
    return failure(msg::kInvalidNumber, start);  // not reached: the text is valid
  }
  out = Value::number(d);
  return success(p);
}

}  // namespace tamso::json::detail

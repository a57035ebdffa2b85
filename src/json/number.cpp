#include "json/number.hpp"

#include <bit>
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

// Exact doubles 10^0 .. 10^22.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Shortest digits of d > 0 when they number 15 or fewer, as for most doubles
// met in data (0.25, 26930.41, 3.0), found more cheaply than by the general
// algorithm. With k chosen so that p = d * 10^k lies below 10^15,
// the scaled rounding interval of d is narrower than 0.23, so at most one
// integer m reads back as d, i.e. m / 10^k rounds to d, and rounding p finds
// it: the error of the product is below 0.07. That m, when it exists, is the
// shortest candidate padded with zeros, as any candidate of 15 digits or
// fewer pads to one with k fraction digits. Both 10^k and m are exact doubles
// and IEEE division rounds correctly, so the check m / 10^k == d is exact.
// Writes the digits (trailing zeros removed) and returns their count, with
// the decimal exponent in *exponent; returns 0 when d needs more digits or
// lies outside [1e-8, 1e15).
int short_digits(double d, char* digits, int* exponent) noexcept {
  if (!(d >= 1e-8 && d < 1e15)) return 0;
  // d is normal here: its biased exponent field is floor(log2 d) + 1023.
  const int log2 = static_cast<int>(std::bit_cast<std::uint64_t>(d) >> 52) - 1023;
  // floor(log2 * log10(2)) is the decimal exponent of d or one below it.
  int k = 14 - ((log2 * 78913) >> 18);
  if (k > 22) k = 22;
  double p = d * kPow10[k];
  if (p >= 1e15) p = d * kPow10[--k];
  if (k < 0) return 0;
  // Round p to an integer (ties to even): below 2^52, adding and removing
  // 2^52 leaves no fraction bits. Cheaper than a call to nearbyint.
  constexpr double kTwo52 = 4503599627370496.0;
  const double m = (p + kTwo52) - kTwo52;
  if (m / kPow10[k] != d) return 0;
  char buf[20];
  const int len = static_cast<int>(std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(m)).ptr - buf);
  int n = len;
  while (buf[n - 1] == '0') --n;
  std::memcpy(digits, buf, static_cast<std::size_t>(n));
  *exponent = len - 1 - k;
  return n;
}

// Shortest round-trip digits of d > 0 from std::to_chars, always asked for in
// scientific form d[.ddd]e(+|-)XX so that digits and exponent come in one
// fixed shape whatever the value.
int general_digits(double d, char* digits, int* exponent) noexcept {
  char sci[32];
  const char* const sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
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
  *exponent = negative_exponent ? -e : e;
  return n;
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
  char digits[20];
  int e = 0;
  int n = short_digits(d, digits, &e);
  if (n == 0) n = general_digits(d, digits, &e);

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

// String helpers shared by the writer and the reader.
//
// Both sides care about the same bytes: the control bytes 0x00-0x1F, the
// double quote and the backslash. The writer escapes them; the reader stops at
// them (end of string, escape, or a control byte to refuse). Everything else,
// including every byte of a multi-byte UTF-8 sequence, is copied as it is.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tamso::json::detail {

// What the writer puts after a backslash for each byte: 0 for a byte written
// as it is, 'u' for \u00XX, otherwise the escape letter (or the byte itself
// for '"' and '\\').
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}

inline constexpr std::array<char, 256> kEscape = make_escape_table();

inline bool is_special(unsigned char c) noexcept { return kEscape[c] != 0; }

// Returns the first position in [p, end) holding a control byte, '"' or '\\',
// or end. Eight bytes at a time: for each byte of the word, the high bit of
// `hits` is set when the byte is special. The usual has-zero-byte trick can
// also flag a byte lying above a real hit (borrow propagation), never below
// one, so the lowest flagged byte is always a real hit.
inline const char* find_special(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      const std::uint64_t quote = w ^ (ones * '"');
      const std::uint64_t slash = w ^ (ones * '\\');
      std::uint64_t hits = ((w - ones * 0x20) | (quote - ones) | (slash - ones)) & ~w & highs;
      // ~w masks out bytes >= 0x80; for the xor-ed words the same high bit is
      // clear exactly when it is clear in w, since '"' and '\\' are ASCII.
      if (hits != 0) return p + (std::countr_zero(hits) >> 3);
      p += 8;
    }
  }
  while (p != end && !is_special(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace tamso::json::detail

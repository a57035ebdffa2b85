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

// Special-byte flags of an 8-byte word: the high bit of each byte is set
// when that byte is special. The usual has-zero-byte trick can also flag a
// byte lying above a real hit (borrow propagation), never below one, so the
// lowest flagged byte is always a real hit.
inline std::uint64_t special_bytes(std::uint64_t w) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ull;
  constexpr std::uint64_t highs = 0x8080808080808080ull;
  const std::uint64_t quote = w ^ (ones * '"');
  const std::uint64_t backslash = w ^ (ones * '\\');
  // ~w masks out bytes >= 0x80; for the xor-ed words the high bit is clear
  // exactly when it is clear in w, since '"' and '\\' are ASCII.
  return ((w - ones * 0x20) | (quote - ones) | (backslash - ones)) & ~w & highs;
}

// Returns the first position in [p, end) holding a control byte, '"' or '\\',
// or end; bytes from `lo` (at most p) to end may be read. Eight bytes at a
// time; a tail shorter than eight is read as the last eight bytes of the range
// when `lo` leaves room for that, with the bytes before p neutralised.
inline const char* find_special(const char* p, const char* end, const char* lo) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t w;
    while (end - p >= 8) {
      std::memcpy(&w, p, 8);
      if (const std::uint64_t hits = special_bytes(w)) return p + (std::countr_zero(hits) >> 3);
      p += 8;
    }
    if (p == end) return end;
    const auto skip = static_cast<unsigned>(8 - (end - p));  // bytes of the word before p
    if (p - lo >= skip) {
      std::memcpy(&w, end - 8, 8);
      // Overwrite the bytes before p with 'A': a special byte among them
      // could otherwise flag a byte above it.
      const std::uint64_t before = (std::uint64_t{1} << (skip * 8)) - 1;
      w = (w & ~before) | (0x4141414141414141ull & before);
      const std::uint64_t hits = special_bytes(w) >> (skip * 8);
      return hits != 0 ? p + (std::countr_zero(hits) >> 3) : end;
    }
  }
  while (p != end && !is_special(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace tamso::json::detail

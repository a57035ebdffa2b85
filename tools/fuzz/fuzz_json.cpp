// libFuzzer target for the JSON reader and writer.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//       src/json/*.cpp tools/fuzz/fuzz_json.cpp -o fuzz_json
//   ./fuzz_json tools/fuzz/seeds
//
// Without libFuzzer (any compiler), -DFUZZ_JSON_STANDALONE adds a main that
// runs each file named on the command line and then random mutations of
// them (byte flips, insertions, deletions, splices of JSON tokens):
//   g++ -std=c++20 -g -O1 -fsanitize=address,undefined -DFUZZ_JSON_STANDALONE
//       -Isrc src/json/*.cpp tools/fuzz/fuzz_json.cpp -o fuzz_json
//   ./fuzz_json tools/fuzz/seeds/* [--iterations N]
//
// Callers only ever hand the reader valid UTF-8, so other inputs are skipped.
// For an accepted input: write it, read the text back, and require the same
// value, and the same text when written again.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace {

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // no overlong forms
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

long g_accepted = 0;  // inputs that read as a value, reported by the standalone driver

[[noreturn]] void mismatch(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "%s\n first:  %s\n second: %s\n", what, a.c_str(), b.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!valid_utf8(data, size)) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tamso::json::Value value;
  tamso::json::ReadError err;
  if (!tamso::json::read(text, value, err)) {
    if (err.line == 0 || err.message.empty()) mismatch("error without a position", err.text(), "");
    return 0;
  }
  ++g_accepted;
  const std::string first = tamso::json::write(value);
  tamso::json::Value again;
  if (!tamso::json::read(first, again, err)) mismatch("written text refused", first, err.text());
  if (!(again == value)) mismatch("value changed by a round trip", first, tamso::json::write(again));
  const std::string second = tamso::json::write(again);
  if (second != first) mismatch("text changed by a round trip", first, second);
  return 0;
}

#ifdef FUZZ_JSON_STANDALONE

#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> corpus;
  long iterations = 200000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--iterations" && i + 1 < argc) {
      iterations = std::strtol(argv[++i], nullptr, 10);
      continue;
    }
    std::ifstream in(arg, std::ios::binary);
    corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (corpus.empty()) corpus.emplace_back("[]");
  for (const std::string& s : corpus) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  static const char* const kTokens[] = {"[", "]", "{", "}", ",", ":", "\"", "\\", "\\u", "\\uD83D", "\\uDE00",
                                        "-", "0", "1", ".", "e", "E+", "e-", "99999999999", "null", "true",
                                        "false", " ", "\n", "\t", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  std::uint64_t state = 0x243F6A8885A308D3ull;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (long n = 0; n < iterations; ++n) {
    std::string s = corpus[next() % corpus.size()];
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = s.empty() ? 0 : next() % (s.size() + 1);
      switch (next() % 4) {
        case 0:
          if (at < s.size()) s[at] = static_cast<char>(next() & 0x7F);
          break;
        case 1:
          if (at < s.size()) s.erase(at, 1 + next() % 3);
          break;
        case 2: s.insert(at, kTokens[next() % std::size(kTokens)]); break;
        default: s = s.substr(0, at); break;
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  std::printf("%zu files and %ld mutations run, %ld inputs accepted\n", corpus.size(), iterations, g_accepted);
  return 0;
}

#endif  // FUZZ_JSON_STANDALONE

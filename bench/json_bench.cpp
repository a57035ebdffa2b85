// Throughput of the JSON writer and reader on three documents:
//
//   inspection  {"assets": [1,000 records of 9 members]}, two members of each
//               record holding Python source text, 10 MB of it in all (many
//               line feeds and double quotes, some backslashes and non-ASCII)
//   numbers     an array of 1,000,000 numbers, integers and doubles mixed
//   strings     an array of 1,000,000 short strings
//
// Each case is timed as the best of several runs (steady clock); throughput is
// the JSON text's size over that time, in MB/s (10^6 bytes per second). Reading
// is timed up to the finished value; freeing it is not counted.
//
//   g++ -std=c++20 -O2 -Isrc src/json/*.cpp bench/json_bench.cpp -o json_bench
//   ./json_bench [--json] [--repeat N] [--dump DIR]
//
// --json prints one JSON object of the results instead of the table; --dump
// DIR writes each document's text to DIR/<case>.json, so that other readers
// and writers can be timed on the very same text.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

using tamso::json::Value;

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

// Pieces of Python source; {N} is replaced by a number so that records differ.
const char* const kSnippets[] = {
    "def load_{N}(context, path=\"data/{N}.csv\"):\n"
    "    \"\"\"Load the \"raw\" rows \xe2\x80\x94 a na\xc3\xafve parser.\"\"\"\n"
    "    rows = []\n"
    "    with open(path, encoding=\"utf-8\") as fh:\n"
    "        for line in fh:\n"
    "            if line.startswith(\"#\"):\n"
    "                continue\n"
    "            rows.append(line.rstrip(\"\\n\").split(\"\\t\"))\n"
    "    return rows\n\n",
    "@asset(deps=[\"upstream_{N}\"], group=\"finance\")\n"
    "def revenue_{N}(orders):\n"
    "    totals = {}\n"
    "    for order in orders:\n"
    "        key = (order[\"region\"], order[\"month\"])\n"
    "        totals[key] = totals.get(key, 0) + order[\"amount\"]\n"
    "    return [{\"region\": r, \"month\": m, \"total\": t} for (r, m), t in totals.items()]\n\n",
    "PATTERN_{N} = re.compile(r\"^(\\d{4})-(\\d{2})-(\\d{2})\\s+\\\"(.*)\\\"$\")\n",
    "    log.info(\"processed %d rows for %s \xe2\x86\x92 %s\", len(rows), source, target)\n",
    "class Config{N}:\n"
    "    name: str = \"caf\xc3\xa9\"\n"
    "    windows_path: str = \"C:\\\\data\\\\in\\\\{N}\"\n"
    "    threshold: float = 0.{N}\n\n",
    "    # \xe8\xa8\x88\xe7\xae\x97 the rolling mean over {N} days\n"
    "    frame[\"mean\"] = frame[\"value\"].rolling({N}).mean()\n",
    "    if not isinstance(value, (int, float)):\n"
    "        raise TypeError(f\"expected a number, got {type(value).__name__!r}\")\n",
};

std::string python_source(Rng& rng, std::size_t target) {
  std::string s;
  while (s.size() < target) {
    std::string piece = kSnippets[rng.below(std::size(kSnippets))];
    const std::string n = std::to_string(rng.below(100000));
    for (std::size_t at; (at = piece.find("{N}")) != std::string::npos;) piece.replace(at, 3, n);
    s += piece;
  }
  return s;
}

Value inspection_document() {
  Rng rng{0x9E3779B97F4A7C15ull};
  Value::Array assets;
  constexpr std::size_t kRecords = 1000;
  constexpr std::size_t kSourceBytes = 10'000'000 / kRecords / 2;  // per string member
  for (std::size_t i = 0; i < kRecords; ++i) {
    const std::string name = "asset_" + std::to_string(i);
    Value::Array deps;
    for (std::size_t d = 0; d < i % 4; ++d) deps.push_back(Value::string("asset_" + std::to_string(rng.below(i + 1))));
    assets.push_back(Value::object({
        {"name", Value::string(name)},
        {"module", Value::string("pipelines.finance.m" + std::to_string(i / 50))},
        {"source", Value::string(python_source(rng, kSourceBytes))},
        {"original_source", Value::string(python_source(rng, kSourceBytes))},
        {"line", Value::uinteger(10 + rng.below(5000))},
        {"deps", Value::array(std::move(deps))},
        {"is_async", Value::boolean(i % 7 == 0)},
        {"group", i % 3 == 0 ? Value() : Value::string("group_" + std::to_string(i % 11))},
        {"weight", Value::number(static_cast<double>(rng.below(1000000)) / 1000.0)},
    }));
  }
  return Value::object({{"assets", Value::array(std::move(assets))}});
}

Value numbers_document() {
  Rng rng{12345};
  Value::Array items;
  items.reserve(1'000'000);
  for (std::size_t i = 0; i < 1'000'000; ++i) {
    switch (i % 4) {
      case 0: items.push_back(Value::uinteger(rng.below(1'000'000))); break;
      case 1: items.push_back(Value::integer(-static_cast<std::int64_t>(rng.next() >> 1))); break;
      case 2: items.push_back(Value::number(static_cast<double>(rng.below(10'000'000)) / 100.0)); break;
      default: items.push_back(Value::number(static_cast<double>(rng.next() >> 11) * 0x1p-53 * 1e6)); break;
    }
  }
  return Value::array(std::move(items));
}

Value strings_document() {
  Rng rng{777};
  static const char* const kWords[] = {"2024-01-", "region-", "eu-west-", "customer_", "caf\xc3\xa9-", "p"};
  Value::Array items;
  items.reserve(1'000'000);
  for (std::size_t i = 0; i < 1'000'000; ++i) {
    items.push_back(Value::string(kWords[rng.below(std::size(kWords))] + std::to_string(rng.below(100000))));
  }
  return Value::array(std::move(items));
}

template <class F>
double best_seconds(int repeat, F&& f) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    best = std::min(best, f());
  }
  return best;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Result {
  std::string name;
  std::size_t bytes;
  double write_s;
  double read_s;
};

}  // namespace

int main(int argc, char** argv) {
  bool as_json = false;
  int repeat = 5;
  std::string dump_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      as_json = true;
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dump" && i + 1 < argc) {
      dump_dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--json] [--repeat N] [--dump DIR]\n", argv[0]);
      return 2;
    }
  }

  struct Case {
    const char* name;
    Value (*make)();
  };
  const Case cases[] = {{"inspection", inspection_document},
                        {"numbers", numbers_document},
                        {"strings", strings_document}};
  std::vector<Result> results;
  for (const Case& c : cases) {
    const Value doc = c.make();
    std::string text;
    const double write_s = best_seconds(repeat, [&] {
      const auto start = std::chrono::steady_clock::now();
      text = tamso::json::write(doc);
      return seconds_since(start);
    });
    const double read_s = best_seconds(repeat, [&] {
      Value back;
      tamso::json::ReadError err;
      const auto start = std::chrono::steady_clock::now();
      const bool ok = tamso::json::read(text, back, err);
      const double s = seconds_since(start);
      if (!ok || !(back == doc)) {
        std::fprintf(stderr, "%s: read back differs (%s)\n", c.name, ok ? "other value" : err.text().c_str());
        std::exit(1);
      }
      return s;
    });
    if (!dump_dir.empty()) {
      std::ofstream out(dump_dir + "/" + c.name + ".json", std::ios::binary);
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      if (!out) {
        std::fprintf(stderr, "cannot write %s/%s.json\n", dump_dir.c_str(), c.name);
        return 1;
      }
    }
    results.push_back({c.name, text.size(), write_s, read_s});
  }

  if (as_json) {
    Value::Object all;
    for (const Result& r : results) {
      all.emplace_back(r.name, Value::object({
                                   {"bytes", Value::uinteger(r.bytes)},
                                   {"write_s", Value::number(r.write_s)},
                                   {"read_s", Value::number(r.read_s)},
                                   {"write_mb_s", Value::number(static_cast<double>(r.bytes) / 1e6 / r.write_s)},
                                   {"read_mb_s", Value::number(static_cast<double>(r.bytes) / 1e6 / r.read_s)},
                               }));
    }
    std::printf("%s\n", tamso::json::write(Value::object(std::move(all))).c_str());
  } else {
    std::printf("%-12s %12s %12s %12s %12s %12s\n", "case", "bytes", "write ms", "write MB/s", "read ms",
                "read MB/s");
    for (const Result& r : results) {
      const double mb = static_cast<double>(r.bytes) / 1e6;
      std::printf("%-12s %12zu %12.2f %12.1f %12.2f %12.1f\n", r.name.c_str(), r.bytes, r.write_s * 1e3,
                  mb / r.write_s, r.read_s * 1e3, mb / r.read_s);
    }
  }
  return 0;
}

// Read (text to value) and write (value to text) speed of the JSON reader and
// writer on the nativejson documents and on the text json.dumps makes of
// them, beside RapidJSON and simdjson when those are installed.
//
//   vorda_json_bench [--corpora DIR] [--dumps DIR] [Google Benchmark flags]
//
// Every benchmark reports bytes_per_second: the document's size divided by
// the time of one read or one write, so the reader and writer rows of a
// document measure the same bytes. Reading includes freeing the value read,
// as json.loads does.
//
// The comparisons keep our semantics where it costs them something:
//   rapidjson  (rapidjson_case.cpp, a translation unit of its own with its
//              SIMD switch) Document::Parse with kParseFullPrecisionFlag
//              (correctly rounded floats), then every object's members sorted
//              in place by key bytes with the later of equal keys kept;
//              Writer over that document into a fresh StringBuffer.
//   simdjson   DOM parse into a reused parser (its intended use) and
//              to_string; keys stay unsorted, so it is shown for scale only.
//
// Built on Google Benchmark when it is installed; otherwise a plain
// std::chrono harness that takes the same --benchmark_out=FILE flag and
// writes the same JSON fields (name, aggregate_name, bytes_per_second).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.hpp"

#if VORDA_GOOGLE_BENCHMARK
#include <benchmark/benchmark.h>
#endif
#if VORDA_BENCH_RAPIDJSON
#include "rapidjson_case.hpp"
#endif
#if VORDA_BENCH_SIMDJSON
#include <simdjson.h>
#endif

namespace {

template <class T>
inline void keep(T&& value) {
#if VORDA_GOOGLE_BENCHMARK
  benchmark::DoNotOptimize(value);
#else
  asm volatile("" : : "g"(&value) : "memory");
#endif
}

bool slurp(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// ---- vorda -----------------------------------------------------------------

struct VordaCase {
  vorda::json::Value value;
  bool load(const std::string& text) {
    vorda::json::ReadError error;
    if (vorda::json::read(text, value, error)) return true;
    std::fprintf(stderr, "vorda: %s\n", error.describe().c_str());
    return false;
  }
  static void read(const std::string& text) {
    vorda::json::Value value;
    vorda::json::ReadError error;
    bool ok = vorda::json::read(text, value, error);
    if (!ok) std::abort();
    keep(value);
  }
  // Into a fresh buffer each time, as RapidJSON's rows write into a fresh
  // StringBuffer.
  void write() const {
    vorda::json::Text out;
    vorda::json::write(value, out);
    keep(out);
  }
};

// ---- simdjson ----------------------------------------------------------------

#if VORDA_BENCH_SIMDJSON
struct SimdCase {
  simdjson::padded_string padded;
  simdjson::dom::parser parser;  // reused, as simdjson is meant to be used
  simdjson::dom::parser write_parser;
  simdjson::dom::element root;
  bool load(const std::string& text) {
    padded = simdjson::padded_string(text);
    if (write_parser.parse(padded).get(root) != simdjson::SUCCESS) {
      std::fprintf(stderr, "simdjson: parse error\n");
      return false;
    }
    return true;
  }
  void read() {
    simdjson::dom::element element;
    if (parser.parse(padded).get(element) != simdjson::SUCCESS) std::abort();
    keep(element);
  }
  void write() const {
    std::string out = simdjson::to_string(root);
    keep(out);
  }
};
#endif

struct Document {
  std::string name;
  std::string text;
  VordaCase vorda;
#if VORDA_BENCH_RAPIDJSON
  bench::RapidCase rapid;
#endif
#if VORDA_BENCH_SIMDJSON
  SimdCase simd;
#endif
};

std::vector<std::unique_ptr<Document>> load(const std::string& corpora, const std::string& dumps) {
  std::vector<std::unique_ptr<Document>> docs;
  for (const char* base : {"canada", "citm_catalog", "twitter"}) {
    for (const auto& [dir, suffix] : {std::pair{corpora, ".json"}, std::pair{dumps, ".dumps.json"}}) {
      auto doc = std::make_unique<Document>();
      doc->name = std::string(base) + suffix;
      if (!slurp(dir + "/" + doc->name, doc->text)) {
        std::fprintf(stderr, "skipping %s/%s (not found)\n", dir.c_str(), doc->name.c_str());
        continue;
      }
      bool ok = doc->vorda.load(doc->text);
#if VORDA_BENCH_RAPIDJSON
      if (ok && !doc->rapid.load(doc->text)) {
        std::fprintf(stderr, "rapidjson: cannot read %s\n", doc->name.c_str());
        ok = false;
      }
#endif
#if VORDA_BENCH_SIMDJSON
      ok = ok && doc->simd.load(doc->text);
#endif
      if (ok) docs.push_back(std::move(doc));
    }
  }
  return docs;
}

struct Case {
  std::string name;  // operation/library/document
  std::size_t bytes;
  std::function<void()> run;
};

std::vector<Case> cases(std::vector<std::unique_ptr<Document>>& docs) {
  std::vector<Case> all;
  for (auto& owned : docs) {
    Document* d = owned.get();
    const std::size_t n = d->text.size();
    all.push_back({"read/vorda/" + d->name, n, [d] { VordaCase::read(d->text); }});
#if VORDA_BENCH_RAPIDJSON
    all.push_back({"read/rapidjson/" + d->name, n, [d] { keep(bench::RapidCase::read(d->text)); }});
#endif
#if VORDA_BENCH_SIMDJSON
    all.push_back({"read/simdjson/" + d->name, n, [d] { d->simd.read(); }});
#endif
    all.push_back({"write/vorda/" + d->name, n, [d] { d->vorda.write(); }});
#if VORDA_BENCH_RAPIDJSON
    all.push_back({"write/rapidjson/" + d->name, n, [d] { keep(d->rapid.write()); }});
#endif
#if VORDA_BENCH_SIMDJSON
    all.push_back({"write/simdjson/" + d->name, n, [d] { d->simd.write(); }});
#endif
  }
  return all;
}

#if !VORDA_GOOGLE_BENCHMARK
// Seconds per call in each of `rounds` batches of about 0.2 s; the batches of
// all cases are interleaved round by round, so slow phases of a shared
// machine spread over every case.
std::vector<std::vector<double>> plain_times(const std::vector<Case>& all, int rounds) {
  using clock = std::chrono::steady_clock;
  std::vector<long> counts;
  for (const Case& c : all) {
    auto t0 = clock::now();
    c.run();
    double once = std::chrono::duration<double>(clock::now() - t0).count();
    counts.push_back(std::max(1L, static_cast<long>(0.2 / std::max(once, 1e-9))));
  }
  std::vector<std::vector<double>> times(all.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      auto start = clock::now();
      for (long k = 0; k < counts[i]; ++k) all[i].run();
      times[i].push_back(std::chrono::duration<double>(clock::now() - start).count() / static_cast<double>(counts[i]));
    }
  }
  return times;
}

int plain_main(const std::vector<Case>& all, int rounds, const std::string& out_path) {
  auto times = plain_times(all, rounds);
  std::string json = "{\"context\":{\"harness\":\"plain\"},\"benchmarks\":[";
  std::printf("%-40s%14s\n", "case", "MB/s");
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::vector<double> t = times[i];
    std::sort(t.begin(), t.end());
    double median = t[t.size() / 2];
    double rate = static_cast<double>(all[i].bytes) / median;
    std::printf("%-40s%14.1f\n", all[i].name.c_str(), rate / 1e6);
    char row[512];
    std::snprintf(row, sizeof row, "%s{\"name\":\"%s_median\",\"aggregate_name\":\"median\",\"bytes_per_second\":%.6g}",
                  i ? "," : "", all[i].name.c_str(), rate);
    json += row;
  }
  json += "]}\n";
  if (!out_path.empty()) {
    std::ofstream out(out_path, std::ios::binary);
    out << json;
  }
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::string corpora = VORDA_BENCH_CORPORA;
  std::string dumps = VORDA_BENCH_DUMPS;
  std::vector<char*> rest{argv[0]};
  [[maybe_unused]] int rounds = 5;
  [[maybe_unused]] std::string out_path;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--corpora" && i + 1 < argc) {
      corpora = argv[++i];
    } else if (arg == "--dumps" && i + 1 < argc) {
      dumps = argv[++i];
    } else {
#if !VORDA_GOOGLE_BENCHMARK
      if (arg.starts_with("--benchmark_out=")) out_path = std::string(arg.substr(16));
      if (arg.starts_with("--benchmark_repetitions=")) rounds = std::max(1, std::atoi(argv[i] + 24));
#endif
      rest.push_back(argv[i]);
    }
  }
  static std::vector<std::unique_ptr<Document>> docs = load(corpora, dumps);
  if (docs.empty()) {
    std::fprintf(stderr, "no documents under %s\n", corpora.c_str());
    return 1;
  }
  static std::vector<Case> all = cases(docs);

#if VORDA_GOOGLE_BENCHMARK
  for (const Case& c : all) {
    benchmark::RegisterBenchmark(c.name.c_str(), [&c](benchmark::State& state) {
      for (auto _ : state) c.run();
      state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(c.bytes));
    })->Unit(benchmark::kMillisecond);
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
#else
  return plain_main(all, rounds, out_path);
#endif
}

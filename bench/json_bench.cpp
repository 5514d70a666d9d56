// Read (text to value) and write (value to text) speed of the JSON reader and
// writer on the nativejson documents and on the text json.dumps makes of them.
//
//   vorda_json_bench [--corpora DIR] [--dumps DIR] [Google Benchmark flags]
//
// MB/s is the document's size (10^6 bytes per MB) divided by the time of one
// read or one write, so both columns of a row measure the same document.
// Reading includes freeing the value read, as json.loads does.
// Built on Google Benchmark when it is installed, on a plain std::chrono
// harness otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "json.hpp"

#if VORDA_GOOGLE_BENCHMARK
#include <benchmark/benchmark.h>
#endif

namespace {

using vorda::json::Value;

struct Document {
  std::string name;
  std::string text;
  Value value;
};

bool slurp(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::vector<Document> load(const std::string& corpora, const std::string& dumps) {
  std::vector<Document> docs;
  for (const char* base : {"canada", "citm_catalog", "twitter"}) {
    for (const auto& [dir, suffix] : {std::pair{corpora, ".json"}, std::pair{dumps, ".dumps.json"}}) {
      Document doc;
      doc.name = std::string(base) + suffix;
      if (!slurp(dir + "/" + doc.name, doc.text)) {
        std::fprintf(stderr, "skipping %s/%s (not found)\n", dir.c_str(), doc.name.c_str());
        continue;
      }
      vorda::json::ReadError error;
      if (!vorda::json::read(doc.text, doc.value, error)) {
        std::fprintf(stderr, "%s: %s\n", doc.name.c_str(), error.describe().c_str());
        continue;
      }
      docs.push_back(std::move(doc));
    }
  }
  return docs;
}

void read_once(const Document& doc) {
  Value value;
  vorda::json::ReadError error;
  bool ok = vorda::json::read(doc.text, value, error);
#if VORDA_GOOGLE_BENCHMARK
  benchmark::DoNotOptimize(ok);
  benchmark::DoNotOptimize(value);
#else
  if (!ok) std::abort();
#endif
}

std::size_t write_once(const Document& doc) {
  std::string out;
  vorda::json::write(doc.value, out);
  return out.size();
}

#if !VORDA_GOOGLE_BENCHMARK
// Time of one call: the median over five batches of about 0.5 s each.
double median_seconds(const std::function<void()>& call) {
  using clock = std::chrono::steady_clock;
  auto t0 = clock::now();
  call();
  double once = std::chrono::duration<double>(clock::now() - t0).count();
  long n = std::max(1L, static_cast<long>(0.5 / std::max(once, 1e-9)));
  std::vector<double> times;
  for (int round = 0; round < 5; ++round) {
    auto start = clock::now();
    for (long i = 0; i < n; ++i) call();
    times.push_back(std::chrono::duration<double>(clock::now() - start).count() / static_cast<double>(n));
  }
  std::sort(times.begin(), times.end());
  return times[2];
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::string corpora = VORDA_BENCH_CORPORA;
  std::string dumps = VORDA_BENCH_DUMPS;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--corpora") == 0 && i + 1 < argc) {
      corpora = argv[++i];
    } else if (std::strcmp(argv[i], "--dumps") == 0 && i + 1 < argc) {
      dumps = argv[++i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  static std::vector<Document> docs = load(corpora, dumps);
  if (docs.empty()) {
    std::fprintf(stderr, "no documents under %s\n", corpora.c_str());
    return 1;
  }

#if VORDA_GOOGLE_BENCHMARK
  for (const Document& doc : docs) {
    const auto size = static_cast<double>(doc.text.size());
    benchmark::RegisterBenchmark(("read/" + doc.name).c_str(), [&doc, size](benchmark::State& state) {
      for (auto _ : state) read_once(doc);
      state.counters["MB/s"] = benchmark::Counter(size / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("write/" + doc.name).c_str(), [&doc, size](benchmark::State& state) {
      for (auto _ : state) benchmark::DoNotOptimize(write_once(doc));
      state.counters["MB/s"] = benchmark::Counter(size / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    })->Unit(benchmark::kMillisecond);
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#else
  std::printf("%-26s%10s%14s%14s\n", "document", "bytes", "read MB/s", "write MB/s");
  for (const Document& doc : docs) {
    double mb = static_cast<double>(doc.text.size()) / 1e6;
    double read = median_seconds([&] { read_once(doc); });
    std::size_t written = 0;
    double write = median_seconds([&] { written += write_once(doc); });
    std::printf("%-26s%10zu%14.1f%14.1f\n", doc.name.c_str(), doc.text.size(), mb / read, mb / write);
  }
#endif
  return 0;
}

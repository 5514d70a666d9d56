// Runs a fuzz target over files without libFuzzer: each argument is a file or
// a directory of files (read in name order). Missing paths are skipped, so
// that corpora that are not there leave a local run green; under CI
// (CI=true) a missing path fails, and a run that replayed nothing fails
// everywhere. Used by CTest to replay the regressions and the seed corpora on
// every test run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const char* ci = std::getenv("CI");
  const bool strict = ci != nullptr && std::string_view(ci) == "true";
  int replayed = 0;
  int absent = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path root = argv[i];
    std::vector<fs::path> files;
    if (fs::is_directory(root)) {
      for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(root)) {
      files.push_back(root);
    } else {
      std::printf("%s (absent): %s\n", strict ? "missing" : "skipped", root.c_str());
      ++absent;
      continue;
    }
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      std::fprintf(stderr, "%s\n", file.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  if (replayed == 0) {
    std::printf("nothing was replayed\n");
    return 1;
  }
  return strict && absent > 0 ? 1 : 0;
}

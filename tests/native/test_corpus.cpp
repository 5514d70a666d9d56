// The reader against third-party corpora: JSONTestSuite's parsing documents
// and the nativejson benchmark documents. Skipped when the corpora are absent,
// except under CI (CI=true), where a missing corpus fails the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace fs = std::filesystem;
using vorda::json::ReadError;
using vorda::json::Value;

namespace {

const fs::path kCorpora = VORDA_CORPORA_DIR;

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    int n = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (n < 0 || s.size() - i <= static_cast<std::size_t>(n)) return false;
    std::uint32_t cp = n == 0 ? b : b & (0x3F >> n);
    for (int k = 1; k <= n; ++k) {
      auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(n) + 1;
  }
  return true;
}

// Reading the written text of a value gives the same value and text again.
void expect_round_trip(const Value& value, const std::string& name) {
  std::string written = vorda::json::write(value);
  Value again;
  ReadError error;
  ASSERT_TRUE(vorda::json::read(written, again, error)) << name << ": " << error.describe();
  EXPECT_TRUE(again == value) << name;
  EXPECT_EQ(vorda::json::write(again), written) << name;
}

// n_ documents that are valid UTF-8 and yet are accepted by the reader, with the
// reason. None so far: every such document breaks a reading rule.
const std::set<std::string> kAcceptedNegatives = {};

TEST(Corpus, JsonTestSuite) {
  const fs::path dir = kCorpora / "JSONTestSuite" / "test_parsing";
  if (!fs::is_directory(dir)) {
    if (in_ci()) FAIL() << "no corpus at " << dir;
    GTEST_SKIP() << "no corpus at " << dir;
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());

  int accepted = 0, refused = 0, skipped_invalid_utf8 = 0;
  std::string implementation_defined;
  for (const fs::path& path : files) {
    const std::string name = path.filename().string();
    const std::string text = slurp(path);
    Value value;
    ReadError error;
    const bool ok = vorda::json::read(text, value, error);
    ok ? ++accepted : ++refused;
    if (!ok) {
      // Every refusal carries one of the fixed messages and a real position.
      EXPECT_NE(error.message, nullptr) << name;
      EXPECT_GE(error.line, 1u) << name;
    }
    switch (name[0]) {
      case 'y':
        EXPECT_TRUE(ok) << name << ": " << error.describe();
        if (ok) expect_round_trip(value, name);
        break;
      case 'n':
        if (!valid_utf8(text)) {
          ++skipped_invalid_utf8;  // the reader's input is always valid UTF-8
        } else if (kAcceptedNegatives.count(name) != 0) {
          EXPECT_TRUE(ok) << name << " is listed as accepted";
        } else {
          EXPECT_FALSE(ok) << name << " was accepted";
        }
        break;
      default:
        implementation_defined += "  " + name + ": " + (ok ? "accepted" : error.describe()) + "\n";
        if (ok) expect_round_trip(value, name);
        break;
    }
  }
  EXPECT_GE(files.size(), 300u);
  std::printf("JSONTestSuite: %zu files, %d accepted, %d refused, %d n_ files not valid UTF-8\n", files.size(),
              accepted, refused, skipped_invalid_utf8);
  std::printf("i_ outcomes:\n%s", implementation_defined.c_str());
}

TEST(Corpus, NativeJsonDocumentsRoundTrip) {
  const fs::path dir = kCorpora / "nativejson";
  if (!fs::is_directory(dir)) {
    if (in_ci()) FAIL() << "no corpus at " << dir;
    GTEST_SKIP() << "no corpus at " << dir;
  }
  for (const char* file : {"canada.json", "citm_catalog.json", "twitter.json"}) {
    const std::string text = slurp(dir / file);
    ASSERT_FALSE(text.empty()) << file;
    Value value;
    ReadError error;
    ASSERT_TRUE(vorda::json::read(text, value, error)) << file << ": " << error.describe();
    expect_round_trip(value, file);
  }
}

TEST(Corpus, Utf8CheckOfTheTestItself) {
  EXPECT_TRUE(valid_utf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_FALSE(valid_utf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(valid_utf8("\xe2\x82"));          // cut short
  EXPECT_FALSE(valid_utf8("\xff"));
}

}  // namespace

// Counters over the text must be as wide as the text: a number literal of
// more than 2^31 digits is read without allocating that much memory, by
// mapping one page of digits many times over one address range.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "json.hpp"

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

// "0." then `zeros` zeros (a multiple of kChunk) then "1", as one read-only
// text: a head page, the same chunk of zeros mapped `zeros / kChunk` times,
// and a tail page.
class LongText {
 public:
  explicit LongText(std::size_t zeros) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = page + zeros + page;
    void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<char*>(base);
    fd_ = memfd_create("zeros", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, kChunk) != 0) return;
    void* chunk = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (chunk == MAP_FAILED) return;
    std::memset(chunk, '0', kChunk);
    munmap(chunk, kChunk);
    for (std::size_t at = page; at < page + zeros; at += kChunk) {
      if (mmap(base_ + at, kChunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd_, 0) == MAP_FAILED) return;
    }
    // The literal ends with the tail page's first byte.
    base_[page - 2] = '0';
    base_[page - 1] = '.';
    base_[page + zeros] = '1';
    text_ = std::string_view(base_ + page - 2, zeros + 3);
  }
  ~LongText() {
    if (base_ != nullptr) munmap(base_, size_);
    if (fd_ >= 0) close(fd_);
  }
  LongText(const LongText&) = delete;
  LongText& operator=(const LongText&) = delete;

  std::string_view text() const { return text_; }

 private:
  char* base_ = nullptr;
  std::size_t size_ = 0;
  int fd_ = -1;
  std::string_view text_;
};

TEST(ReaderLongText, FractionDigitsBeyondTwoToTheThirtyOne) {
  LongText literal(std::size_t{1} << 31);
  if (literal.text().empty()) GTEST_SKIP() << "cannot map a 2 GiB address range here";
  vorda::json::Value value;
  vorda::json::ReadError error;
  ASSERT_TRUE(vorda::json::read(literal.text(), value, error)) << error.describe();
  ASSERT_EQ(value.kind(), vorda::json::Kind::Float);
  EXPECT_EQ(value.as_float(), 0.0);
  EXPECT_FALSE(std::signbit(value.as_float()));
}

}  // namespace

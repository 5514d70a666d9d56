// RapidJSON's side of the JSON comparison, behind a narrow interface so that
// it compiles in a translation unit of its own (rapidjson_case.cpp), as the
// reader and writer of vorda do, with the same flags.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace bench {

class RapidCase {
 public:
  RapidCase();
  ~RapidCase();
  RapidCase(const RapidCase&) = delete;
  RapidCase& operator=(const RapidCase&) = delete;

  // Reads and sorts the document kept for the writer rows; false on error.
  bool load(const std::string& text);
  // One read: parse with full precision, sort and deduplicate every object's
  // members in place, free. Returns the root's member count, so nothing is
  // optimised away.
  static std::size_t read(const std::string& text);
  // One write of the kept document into a fresh StringBuffer; its length.
  std::size_t write() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench

// A fresh folder per test for image files and logs, removed with
// everything in it when the test ends, and the one file reader and writer
// of the tests. Header-only: the end-to-end binary links none of the
// program's code, only GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace chipferry::test {

using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chipferry-XXXXXX").string();
    // Without a folder of its own a test would write where it runs.
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

  /// Names of everything in the folder, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

/// The whole file as bytes, or as text with read_file<std::string>; empty
/// when there is no such file.
template <class Buffer = Bytes>
Buffer read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Buffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Bytes or text; a braced list of bytes is taken as Bytes.
template <class Buffer = Bytes>
void write_file(const std::string& path, const Buffer& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace chipferry::test

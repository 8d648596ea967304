// Whole-file reads and writes for the console driver's tests.
#ifndef ZUVA_APP_FILES_TEST_SUPPORT_H_
#define ZUVA_APP_FILES_TEST_SUPPORT_H_

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#endif  // ZUVA_APP_FILES_TEST_SUPPORT_H_

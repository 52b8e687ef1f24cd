// Key files as tests need them: any content, any mode, in a directory of the test's own.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace lmrtest {

/// Writes content to path, byte for byte, and gives it mode (0600: a key file as it should
/// be); returns path, or "" when the mode could not be set.
inline std::string write_key_file(const std::string& path, const std::string& content,
                                  mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << content;
  return chmod(path.c_str(), mode) == 0 ? path : "";
}

}  // namespace lmrtest

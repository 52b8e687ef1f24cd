// What the fuzz targets share: reading the input as a stream of fields, and stopping the
// run when a rule breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

/// Names the broken rule on standard error and aborts, which libFuzzer reports as a crash.
[[noreturn]] inline void violated(const char* rule) {
  static_cast<void>(std::fprintf(stderr, "invariant broken: %s\n", rule));
  std::abort();
}

/// Aborts through violated(rule) unless holds.
inline void require(bool holds, const char* rule) {
  if (!holds) {
    violated(rule);
  }
}

/// Reads the fuzz input front to back; past its end every read gives zeros.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return at_ >= size_; }
  /// How many bytes have been read.
  std::size_t offset() const { return at_; }

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  std::uint32_t big_endian(int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value = (value << 8U) | byte();
    }
    return value;
  }

  /// Up to count bytes, as many as the input still has.
  std::string_view bytes(std::size_t count) {
    const std::size_t n = count < size_ - at_ ? count : size_ - at_;
    const std::string_view taken(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return taken;
  }

  /// Everything not read yet.
  std::string_view rest() { return bytes(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace fuzz

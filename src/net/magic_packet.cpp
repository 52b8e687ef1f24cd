#include "net/magic_packet.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr int kRepeats = 16;

int digit_value(char c) {
  const std::size_t at = kHexDigits.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::string hex_pairs(const Mac& mac, std::string_view separator) {
  std::string text;
  for (const std::uint8_t byte : mac) {
    if (!text.empty()) {
      text.append(separator);
    }
    text.push_back(kHexDigits[byte >> 4U]);
    text.push_back(kHexDigits[byte & 0xfU]);
  }
  return text;
}

}  // namespace

std::string magic_packet(const Mac& mac) {
  std::string packet(6, '\xff');
  for (int i = 0; i < kRepeats; ++i) {
    for (const std::uint8_t byte : mac) {
      packet.push_back(static_cast<char>(byte));
    }
  }
  return packet;
}

int broadcast_socket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd != -1 && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string mac_digits(const Mac& mac) { return hex_pairs(mac, ""); }

std::string mac_text(const Mac& mac) { return hex_pairs(mac, ":"); }

std::optional<Mac> mac_from_digits(std::string_view digits) {
  Mac mac{};
  if (digits.size() != 2 * mac.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const int high = digit_value(digits[2 * i]);
    const int low = digit_value(digits[2 * i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    mac[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

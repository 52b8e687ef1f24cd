#include "client/values.h"

#include <algorithm>

namespace {

// The longest time limit: a day.
constexpr std::chrono::milliseconds kLongestTimeLimit{24L * 60 * 60 * 1000};

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text) {
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) {
    return std::nullopt;
  }
  const auto digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || !digits(fraction)) {
    return std::nullopt;
  }
  // Leading zeros count for nothing; what is left of a day's seconds has at most 5 digits.
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  if (whole.size() > 5) {
    return std::nullopt;
  }
  long milliseconds = 0;
  for (const char c : whole) {
    milliseconds = milliseconds * 10 + (c - '0');
  }
  milliseconds *= 1000;
  long scale = 100;
  for (const char c : fraction.substr(0, 3)) {
    milliseconds += scale * (c - '0');
    scale /= 10;
  }
  // Digits below the millisecond are dropped, but they still make the number above 0 or
  // above a day: a positive limit shorter than a millisecond is one millisecond, not none.
  const bool below =
      fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string_view::npos;
  if (milliseconds == 0 && below) {
    milliseconds = 1;
  }
  const std::chrono::milliseconds limit{milliseconds};
  if (limit <= std::chrono::milliseconds::zero() || limit > kLongestTimeLimit ||
      (limit == kLongestTimeLimit && below)) {
    return std::nullopt;
  }
  return limit;
}

std::optional<Mac> parse_mac(std::string_view text) {
  // "aa:bb:cc:dd:ee:ff" is 6 pairs and 5 separators.
  if (text.size() != 17 || (text[2] != ':' && text[2] != '-')) {
    return std::nullopt;
  }
  const char separator = text[2];
  Mac mac{};
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const std::size_t at = i * 3;
    const int high = hex_value(text[at]);
    const int low = hex_value(text[at + 1]);
    if (high < 0 || low < 0 || (i + 1 < mac.size() && text[at + 2] != separator)) {
      return std::nullopt;
    }
    mac[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

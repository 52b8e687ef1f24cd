// The fuzzers' own reading of the client's words, written apart from the client's parsers so
// that it can judge them: a MAC's text and plain decimal digits.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/values.h"

namespace fuzz {

/// The longest time limit the client takes: a day, in milliseconds.
constexpr long kLongestLimitMs = 86'400'000;

/// The value of a hex digit of either case; -1 for any other character.
inline int hex_digit(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isdigit(u) != 0) {
    return c - '0';
  }
  return std::isxdigit(u) != 0 ? std::tolower(u) - 'a' + 10 : -1;
}

/// text in lower case.
inline std::string lower(std::string_view text) {
  std::string result;
  for (const char c : text) {
    result.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return result;
}

/// mac as six hex pairs joined by separator. No formatter exists in the client, so the
/// fuzzers write their own to read the bytes back.
inline std::string formatted(const Mac& mac, char separator, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : mac) {
    if (!text.empty()) {
      text.push_back(separator);
    }
    text.push_back(digits[byte / 16]);
    text.push_back(digits[byte % 16]);
  }
  return text;
}

/// Six pairs of hex digits and five separators, all ':' or all '-'.
inline bool mac_text(std::string_view text) {
  if (text.size() != 17 || (text[2] != ':' && text[2] != '-')) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2 ? text[i] != text[2] : hex_digit(text[i]) < 0) {
      return false;
    }
  }
  return true;
}

/// True when every character of text is a decimal digit (also when there is none).
inline bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

/// The value of a string of at most nine digits.
inline long number(std::string_view digits) {
  long value = 0;
  for (const char c : digits) {
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace fuzz

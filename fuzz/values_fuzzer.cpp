// The parsers of the values on the client's command line (a MAC, a port, a time limit in
// seconds) and the magic packet, fed with any text and judged by the fuzzers' own reading of
// it. Aborts when one takes what it should refuse, refuses what it should take, or reads a
// value wrong.
//
// Input format: the text, given to parse_mac, parse_port and parse_seconds alike.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/values.h"
#include "client/wake.h"
#include "client_words.h"
#include "fuzz_input.h"

namespace {

using fuzz::all_digits;
using fuzz::formatted;
using fuzz::lower;
using fuzz::mac_text;
using fuzz::number;
using fuzz::require;

void check_mac(std::string_view text) {
  const auto mac = parse_mac(text);
  require(mac.has_value() == mac_text(text), "a MAC is exactly six hex pairs, one separator");
  if (!mac) {
    return;
  }
  require(formatted(*mac, text[2], false) == lower(text), "the MAC's bytes are the text's pairs");
  for (const bool upper : {false, true}) {
    for (const char separator : {':', '-'}) {
      require(parse_mac(formatted(*mac, separator, upper)) == mac, "a written MAC parses back");
    }
  }
  const std::string packet = magic_packet(*mac);
  require(packet.size() == 102 && packet.substr(0, 6) == std::string(6, '\xff'),
          "a magic packet is six 0xFF bytes and 96 more");
  for (std::size_t i = 6; i < packet.size(); ++i) {
    require(static_cast<std::uint8_t>(packet[i]) == mac->at((i - 6) % 6),
            "then the MAC sixteen times");
  }
}

void check_port(std::string_view text) {
  const auto port = parse_port(text);
  if (port) {
    require(!text.empty() && text.size() <= 5 && all_digits(text) && *port >= 1 &&
                number(text) == *port,
            "a port is its decimal digits, 1 to 65535");
  }
  if (!text.empty() && text.size() <= 5 && text[0] != '0' && all_digits(text) &&
      number(text) <= 65535) {
    require(port.has_value(), "every port from 1 to 65535 in plain digits is taken");
  }
}

void check_seconds(std::string_view text) {
  const auto limit = parse_seconds(text);
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  const bool decimal =
      all_digits(whole) && all_digits(fraction) && (!whole.empty() || !fraction.empty());
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  // Milliseconds: the whole seconds and the first three digits after the point; any other
  // digit that is not 0 makes the number a little more.
  long ms = -1;
  bool more = false;
  if (decimal && whole.size() <= 9) {
    std::string thousandths(fraction.substr(0, std::min<std::size_t>(fraction.size(), 3)));
    thousandths.resize(3, '0');
    ms = number(whole) * 1000 + number(thousandths);
    more = fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string_view::npos;
  }
  const bool in_range = (ms > 0 || (ms == 0 && more)) &&
                        (ms < fuzz::kLongestLimitMs || (ms == fuzz::kLongestLimitMs && !more));
  if (limit) {
    require(in_range, "a time limit is a whole or decimal number above 0 and at most a day");
    require(limit->count() == std::max(ms, 1L),
            "a time limit is its decimal seconds, to the ms, and never below 1 ms");
  }
  if (in_range) {
    require(limit.has_value(), "every whole or decimal number above 0 and at most 86400 is taken");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader input(data, size);
  const std::string_view text = input.rest();
  check_mac(text);
  check_port(text);
  check_seconds(text);
  return 0;
}

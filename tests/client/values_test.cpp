// The values the client's command line carries, to the character: MAC refusals and time
// limits to the millisecond.
#include "client/values.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(MacAddress, AnythingButSixSeparatedHexPairsIsRefused) {
  for (const char* text :
       {"", "01:23:45:67:89", "01:23:45:67:89:ab:cd", "01:23:45:67:89:ag", "01:23-45:67:89:ab",
        "0123456789ab", "1:23:45:67:89:ab:", "01:23:45:67:89:a", "01.23.45.67.89.ab",
        "01::23:45:67:89:a", " 01:23:45:67:89:ab", "01:23:45:67:89:ab "}) {
    EXPECT_FALSE(parse_mac(text).has_value()) << text;
  }
}

TEST(TimeLimit, WholeAndDecimalSecondsToTheMillisecond) {
  EXPECT_EQ(parse_seconds("10"), 10s);
  EXPECT_EQ(parse_seconds("2.5"), 2500ms);
  EXPECT_EQ(parse_seconds(".25"), 250ms);
  EXPECT_EQ(parse_seconds("3."), 3s);
  EXPECT_EQ(parse_seconds("0.0019"), 1ms);
  EXPECT_EQ(parse_seconds("86400"), 86400s);
  EXPECT_EQ(parse_seconds("0000001"), 1s);
  EXPECT_EQ(parse_seconds("00086400.000"), 86400s);
  // Above 0 but below a millisecond is the shortest limit, never none.
  EXPECT_EQ(parse_seconds("0.0001"), 1ms);
  EXPECT_EQ(parse_seconds("0.0000000000000000000001"), 1ms);
  for (const char* text :
       {"", ".", "0", "000", "0.0000", "-1", "+1", "1e3", " 1", "1 ", "1.2.3", "86401",
        "86400.0001", "00099999", "99999999999999999999", "nan", "inf"}) {
    EXPECT_FALSE(parse_seconds(text).has_value()) << text;
  }
}

}  // namespace

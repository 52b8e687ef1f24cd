#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "net/listener.h"

namespace {

sockaddr_in address_of(const char* ip, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

TEST(Identity, IsDottedAddressColonDecimalPort) {
  EXPECT_EQ(identity_of(address_of("192.168.0.10", 7)), "192.168.0.10:7");
  EXPECT_EQ(identity_of(address_of("10.1.2.3", 512)), "10.1.2.3:512");
  EXPECT_EQ(identity_of(address_of("0.0.0.0", 0)), "0.0.0.0:0");
  EXPECT_EQ(identity_of(address_of("255.255.255.255", 65535)), "255.255.255.255:65535");
  EXPECT_NE(identity_of(address_of("192.168.0.10", 7)), identity_of(address_of("192.168.0.10", 8)));
}

TEST(Identity, RoundTripsThroughAddressFromIdentity) {
  for (const auto& [ip, port] :
       {std::pair{"127.0.0.1", 9}, {"10.1.2.3", 512}, {"1.2.3.4", 65535}, {"0.0.0.0", 0}}) {
    const sockaddr_in original = address_of(ip, static_cast<std::uint16_t>(port));
    const auto back = address_from_identity(identity_of(original));
    ASSERT_TRUE(back.has_value()) << ip;
    EXPECT_EQ(back->sin_family, AF_INET);
    EXPECT_EQ(back->sin_addr.s_addr, original.sin_addr.s_addr);
    EXPECT_EQ(back->sin_port, original.sin_port);
  }
}

TEST(Identity, WithoutColonCannotBeParsedBack) {
  EXPECT_FALSE(address_from_identity("").has_value());
  EXPECT_FALSE(address_from_identity("10.1.2.3").has_value());
}

TEST(Identity, PortTextConvertsLikeAtoiAndKeepsTheLowSixteenBits) {
  EXPECT_EQ(ntohs(address_from_identity("1.2.3.4: +80x")->sin_port), 80);
  EXPECT_EQ(ntohs(address_from_identity("1.2.3.4:65537")->sin_port), 1);
  EXPECT_EQ(ntohs(address_from_identity("1.2.3.4:-1")->sin_port), 65535);
  EXPECT_EQ(ntohs(address_from_identity("1.2.3.4:")->sin_port), 0);
  // The first colon splits: the rest of the text is the port's.
  EXPECT_EQ(ntohs(address_from_identity("1.2.3.4:5:6")->sin_port), 5);
  EXPECT_FALSE(address_from_identity("1.2.3.4:99999999999").has_value());
}

}  // namespace

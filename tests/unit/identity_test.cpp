#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

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
    EXPECT_EQ(back->family(), AF_INET);
    EXPECT_EQ(back->v4.sin_addr.s_addr, original.sin_addr.s_addr);
    EXPECT_EQ(back->v4.sin_port, original.sin_port);
  }
}

TEST(Identity, WithoutColonCannotBeParsedBack) {
  EXPECT_FALSE(address_from_identity("").has_value());
  EXPECT_FALSE(address_from_identity("10.1.2.3").has_value());
}

TEST(Identity, PortTextConvertsLikeAtoiAndKeepsTheLowSixteenBits) {
  EXPECT_EQ(address_from_identity("1.2.3.4: +80x")->port(), 80);
  EXPECT_EQ(address_from_identity("1.2.3.4:65537")->port(), 1);
  EXPECT_EQ(address_from_identity("1.2.3.4:-1")->port(), 65535);
  EXPECT_EQ(address_from_identity("1.2.3.4:")->port(), 0);
  // The first colon splits: the rest of the text is the port's.
  EXPECT_EQ(address_from_identity("1.2.3.4:5:6")->port(), 5);
  EXPECT_FALSE(address_from_identity("1.2.3.4:99999999999").has_value());
}

sockaddr_in6 address6_of(const char* ip, std::uint16_t port, std::uint32_t scope = 0) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_scope_id = scope;
  EXPECT_EQ(inet_pton(AF_INET6, ip, &address.sin6_addr), 1) << ip;
  return address;
}

// An IPv6 peer is "[address]:port" in the address's shortest form; a scoped one names its
// interface, or the interface's index when there is no such interface.
TEST(Identity, Ipv6IsBracketedAddressColonPortWithItsScope) {
  const unsigned loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0U);
  const std::uint32_t nowhere = 4'000'000'000U;
  for (const auto& [original, identity] :
       {std::pair{address6_of("::1", 9), std::string("[::1]:9")},
        {address6_of("2001:db8:0:0:0:0:0:7", 65535), "[2001:db8::7]:65535"},
        {address6_of("fe80::1", 5000, loopback), "[fe80::1%lo]:5000"},
        {address6_of("fe80::2", 1, nowhere), "[fe80::2%4000000000]:1"}}) {
    EXPECT_EQ(identity_of(original), identity);
    const auto back = address_from_identity(identity);
    ASSERT_TRUE(back.has_value()) << identity;
    EXPECT_TRUE(same_address(*back, original)) << identity;
  }
  EXPECT_NE(identity_of(address6_of("::1", 9)), identity_of(address6_of("::1", 10)));
  EXPECT_NE(identity_of(address6_of("fe80::1", 9, loopback)),
            identity_of(address6_of("fe80::1", 9)));
}

TEST(Identity, MalformedIpv6IdentitiesCannotBeParsedBack) {
  for (const char* text : {"[::1]", "[::1]:", "[::1]:65536", "[::1]:+9", "[::1]:9x", "[::1:9",
                           "[1.2.3.4]:9", "[::1%no-such-interface]:9", "[::1%]:9", "[]:9"}) {
    EXPECT_FALSE(address_from_identity(text).has_value()) << text;
  }
}

}  // namespace

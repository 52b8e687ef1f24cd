// The HMAC wiring against published vectors, and the proof against the manual's example,
// computed with openssl from the documented bytes.
#include "key/key.h"

#include <gtest/gtest.h>

namespace {

// RFC 4231, test cases 1, 2, 6 and 7 (the last two hash a key longer than a block).
TEST(Hmac, MatchesRfc4231Vectors) {
  const std::string long_key(131, '\xaa');
  const std::string long_data =
      "This is a test using a larger than block-size key and a larger than block-size data. "
      "The key needs to be hashed before being used by the HMAC algorithm.";
  const std::array<std::array<std::string, 3>, 4> vectors{{
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {long_key, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {long_key, long_data, "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  }};
  for (const auto& [key, data, mac] : vectors) {
    EXPECT_EQ(hmac_sha256_hex(key, data), mac) << data;
  }
}

// Key 00 01 ... 1f: printf 'lomarind-proof-v1 <challenge> SUSPEND' | openssl dgst -sha256
// -mac HMAC -macopt hexkey:000102...1f
TEST(Proof, IsTheManualsExampleAndMatchesOnlyItselfExactly) {
  Key key;
  for (std::size_t i = 0; i < key.bytes.size(); ++i) {
    key.bytes[i] = static_cast<unsigned char>(i);
  }
  const std::string challenge = "00112233445566778899aabbccddeeff";
  const std::string proof = "047f2fb335b43a294d4bc47a93614860c86586322c5a9cd6d20a1f25edad2be0";
  EXPECT_EQ(keyed_command(key, challenge, "SUSPEND"), "SUSPEND " + proof + "\n");
  EXPECT_EQ(proof_of(key, challenge, "QUIT"),
            "3f37502943bc85abb2bda20a470bfddbb6da3901fdfded5322daae32a14ae640");
  EXPECT_TRUE(proof_matches(key, challenge, "SUSPEND", proof));
  std::string upper = proof;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  for (const std::string& wrong : {upper, proof.substr(1), std::string()}) {
    EXPECT_FALSE(proof_matches(key, challenge, "SUSPEND", wrong)) << wrong;
  }
  EXPECT_FALSE(proof_matches(key, "", "SUSPEND", proof_of(key, "", "SUSPEND")))
      << "a spent (empty) challenge takes no proof";
}

}  // namespace

// The proof against the manual's example, computed with openssl from the documented bytes:
// the one check of the exact bytes a third-party controller proves.
#include "key/key.h"

#include <gtest/gtest.h>

namespace {

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

// The key module: the HMAC wiring against published vectors, the proof against an example
// computed with openssl from the documented bytes, and the key file's round trip.
#include "key/key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

// RFC 4231, test cases 1, 2, 6 and 7 (the last two hash a key longer than a block).
TEST(Hmac, MatchesRfc4231Vectors) {
  const std::string long_key(131, '\xaa');
  const struct {
    std::string key;
    std::string data;
    std::string mac;
  } vectors[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {long_key, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {long_key,
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(hmac_sha256_hex(v.key, v.data), v.mac) << v.data;
  }
}

// The example of the manual: key 00 01 ... 1f, computed with
//   printf 'lomarind-proof-v1 <challenge> SUSPEND' | openssl dgst -sha256 -mac HMAC -macopt
//   hexkey:...
struct ExampleKey : Key {
  ExampleKey() {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<unsigned char>(i);
    }
  }
};
constexpr std::string_view kChallenge = "00112233445566778899aabbccddeeff";
constexpr std::string_view kSuspendProof =
    "047f2fb335b43a294d4bc47a93614860c86586322c5a9cd6d20a1f25edad2be0";
constexpr std::string_view kQuitProof =
    "3f37502943bc85abb2bda20a470bfddbb6da3901fdfded5322daae32a14ae640";

TEST(Proof, IsTheManualsExampleAndMatchesOnlyItsOwnChallengeWordAndKey) {
  const ExampleKey key;
  EXPECT_EQ(proof_of(key, kChallenge, "SUSPEND"), kSuspendProof);
  EXPECT_EQ(keyed_command(key, kChallenge, "QUIT"), "QUIT " + std::string(kQuitProof) + "\n");
  EXPECT_TRUE(proof_matches(key, kChallenge, "QUIT", kQuitProof));
  const std::string upper = "047F2FB335B43A294D4BC47A93614860C86586322C5A9CD6D20A1F25EDAD2BE0";
  for (const std::string_view wrong :
       {kQuitProof, std::string_view(upper), kSuspendProof.substr(1), std::string_view()}) {
    EXPECT_FALSE(proof_matches(key, kChallenge, "SUSPEND", wrong)) << wrong;
  }
  EXPECT_FALSE(proof_matches(key, "00112233445566778899aabbccddeefe", "SUSPEND", kSuspendProof));
  EXPECT_FALSE(proof_matches(key, "", "SUSPEND", proof_of(key, "", "SUSPEND")))
      << "a spent (empty) challenge takes no proof";
  const Key other;
  EXPECT_FALSE(proof_matches(other, kChallenge, "SUSPEND", kSuspendProof));
}

TEST(Challenge, IsFreshLowerCaseHexThatAStartReplyCarries) {
  const std::string first = new_challenge();
  EXPECT_NE(first, new_challenge());
  EXPECT_EQ(challenge_in("START " + first + "\n"), first);
  for (const std::string& reply :
       {std::string("START\n"), "START " + first, "START " + first + "0\n",
        std::string("START 00112233445566778899AABBCCDDEEFF\n")}) {
    EXPECT_EQ(challenge_in(reply), "") << reply;
  }
}

TEST(KeyFile, ANewFileIsPrivateReadsBackAndIsNeverOverwritten) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("lmr-key-test-" + std::to_string(getpid()))).string();
  ASSERT_EQ(write_new_key_file(path), "");
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777U, 0600U);
  EXPECT_EQ(status.st_size, 65);
  Key key;
  EXPECT_EQ(read_key_file(path, key), "");
  EXPECT_EQ(proof_matches(key, kChallenge, "QUIT", proof_of(key, kChallenge, "QUIT")), true);
  EXPECT_NE(write_new_key_file(path), "");
  Key again;
  EXPECT_EQ(read_key_file(path, again), "");
  EXPECT_EQ(again.bytes, key.bytes) << "the refused write left the first key in place";
  std::filesystem::remove(path);
}

}  // namespace

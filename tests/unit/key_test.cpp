// The proofs and key id against the manual's worked example (tests/support/worked_example.h).
#include "key/key.h"

#include <gtest/gtest.h>

#include "support/worked_example.h"

namespace {

TEST(Proof, EveryKindIsTheManualsExample) {
  const Key key = example_key();
  EXPECT_EQ(key_id(key), "1eb41439");
  EXPECT_EQ(start_proof(key, kNonce, kChallenge), kStartProof);
  EXPECT_EQ(command_proof(key, kChallenge, "SUSPEND"), kSuspendProof);
  EXPECT_EQ(command_proof(key, kChallenge, "QUIT"),
            "c55e5e459744d1a2b49c72d712684f4acb12b21169cf1b13174d21ae8b7c1330");
  EXPECT_EQ(ok_proof(key, kChallenge, "SUSPEND"), kSuspendOk);
  EXPECT_EQ(ok_proof(key, kChallenge, "QUIT"), kQuitOk);
}

}  // namespace

// The manual's worked example: its key, nonce, challenge and proofs, computed with openssl
// from the documented bytes (printf '%s' 'lomarind-v2 ...' | openssl dgst -sha256 -mac HMAC
// -macopt hexkey:0001..1f), so that tests check the exact bytes a third-party controller
// proves rather than what the code computes.
#pragma once

#include <string>

#include "key/key.h"

/// The key 00 01 ... 1f.
Key example_key();

const std::string kNonce = "0123456789abcdef0123456789abcdef";
const std::string kChallenge = "6565a1c0a1b2c3d4e5f60718293a4b5c";
const std::string kStartProof = "caf0e212618fa7cf8d52f30bf0f39dc51849b59063094113aa50413fcd418a24";
const std::string kSuspendProof =
    "4bd18b6ad75c1fb452e6a2449349bef4c1639da6d5660eeaa9e23522226ab011";
const std::string kSuspendOk = "e67a3b6e45860f341f9cb6ec71489552d65835ed20910714f05dfe8299e567fb";
const std::string kQuitOk = "c85e5b2650e1597c29e0996dc3c9845d1b879172be72ffe575d7fcd041986839";

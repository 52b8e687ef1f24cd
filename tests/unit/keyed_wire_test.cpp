// The keyed datagrams, built and read back, and the client's checks of the daemon's proven
// replies, against the manual's worked example (tests/support/worked_example.h).
#include "key/keyed_wire.h"

#include <gtest/gtest.h>

#include <string>

#include "support/worked_example.h"

namespace {

// The four datagrams of the manual's worked example, built and read back.
TEST(KeyedWire, EachDatagramIsTheManualsExampleAndReadsBackToItsFields) {
  NamedKey holder{"default", "1eb41439", example_key()};
  const std::string ehlo = "EHLO 1eb41439 " + kNonce + "\n";
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string command = "SUSPEND 1eb41439 " + kChallenge + " " + kSuspendProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  EXPECT_EQ(ehlo_datagram(holder, kNonce), ehlo);
  EXPECT_EQ(start_datagram(holder.key, kNonce, kChallenge), start);
  EXPECT_EQ(command_datagram(holder, "SUSPEND", kChallenge), command);
  EXPECT_EQ(ok_datagram(holder.key, kChallenge, "SUSPEND"), ok);
  EXPECT_EQ(read_ehlo(ehlo)->nonce, kNonce);
  EXPECT_EQ(read_start(start)->proof, kStartProof);
  const auto read = read_command(command);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->word, "SUSPEND");
  EXPECT_EQ(read->key_id, "1eb41439");
  EXPECT_EQ(read->challenge, kChallenge);
  EXPECT_EQ(read->proof, kSuspendProof);
  EXPECT_EQ(read_ok(ok), kSuspendOk);
  std::string other_separator = start;
  other_separator[38] = '_';
  // One digit short, one too many, upper case, a missing line feed, two spaces, another
  // separator, more after the line feed, another word of a command's length: not keyed.
  for (const std::string& datagram :
       {ehlo.substr(0, 12) + ehlo.substr(13), ehlo.substr(0, 46) + "0\n",
        "EHLO 1EB41439 " + kNonce + "\n", start.substr(0, start.size() - 1),
        "START  " + start.substr(6), other_separator, start + "x", "SUSPENX" + command.substr(7)}) {
    EXPECT_FALSE(read_ehlo(datagram) || read_start(datagram) || read_command(datagram) ||
                 read_ok(datagram))
        << datagram;
  }
}

// What the client takes as proven: only the START for its nonce and the OK for its challenge and
// word, compared to the last digit.
TEST(KeyedWire, TheClientsChecksHoldOnlyForItsOwnNonceChallengeAndWord) {
  const Key key = example_key();
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  EXPECT_EQ(proven_start(start, key, kNonce), kChallenge);
  EXPECT_TRUE(proven_ok(ok, key, kChallenge, "SUSPEND"));
  std::string last_changed = start;
  last_changed[last_changed.size() - 2] ^= 1;
  std::string first_changed = ok;
  first_changed[3] = first_changed[3] == 'e' ? 'f' : 'e';
  EXPECT_FALSE(proven_start(last_changed, key, kNonce));
  EXPECT_FALSE(proven_start(start, key, std::string(32, 'a')));
  EXPECT_FALSE(proven_ok(first_changed, key, kChallenge, "SUSPEND"));
  EXPECT_FALSE(proven_ok(ok, key, kChallenge, "QUIT"));
  EXPECT_FALSE(proven_ok(ok, key, "", "SUSPEND"));
  std::string late = kSuspendOk;
  late.back() = late.back() == 'b' ? 'c' : 'b';
  EXPECT_FALSE(same_proof(kSuspendOk, late)) << "every digit counts";
  EXPECT_FALSE(same_proof(kSuspendOk.substr(0, 32), kSuspendOk.substr(0, 32)))
      << "only a whole proof is one";
}

// A refused sleep: the manual's example again (openssl, as above), read back only for the
// challenge and status it proves.
TEST(KeyedWire, ARefusalIsProvenForItsChallengeAndStatusOnly) {
  const Key key = example_key();
  const std::string refused =
      "REFUSED 1 527cc8769569c348b994f39846c63cbdb516f864d9cf8c74e1a5da5a4bbbf571\n";
  EXPECT_EQ(refused_datagram(key, kChallenge, 1), refused);
  EXPECT_EQ(proven_refusal(refused, key, kChallenge), 1);
  EXPECT_EQ(proven_refusal(refused_datagram(key, kChallenge, 255), key, kChallenge), 255);
  EXPECT_EQ(refused_datagram(key, kChallenge, 127),
            "REFUSED 127 72cb9707f3e16eb8f32e60697baac981f0e43f3b8ae66b4369127563a4c9f308\n");
  std::string other_status = refused;
  other_status[8] = '2';
  for (const std::string& datagram :
       {other_status, "REFUSED 01" + refused.substr(9), "REFUSED 256" + refused.substr(9),
        "REFUSED  1" + refused.substr(9), "REFUSED 1 " + kSuspendOk + "\n", refused + "x"}) {
    EXPECT_FALSE(proven_refusal(datagram, key, kChallenge)) << datagram;
  }
  EXPECT_FALSE(read_refused("REFUSED 256" + refused.substr(9)));
  EXPECT_FALSE(read_refused("REFUSED 99999999999" + refused.substr(9)));
  EXPECT_EQ(read_refused("REFUSED 255" + refused.substr(9))->status, 255);
  EXPECT_FALSE(proven_refusal(refused, key, std::string(32, 'a'))) << "another challenge's";
  EXPECT_FALSE(proven_refusal(refused, key, "")) << "before any command";
}

// The sleep command's running and success: the manual's example (openssl, as above).
TEST(KeyedWire, RunningAndSleepingAreProvenForTheirChallengeOnly) {
  const Key key = example_key();
  const std::string running =
      "RUNNING cfdf4f1c649fbbebda17c718f22a212a63e4a34bfce154f5affa5d82169a7b71\n";
  const std::string sleeping =
      "SLEEPING 022eca713b5525588d85b0a57abf1fc7a7434b68dd99089f4db678b9f109409e\n";
  EXPECT_EQ(running_datagram(key, kChallenge), running);
  EXPECT_EQ(sleeping_datagram(key, kChallenge), sleeping);
  EXPECT_TRUE(proven_running(running, key, kChallenge));
  EXPECT_TRUE(proven_sleeping(sleeping, key, kChallenge));
  EXPECT_FALSE(proven_sleeping("SLEEPING " + running.substr(8), key, kChallenge))
      << "a RUNNING's proof is no SLEEPING's";
  EXPECT_FALSE(proven_running(running, key, std::string(32, 'a'))) << "another challenge's";
  EXPECT_FALSE(proven_sleeping(sleeping, key, "")) << "before any command";
  EXPECT_FALSE(proven_sleeping(sleeping + "x", key, kChallenge));
}

// An inhibited sleep: the manual's example (openssl, as above), read back only for the
// challenge and text it proves, and only when the text is printable and bounded.
TEST(KeyedWire, AnInhibitionIsProvenForItsChallengeAndTextOnly) {
  const Key key = example_key();
  const std::string text = "backup: Backup in progress";
  const std::string inhibited =
      "INHIBITED 011e205def23d8e505683077a5e2783f63859a40423e08cae3c56fb465f5807b " + text + "\n";
  EXPECT_EQ(inhibited_datagram(key, kChallenge, text), inhibited);
  EXPECT_EQ(proven_inhibition(inhibited, key, kChallenge), text);
  const std::string longest(194, 'w');
  EXPECT_EQ(proven_inhibition(inhibited_datagram(key, kChallenge, longest), key, kChallenge),
            longest);
  std::string other_text = inhibited;
  other_text[other_text.size() - 2] = 'G';
  for (const std::string& datagram :
       {other_text, inhibited.substr(0, inhibited.size() - 1), inhibited + "x",
        inhibited_datagram(key, kChallenge, longest + "w"),
        inhibited_datagram(key, kChallenge, "back\tup: x"),
        inhibited_datagram(key, kChallenge, "caf\xc3\xa9: x"),
        inhibited_datagram(key, kChallenge, ""), "INHIBITED " + inhibited.substr(10, 64) + "\n",
        "INHIBITED " + inhibited.substr(11)}) {
    EXPECT_FALSE(proven_inhibition(datagram, key, kChallenge)) << datagram;
  }
  EXPECT_FALSE(proven_inhibition(inhibited, key, std::string(32, 'a'))) << "another challenge's";
  EXPECT_FALSE(proven_inhibition(inhibited, key, "")) << "before any command";
}

// A WAKE's word carries its MAC, and its proof covers both; RELAYED and DENIED are proven
// for their challenge and what they say.
TEST(KeyedWire, AWakeProvesItsMacAndItsAnswersTheirChallengeAndWhatTheySay) {
  NamedKey holder{"laptop", "1eb41439", example_key()};
  // The manual's worked example, computed with openssl.
  const std::string word = wake_word("0011223344aa");
  EXPECT_EQ(command_datagram(holder, word, kChallenge),
            "WAKE 0011223344aa 1eb41439 " + kChallenge +
                " be5ec9d0c29ec8b6ee4b33c18b22e072cbc0304eb99debc2cb1391d3e893379e\n");
  EXPECT_EQ(ok_datagram(holder.key, kChallenge, word),
            "OK 59123e8dceec271d3b81c724d65e659b37f0a7d60f8f5132264a50167d5c2b7d\n");
  EXPECT_EQ(relayed_datagram(holder.key, kChallenge, 1),
            "RELAYED 1 320f6d5b17fe313b87c9b56dc35dfc8af4b610df055645ddbd2ae418f348837d\n");
  EXPECT_EQ(denied_datagram(holder.key, kChallenge, "key"),
            "DENIED key 79c091a9186ff5e2cde02cf7ef2a18ddfc382ba5745f0ed2e16a666e0695d78e\n");
  EXPECT_EQ(denied_datagram(holder.key, kChallenge, "rate"),
            "DENIED rate 03066b2dc1a64ab4cd8122a53af636a5bcab1333ed7ed5a9dadac3cbbe756295\n");
  const std::string wake = command_datagram(holder, wake_word("001122aabbcc"), kChallenge);
  const auto read = read_command(wake);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->word, "WAKE 001122aabbcc");
  EXPECT_EQ(read->proof, command_proof(holder.key, kChallenge, "WAKE 001122aabbcc"));
  for (const std::string mac : {"001122AABBCC", "001122aabbc", "001122aabbccd", ""}) {
    const std::string mangled = "WAKE " + mac + wake.substr(17);
    EXPECT_FALSE(read_command(mangled)) << mangled;
    EXPECT_TRUE(names_command(mangled)) << "a command, badly formed";
  }
  const Key& key = holder.key;
  const std::string other(32, 'a');
  for (const int count : {0, 1, 2, 255}) {
    EXPECT_EQ(proven_relay(relayed_datagram(key, kChallenge, count), key, kChallenge), count);
    EXPECT_FALSE(proven_relay(relayed_datagram(key, kChallenge, count), key, other));
  }
  const std::string two = relayed_datagram(key, kChallenge, 2);
  for (const std::string& datagram : {"RELAYED 02" + two.substr(9), "RELAYED 3" + two.substr(9),
                                      relayed_datagram(key, kChallenge, 256)}) {
    EXPECT_FALSE(proven_relay(datagram, key, kChallenge)) << datagram;
  }
  for (const std::string_view reason : {protocol::kDeniedKey, protocol::kDeniedRate}) {
    EXPECT_EQ(proven_denial(denied_datagram(key, kChallenge, reason), key, kChallenge), reason);
    EXPECT_FALSE(proven_denial(denied_datagram(key, kChallenge, reason), key, other));
  }
  const std::string rate = denied_datagram(key, kChallenge, "rate");
  EXPECT_FALSE(proven_denial("DENIED key" + rate.substr(11), key, kChallenge)) << "says rate";
  EXPECT_FALSE(proven_denial(denied_datagram(key, kChallenge, "busy"), key, kChallenge));
}

}  // namespace

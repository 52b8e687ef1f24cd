// The words of the client's command line that the end-to-end tests cannot see directly:
// where each option applies, where each port applies, and how refusals are worded.
#include "client/arguments.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/argv.h"

namespace {

using namespace std::chrono_literals;

// Runs parse_arguments over words as a command line after "lomarind".
std::string parse(std::vector<std::string> words, Arguments& arguments) {
  words.insert(words.begin(), "lomarind");
  lmrtest::Argv command_line(std::move(words));
  return parse_arguments(command_line.argc(), command_line.argv(), arguments);
}

// The same words give the same result whatever the environment holds, and a bad option is
// named as it was written: a long one by its word, a short one by its letter.
TEST(Arguments, ParsedAlikeWithPosixlyCorrectAndBadOptionsNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"quit", "a", "-p", "9999", "b"}, ""},
      {{"quit", "a", "--key-file=k", "-p", "9999", "b"}, ""},
      {{"suspend", "x", "--key-file"}, "option '--key-file' needs a value"},
      {{"wake", "01:02:03:04:05:06", "--key-file", "k"},
       "option --key-file applies to wake only with --wait"},
      {{"keygen", "k", "l", "m", "n"}, "keygen needs a FILE, and may take a HOST and a NAME"},
      {{"-t", "2", "keygen", "k"}, "keygen takes no options"},
      {{"--timeout=5", "-xq", "suspend", "x"}, "invalid option '-x'"},
      {{"-t5", "suspend", "x", "-qx"}, "invalid option '-q'"},
      {{"suspend", "x", "--bogus"}, "invalid option '--bogus'"},
      {{"suspend", "x", "--help=x"}, "invalid option '--help=x'"},
      {{"suspend", "x", "-p"}, "option '-p' needs a value"},
      {{"suspend", "x", "--port"}, "option '--port' needs a value"},
      {{"stray", "-p", "0"}, "invalid port '0' (expected 1 to 65535)"},
      {{"wake", "01:02:03:04:05:06", "-t", "2"}, "option -t applies to wake only with --wait"},
      // An option whose value was left out takes the command; a key file may still be named so.
      {{"--key-file", "suspend", "x"},
       "option '--key-file' took the command 'suspend' as its value (expected --key-file FILE "
       "suspend ...)"},
      {{"x", "--key-file", "status"},
       "option '--key-file' took the command 'status' as its value (expected --key-file FILE "
       "status ...)"},
      {{"--key-file", "quit", "quit", "a", "-p", "9999", "b"}, ""},
      {{"-p", "quit", "a"},
       "option '-p' took the command 'quit' as its value (expected -p PORT quit ...)"},
      {{"--timeout", "keygen", "k"},
       "option '--timeout' took the command 'keygen' as its value (expected --timeout SECONDS "
       "keygen ...)"},
      {{"-b", "wake", "01:02:03:04:05:06"},
       "option '-b' took the command 'wake' as its value (expected -b ADDRESS wake ...)"},
  };
  // Set for the second pass only, and unset however the test ends.
  struct Environment {
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    Environment() = default;
    ~Environment() { unsetenv("POSIXLY_CORRECT"); }
  } const environment;
  for (const bool posixly_correct : {false, true}) {
    if (posixly_correct) {
      ASSERT_EQ(setenv("POSIXLY_CORRECT", "1", 1), 0);
    }
    for (const auto& [words, error] : rows) {
      Arguments arguments;
      EXPECT_EQ(parse(words, arguments), error) << words.at(0) << " " << posixly_correct;
      if (error.empty()) {
        ASSERT_EQ(arguments.targets.size(), 2U);
        EXPECT_EQ(arguments.targets[1].argument, "b");
        EXPECT_EQ(arguments.targets[1].port, 9999);
      }
    }
  }
}

TEST(Arguments, PortOptionIsTheDefaultThatHostPortOverrides) {
  Arguments arguments;
  ASSERT_EQ(parse({"suspend", "a", "b:7000", "-p", "9999", "--timeout=2.5"}, arguments), "");
  EXPECT_EQ(arguments.command, Command::kSuspend);
  ASSERT_EQ(arguments.targets.size(), 2U);
  EXPECT_EQ(arguments.targets[0].argument, "a");
  EXPECT_EQ(arguments.targets[0].port, 9999);
  EXPECT_EQ(arguments.targets[1].argument, "b:7000");
  EXPECT_EQ(arguments.targets[1].name, "b");
  EXPECT_EQ(arguments.targets[1].port, 7000);
  EXPECT_EQ(arguments.time_limit, 2500ms);

  Arguments defaults;
  ASSERT_EQ(parse({"quit", "10.0.0.1"}, defaults), "");
  EXPECT_EQ(defaults.command, Command::kQuit);
  EXPECT_EQ(defaults.targets.at(0).port, 9);
  EXPECT_EQ(defaults.time_limit, 10s);
}

TEST(Arguments, WakeDefaultsToTheBroadcastAddressOnPortNine) {
  Arguments arguments;
  ASSERT_EQ(parse({"wake", "01:02:03:04:05:06"}, arguments), "");
  EXPECT_EQ(arguments.command, Command::kWake);
  EXPECT_EQ(arguments.wake_address.s_addr, htonl(INADDR_BROADCAST));
  EXPECT_EQ(arguments.wake_port, 9);

  Arguments directed;
  ASSERT_EQ(
      parse({"--broadcast", "192.168.1.255", "--port=7", "wake", "01:02:03:04:05:06"}, directed),
      "");
  EXPECT_EQ(directed.wake_address.s_addr, inet_addr("192.168.1.255"));
  EXPECT_EQ(directed.wake_port, 7);
  EXPECT_EQ(directed.sleepers.at(0).argument, "01:02:03:04:05:06");
}

// --confirm needs a key (a keyless probe would open a session), --wait belongs to wake, and
// wake --wait takes HOST=MAC words.
TEST(Arguments, ConfirmStatusAndWakeWaitAreReadAndTheirMisuseRefused) {
  const std::string mac = "01:02:03:04:05:06";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--confirm", "suspend", "h"},
       "option --confirm needs --key-file: a keyless daemon cannot be asked whether it is up "
       "without opening a session on it"},
      {{"--confirm", "--key-file", "k", "quit", "h"}, "option --confirm applies to suspend only"},
      {{"--confirm", "--key-file", "k", "status", "h"}, "option --confirm applies to suspend only"},
      {{"wake", "--wait", "--confirm", "h=" + mac}, "option --confirm applies to suspend only"},
      {{"--wait", "suspend", "h"}, "option --wait applies to wake only"},
      {{"status", "h", "--wait"}, "option --wait applies to wake only"},
      {{"status"}, "status needs at least one HOST"},
      {{"-b", "127.0.0.1", "status", "h"}, "option -b applies to wake only"},
      {{"--wait", "keygen", "k"}, "keygen takes no options"},
      {{"wake", "--wait", mac}, "wake --wait needs HOST=MAC, not '" + mac + "'"},
      {{"wake", "h=" + mac}, "invalid MAC address 'h=" + mac + "' (HOST=MAC needs --wait)"},
      {{"wake", "--wait", "h=01:02:03:04:05"},
       "invalid MAC address '01:02:03:04:05' in 'h=01:02:03:04:05' (expected "
       "HOST=aa:bb:cc:dd:ee:ff)"},
      {{"wake", "--wait", "=" + mac}, "invalid HOST ''"},
      {{"wake", "--wait", "h:0=" + mac},
       "invalid port in 'h:0' (expected HOST:PORT, PORT from 1 to 65535)"},
      {{"wake", "--wait"}, "wake --wait needs at least one HOST=MAC"},
      {{"wake", "--key-file", "k", mac}, "option --key-file applies to wake only with --wait"},
  };
  for (const auto& [words, error] : refused) {
    Arguments arguments;
    EXPECT_EQ(parse(words, arguments), error) << words.at(0);
  }

  Arguments confirmed;
  ASSERT_EQ(parse({"--key-file", "k", "--confirm", "suspend", "h"}, confirmed), "");
  EXPECT_TRUE(confirmed.confirm);
  Arguments status;
  ASSERT_EQ(parse({"status", "h", "g:7000", "-t", "3", "-p", "9999"}, status), "");
  EXPECT_EQ(status.command, Command::kStatus);
  ASSERT_EQ(status.targets.size(), 2U);
  EXPECT_EQ(status.targets[0].port, 9999);
  EXPECT_EQ(status.targets[1].port, 7000);
  EXPECT_EQ(status.time_limit, 3s);

  // -p is where the magic packets go; each HOST is asked at its own port or the daemon's.
  Arguments wake;
  ASSERT_EQ(parse({"-b", "127.0.0.1", "-p", "40009", "wake", "--wait", "h:7000=" + mac,
                   "g=aa-bb-cc-dd-ee-ff"},
                  wake),
            "");
  EXPECT_TRUE(wake.wait);
  EXPECT_EQ(wake.wake_port, 40009);
  EXPECT_EQ(wake.time_limit, 60s) << "a machine takes long to boot";
  ASSERT_EQ(wake.targets.size(), 2U);
  ASSERT_EQ(wake.sleepers.size(), 2U);
  EXPECT_EQ(wake.targets[0].argument, "h:7000");
  EXPECT_EQ(wake.targets[0].port, 7000);
  EXPECT_EQ(wake.targets[1].argument, "g");
  EXPECT_EQ(wake.targets[1].port, 9);
  EXPECT_EQ(wake.sleepers[1].argument, "aa-bb-cc-dd-ee-ff");
  EXPECT_EQ(wake.sleepers[1].mac, (Mac{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
  Arguments limited;
  ASSERT_EQ(parse({"--key-file=k", "-t", "5", "wake", "--wait", "h=" + mac}, limited), "");
  EXPECT_EQ(limited.time_limit, 5s);
  EXPECT_EQ(limited.key_file, "k");
}

// An IPv6 HOST word: bracketed with or without a port, or bare (more than one colon) without
// one, a link-local address with its interface. The name resolved is the address alone.
TEST(Arguments, Ipv6HostWordsAreBracketedOrBareAndMalformedOnesRefused) {
  struct Row {
    std::string word;
    std::string name;
    std::uint16_t port;
  };
  for (const Row& row : std::vector<Row>{{"[::1]:7000", "::1", 7000},
                                         {"[::1]", "::1", 9999},
                                         {"::1", "::1", 9999},
                                         {"fe80::1%eth0", "fe80::1%eth0", 9999},
                                         {"[fe80::1%eth0]:9", "fe80::1%eth0", 9},
                                         {"nas:7000", "nas", 7000},
                                         {"[nas]", "nas", 9999}}) {
    Arguments arguments;
    ASSERT_EQ(parse({"-p", "9999", "suspend", row.word}, arguments), "") << row.word;
    EXPECT_EQ(arguments.targets.at(0).argument, row.word);
    EXPECT_EQ(arguments.targets.at(0).name, row.name) << row.word;
    EXPECT_EQ(arguments.targets.at(0).port, row.port) << row.word;
  }
  const std::string expected = " (expected [ADDRESS] or [ADDRESS]:PORT)";
  for (const auto& [word, error] : std::vector<std::pair<std::string, std::string>>{
           {"[::1", "invalid HOST '[::1'" + expected},
           {"[::1]x", "invalid HOST '[::1]x'" + expected},
           {"[::1]x:9", "invalid HOST '[::1]x:9'" + expected},
           {"[]:9", "invalid HOST '[]:9'" + expected},
           {"[::1]:", "invalid port in '[::1]:' (expected HOST:PORT, PORT from 1 to 65535)"},
           {"[::1]:70000",
            "invalid port in '[::1]:70000' (expected HOST:PORT, PORT from 1 to "
            "65535)"}}) {
    Arguments arguments;
    EXPECT_EQ(parse({"status", word}, arguments), error) << word;
  }
}

// wake --via: a proven request only (a key file), to the relay's daemon at its own port; where
// the packets go is the relay's choice, so -b and -p are refused.
TEST(Arguments, WakeViaNeedsAKeyTakesNoPacketOptionsAndTimesTheRelayApart) {
  const std::string mac = "01:02:03:04:05:06";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"wake", "--via", "r", mac},
       "wake --via needs --key-file FILE: the relay acts only on a proven request"},
      {{"--key-file", "k", "-b", "10.0.0.255", "wake", "--via", "r", mac},
       "option -b does not go with --via: the relay sends the magic packets to its own "
       "networks"},
      {{"--key-file", "k", "-p", "7", "wake", "--via", "r", mac},
       "option -p does not go with --via: give the relay's port as --via RELAY:PORT"},
      {{"--key-file", "k", "--via", "r", "status", "h"}, "option --via applies to wake only"},
      {{"--via", "r", "keygen", "k"}, "keygen takes no options"},
      {{"--key-file", "k", "--via", "wake", mac},
       "option '--via' took the command 'wake' as its value (expected --via RELAY wake ...)"},
      {{"--key-file", "k", "wake", "--via", "r:0", mac},
       "invalid port in 'r:0' (expected HOST:PORT, PORT from 1 to 65535)"},
      {{"--key-file", "k", "wake", "--via", "r", "--wait", mac},
       "wake --wait needs HOST=MAC, not '" + mac + "'"},
      {{"--key-file", "k", "wake", "--via", "r"}, "wake needs at least one MAC"},
  };
  for (const auto& [words, error] : refused) {
    Arguments arguments;
    EXPECT_EQ(parse(words, arguments), error) << words.at(0);
  }

  // Without --wait, HOST only names the line; the relay is asked for every MAC.
  Arguments relayed;
  ASSERT_EQ(parse({"--key-file", "k", "wake", "--via", "gw:7000", "nas=" + mac, mac}, relayed), "");
  EXPECT_EQ(relayed.relay.argument, "gw:7000");
  EXPECT_EQ(relayed.relay.name, "gw");
  EXPECT_EQ(relayed.relay.port, 7000);
  EXPECT_TRUE(relayed.targets.empty());
  ASSERT_EQ(relayed.sleepers.size(), 2U);
  EXPECT_EQ(relayed.sleepers[0].host, "nas");
  EXPECT_EQ(relayed.sleepers[1].host, "");
  EXPECT_EQ(relayed.relay_time_limit, 10s);
  // With --wait each HOST is awaited, within the await's own limit; -t sets both.
  Arguments awaited;
  ASSERT_EQ(parse({"--key-file", "k", "wake", "--via", "gw", "--wait", "nas=" + mac}, awaited), "");
  EXPECT_EQ(awaited.relay.port, 9);
  ASSERT_EQ(awaited.targets.size(), 1U);
  EXPECT_EQ(awaited.targets[0].argument, "nas");
  EXPECT_EQ(awaited.relay_time_limit, 10s);
  EXPECT_EQ(awaited.time_limit, 60s);
  Arguments limited;
  ASSERT_EQ(
      parse({"--key-file", "k", "-t", "4", "wake", "--via", "gw", "--wait", "nas=" + mac}, limited),
      "");
  EXPECT_EQ(limited.relay_time_limit, 4s);
  EXPECT_EQ(limited.time_limit, 4s);
}

// The key for a HOST word: as written, else the name without its port, else the default key,
// whatever order the file has them in. A key for the pair is not one for the host alone.
TEST(Arguments, AHostWrittenWithAPortFindsTheKeyOfItsNameBeforeTheDefault) {
  struct Row {
    std::vector<std::string> names;  // the key file's names, in its order
    std::string host;                // the HOST word
    std::string expected;            // the name of the key found; empty: none
  };
  const std::vector<Row> rows = {
      {{"default", "media"}, "media:9999", "media"},
      {{"media", "media:9999", "default"}, "media:9999", "media:9999"},
      {{"default", "nas"}, "media:9999", "default"},
      {{"default", "192.168.1.20"}, "192.168.1.20:9999", "192.168.1.20"},
      {{"media:9999"}, "media", ""},
      {{"nas"}, "media:9999", ""},
  };
  for (const Row& row : rows) {
    KeySet keys;
    for (const std::string& name : row.names) {
      keys.keys.push_back(NamedKey{name, {}, {}});
    }
    Arguments arguments;
    ASSERT_EQ(parse({"suspend", row.host}, arguments), "");
    const NamedKey* found = key_for(keys, arguments.targets.at(0));
    EXPECT_EQ(found != nullptr ? found->name : "", row.expected) << row.host;
  }
}

}  // namespace

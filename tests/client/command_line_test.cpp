// The client's command line seen from outside: help, refusals, and the wake packet's bytes.
#include <algorithm>
#include <string>
#include <vector>

#include "client/client_fixture.h"

namespace lmrtest {
namespace {

using ClientCommandLine = ClientTest;

std::string magic_packet(const std::vector<unsigned char>& mac) {
  std::string packet(6, '\xff');
  for (int i = 0; i < 16; ++i) {
    packet.append(mac.begin(), mac.end());
  }
  return packet;
}

TEST_F(ClientCommandLine, HelpNamesEveryCommandAndExitStatus) {
  for (const char* option : {"-h", "--help"}) {
    const ClientRun run = run_client({option});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    for (const char* text : {"suspend HOST...",
                             "quit HOST...",
                             "status HOST...",
                             "wake MAC...",
                             "wake --wait HOST=MAC...",
                             "--confirm",
                             "--wait",
                             "-t, --timeout",
                             "-b, --broadcast",
                             "Exit status:",
                             "  0  ",
                             "  1  ",
                             "  2  ",
                             "  3  ",
                             "  4  ",
                             "  5  ",
                             "  6  ",
                             "  7  ",
                             "  8  ",
                             "did not sleep",
                             "key not known to the host",
                             "no daemon on port PORT"}) {
      EXPECT_NE(run.out.find(text), std::string::npos) << text;
    }
  }
}

TEST_F(ClientCommandLine, BadArgumentsAreRefusedWithStatusOneBeforeAnythingIsSent) {
  UdpPeer listener("127.0.0.1", port_);
  const std::string good_mac = "aa:bb:cc:dd:ee:ff";
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"-p", "9999"},
      {"sleep", "127.0.0.1"},
      {"SUSPEND", "127.0.0.1"},
      {"-p", "9999", "suspend"},
      {"--key-file", "suspend", "127.0.0.1"},
      {"-x", "suspend", "127.0.0.1"},
      {"--port", "9999", "--bogus", "suspend", "127.0.0.1"},
      {"suspend", "127.0.0.1", "-p"},
      {"-p", "0", "suspend", "127.0.0.1"},
      {"-p", "65536", "suspend", "127.0.0.1"},
      {"-p", "99x", "suspend", "127.0.0.1"},
      {"-p", "", "suspend", "127.0.0.1"},
      {"-p", "-1", "quit", "127.0.0.1"},
      {"suspend", "127.0.0.1:9999", "127.0.0.1:0"},
      {"quit", "127.0.0.1:9999", "127.0.0.1:"},
      {"suspend", ":9999"},
      {"-t", "0", "suspend", "127.0.0.1:9999"},
      {"-t", "soon", "suspend", "127.0.0.1:9999"},
      {"-b", "127.0.0.1", "suspend", "127.0.0.1:9999"},
      {"-b", "127.0.0.1", "-p", "9999", "wake"},
      {"-b", "127.0.0.1", "-p", "9999", "-t", "2", "wake", good_mac},
      {"-b", "127.0.0.256", "-p", "9999", "wake", good_mac},
      {"-b", "localhost", "-p", "9999", "wake", good_mac},
      {"-b", "127.0.0.1", "-p", "9999", "wake", good_mac, "aa:bb:cc:dd:ee"},
      {"-b", "127.0.0.1", "-p", "9999", "wake", good_mac, "aa:bb:cc:dd:ee:fg"},
      {"-b", "127.0.0.1", "-p", "9999", "wake", good_mac, "aa:bb:cc:dd:ee:ff:00"},
      {"-b", "127.0.0.1", "-p", "9999", "wake", good_mac, "aa-bb:cc:dd:ee:ff"},
      {"-b", "127.0.0.1", "-p", "9999", "wake", good_mac, "aabbccddeeff"},
      {"-b", "127.0.0.1", "-p", "0", "wake", good_mac},
  };
  for (const auto& args : refused) {
    const ClientRun run = run_client(args);
    std::string words;
    for (const auto& arg : args) {
      words += " '" + arg + "'";
    }
    EXPECT_EQ(run.status, 1) << words;
    EXPECT_EQ(run.out, "") << words;
    EXPECT_TRUE(run.err.starts_with("lomarind: ")) << words << ": " << run.err;
    EXPECT_TRUE(run.err.ends_with("\nTry 'lomarind --help'.\n")) << words << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << words << ": " << run.err;
  }
  EXPECT_EQ(listener.receive(100ms), std::nullopt) << "a refused command line sends nothing";
}

TEST_F(ClientCommandLine, WakeSendsTheMagicPacketForEachMacInOrder) {
  UdpPeer listener("127.0.0.1", port_);
  const ClientRun run = run_client(
      {"-b", "127.0.0.1", "-p", "9999", "wake", "aa:bb:cc:dd:ee:ff", "01-23-45-67-89-AB"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "aa:bb:cc:dd:ee:ff: magic packet sent\n01-23-45-67-89-AB: magic packet sent\n");
  EXPECT_EQ(run.err, "");
  const auto first = listener.receive(1s);
  const auto second = listener.receive(1s);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->size(), 102U);
  EXPECT_EQ(*first, magic_packet({0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
  EXPECT_EQ(*second, magic_packet({0x01, 0x23, 0x45, 0x67, 0x89, 0xab}));
  EXPECT_EQ(listener.receive(100ms), std::nullopt);
}

TEST_F(ClientCommandLine, WakeGoesToPortNineUnlessToldOtherwise) {
  UdpPeer listener("127.0.0.1", 9);
  const ClientRun run = run_client({"--broadcast=127.0.0.1", "wake", "00:11:22:33:44:55"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(listener.receive(1s), magic_packet({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

// A failure that is no mistake of the command line says what is wrong, without pointing to
// the help; a mistake of the command line still does.
TEST_F(ClientCommandLine, KeygenOverAnExistingFileSaysItExistsWithoutTheHelpLine) {
  const std::string keys = (dir_ / "keys").string();
  ASSERT_EQ(run_client({"keygen", keys}).status, 0);
  const std::string before = read_file(keys);
  const ClientRun again = run_client({"keygen", keys});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "lomarind: " + keys +
                           " exists: keygen FILE never overwrites a file; keygen " + keys +
                           " HOST adds a key for HOST to it\n");
  EXPECT_EQ(read_file(keys), before);
  const ClientRun bad_host = run_client({"keygen", keys, "nas/1"});
  EXPECT_EQ(bad_host.status, 1);
  EXPECT_TRUE(bad_host.err.ends_with("\nTry 'lomarind --help'.\n")) << bad_host.err;
  EXPECT_EQ(read_file(keys), before);
}

// The shell leaves a ~ after '=' as it is: a key file named so that is not there gets a hint.
TEST_F(ClientCommandLine, AnUnexpandedTildeInTheKeyFileIsPointedOut) {
  const ClientRun run = run_client({"--key-file=~/lmr-keys", "suspend", "127.0.0.1:9999"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "lomarind: ~/lmr-keys: No such file or directory (the shell does not expand ~ after "
            "'=': write --key-file ~/lmr-keys or --key-file=\"$HOME/lmr-keys\")\n");
}

}  // namespace
}  // namespace lmrtest

// status and wake --wait against the real daemon: what they report, and that asking changes
// nothing on the host.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <thread>

#include "client/client_fixture.h"
#include "key/key_file.h"
#include "support/key_files.h"

namespace lmrtest {
namespace {

using Status = ClientTest;
using Wake = ClientTest;

const std::string kHost = "127.0.0.1:9999";

// A new key file for the client at dir/NAME-keys; returns its path, and the line for the same
// key in a daemon's key file: the key, then words (a name, and "wake" for a key that may wake).
std::string client_key(const std::filesystem::path& dir, const std::string& name,
                       const std::string& words, std::string& daemon_line) {
  std::string path = (dir / (name + "-keys")).string();
  EXPECT_EQ(write_new_key_file(path), "");
  const std::string key = read_file(path);
  daemon_line = key.substr(0, key.find('\n')) + " " + words + "\n";
  return path;
}

// Asked over IPv6 too: ::1, the daemon with --ipv6.
using StatusOverIp = OverEachFamily<ClientTest>;
INSTANTIATE_TEST_SUITE_P(Family, StatusOverIp, kBothFamilies, family_name);

TEST_P(StatusOverIp, AKeyedDaemonIsAwakeAndAskingLeavesNothingThere) {
  const std::string key_path = (dir_ / "keys").string();
  const std::string other_path = (dir_ / "other-keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  ASSERT_EQ(write_new_key_file(other_path), "");
  const Process& server = start_serving(port_, {"--key-file=" + key_path});
  ASSERT_TRUE(log_->wait_for(kStarting, 2s));
  const std::size_t lines_before = logged_with_prefix("");
  const ClientRun awake = run_client({"--key-file", key_path, "status", host()});
  EXPECT_EQ(awake.status, 0) << awake.err;
  EXPECT_EQ(awake.out, host() + ": awake\n");
  EXPECT_LT(awake.took, 1s);
  // A HOST written with a port takes the key named for the host alone over the default key.
  const std::string own = read_file(key_path);  // one line: the key, unnamed
  const std::string named_path = write_key_file(
      (dir_ / "named-keys").string(),
      read_file(other_path) + own.substr(0, own.find('\n')) + " " + loopback() + "\n");
  const ClientRun by_name = run_client({"--key-file", named_path, "status", host()});
  EXPECT_EQ(by_name.out, host() + ": awake\n") << by_name.err;
  // A proven probe holds nothing, runs nothing and logs nothing on the host.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(logged_with_prefix(""), lines_before);
  EXPECT_EQ(systemctl_calls(), "");
  EXPECT_TRUE(server.running());

  const ClientRun stranger = run_client({"--key-file", other_path, "status", host()});
  EXPECT_EQ(stranger.status, 7);
  EXPECT_EQ(stranger.out, host() + ": key not known to the host\n");
  const ClientRun keyless = run_client({"status", host()});
  EXPECT_EQ(keyless.status, 4);
  EXPECT_EQ(keyless.out, host() + ": needs a key\n");
  EXPECT_LT(keyless.took, 1s);

  // Several hosts: one line each, and the status that outranks the others (8 over 4).
  const std::string empty_port = host().substr(0, host().rfind(':')) + ":9997";
  const ClientRun fleet = run_client({"status", host(), empty_port});
  EXPECT_EQ(fleet.status, 8);
  EXPECT_EQ(sorted_lines(fleet.out),
            (std::vector<std::string>{empty_port + ": no daemon on port 9997",
                                      host() + ": needs a key"}));
  EXPECT_EQ(systemctl_calls(), "");
}

TEST_P(StatusOverIp, AKeylessDaemonIsNeverGivenASession) {
  start_serving(port_);
  const ClientRun run = run_client({"-t", "2", "status", host()});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, host() + ": no answer\n");
  EXPECT_EQ(logged_with_prefix("Session started for client "), 0U);
  // The daemon is free for the next client at once.
  UdpPeer other(loopback());
  EXPECT_EQ(ask(other, "EHLO\n"), "START\n");
}

// The magic packet goes again every second until the host's daemon answers: here it starts
// on the second packet, as a machine woken by it would.
TEST_F(Wake, WaitRepeatsTheMagicPacketUntilTheDaemonAnswers) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  const UdpPeer card("127.0.0.1", 40009);  // where the magic packets go
  ClientRun run;
  std::thread client([&] {
    run = run_client({"-b", "127.0.0.1", "-p", "40009", "--key-file", key_path, "-t", "20", "wake",
                      "--wait", kHost + "=aa:bb:cc:dd:ee:ff"});
  });
  const auto first = card.receive(5s);
  const auto second = card.receive(5s);
  start_serving(port_, {"--key-file=" + key_path});
  client.join();
  std::string packet(6, '\xff');
  for (int i = 0; i < 16; ++i) {
    packet += "\xaa\xbb\xcc\xdd\xee\xff";
  }
  EXPECT_EQ(first, packet);
  EXPECT_EQ(second, packet);
  EXPECT_EQ(run.status, 0) << run.err;
  std::smatch seconds;
  const std::regex line("127\\.0\\.0\\.1:9999: awake after ([0-9]+\\.[0-9]) s\n");
  ASSERT_TRUE(std::regex_match(run.out, seconds, line)) << run.out;
  EXPECT_GE(std::stod(seconds[1]), 0.9) << "not before the second packet";
  EXPECT_LE(std::stod(seconds[1]) * 1000, static_cast<double>(run.took.count()) + 50);
  EXPECT_EQ(systemctl_calls(), "");
  std::cout << "wake --wait, the daemon started on the second packet: " << run.out;

  // Without a key, the daemon's KEYED 2 says that it is up.
  const ClientRun keyless = run_client(
      {"-b", "127.0.0.1", "-p", "40009", "wake", "--wait", kHost + "=aa:bb:cc:dd:ee:ff"});
  EXPECT_EQ(keyless.status, 0);
  EXPECT_EQ(keyless.out, kHost + ": awake after 0.0 s\n");
}

// At the time limit each host gets the line of what was heard; a name that cannot be looked
// up still gets its packet, once.
TEST_F(Wake, WaitGivesUpAtTheTimeLimit) {
  const UdpPeer silent("127.0.0.1", 9998);
  const UdpPeer card("127.0.0.1", 40009);
  const ClientRun run =
      run_client({"-b", "127.0.0.1", "-p", "40009", "-t", "2", "wake", "--wait",
                  "127.0.0.1:9998=aa:bb:cc:dd:ee:ff", "127.0.0.1:9997=aa:bb:cc:dd:ee:01",
                  "no-such-host.invalid=aa:bb:cc:dd:ee:02"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(sorted_lines(run.out),
            (std::vector<std::string>{"127.0.0.1:9997: no daemon on port 9997",
                                      "127.0.0.1:9998: no answer",
                                      "no-such-host.invalid: cannot resolve"}));
  EXPECT_GE(run.took, 1900ms);
  EXPECT_LT(run.took, 5s);
  std::map<char, int> packets;  // by the last byte of the MAC
  while (const auto packet = card.receive(100ms)) {
    ++packets[packet->back()];
  }
  EXPECT_EQ(packets['\x02'], 1);
  EXPECT_GE(packets['\x01'], 2) << "a packet a second while waiting";
  EXPECT_GE(packets['\xff'], 2);
}

// wake --via against the real daemon, whose namespace has only loopback: no network to send
// the packet on. The key file lets only "laptop" wake; each MAC gets its line, named by its
// HOST where one is written, and --wait awaits no host the relay did not send for.
TEST_F(Wake, ViaARelayEachMacGetsTheRelaysProvenAnswer) {
  std::string laptop;
  std::string other;
  const std::string laptop_path = client_key(dir_, "laptop", "laptop wake", laptop);
  const std::string other_path = client_key(dir_, "other", "other", other);
  const std::string daemon_keys = write_key_file((dir_ / "daemon-keys").string(), laptop + other);
  start_serving(port_, {"--key-file=" + daemon_keys});
  ASSERT_TRUE(log_->wait_for(kStarting, 2s));
  const ClientRun relayed = run_client({"--key-file", laptop_path, "wake", "--via", kHost,
                                        "nas=00:11:22:33:44:55", "aa:bb:cc:dd:ee:ff"});
  EXPECT_EQ(relayed.status, 5) << relayed.err;
  EXPECT_EQ(sorted_lines(relayed.out),
            (std::vector<std::string>{
                "aa:bb:cc:dd:ee:ff: refused by the relay (it has no network to send on)",
                "nas: refused by the relay (it has no network to send on)"}));
  EXPECT_EQ(logged_with_prefix("Wake for 00:11:22:33:44:55"), 1U);
  const ClientRun denied = run_client(
      {"--key-file", other_path, "wake", "--via", kHost, "--wait", kHost + "=00:11:22:33:44:55"});
  EXPECT_EQ(denied.status, 5) << denied.err;
  EXPECT_EQ(denied.out, kHost + ": refused by the relay (this key may not wake)\n");
  EXPECT_LT(denied.took, 1s);
  EXPECT_EQ(systemctl_calls(), "");
}

// More wakes than the relay's burst: those beyond it are denied for the rate, asked again a
// second later, and taken as the rate allows, also after their first challenge has expired.
TEST_F(Wake, ViaARelayAFleetLargerThanTheBurstGetsThrough) {
  std::string laptop;
  const std::string key_path = client_key(dir_, "laptop", "laptop wake", laptop);
  const std::string daemon_keys = write_key_file((dir_ / "daemon-keys").string(), laptop);
  start_serving(port_, {"--key-file=" + daemon_keys});
  ASSERT_TRUE(log_->wait_for(kStarting, 2s));
  constexpr int kMacs = 60;  // 28 beyond the burst: 7 seconds at 4 a second
  std::vector<std::string> args{"--key-file", key_path, "-t", "20", "wake", "--via", kHost};
  std::vector<std::string> lines;
  for (int i = 0; i < kMacs; ++i) {
    const std::string host = "h" + std::to_string(100 + i);
    args.push_back(host + "=00:11:22:33:" + std::to_string(100 + i).substr(1) + ":01");
    lines.push_back(host + ": refused by the relay (it has no network to send on)");
  }
  const ClientRun run = run_client(args);
  EXPECT_EQ(run.status, 5) << run.err;
  EXPECT_EQ(sorted_lines(run.out), lines);
  EXPECT_GE(run.took, 5s) << "the relay's rate holds the fleet back";
  // Each carried out once: one line each for the wakes taken, which had nowhere to go.
  const auto entries = log_->entries();
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const LogEntry& e) {
                            return e.text.starts_with("Wake for ") &&
                                   e.text.find(" not relayed (") != std::string::npos;
                          }),
            kMacs);
}

// A network to send on, in the test's own namespace: a veth pair with a broadcast address.
// The relay then sends the packet, and --wait awaits the host it was sent for.
TEST_F(Wake, ViaARelayWithANetworkSendsThePacketAndWaitAwaitsTheHost) {
  const std::string ip = "/usr/sbin/ip";
  const auto ip_ok = [&](const std::vector<std::string>& args) {
    Process command(ip, args, {}, (dir_ / "ip").string());
    const auto status = command.wait(5s);
    return status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  };
  if (access(ip.c_str(), X_OK) != 0 ||
      !ip_ok({"link", "add", "lmr0", "type", "veth", "peer", "name", "lmr1"})) {
    GTEST_SKIP() << "no veth pair (" << ip << ", the veth driver) to give the relay a network";
  }
  ASSERT_TRUE(ip_ok({"addr", "add", "10.9.0.1/24", "brd", "+", "dev", "lmr0"}));
  ASSERT_TRUE(ip_ok({"link", "set", "lmr1", "up"}));
  ASSERT_TRUE(ip_ok({"link", "set", "lmr0", "up"}));
  std::string laptop;
  const std::string key_path = client_key(dir_, "laptop", "laptop wake", laptop);
  const std::string daemon_keys = write_key_file((dir_ / "daemon-keys").string(), laptop);
  start_serving(port_, {"--key-file=" + daemon_keys});
  ASSERT_TRUE(log_->wait_for(kStarting, 2s));
  const ClientRun sent =
      run_client({"--key-file", key_path, "wake", "--via", kHost, "nas=00:11:22:33:44:55"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out, "nas: magic packet sent by " + kHost + "\n");
  // The host awaited is the relay's own, whose daemon answers at once; a host whose daemon
  // never answers gets the await's line at the time limit.
  const ClientRun awaited =
      run_client({"--key-file", key_path, "-t", "2", "wake", "--via", kHost, "--wait",
                  kHost + "=00:11:22:33:44:55", "127.0.0.1:9997=00:11:22:33:44:56"});
  EXPECT_EQ(awaited.status, 8) << awaited.err;
  EXPECT_EQ(sorted_lines(awaited.out),
            (std::vector<std::string>{"127.0.0.1:9997: no daemon on port 9997",
                                      kHost + ": awake after 0.0 s"}));
  EXPECT_EQ(logged_with_prefix("Wake for 00:11:22:33:44:5"), 3U);
  EXPECT_EQ(systemctl_calls(), "");
}

}  // namespace
}  // namespace lmrtest

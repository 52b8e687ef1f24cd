// The client against the real daemon: suspend and quit, locked sessions, silent and unknown
// hosts, and a fleet of daemons in one call.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "client/client_fixture.h"
#include "key/key_file.h"
#include "support/key_files.h"

namespace lmrtest {
namespace {

class Suspend : public ClientTest {
 protected:
  ClientRun through_a_sniffer(const std::vector<std::string>& systemctl_env);
};

const std::string kHost = "127.0.0.1:9999";

// The suspends that make sense over IPv6 too run over ::1 as well, the daemon with --ipv6.
using SuspendOverIp = OverEachFamily<Suspend>;
INSTANTIATE_TEST_SUITE_P(Family, SuspendOverIp, kBothFamilies, family_name);
const std::string kUnexpected = "Unexpected client data; Dropping packet from ";
const std::string kNoSession = "No acitve session; Dropping packet from ";

TEST_F(Suspend, SuspendThenQuitPrintTheirLinesAndTheDaemonObeysEach) {
  Process& server = start_serving(port_);
  const ClientRun suspend = run_client({"-p", "9999", "suspend", "127.0.0.1"});
  EXPECT_EQ(suspend.status, 0);
  EXPECT_EQ(suspend.out, "127.0.0.1: suspended\n");
  EXPECT_EQ(suspend.err, "");
  expect_logged_once(kSuspending, LOG_INFO, server.pid());
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");

  // The suspend's own session is still open, so quit must wait for it to run out.
  const ClientRun quit = run_client({"quit", "localhost:9999"});
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.out, "localhost:9999: stopped\n");
  EXPECT_EQ(quit.err, "");
  EXPECT_GT(quit.took, 2s) << "quit cannot have had the session before the first one ended";
  EXPECT_EQ(exit_status(), 0);
  expect_logged_once(kQuitting, LOG_INFO, server.pid());
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");
  // Commands went only into sessions the client owned.
  EXPECT_EQ(logged_with_prefix(kUnexpected) + logged_with_prefix(kNoSession), 0U);
}

TEST_F(Suspend, HostHeldByAnotherClientIsLockedForTheTimeLimitAndNoLonger) {
  start_serving(port_);
  UdpPeer other;
  ASSERT_EQ(ask(other, "EHLO\n"), "START\n");
  const ClientRun run = run_client({"-t", "2", "suspend", kHost});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, kHost + ": locked by another client\n");
  EXPECT_EQ(run.err, "");
  EXPECT_GE(run.took, 1900ms);
  EXPECT_LT(run.took, 3s);
  EXPECT_EQ(systemctl_calls(), "");
  EXPECT_EQ(logged_with_prefix(kUnexpected), 0U) << "every EHLO was answered: nothing to guess";
}

TEST_P(SuspendOverIp, LockedHostIsSuspendedOnceTheOtherSessionRunsOut) {
  start_serving(port_);
  UdpPeer other(loopback());
  ASSERT_EQ(ask(other, "EHLO\n"), "START\n");
  const ClientRun run = run_client({"suspend", host()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, host() + ": suspended\n");
  EXPECT_GT(run.took, 3s) << "the other session lasts at least 4 seconds";
  EXPECT_LT(run.took, 8s);
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");
  EXPECT_EQ(logged_with_prefix(kUnexpected), 0U);
}

TEST_F(Suspend, DaemonBusySuspendingForAnotherClientIsWaitedOutWithoutGuessing) {
  // While the other client's suspend command runs, the daemon answers nobody: the client
  // repeats EHLO, then gets LOCKED for each of them at once, and must see that none of
  // them opened a session.
  start_serving(port_, {}, {systemctl_sleeps(2)});
  UdpPeer other;
  ASSERT_EQ(ask(other, "EHLO\n"), "START\n");
  ASSERT_EQ(ask(other, "SUSPEND\n"), "OK\n");
  std::this_thread::sleep_for(300ms);
  const ClientRun run = run_client({"suspend", kHost});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHost + ": suspended\n");
  EXPECT_EQ(systemctl_calls_once("suspend\nsuspend\n"), "suspend\nsuspend\n");
  EXPECT_EQ(logged_with_prefix(kUnexpected) + logged_with_prefix(kNoSession), 0U);
  EXPECT_GE(logged_with_prefix("Session locked in response to client "), 2U)
      << "the client's EHLOs should have waited for the busy daemon";
}

TEST_F(Suspend, SilentAndUnknownHostsGiveStatusThreeWithinTheTimeLimit) {
  start_serving(port_);
  // Bound and never answering: silence, where an empty port would be answered by the kernel.
  const UdpPeer silent_host("127.0.0.1", 9998);
  const ClientRun silent = run_client({"-t", "2", "quit", "127.0.0.1:9998"});
  EXPECT_EQ(silent.status, 3);
  EXPECT_EQ(silent.out, "127.0.0.1:9998: no answer\n");
  EXPECT_GE(silent.took, 1900ms);
  EXPECT_LT(silent.took, 3s);

  // A silent host is given up after a few tries, long before a generous time limit.
  const ClientRun patient = run_client({"-t", "60", "quit", "127.0.0.1:9998"});
  EXPECT_EQ(patient.status, 3);
  EXPECT_LT(patient.took, 6s);

  // Unknown names are reported before any host is contacted, the rest as they finish.
  const ClientRun mixed =
      run_client({"-t", "3", "suspend", "127.0.0.1:9998", "no-such-host.invalid", kHost});
  EXPECT_EQ(mixed.status, 3);
  EXPECT_EQ(mixed.out, "no-such-host.invalid: cannot resolve\n" + kHost + ": suspended\n" +
                           "127.0.0.1:9998: no answer\n");
  EXPECT_EQ(mixed.err, "");
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");

  // Nothing bound to the port: the kernel's ICMP port unreachable says so at once, where
  // silence would take four EHLOs a second apart.
  for (const char* command : {"suspend", "quit"}) {
    const ClientRun empty = run_client({"-t", "60", command, "127.0.0.1:9997"});
    EXPECT_EQ(empty.status, 8) << command;
    EXPECT_EQ(empty.out, "127.0.0.1:9997: no daemon on port 9997\n");
    EXPECT_LT(empty.took, 2s) << "well under the four seconds of four EHLOs";
    std::cout << command << " to an empty port: " << empty.took.count() << " ms\n";
  }
}

TEST_F(Suspend, HostNamedTwiceIsAskedOnceAndReportedUnderEachName) {
  start_serving(port_);
  const ClientRun run = run_client({"-p", "9999", "suspend", "127.0.0.1", kHost, "localhost"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "127.0.0.1: suspended\n" + kHost + ": suspended\nlocalhost: suspended\n");
  EXPECT_LT(run.took, 2s) << "a second session would have waited for the first";
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");
}

// Two controllers, each with its own key for this host made by keygen: both are obeyed and
// named in the log; deleting one's line and restarting refuses it and keeps the other.
TEST_F(Suspend, EachControllerHasItsOwnNamedKeyAndOneCanBeRevoked) {
  const std::string alpha = (dir_ / "alpha-keys").string();
  const std::string beta = (dir_ / "beta-keys").string();
  const std::string daemon_keys = (dir_ / "daemon-keys").string();
  const ClientRun made_alpha = run_client({"keygen", alpha, kHost, "alpha"});
  ASSERT_EQ(made_alpha.status, 0) << made_alpha.err;
  const ClientRun made_beta = run_client({"keygen", beta, kHost, "beta"});
  ASSERT_EQ(made_beta.status, 0) << made_beta.err;
  EXPECT_EQ(run_client({"keygen", alpha, kHost, "alpha"}).status, 1) << "one key per host";
  const auto write_keys = [&](const std::string& text) {
    ASSERT_EQ(lmrtest::write_key_file(daemon_keys, "# controllers of this host\n" + text),
              daemon_keys);
  };
  write_keys(made_alpha.out + "\n" + made_beta.out);
  Process& server = start_serving(port_, {"--key-file=" + daemon_keys});
  const std::string kProven = "Command from client ";

  for (const std::string& key : {alpha, beta}) {
    const ClientRun run = run_client({"--key-file=" + key, "suspend", kHost});
    EXPECT_EQ(run.status, 0) << key << run.err;
    EXPECT_EQ(run.out, kHost + ": suspended\n");
  }
  EXPECT_EQ(systemctl_calls_once("suspend\nsuspend\n"), "suspend\nsuspend\n");
  const auto named = [&](const std::string& name) {
    const auto entries = log_->entries();
    return std::count_if(entries.begin(), entries.end(), [&](const LogEntry& e) {
      return e.text.starts_with(kProven) && e.text.ends_with(" proven with key " + name) &&
             e.pid == server.pid();
    });
  };
  EXPECT_EQ(named("alpha"), 1);
  EXPECT_EQ(named("beta"), 1);

  // A client without a key is told so at once; nothing but EHLO was sent.
  const ClientRun keyless = run_client({"suspend", kHost});
  EXPECT_EQ(keyless.status, 4);
  EXPECT_EQ(keyless.out, kHost + ": needs a key\n");
  EXPECT_LT(keyless.took, 1s);

  server.signal(SIGTERM);
  EXPECT_EQ(exit_status(), 0);
  write_keys(made_beta.out);
  restart_log();
  Process& restarted = start_serving(port_, {"--key-file=" + daemon_keys});
  // The daemon answers KEYED 2 to a key it does not hold: the client names the reason.
  const ClientRun revoked = run_client({"-t", "5", "--key-file=" + alpha, "suspend", kHost});
  EXPECT_EQ(revoked.status, 7);
  EXPECT_EQ(revoked.out, kHost + ": key not known to the host\n");
  EXPECT_LT(revoked.took, 3s) << "a second's chance for a proven START, not the whole limit";
  EXPECT_GT(logged_with_prefix("Unknown key; Answered KEYED to client "), 0U);
  const ClientRun kept = run_client({"--key-file=" + beta, "quit", kHost});
  EXPECT_EQ(kept.out, kHost + ": stopped\n");
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(systemctl_calls(), "suspend\nsuspend\n");
  EXPECT_EQ(logged_with_prefix(kProven), 1U);
  expect_logged_once(kQuitting, LOG_INFO, restarted.pid());

  // A keyless daemon never hears a keyed command: a keyed EHLO is only stray data to it.
  restart_log();
  start_serving(port_);
  const ClientRun keyed = run_client({"-t", "5", "--key-file=" + beta, "quit", kHost});
  EXPECT_EQ(keyed.status, 3);
  EXPECT_EQ(keyed.out, kHost + ": no answer\n");
  EXPECT_EQ(logged_with_prefix("Session started for client "), 0U);

  // Keys that others may read, or none for the host, are refused before anything is sent.
  ASSERT_EQ(chmod(beta.c_str(), 0640), 0);
  const ClientRun readable = run_client({"--key-file=" + beta, "suspend", kHost});
  EXPECT_EQ(readable.status, 1);
  EXPECT_EQ(readable.out, "");
  EXPECT_TRUE(readable.err.starts_with("lomarind: " + beta)) << readable.err;
  // The command line was right: the help would not help.
  EXPECT_EQ(std::count(readable.err.begin(), readable.err.end(), '\n'), 1) << readable.err;
  EXPECT_EQ(readable.err.find("Try 'lomarind --help'."), std::string::npos) << readable.err;
  const ClientRun other_host = run_client({"--key-file=" + alpha, "suspend", "127.0.0.1"});
  EXPECT_EQ(other_host.status, 1) << "alpha's key is for " << kHost << " as written";
  EXPECT_EQ(logged_with_prefix(kNoSession), 4U) << "only the four keyed EHLOs above";
}

// A keyed daemon whose sleep command fails tells the client with a proven REFUSED, and the
// client says so with status 5; a keyless daemon has no way to, and its suspend reads as
// before. The stand-in systemctl exits with each status in turn.
TEST_P(SuspendOverIp, ASleepCommandThatFailsIsReportedAsRefused) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  struct Row {
    std::string status, line;
  };
  std::string calls;
  for (const Row& row : std::vector<Row>{
           {"1", "refused by the host (systemctl exit 1)"},
           {"127", "refused by the host (sleep command could not run)"},
           {"137", "refused by the host (systemctl ended by signal 9)"},
       }) {
    Process& server = start_serving(port_, {"--key-file=" + key_path},
                                    {"LMR_FAKE_SYSTEMCTL_STATUS=" + row.status});
    const ClientRun run = run_client({"--key-file", key_path, "suspend", host()});
    EXPECT_EQ(run.status, 5) << row.status << run.err;
    EXPECT_EQ(run.out, host() + ": " + row.line + "\n");
    EXPECT_LT(run.took, 3s);
    calls += "suspend\n";
    EXPECT_EQ(systemctl_calls_once(calls), calls) << "the command was carried out once";
    server.signal(SIGTERM);
    ASSERT_EQ(exit_status(), 0);
  }
  start_serving(port_, {}, {"LMR_FAKE_SYSTEMCTL_STATUS=1"});
  const ClientRun keyless = run_client({"suspend", host()});
  EXPECT_EQ(keyless.status, 0);
  EXPECT_EQ(keyless.out, host() + ": suspended\n");
  calls += "suspend\n";
  EXPECT_EQ(systemctl_calls_once(calls), calls);
}

// A sleep command that takes 4 s (a slow logind, a D-Bus time-out, a wrapper script) and then
// fails is refused, plain and with --confirm alike, long after the second a daemon that could
// not tell had; one that succeeds after 4 s is suspended once the daemon says so.
TEST_F(Suspend, ASleepCommandThatEndsLateIsReportedAsItEnded) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  Process& failing = start_serving(port_, {"--key-file=" + key_path},
                                   {systemctl_sleeps(4), "LMR_FAKE_SYSTEMCTL_STATUS=1"});
  std::string calls;
  for (const std::vector<std::string>& options :
       std::vector<std::vector<std::string>>{{}, {"--confirm", "-t", "10"}}) {
    std::vector<std::string> args{"--key-file", key_path};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"suspend", kHost});
    const ClientRun run = run_client(args);
    EXPECT_EQ(run.status, 5) << options.size() << run.err;
    EXPECT_EQ(run.out, kHost + ": refused by the host (systemctl exit 1)\n");
    EXPECT_GE(run.took, 3900ms);
    EXPECT_LT(run.took, 6s);
    calls += "suspend\n";
    EXPECT_EQ(systemctl_calls_once(calls), calls) << "the command was carried out once";
  }
  failing.signal(SIGTERM);
  ASSERT_EQ(exit_status(), 0);
  start_serving(port_, {"--key-file=" + key_path}, {systemctl_sleeps(4)});
  const ClientRun slept = run_client({"--key-file", key_path, "suspend", kHost});
  EXPECT_EQ(slept.status, 0) << slept.err;
  EXPECT_EQ(slept.out, kHost + ": suspended\n");
  EXPECT_GE(slept.took, 3900ms);
  EXPECT_LT(slept.took, 6s);
  calls += "suspend\n";
  EXPECT_EQ(systemctl_calls_once(calls), calls);
}

// --confirm waits for the host to stop answering proven probes; a daemon whose host stays up
// (the stand-in systemctl succeeds and nothing sleeps) is reported as not asleep at the time
// limit, and probing it left no trace in its log.
TEST_F(Suspend, ConfirmedSuspendOfAHostThatStaysUpDidNotSleep) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  start_serving(port_, {"--key-file=" + key_path});
  const ClientRun run =
      run_client({"--key-file", key_path, "--confirm", "-t", "5", "suspend", kHost});
  EXPECT_EQ(run.status, 6) << run.err;
  EXPECT_EQ(run.out, kHost + ": did not sleep\n");
  EXPECT_GE(run.took, 4500ms) << "it probes until the time limit";
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");
  EXPECT_EQ(logged_with_prefix("Command from client "), 1U) << "the probes are no commands";
  EXPECT_EQ(logged_with_prefix("Unknown key"), 0U);

  // Without a key there is no probe that leaves nothing behind: refused before anything goes.
  const ClientRun keyless = run_client({"--confirm", "suspend", kHost});
  EXPECT_EQ(keyless.status, 1);
  EXPECT_TRUE(keyless.err.ends_with("\nTry 'lomarind --help'.\n")) << keyless.err;
  EXPECT_EQ(systemctl_calls(), "suspend\n");
}

// No one without the key can keep its holder out, or hide the holder's lines from the log:
// under a stranger's flood from 1000 forged identities at 2000 datagrams a second, every
// keyed suspend succeeds, and the daemon's lines stay within the 200 in 5 s that rsyslog's
// socket input lets through from one process by default.
TEST_F(Suspend, KeyedSuspendsSucceedThroughAFloodOfForgedIdentitiesAndTheLogKeepsThem) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  KeySet keys;
  ASSERT_EQ(read_key_file(key_path, keys, true), "");
  Process& server = start_serving(port_, {"--key-file=" + key_path});
  constexpr int kTries = 20;
  {
    ForgedFlood flood(port_, keys.keys.front().id, 2000);
    ASSERT_TRUE(flood.ok()) << std::strerror(errno);
    std::this_thread::sleep_for(1s);  // the flood is under way before the first try
    for (int i = 0; i < kTries; ++i) {
      const ClientRun run = run_client({"--key-file=" + key_path, "suspend", kHost});
      EXPECT_EQ(run.status, 0) << i << ": " << run.out << run.err;
      EXPECT_EQ(run.out, kHost + ": suspended\n") << i;
      std::this_thread::sleep_for(100ms);
    }
    std::cout << "flood: " << flood.sent() << " forged datagrams while " << kTries
              << " keyed suspends ran\n";
    EXPECT_GE(flood.sent(), 2000) << "the flood did not get going";
  }
  std::string calls;
  for (int i = 0; i < kTries; ++i) {
    calls += "suspend\n";
  }
  EXPECT_EQ(systemctl_calls_once(calls), calls);
  ASSERT_TRUE(log_->wait_for(kSuspending, 3s, kTries));
  EXPECT_EQ(logged_with_prefix("Command from client " + std::string("127.0.0.1:")),
            static_cast<std::size_t>(kTries));
  // Wait for the report of the last second's lines held back, then count the daemon's lines
  // in each second the log stamped them with.
  std::this_thread::sleep_for(2s);
  std::map<std::string, int> per_second;
  for (const LogEntry& entry : log_->entries()) {
    if (entry.pid == server.pid()) {
      ++per_second[entry.raw.substr(entry.raw.find('>') + 1, 15)];
    }
  }
  EXPECT_GT(logged_with_prefix(""), 0U);
  std::vector<int> counts;
  counts.reserve(per_second.size());
  for (const auto& [second, count] : per_second) {
    counts.push_back(count);
  }
  for (std::size_t first = 0; first < counts.size(); ++first) {
    int window = 0;
    for (std::size_t i = first; i < std::min(counts.size(), first + 5); ++i) {
      window += counts[i];
    }
    EXPECT_LE(window, 200) << "lines in the 5 s from the " << first << "th";
  }
  const auto entries = log_->entries();
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry& e) {
    return e.text.ends_with(
        " log lines about datagrams held back (at most 10 a second are written)");
  })) << "the flood was never held back";
}

TEST_F(Suspend, FiftyDaemonsOnFiftyPortsInOneCall) {
  constexpr int kHosts = 50;
  constexpr std::uint16_t kFirstPort = 10001;
  const std::vector<std::string> env{
      "PATH=" + (dir_ / "bin").string() + ":/usr/sbin:/usr/bin:/sbin:/bin",
      "LMR_FAKE_SYSTEMCTL_RECORD=" + (dir_ / "systemctl.calls").string(),
  };
  std::vector<std::unique_ptr<Process>> daemons;
  std::vector<std::string> suspend{"suspend"};
  std::vector<std::string> quit{"-t", "15", "quit"};
  std::vector<std::string> suspended;
  std::vector<std::string> stopped;
  for (int i = 0; i < kHosts; ++i) {
    const auto port = static_cast<std::uint16_t>(kFirstPort + i);
    const std::string p = std::to_string(port);
    daemons.push_back(std::make_unique<Process>(LMR_SERVER_BINARY,
                                                std::vector<std::string>{"-p", p}, env,
                                                (dir_ / ("server" + p)).string()));
    const std::string host = "127.0.0.1:" + p;
    suspend.push_back(host);
    quit.push_back(host);
    suspended.push_back(host + ": suspended");
    stopped.push_back(host + ": stopped");
  }
  for (int i = 0; i < kHosts; ++i) {
    ASSERT_TRUE(wait_until_bound(static_cast<std::uint16_t>(kFirstPort + i), 5s)) << i;
  }
  std::sort(suspended.begin(), suspended.end());
  std::sort(stopped.begin(), stopped.end());

  const ClientRun first = run_client(suspend);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(sorted_lines(first.out), suspended);
  EXPECT_EQ(first.err, "");

  // Every host is still in the session of the first call, so each one must wait about five
  // seconds: one after the other that would take minutes.
  const ClientRun second = run_client(quit);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(sorted_lines(second.out), stopped);
  EXPECT_GT(second.took, 2s);
  EXPECT_LT(second.took, 15s);
  for (auto& daemon : daemons) {
    const auto status = daemon->wait(3s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  // Each daemon ran its command before it took the next datagram, so all have run by now.
  std::string all_calls;
  for (int i = 0; i < kHosts; ++i) {
    all_calls += "suspend\n";
  }
  EXPECT_EQ(systemctl_calls(), all_calls);
  EXPECT_EQ(logged_with_prefix(kUnexpected) + logged_with_prefix(kNoSession), 0U);
  std::cout << "50 free hosts suspended in " << first.took.count() << " ms; 50 locked hosts "
            << "stopped in " << second.took.count() << " ms\n";
}

// A fleet larger than the client's open-file limit is asked in turns: under a limit of 64
// descriptors, each of 150 hosts (150 addresses of one keyed daemon) has its exchange, and is
// reported only once it had it; before, the hosts beyond the limit were reported as "no answer"
// without a datagram sent to them.
TEST_F(Suspend, AFleetLargerThanTheOpenFileLimitIsAskedInTurns) {
  constexpr int kHosts = 150;
  const std::string prlimit = "/usr/bin/prlimit";
  if (access(prlimit.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "no " << prlimit << " (util-linux) to run the client under a limit";
  }
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  start_serving(port_, {"--key-file=" + key_path});
  std::vector<std::string> args{"--nofile=64:64", LMR_CLIENT_BINARY, "--key-file", key_path,
                                "suspend"};
  std::vector<std::string> suspended;
  std::string calls;
  for (int i = 1; i <= kHosts; ++i) {
    const std::string host = "127.0.1." + std::to_string(i) + ":" + std::to_string(port_);
    args.push_back(host);
    suspended.push_back(host + ": suspended");
    calls += "suspend\n";
  }
  std::sort(suspended.begin(), suspended.end());
  Process client(prlimit, args, {}, (dir_ / "limited").string());
  const auto status = client.wait(60s);
  ASSERT_TRUE(status.has_value() && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_EQ(sorted_lines(client.standard_output()), suspended);
  EXPECT_EQ(client.standard_error(), "");
  // Each proven SUSPEND answers a challenge that one host's EHLO was given: one each. The one
  // daemon runs one sleep command at a time, and a SUSPEND taken while it runs is told that
  // command's end: each host was told SLEEPING, so every command has ended by now.
  EXPECT_EQ(logged_with_prefix("Command from client "), static_cast<std::size_t>(kHosts));
  const std::string ran = systemctl_calls();
  const auto runs = static_cast<std::size_t>(std::count(ran.begin(), ran.end(), '\n'));
  EXPECT_TRUE(runs >= 1 && runs <= kHosts && calls.starts_with(ran)) << ran;
}

// A sniffer on the path between a key holder and the daemon: it copies each of the holder's
// datagrams from an address of its own before passing the original on, hands the holder the
// START it got for the copied EHLO ahead of the real one, and replays the holder's command
// first, so that the daemon's own word about the command goes to the sniffer. Every reply
// to the original is passed back. Returns the holder's client run.
ClientRun Suspend::through_a_sniffer(const std::vector<std::string>& systemctl_env) {
  const std::string key_path = (dir_ / "keys").string();
  EXPECT_EQ(write_new_key_file(key_path), "");
  start_serving(port_, {"--key-file=" + key_path}, systemctl_env);
  UdpPeer path("127.0.0.1", static_cast<std::uint16_t>(port_ + 1));  // where the holder sends
  UdpPeer onward("127.0.0.2");                                       // the path to the daemon
  UdpPeer sniffer("127.0.0.3");
  std::atomic<bool> stop{false};
  std::thread tap([&] {
    sockaddr_in holder{};
    socklen_t length = sizeof holder;
    const auto back = [&](const std::optional<std::string>& reply) {
      if (reply) {
        sendto(path.fd(), reply->data(), reply->size(), 0,
               reinterpret_cast<const sockaddr*>(&holder), length);
      }
    };
    while (!stop) {
      std::array<pollfd, 2> ready{pollfd{path.fd(), POLLIN, 0}, pollfd{onward.fd(), POLLIN, 0}};
      if (poll(ready.data(), ready.size(), 20) <= 0) {
        continue;
      }
      if ((ready[1].revents & POLLIN) != 0) {
        back(onward.receive(0ms));
        continue;
      }
      std::array<char, 512> buffer{};
      length = sizeof holder;
      const ssize_t size = recvfrom(path.fd(), buffer.data(), buffer.size(), 0,
                                    reinterpret_cast<sockaddr*>(&holder), &length);
      const std::string text(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
      sniffer.send(text, port_);
      const std::optional<std::string> to_sniffer = sniffer.receive(2s);
      if (text.starts_with("EHLO ")) {
        back(to_sniffer);  // the sniffer's START, raced ahead of the holder's own
      }
      onward.send(text, port_);
    }
  });
  const std::string host = "127.0.0.1:" + std::to_string(port_ + 1);
  ClientRun run = run_client({"--key-file=" + key_path, "-t", "8", "suspend", host});
  stop = true;
  tap.join();
  EXPECT_EQ(systemctl_calls_once("suspend\n"), "suspend\n");
  EXPECT_EQ(logged_with_prefix("Command from client 127.0.0.3:"), 1U) << "the replay came first";
  EXPECT_EQ(logged_with_prefix("Command from client "), 1U);
  EXPECT_EQ(logged_with_prefix("Command without a valid proof"), 0U);
  run.out.erase(0, host.size());
  return run;
}

// The holder's command still succeeds, and is carried out once.
TEST_F(Suspend, AKeyHoldersCommandSucceedsOnceWhateverASnifferDoesWithCopies) {
  const ClientRun run = through_a_sniffer({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ": suspended\n");
}

// A sleep command that fails late is told to the sniffer who sent the command first; the
// holder learns it all the same, from its own copies.
TEST_F(Suspend, AKeyHolderLearnsALateRefusalThatWentToASniffer) {
  const ClientRun run = through_a_sniffer({systemctl_sleeps(2), "LMR_FAKE_SYSTEMCTL_STATUS=1"});
  EXPECT_EQ(run.status, 5) << run.err;
  EXPECT_EQ(run.out, ": refused by the host (systemctl exit 1)\n");
}

}  // namespace
}  // namespace lmrtest

// One call of the client to a fleet of real daemons: N daemons on N ports of 127.0.0.1, the
// client given all N as HOST words. Keyless first, then keyed as a controller holds its
// keys: each daemon's key file has its own key alone, the client's file every key, named by
// the host word. Each call is timed as bench/client_call.h says.
#include "fleet.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client_call.h"
#include "key/key_file.h"
#include "measure.h"
#include "net/protocol.h"
#include "support/process.h"
#include "support/syslog_sink.h"

namespace lmrbench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Below the kernel's ephemeral ports (32768 and up), which the client's sockets take.
constexpr int kFirstPort = 20001;
constexpr auto kBindPatience = 120s;
constexpr auto kSuspendPatience = 60s;
constexpr auto kSessionPatience = 60s;
constexpr std::string_view kSessionEnded = "Session ended for client ";
// What the fake systemctl records for one run of the daemon's default sleep command.
constexpr std::string_view kSuspendRun = "suspend\n";

// The daemons of one fleet and what the client is given to reach them.
struct Fleet {
  bool keyed = false;
  std::string name;                  // "keyless" or "keyed"
  std::vector<std::string> hosts;    // 127.0.0.1:PORT, the client's HOST words
  std::vector<std::string> records;  // per daemon: the fake systemctl's record of its runs
  std::string client_keys;           // keyed: every daemon's key, named by its host word
  // A daemon still running when its Process is destroyed is killed, by pid.
  std::vector<std::unique_ptr<lmrtest::Process>> daemons;
};

// The local ports of this network namespace's IPv4 UDP sockets.
std::set<int> bound_udp_ports() {
  std::istringstream table(lmrtest::read_file("/proc/net/udp"));
  std::string line;
  std::getline(table, line);  // the header
  std::set<int> ports;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;  // ADDRESS:PORT in hex
    fields >> slot >> local;
    if (const std::size_t colon = local.rfind(':'); colon != std::string::npos) {
      ports.insert(static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16)));
    }
  }
  return ports;
}

void wait_until_bound(const Fleet& fleet) {
  const auto began = Clock::now();
  for (;;) {
    const std::set<int> ports = bound_udp_ports();
    std::size_t bound = 0;
    for (std::size_t at = 0; at < fleet.daemons.size(); ++at) {
      bound += ports.count(kFirstPort + static_cast<int>(at));
      if (fleet.daemons[at]->wait(0ms)) {
        fail(fleet.name + " daemon on " + fleet.hosts[at] +
             " has ended: " + fleet.daemons[at]->standard_error());
      }
    }
    if (bound == fleet.daemons.size()) {
      return;
    }
    if (Clock::now() - began > kBindPatience) {
      fail("only " + std::to_string(bound) + " of the " + fleet.name +
           " daemons bound their ports in time");
    }
    std::this_thread::sleep_for(50ms);
  }
}

// Starts the daemons, each recording its runs of the fake systemctl in a file of its own;
// keyed, each with a new key file of one key, and the client's file with all of them.
Fleet start_fleet(const FleetSetup& setup, bool keyed) {
  Fleet fleet;
  fleet.keyed = keyed;
  fleet.name = keyed ? "keyed" : "keyless";
  const std::string prefix = setup.work_dir + "/" + fleet.name + "-";
  std::string client_keys;
  for (int at = 0; at < setup.hosts; ++at) {
    const std::string port = std::to_string(kFirstPort + at);
    fleet.hosts.push_back("127.0.0.1:" + port);
    fleet.records.push_back(prefix + port + ".systemctl");
    std::vector<std::string> args{"-p", port};
    if (keyed) {
      const std::string key_file = prefix + port + ".key";
      if (const std::string error = write_new_key_file(key_file); !error.empty()) {
        fail(error);
      }
      client_keys += lmrtest::read_file(key_file).substr(0, protocol::kKeyDigits) + " " +
                     fleet.hosts.back() + "\n";
      args.push_back("--key-file=" + key_file);
    }
    fleet.daemons.push_back(std::make_unique<lmrtest::Process>(
        setup.daemon_path, args,
        std::vector<std::string>{"LMR_FAKE_SYSTEMCTL_RECORD=" + fleet.records.back()},
        prefix + port));
    if (fleet.daemons.back()->pid() == -1) {
      fail("cannot start " + setup.daemon_path);
    }
  }
  if (keyed) {
    fleet.client_keys = prefix + "client.keys";
    write_private_file(fleet.client_keys, client_keys);
  }
  wait_until_bound(fleet);
  return fleet;
}

// Ends every daemon by its pid: SIGTERM, which ends the daemon with status 0.
void stop_fleet(Fleet& fleet) {
  for (const auto& daemon : fleet.daemons) {
    daemon->signal(SIGTERM);
  }
  int unclean = 0;
  for (const auto& daemon : fleet.daemons) {
    const auto status = daemon->wait(5s);
    unclean += !status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0 ? 1 : 0;
  }
  if (unclean > 0) {
    (void)std::fprintf(stderr, "lomarind-bench: %d %s daemons did not end cleanly on SIGTERM\n",
                       unclean, fleet.name.c_str());
  }
  fleet.daemons.clear();  // kills, by pid, any that still run
}

// Waits until every daemon's fake systemctl has recorded exactly calls runs of "suspend".
void wait_for_suspends(const Fleet& fleet, int calls) {
  std::string expected;
  for (int i = 0; i < calls; ++i) {
    expected += kSuspendRun;
  }
  const auto deadline = Clock::now() + kSuspendPatience;
  for (std::size_t at = 0; at < fleet.records.size(); ++at) {
    std::string record = lmrtest::read_file(fleet.records[at]);
    while (record != expected) {
      if (record.size() >= expected.size() || Clock::now() > deadline) {
        fail("after " + std::to_string(calls) + " calls the " + fleet.name + " daemon on " +
             fleet.hosts[at] + " ran systemctl as '" + record + "'");
      }
      std::this_thread::sleep_for(10ms);
      record = lmrtest::read_file(fleet.records[at]);
    }
  }
}

// Waits until count keyless sessions have ended in all: a session stays open, and every other
// client gets LOCKED, for four to six seconds after the EHLO that opened it.
void wait_for_sessions(const std::atomic<std::size_t>& ended, std::size_t count) {
  const auto deadline = Clock::now() + kSessionPatience;
  while (ended.load() < count) {
    if (Clock::now() > deadline) {
      fail(std::to_string(ended.load()) + " of " + std::to_string(count) +
           " keyless sessions ended in time");
    }
    std::this_thread::sleep_for(50ms);
  }
}

// Runs `lomarind [--key-file=FILE] suspend HOST...`.
Call run_client(const FleetSetup& setup, const Fleet& fleet, const std::string& error_path) {
  std::vector<std::string> words{setup.client_path};
  if (fleet.keyed) {
    words.push_back("--key-file=" + fleet.client_keys);
  }
  words.emplace_back("suspend");
  words.insert(words.end(), fleet.hosts.begin(), fleet.hosts.end());
  return call_client(words, error_path);
}

// Starts one fleet, makes setup.calls + 1 calls to it, checking each, and stops it.
std::vector<Call> time_fleet(const FleetSetup& setup, bool keyed,
                             const std::atomic<std::size_t>& sessions_ended) {
  const auto began = Clock::now();
  Fleet fleet = start_fleet(setup, keyed);
  (void)std::fprintf(stderr,
                     "fleet: %d %s daemons bound their ports %.1f s after the first start\n",
                     setup.hosts, fleet.name.c_str(), seconds(Clock::now() - began));
  const std::size_t ended_before = sessions_ended.load();
  const std::string error_path = setup.work_dir + "/" + fleet.name + "-client.stderr";
  std::vector<Call> calls;
  for (int call = 0; call <= setup.calls; ++call) {
    if (!keyed) {
      wait_for_sessions(sessions_ended,
                        ended_before + static_cast<std::size_t>(call * setup.hosts));
    }
    calls.push_back(run_client(setup, fleet, error_path));
    check_suspended(calls.back(), fleet.hosts, fleet.name, error_path);
    wait_for_suspends(fleet, call + 1);
    (void)std::fprintf(stderr,
                       "fleet: %s call %d: first line %.3f s, last line %.3f s, exit %.3f s, CPU "
                       "%.3f s, CPUs busy %.0f %%\n",
                       fleet.name.c_str(), call + 1, calls.back().first_line,
                       calls.back().last_line, calls.back().exit, calls.back().cpu,
                       calls.back().busy);
  }
  stop_fleet(fleet);
  return calls;
}

void print_fleet(const FleetSetup& setup, const std::vector<Call>& keyless,
                 const std::vector<Call>& keyed) {
  std::printf(
      "\nfleet: one `lomarind suspend` of %d hosts, a daemon each on 127.0.0.1:%d-%d\n"
      "%-34s %10s %10s %8s %8s\n",
      setup.hosts, kFirstPort, kFirstPort + setup.hosts - 1, "seconds from the client's start",
      "first call", "median", "min", "max");
  print_rows(keyless, keyed);
  std::vector<double> keyless_exit;
  std::vector<double> keyed_exit;
  for (std::size_t at = 1; at < keyless.size() && at < keyed.size(); ++at) {
    keyless_exit.push_back(keyless[at].exit);
    keyed_exit.push_back(keyed[at].exit);
  }
  std::printf(
      "keyed - keyless, client ended (medians): %.3f s\n"
      "median and range of %d calls each, after a first call reported on its own; every call\n"
      "checked: each host's line says suspended, exit status 0, each daemon ran systemctl once.\n"
      "Keyed, each host's line comes once its daemon has proven that the sleep command\n"
      "succeeded (SLEEPING, when the fake systemctl has returned).\n",
      median(keyed_exit) - median(keyless_exit), setup.calls);
}

}  // namespace

void measure_fleet(const FleetSetup& setup) {
  make_room_for(setup.hosts);
  std::atomic<std::size_t> sessions_ended{0};
  const lmrtest::SyslogSink sink("/dev/log", /*keep_entries=*/false,
                                 [&sessions_ended](const lmrtest::LogEntry& entry) {
                                   if (entry.text.starts_with(kSessionEnded)) {
                                     ++sessions_ended;
                                   }
                                 });
  if (!sink.ok()) {
    fail(sink.error());
  }
  const std::vector<Call> keyless = time_fleet(setup, false, sessions_ended);
  const std::vector<Call> keyed = time_fleet(setup, true, sessions_ended);
  print_fleet(setup, keyless, keyed);
}

}  // namespace lmrbench

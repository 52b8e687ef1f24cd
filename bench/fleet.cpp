// One call of the client to a fleet of real daemons: N daemons on N ports of 127.0.0.1, the
// client given all N as HOST words. Keyless first, then keyed as a controller holds its
// keys: each daemon's key file has its own key alone, the client's file every key, named by
// the host word. The client's standard output is read through a pipe, so that the time of
// each host's line is known as well as the time of the client's exit.
#include "fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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
#include <unordered_set>
#include <utility>
#include <vector>

#include "key/key_file.h"
#include "measure.h"
#include "net/protocol.h"
#include "support/argv.h"
#include "support/process.h"
#include "support/syslog_sink.h"

extern char** environ;

namespace lmrbench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Below the kernel's ephemeral ports (32768 and up), which the client's sockets take.
constexpr int kFirstPort = 20001;
constexpr auto kBindPatience = 120s;
constexpr auto kCallPatience = 120s;
constexpr auto kSuspendPatience = 60s;
constexpr auto kSessionPatience = 60s;
constexpr std::string_view kSessionEnded = "Session ended for client ";
constexpr std::string_view kSuspended = ": suspended";
// What the fake systemctl records for one run of the daemon's default sleep command.
constexpr std::string_view kSuspendRun = "suspend\n";

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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

// The client holds a socket per host and raises its soft limit to the hard one: make the hard
// limit room enough (root may raise it).
void raise_descriptor_limit(int hosts) {
  const auto needed = static_cast<rlim_t>(hosts) + 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max >= needed) {
    return;
  }
  limit.rlim_max = needed;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    fail("cannot raise the descriptor limit to " + std::to_string(needed) + ": " +
         std::strerror(errno));
  }
}

// Writes text to a new file of mode 0600 at path.
void write_private_file(const std::string& path, std::string_view text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  while (fd != -1 && !text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written <= 0) {
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  if (fd == -1 || close(fd) != 0 || !text.empty()) {
    fail("cannot write " + path);
  }
}

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

// The machine's CPU time so far, in clock ticks: all of it, and the part that was idle (idle
// and iowait), from the "cpu" line of /proc/stat.
std::array<double, 2> cpu_ticks() {
  std::istringstream line(lmrtest::read_file("/proc/stat"));
  std::string name;
  line >> name;
  std::array<double, 2> ticks{};
  double value = 0;
  for (int field = 0; field < 8 && line >> value; ++field) {
    ticks[0] += value;
    ticks[1] += field == 3 || field == 4 ? value : 0;
  }
  return ticks;
}

// One call of the client, in seconds from its start.
struct Call {
  double first_line = 0;  // the first host's line came
  double last_line = 0;   // the last host's line came
  double exit = 0;        // the client had ended
  double cpu = 0;         // the client's own CPU time, user and system
  double busy = 0;        // the share of the machine's CPU time that was not idle, in %
  int status = -1;        // its wait status
  std::vector<std::string> lines;
};

// Reads the client's output until it closes, noting when lines come; kills the client (by
// pid) and fails when it takes longer than kCallPatience.
void read_lines(int fd, pid_t client, Clock::time_point began, Call& call) {
  std::string pending;
  std::array<char, 65536> buffer{};
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(began + kCallPatience - Clock::now());
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      kill(client, SIGKILL);
      waitpid(client, nullptr, 0);
      fail("the client did not end within 120 s");
    }
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) {
      return;
    }
    const double at = seconds(Clock::now() - began);
    pending.append(buffer.data(), static_cast<std::size_t>(got));
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      call.lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      call.first_line = call.lines.size() == 1 ? at : call.first_line;
      call.last_line = at;
    }
  }
}

// Runs `lomarind [--key-file=FILE] suspend HOST...` with its output on a pipe.
Call run_client(const FleetSetup& setup, const Fleet& fleet, const std::string& error_path) {
  std::vector<std::string> words{setup.client_path};
  if (fleet.keyed) {
    words.push_back("--key-file=" + fleet.client_keys);
  }
  words.emplace_back("suspend");
  words.insert(words.end(), fleet.hosts.begin(), fleet.hosts.end());
  lmrtest::Argv command_line(std::move(words));
  std::array<int, 2> out{-1, -1};
  if (pipe2(out.data(), O_CLOEXEC) != 0) {
    fail(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  Call call;
  const auto ticks_before = cpu_ticks();
  const auto began = Clock::now();
  pid_t client = -1;
  const int spawned = posix_spawn(&client, setup.client_path.c_str(), &actions, nullptr,
                                  command_line.argv(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    fail("cannot run " + setup.client_path + ": " + std::strerror(spawned));
  }
  read_lines(out[0], client, began, call);
  close(out[0]);
  rusage usage{};
  wait4(client, &call.status, 0, &usage);
  call.exit = seconds(Clock::now() - began);
  const auto ticks_after = cpu_ticks();
  const double all = ticks_after[0] - ticks_before[0];
  call.busy = all > 0 ? 100.0 * (all - (ticks_after[1] - ticks_before[1])) / all : 0;
  for (const timeval& part : {usage.ru_utime, usage.ru_stime}) {
    call.cpu += static_cast<double>(part.tv_sec) + static_cast<double>(part.tv_usec) / 1e6;
  }
  return call;
}

// Every host has exactly one line, and it says suspended; the client ended with status 0.
void check_call(const Call& call, const Fleet& fleet, const std::string& error_path) {
  std::unordered_set<std::string> waiting(fleet.hosts.begin(), fleet.hosts.end());
  std::size_t wrong = 0;
  std::string first_wrong;
  for (const std::string& line : call.lines) {
    const bool suspended = line.ends_with(kSuspended) &&
                           waiting.erase(line.substr(0, line.size() - kSuspended.size())) == 1;
    if (!suspended && wrong++ == 0) {
      first_wrong = line;
    }
  }
  const bool exited_0 = WIFEXITED(call.status) && WEXITSTATUS(call.status) == 0;
  if (wrong > 0 || !waiting.empty() || !exited_0) {
    fail("the " + fleet.name + " call ended with wait status " + std::to_string(call.status) +
         "; " + std::to_string(wrong) + " unexpected lines (the first: '" + first_wrong + "'), " +
         std::to_string(waiting.size()) +
         " hosts without a line; standard error: " + lmrtest::read_file(error_path).substr(0, 500));
  }
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
    check_call(calls.back(), fleet, error_path);
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

void print_row(const char* label, const std::vector<Call>& calls, double Call::*figure,
               int decimals = 3) {
  std::vector<double> timed;
  for (std::size_t at = 1; at < calls.size(); ++at) {
    timed.push_back(calls[at].*figure);
  }
  std::printf("%-34s %10.*f %10.*f %8.*f %8.*f\n", label, decimals, calls.front().*figure, decimals,
              median(timed), decimals, *std::min_element(timed.begin(), timed.end()), decimals,
              *std::max_element(timed.begin(), timed.end()));
}

void print_fleet(const FleetSetup& setup, const std::vector<Call>& keyless,
                 const std::vector<Call>& keyed) {
  std::printf(
      "\nfleet: one `lomarind suspend` of %d hosts, a daemon each on 127.0.0.1:%d-%d\n"
      "%-34s %10s %10s %8s %8s\n",
      setup.hosts, kFirstPort, kFirstPort + setup.hosts - 1, "seconds from the client's start",
      "first call", "median", "min", "max");
  const std::array<std::pair<const char*, const std::vector<Call>*>, 2> kinds{
      {{"keyless", &keyless}, {"keyed", &keyed}}};
  for (const auto& [name, calls] : kinds) {
    const std::string kind = name;
    print_row((kind + ": first host's line").c_str(), *calls, &Call::first_line);
    print_row((kind + ": last host's line").c_str(), *calls, &Call::last_line);
    print_row((kind + ": client ended").c_str(), *calls, &Call::exit);
    print_row((kind + ": client's CPU, user+sys").c_str(), *calls, &Call::cpu);
    print_row((kind + ": machine's CPUs busy (%)").c_str(), *calls, &Call::busy, 0);
  }
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
      "Keyed, each host's line comes a second after its proven OK, the time the client listens\n"
      "for a proven REFUSED; the hosts wait at the same time, so a call waits that second once.\n",
      median(keyed_exit) - median(keyless_exit), setup.calls);
}

}  // namespace

void measure_fleet(const FleetSetup& setup) {
  raise_descriptor_limit(setup.hosts);
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

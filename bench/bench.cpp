// lomarind-bench: measures the daemon side by side with the floor server, which makes the
// same system calls (receive, one log line, send) and does nothing else. Both run in one
// private network and mount namespace, log to one sink at /dev/log that drains and counts
// the lines, and have the fake systemctl first on their PATH. Every measurement alternates
// between the two in short blocks, so that what else the machine is doing weighs on both
// alike; each figure is the median over rounds, and the ratio the median of the per-round
// ratios daemon/floor.
//
// Memory is judged by the server's private pages (Private_Clean + Private_Dirty of
// /proc/PID/smaps_rollup): those that no other process maps, which the server alone costs
// the machine. A shared library's pages that other processes map too (the C library's, the
// C++ runtime's) are not its own cost; PSS (proportional set size) charges each process a
// share of them, so it moves with whatever else the machine runs, and is reported beside,
// with private dirty pages and peak RSS.
//
// Afterwards it sets the daemon with a key against the daemon without one: CPU per whole
// session and PSS (see measure_keyed).
//
// With --fleet[=N] it measures only one call of the client to N daemons at once (1000 by
// default), keyless and then keyed (see bench/fleet.h). With --fleet-standin=N it measures one
// call to N hosts (up to 10 000) that one stand-in answers for, keyless and keyed, with the
// client under a hard open-file limit of --nofile=N or the benchmark's own.
//
// Usage: lomarind-bench [--quick] [--rounds=N] [--round-trips=N] [--idle-seconds=N]
//                       [--start-samples=N] [--keyed-samples=N] [--daemon=PATH]
//                       [--wrap=COMMAND] [--pin]
//        lomarind-bench --fleet[=N] [--fleet-calls=N] [--daemon=PATH]
//        lomarind-bench --fleet-standin=N [--nofile=N] [--fleet-calls=N]
// --daemon measures another build of the daemon; --wrap runs both servers under a command
// such as "strace -c -o /tmp/{name}" or "valgrind --tool=callgrind", to see where their time
// goes ({name} becomes the server's name and round; the figures are then those of servers
// slowed down by their wrapper); --pin puts both servers on one CPU and the benchmark on
// another.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fleet.h"
#include "key/key.h"
#include "key/key_file.h"
#include "key/keyed_wire.h"
#include "measure.h"
#include "net/protocol.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/syslog_sink.h"
#include "support/udp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kDaemonPort = 9101;
constexpr std::uint16_t kFloorPort = 9102;
constexpr std::uint16_t kKeylessPort = 9103;
constexpr std::uint16_t kKeyedPort = 9104;
constexpr int kInFlight = 32;
constexpr int kRoundTripsPerBlock = 1000;
constexpr auto kBlock = 250ms;
// A session lasts at least four seconds from the EHLO that opened it; blocks run only while
// at least this much of the window is left after them, so every timed EHLO gets LOCKED.
constexpr auto kUsableWindow = 3500ms;
constexpr auto kSessionEndWait = 8s;
// The drop path has drained when no log line has arrived for this long.
constexpr auto kDrainQuiet = 100ms;
constexpr int kSkipped = 77;
// Dropped datagrams, each waited for in the log, before an EHLO->START is timed.
constexpr int kWarmUp = 1000;
// The stranger's rate in the forged flood against the keyed daemon.
constexpr int kFloodPerSecond = 2000;
// The largest --fleet: the fleet a client's key file is made for, on ports 20001-30000.
constexpr int kMostFleetHosts = 10000;

struct Options {
  int rounds = 7;
  int round_trips = 20000;
  std::chrono::milliseconds throughput_time = 1000ms;
  std::chrono::milliseconds drop_time = 1000ms;
  std::chrono::milliseconds idle_time = 10000ms;
  std::string daemon_path = LMR_SERVER_BINARY;
  std::vector<std::string> wrap;  // command words that both servers are started under
  bool pin = false;
  int start_samples = 3;  // EHLO->START samples per round and server, at the least
  int keyed_samples = 12;
  std::chrono::milliseconds flood_time = 5000ms;  // the forged flood against the keyed daemon
  int fleet_hosts = 0;    // --fleet: daemons in the fleet; 0 for the comparison with the floor
  int fleet_calls = 5;    // --fleet: timed client calls per fleet
  int standin_hosts = 0;  // --fleet-standin: hosts the stand-in answers for
  int nofile = 0;         // --nofile: the client's open-file limit; 0 for the benchmark's own
};

// Where the threads run, with --pin: the benchmark's own (clients and log sink) on one CPU,
// both servers on another, so that neither server can be luckier than the other in where
// the scheduler puts it. On a machine busy with other work this costs more than it gains:
// a pinned server cannot move away from a CPU that something else is using.
struct Placement {
  cpu_set_t bench;
  cpu_set_t servers;
  bool pinned = false;
};

Placement place(bool wanted) {
  Placement placement{};
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (!wanted || sched_getaffinity(0, sizeof allowed, &allowed) == -1 || CPU_COUNT(&allowed) < 2) {
    return placement;
  }
  int first = -1;
  int last = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      first = first == -1 ? cpu : first;
      last = cpu;
    }
  }
  CPU_ZERO(&placement.bench);
  CPU_SET(first, &placement.bench);
  CPU_ZERO(&placement.servers);
  CPU_SET(last, &placement.servers);
  placement.pinned = sched_setaffinity(0, sizeof placement.bench, &placement.bench) == 0;
  return placement;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

// A UDP socket on loopback that talks to one server. Unconnected, so that datagrams sent
// before the server has bound leave no error behind on the socket.
class Client {
 public:
  explicit Client(std::uint16_t server_port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ == -1 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1) {
      fail(std::string("client socket: ") + std::strerror(errno));
    }
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(server_port);
    set_timeout(1s);
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void set_timeout(std::chrono::microseconds timeout) {
    const timeval value{static_cast<time_t>(timeout.count() / 1'000'000),
                        static_cast<suseconds_t>(timeout.count() % 1'000'000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  }

  void send(std::string_view text) const {
    sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
           sizeof server_);
  }

  /// The next datagram, valid until the next call; nothing on timeout.
  std::optional<std::string_view> receive() {
    const ssize_t length = recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (length < 0) {
      return std::nullopt;
    }
    return std::string_view(buffer_.data(), static_cast<std::size_t>(length));
  }

  /// The next datagram within timeout, waiting with ppoll: a socket's own receive timeout
  /// counts in scheduler ticks of several milliseconds, too coarse to time a start-up.
  std::optional<std::string_view> receive_within(std::chrono::microseconds timeout) {
    pollfd ready{fd_, POLLIN, 0};
    const timespec wait{0, static_cast<long>(timeout.count() * 1000)};
    if (ppoll(&ready, 1, &wait, nullptr) <= 0) {
      return std::nullopt;
    }
    const ssize_t length = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (length < 0) {
      return std::nullopt;
    }
    return std::string_view(buffer_.data(), static_cast<std::size_t>(length));
  }

  /// Reads and forgets whatever has arrived.
  void drain() {
    while (recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT) >= 0) {
    }
  }

 private:
  int fd_ = -1;
  sockaddr_in server_{};
  std::array<char, 1024> buffer_{};
};

// The figures of one server in one round. NaN where nothing was measured.
enum Row : std::size_t {
  kStartup,
  kStartLatency,
  kLockedMedian,
  kLockedP99,
  kRepliesPerSecond,
  kDropPerSecond,
  kDropOffered,
  kDropLost,
  kRcvbufErrors,
  kCpuPerReply,
  kCpuPerDrop,
  kPssIdle,
  kPssLoad,
  kPrivateIdle,
  kPrivateLoad,
  kPrivateDirtyLoad,
  kRssIdle,
  kRssLoad,
  kIdleWakeups,
  kIdleInterval,
  kRowCount
};
using Figures = std::array<double, kRowCount>;

enum class Target { kNone, kAtMost, kAtLeast, kOnePerWindowSecond, kOneSecond };

struct RowInfo {
  const char* label;
  int decimals;
  Target target;
};

constexpr std::array<RowInfo, kRowCount> kRows = {{
    {"start-up to first reply (ms)", 2, Target::kNone},
    {"EHLO->START latency, median (us)", 1, Target::kAtMost},
    {"EHLO->LOCKED latency, median (us)", 1, Target::kAtMost},
    {"EHLO->LOCKED latency, p99 (us)", 1, Target::kAtMost},
    {"replies/s, 32 in flight", 0, Target::kAtLeast},
    {"drop path: datagrams/s handled", 0, Target::kAtLeast},
    {"drop path: datagrams/s offered", 0, Target::kNone},
    {"drop path: lost, sent-handled (%)", 1, Target::kNone},
    {"drop path: UDP RcvbufErrors/s", 0, Target::kNone},
    {"CPU per reply, LOCKED path (us)", 2, Target::kAtMost},
    {"CPU per dropped datagram (us)", 2, Target::kAtMost},
    {"PSS idle (kB)", 0, Target::kNone},
    {"PSS after load (kB)", 0, Target::kNone},
    {"private idle, clean+dirty (kB)", 0, Target::kAtMost},
    {"private after load, clean+dirty (kB)", 0, Target::kAtMost},
    {"private dirty after load (kB)", 0, Target::kNone},
    {"peak RSS idle, VmHWM (kB)", 0, Target::kNone},
    {"peak RSS after load, VmHWM (kB)", 0, Target::kNone},
    {"idle wakeups in the idle window", 0, Target::kOnePerWindowSecond},
    {"idle: seconds between wakeups", 3, Target::kOneSecond},
}};

Figures no_figures() {
  Figures f;
  f.fill(std::nan(""));
  return f;
}

// One server under test with the clients that talk to it.
struct Subject {
  std::string name;
  std::string path;
  std::uint16_t port = 0;
  std::vector<std::string> args;  // after -p PORT
  std::unique_ptr<lmrtest::Process> process;
  std::unique_ptr<Client> owner;    // opens the sessions and gets their END
  std::unique_ptr<Client> asker;    // every EHLO from it gets LOCKED
  std::unique_ptr<Client> flooder;  // sends what is dropped
  const lmrtest::SyslogSink* sink = nullptr;
  const Placement* placement = nullptr;
  pid_t server_pid = -1;  // the process itself, also when it runs under a wrapper
  bool session_open = false;
  Clock::time_point opened_at;

  std::vector<double> start_latencies;
  std::vector<double> locked_latencies;
  double replies = 0;
  double reply_seconds = 0;
  double reply_cpu_ns = 0;
  double replies_for_cpu = 0;
  double dropped = 0;
  double drop_seconds = 0;
  double drop_cpu_ns = 0;
  double drop_sent = 0;
  double rcvbuf_errors = 0;
  int resyncs = 0;

  pid_t pid() const { return server_pid; }
};

std::uint64_t cpu_of(const Subject& s) {
  const auto ns = lmrbench::cpu_time_ns(s.pid());
  if (!ns) {
    fail(s.name + " has died");
  }
  return *ns;
}

long status_of(const Subject& s, std::string_view name) {
  return lmrbench::status_value(lmrtest::read_file("/proc/" + std::to_string(s.pid()) + "/status"),
                                name);
}

// The memory of a server at one moment, in kB.
struct Memory {
  double pss = 0;            // Pss of smaps_rollup
  double private_pages = 0;  // Private_Clean + Private_Dirty of smaps_rollup
  double private_dirty = 0;  // Private_Dirty of smaps_rollup
  double peak_rss = 0;       // VmHWM of status
};

Memory memory_of(const Subject& s) {
  // NaN for a value not found, so that the table says it was not measured.
  const auto kb = [](long value) { return value < 0 ? std::nan("") : static_cast<double>(value); };
  const std::string rollup =
      lmrtest::read_file("/proc/" + std::to_string(s.pid()) + "/smaps_rollup");
  return {kb(lmrbench::status_value(rollup, "Pss")), kb(lmrbench::private_kb(rollup)),
          kb(lmrbench::status_value(rollup, "Private_Dirty")), kb(status_of(s, "VmHWM"))};
}

long rcvbuf_errors() {
  return lmrbench::udp_counter(lmrtest::read_file("/proc/net/snmp"), "RcvbufErrors");
}

// The server that a wrapper started: the wrapper's only child, or the wrapper itself when it
// has become the server (as valgrind does).
pid_t server_under(pid_t wrapper) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string stat = lmrtest::read_file(entry.path().string() + "/stat");
    const std::size_t close = stat.rfind(')');
    // After the name: " S PPID ...".
    if (close != std::string::npos && close + 4 < stat.size() &&
        std::strtol(stat.c_str() + close + 4, nullptr, 10) == wrapper) {
      return static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
    }
  }
  return wrapper;
}

// Starts the server and sends EHLO every 100 us until the first reply; returns the time
// from the start of the process to that reply.
Clock::duration start(Subject& s, const Options& options, const std::string& work_dir, int round) {
  s.owner = std::make_unique<Client>(s.port);
  s.asker = std::make_unique<Client>(s.port);
  s.flooder = std::make_unique<Client>(s.port);
  const auto began = Clock::now();
  std::vector<std::string> command = options.wrap;
  for (auto& word : command) {
    if (const std::size_t at = word.find("{name}"); at != std::string::npos) {
      word.replace(at, std::strlen("{name}"), s.name + "-" + std::to_string(round + 1));
    }
  }
  command.insert(command.end(), {s.path, "-p", std::to_string(s.port)});
  command.insert(command.end(), s.args.begin(), s.args.end());
  s.process = std::make_unique<lmrtest::Process>(
      command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
      std::vector<std::string>{}, work_dir + "/" + s.name + "-" + std::to_string(round));
  if (s.placement->pinned) {
    sched_setaffinity(s.process->pid(), sizeof s.placement->servers, &s.placement->servers);
  }
  // A wrapper such as valgrind takes a while to start.
  const auto patience = options.wrap.empty() ? 5s : 60s;
  if (s.process->pid() == -1) {
    fail("cannot start " + s.path);
  }
  for (;;) {
    s.owner->send(protocol::kEhlo);
    if (const auto reply = s.owner->receive_within(100us)) {
      const auto answered = Clock::now();
      // A keyed daemon opens no session for a plain EHLO; it asks for a key.
      const bool keyed = *reply == protocol::kKeyedNotice;
      if (*reply != protocol::kStart && !keyed) {
        fail(s.name + " answered its first EHLO with something other than START");
      }
      s.server_pid = options.wrap.empty() ? s.process->pid() : server_under(s.process->pid());
      s.session_open = !keyed;
      s.opened_at = began;
      return answered - began;
    }
    if (Clock::now() - began > patience || !s.process->running()) {
      fail(s.name + " did not answer in time after its start");
    }
  }
}

void stop(Subject& s) {
  // To the server itself: a wrapper such as strace need not pass the signal on.
  if (s.server_pid != -1) {
    kill(s.server_pid, SIGTERM);
  }
  const auto status = s.process->wait(3s);
  if (!status) {
    (void)std::fprintf(stderr, "lomarind-bench: %s did not end within 3 s of SIGTERM\n",
                       s.name.c_str());
    if (s.server_pid != -1 && s.server_pid != s.process->pid()) {
      kill(s.server_pid, SIGKILL);
    }
  } else if (s.name == "daemon" && (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)) {
    // The floor has no handler: SIGTERM ends it by default.
    (void)std::fprintf(stderr, "lomarind-bench: daemon ended with wait status %d\n", *status);
  }
  s.process.reset();  // kills it if it did not end
  s.server_pid = -1;
  s.session_open = false;
}

// Waits until the owner is told that the session has ended. Replies to EHLOs the owner
// sent at start-up may come first.
void wait_for_end(Subject& s) {
  if (!s.session_open) {
    return;
  }
  const auto deadline = Clock::now() + kSessionEndWait;
  while (Clock::now() < deadline) {
    const auto reply = s.owner->receive();
    if (reply && *reply == protocol::kEnd) {
      s.session_open = false;
      return;
    }
  }
  fail(s.name + " sent no END within 8 s");
}

// Waits until the server's CPU time has moved on from before, which it does once it has
// handled what was sent and gone back to its receive; at most timeout.
void wait_until_handled(const Subject& s, std::uint64_t before, Clock::duration timeout) {
  const auto began = Clock::now();
  while (cpu_of(s) == before && Clock::now() - began < timeout) {
    std::this_thread::yield();
  }
}

// Brings the server and the caches into the state they are in during the LOCKED loop: a
// closed loop of dropped datagrams, each waited for. Without it an EHLO->START after seconds
// of idleness would time mostly the waking of idle CPUs.
void warm_up(Subject& s) {
  for (int i = 0; i < kWarmUp; ++i) {
    const auto cpu = cpu_of(s);
    s.flooder->send(protocol::kSuspend);
    wait_until_handled(s, cpu, 100ms);
  }
}

void open_session(Subject& s) {
  warm_up(s);
  const auto sent = Clock::now();
  s.owner->send(protocol::kEhlo);
  const auto reply = s.owner->receive();
  const auto answered = Clock::now();
  if (!reply || *reply != protocol::kStart) {
    fail(s.name + " did not answer EHLO with START with no session open");
  }
  s.start_latencies.push_back(microseconds(answered - sent));
  s.session_open = true;
  s.opened_at = sent;
}

// Makes sure a session is open and will stay open for at least need more; reopens it (one
// more EHLO->START sample) when too little of its window is left.
void ensure_window(Subject& s, Clock::duration need) {
  if (s.session_open && Clock::now() + need > s.opened_at + kUsableWindow) {
    wait_for_end(s);
  }
  if (!s.session_open) {
    open_session(s);
  }
}

// After a reply that should not have come, the state is unknown: wait until any session has
// certainly ended and start over.
void resync(Subject& s) {
  ++s.resyncs;
  std::this_thread::sleep_for(6500ms);
  s.owner->drain();
  s.asker->drain();
  s.session_open = false;
}

// Closed loop: one EHLO at a time, each timed from its send to its LOCKED.
bool latency_block(Subject& s, int count) {
  ensure_window(s, 500ms);
  std::vector<double> block;
  block.reserve(static_cast<std::size_t>(count));
  const auto cpu_before = cpu_of(s);
  for (int i = 0; i < count; ++i) {
    const auto sent = Clock::now();
    s.asker->send(protocol::kEhlo);
    const auto reply = s.asker->receive();
    const auto answered = Clock::now();
    if (!reply || *reply != protocol::kLocked) {
      resync(s);
      return false;
    }
    block.push_back(microseconds(answered - sent));
  }
  s.reply_cpu_ns += static_cast<double>(cpu_of(s) - cpu_before);
  s.replies_for_cpu += count;
  s.locked_latencies.insert(s.locked_latencies.end(), block.begin(), block.end());
  return true;
}

// Keeps kInFlight EHLOs outstanding for one block and counts the LOCKED replies.
bool throughput_block(Subject& s, Clock::duration length) {
  ensure_window(s, length + 500ms);
  s.asker->set_timeout(100ms);
  const auto cpu_before = cpu_of(s);
  int in_flight = 0;
  for (; in_flight < kInFlight; ++in_flight) {
    s.asker->send(protocol::kEhlo);
  }
  double counted = 0;
  bool wrong = false;
  const auto began = Clock::now();
  const auto end = began + length;
  auto now = began;
  while (now < end) {
    const auto reply = s.asker->receive();
    now = Clock::now();
    if (!reply) {
      // Nothing for 100 ms: the requests in flight were lost; put as many back.
      for (int i = 0; i < kInFlight; ++i) {
        s.asker->send(protocol::kEhlo);
      }
      continue;
    }
    wrong = wrong || *reply != protocol::kLocked;
    counted += 1;
    s.asker->send(protocol::kEhlo);
  }
  // The replies still in flight are work the server does, so they count for its CPU.
  double drained = 0;
  while (drained < in_flight && s.asker->receive()) {
    drained += 1;
  }
  s.asker->set_timeout(1s);
  if (wrong) {
    resync(s);
    return false;
  }
  s.reply_cpu_ns += static_cast<double>(cpu_of(s) - cpu_before);
  s.replies_for_cpu += counted + drained;
  s.replies += counted;
  s.reply_seconds += seconds(now - began);
  return true;
}

// With no session open, floods the server with SUSPEND for one block. Every datagram that
// the kernel did not drop for a full receive queue is one the server handled; the log lines
// they cause are budgeted, so the lines no longer count them.
void drop_block(Subject& s, Clock::duration length) {
  const long errors_before = rcvbuf_errors();
  const auto cpu_before = cpu_of(s);
  double sent = 0;
  const auto began = Clock::now();
  while (Clock::now() - began < length) {
    for (int i = 0; i < 64; ++i) {
      s.flooder->send(protocol::kSuspend);
    }
    sent += 64;
  }
  // Drained once the server has used no CPU for a while.
  auto cpu = cpu_of(s);
  auto last_busy = Clock::now();
  while (Clock::now() - last_busy < kDrainQuiet) {
    std::this_thread::sleep_for(1ms);
    if (const auto now_cpu = cpu_of(s); now_cpu != cpu) {
      cpu = now_cpu;
      last_busy = Clock::now();
    }
  }
  const auto lost = static_cast<double>(rcvbuf_errors() - errors_before);
  s.dropped += sent - lost;
  s.drop_seconds += seconds(last_busy - began);
  s.drop_cpu_ns += static_cast<double>(cpu - cpu_before);
  s.drop_sent += sent;
  s.rcvbuf_errors += lost;
}

// Runs one block for each server in turn, the order changing every time.
void alternate(std::array<Subject*, 2> pair, int blocks, const std::function<void(Subject&)>& run) {
  for (int b = 0; b < blocks; ++b) {
    run(*pair.at(static_cast<std::size_t>(b % 2)));
    run(*pair.at(static_cast<std::size_t>(1 - b % 2)));
  }
}

void reset_counts(Subject& s) {
  Subject fresh;
  fresh.name = s.name;
  fresh.path = s.path;
  fresh.port = s.port;
  fresh.sink = s.sink;
  fresh.placement = s.placement;
  s = std::move(fresh);
}

Figures round_figures(const Subject& s, double startup_ms, const Memory& idle, const Memory& load) {
  Figures f = no_figures();
  f[kStartup] = startup_ms;
  f[kStartLatency] = lmrbench::median(s.start_latencies);
  f[kLockedMedian] = lmrbench::percentile(s.locked_latencies, 50);
  f[kLockedP99] = lmrbench::percentile(s.locked_latencies, 99);
  f[kRepliesPerSecond] = s.replies / s.reply_seconds;
  f[kDropPerSecond] = s.dropped / s.drop_seconds;
  f[kDropOffered] = s.drop_sent / s.drop_seconds;
  f[kDropLost] = 100.0 * (s.drop_sent - s.dropped) / s.drop_sent;
  f[kRcvbufErrors] = s.rcvbuf_errors / s.drop_seconds;
  f[kCpuPerReply] = s.reply_cpu_ns / s.replies_for_cpu / 1000.0;
  f[kCpuPerDrop] = s.drop_cpu_ns / s.dropped / 1000.0;
  f[kPssIdle] = idle.pss;
  f[kPssLoad] = load.pss;
  f[kPrivateIdle] = idle.private_pages;
  f[kPrivateLoad] = load.private_pages;
  f[kPrivateDirtyLoad] = load.private_dirty;
  f[kRssIdle] = idle.peak_rss;
  f[kRssLoad] = load.peak_rss;
  return f;
}

long context_switches(const Subject& s) {
  const std::string status = lmrtest::read_file("/proc/" + std::to_string(s.pid()) + "/status");
  return lmrbench::status_value(status, "voluntary_ctxt_switches") +
         lmrbench::status_value(status, "nonvoluntary_ctxt_switches");
}

// Counts the context switches of both servers over the idle window, looking every 5 ms so
// that the time between the first and the last wakeup gives their interval as well. Every
// wakeup of an idle server ends in one switch, when it goes back to sleep.
void measure_idle(const std::array<Subject*, 2>& pair, Clock::duration window,
                  std::array<Figures, 2>& figures) {
  std::array<long, 2> first{};
  std::array<long, 2> last{};
  std::array<std::optional<Clock::time_point>, 2> first_change;
  std::array<Clock::time_point, 2> last_change{};
  std::array<long, 2> changes_after_first{};
  for (std::size_t i = 0; i < 2; ++i) {
    first.at(i) = last.at(i) = context_switches(*pair.at(i));
  }
  const auto began = Clock::now();
  while (Clock::now() - began < window) {
    std::this_thread::sleep_for(5ms);
    const auto now = Clock::now();
    for (std::size_t i = 0; i < 2; ++i) {
      const long switches = context_switches(*pair.at(i));
      if (switches == last.at(i)) {
        continue;
      }
      if (first_change.at(i)) {
        changes_after_first.at(i) += switches - last.at(i);
      } else {
        first_change.at(i) = now;
      }
      last_change.at(i) = now;
      last.at(i) = switches;
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    figures.at(i)[kIdleWakeups] = static_cast<double>(last.at(i) - first.at(i));
    if (first_change.at(i) && changes_after_first.at(i) > 0) {
      figures.at(i)[kIdleInterval] = seconds(last_change.at(i) - *first_change.at(i)) /
                                     static_cast<double>(changes_after_first.at(i));
    }
  }
}

struct Results {
  std::vector<Figures> daemon;
  std::vector<Figures> floor;
  // EHLO->START comes once per session window, a few times a round: pooled over rounds.
  std::vector<double> daemon_start;
  std::vector<double> floor_start;
};

std::string listed(const std::vector<double>& values) {
  std::string text;
  for (const double value : values) {
    text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(std::lround(value)));
  }
  return text;
}

// One round: fresh processes, start-up, drop path, latency, throughput.
void run_round(Subject& daemon, Subject& floor, const Options& options, const std::string& work_dir,
               int round, bool last, Results& results) {
  reset_counts(daemon);
  reset_counts(floor);
  std::array<Subject*, 2> pair{&daemon, &floor};
  if (round % 2 == 1) {
    std::swap(pair[0], pair[1]);
  }
  std::array<double, 2> startup_ms{};
  std::array<Memory, 2> idle{};
  for (std::size_t i = 0; i < 2; ++i) {
    startup_ms.at(i) = seconds(start(*pair.at(i), options, work_dir, round)) * 1000.0;
    idle.at(i) = memory_of(*pair.at(i));
  }
  // The drop path needs every session closed.
  for (Subject* s : pair) {
    wait_for_end(*s);
  }
  const int drop_blocks = std::max(1, static_cast<int>(options.drop_time / kBlock));
  alternate(pair, drop_blocks, [&](Subject& s) { drop_block(s, kBlock); });

  for (Subject* s : pair) {
    open_session(*s);
  }
  const int latency_blocks = std::max(1, options.round_trips / kRoundTripsPerBlock);
  alternate(pair, latency_blocks, [&](Subject& s) {
    while (!latency_block(s, kRoundTripsPerBlock)) {
      if (s.resyncs > 3) {
        fail(s.name + ": EHLO kept getting other replies than LOCKED");
      }
    }
  });
  const int throughput_blocks = std::max(1, static_cast<int>(options.throughput_time / kBlock));
  alternate(pair, throughput_blocks, [&](Subject& s) {
    while (!throughput_block(s, kBlock)) {
      if (s.resyncs > 3) {
        fail(s.name + ": EHLO kept getting other replies than LOCKED");
      }
    }
  });

  // Each further EHLO->START needs the session before it to have run out.
  while (daemon.start_latencies.size() < static_cast<std::size_t>(options.start_samples) ||
         floor.start_latencies.size() < static_cast<std::size_t>(options.start_samples)) {
    for (Subject* s : pair) {
      wait_for_end(*s);
    }
    for (Subject* s : pair) {
      open_session(*s);
    }
  }

  std::array<Figures, 2> figures{};
  for (std::size_t i = 0; i < 2; ++i) {
    figures.at(i) =
        round_figures(*pair.at(i), startup_ms.at(i), idle.at(i), memory_of(*pair.at(i)));
  }
  if (last) {
    // Idle: both at once, with no session open and no traffic.
    for (Subject* s : pair) {
      wait_for_end(*s);
    }
    measure_idle(pair, options.idle_time, figures);
  }
  for (std::size_t i = 0; i < 2; ++i) {
    (pair.at(i) == &daemon ? results.daemon : results.floor).push_back(figures.at(i));
    auto& pooled = pair.at(i) == &daemon ? results.daemon_start : results.floor_start;
    pooled.insert(pooled.end(), pair.at(i)->start_latencies.begin(),
                  pair.at(i)->start_latencies.end());
    (void)std::fprintf(
        stderr,
        "round %d %-6s: start-up %.2f ms, LOCKED median %.1f us p99 %.1f us (n=%zu), "
        "START %s us, %.0f replies/s, drop %.0f/s, CPU %.2f us/reply\n",
        round + 1, pair.at(i)->name.c_str(), figures.at(i)[kStartup], figures.at(i)[kLockedMedian],
        figures.at(i)[kLockedP99], pair.at(i)->locked_latencies.size(),
        listed(pair.at(i)->start_latencies).c_str(), figures.at(i)[kRepliesPerSecond],
        figures.at(i)[kDropPerSecond], figures.at(i)[kCpuPerReply]);
  }
  for (Subject* s : pair) {
    stop(*s);
  }
}

// One whole exchange of the owner: EHLO->START, SUSPEND->OK, and then an EHLO whose answer
// comes once the suspend command has run: LOCKED in the session without a key, the next START
// with one (keyed mode has no sessions, and so no END to wait for). With a key, every START
// and OK is proven and its proof checked here as a client would. Returns the server's CPU
// time for it, in us.
double whole_session(Subject& s, const Key* key) {
  wait_for_end(s);
  const auto cpu_before = cpu_of(s);
  const std::string id = key != nullptr ? key_id(*key) : "";
  const std::string nonce = key != nullptr ? new_nonce() : "";
  const std::string ehlo =
      key != nullptr ? "EHLO " + id + " " + nonce + "\n" : std::string(protocol::kEhlo);
  s.owner->send(ehlo);
  std::string start(s.owner->receive().value_or(""));
  // Answers to the plain EHLOs that found the keyed daemon ready may still be queued.
  while (start == protocol::kKeyedNotice) {
    start = s.owner->receive().value_or("");
  }
  const std::string challenge = start.substr(std::min(start.size(), protocol::kStartPrefix.size()),
                                             protocol::kChallengeDigits);
  if (key != nullptr
          ? start != "START " + challenge + " " + start_proof(*key, nonce, challenge) + "\n"
          : start != protocol::kStart) {
    fail(s.name + " did not answer EHLO with its START but with '" + start + "'");
  }
  s.session_open = key == nullptr;
  s.owner->send(key != nullptr ? "SUSPEND " + id + " " + challenge + " " +
                                     command_proof(*key, challenge, "SUSPEND") + "\n"
                               : std::string(protocol::kSuspend));
  const std::string ok = key != nullptr ? "OK " + ok_proof(*key, challenge, "SUSPEND") + "\n"
                                        : std::string(protocol::kOk);
  if (s.owner->receive() != ok) {
    fail(s.name + " did not answer its owner's SUSPEND with OK");
  }
  // Keyed, the daemon then says that the sleep command runs and, once it has, that it
  // succeeded: part of the whole session.
  if (key != nullptr && (!proven_running(s.owner->receive().value_or(""), *key, challenge) ||
                         !proven_sleeping(s.owner->receive().value_or(""), *key, challenge))) {
    fail(s.name + " did not tell its owner that the sleep command ran and succeeded");
  }
  s.owner->send(ehlo);
  const std::string after(s.owner->receive().value_or(""));
  if (key != nullptr ? !after.starts_with(protocol::kStartPrefix) : after != protocol::kLocked) {
    fail(s.name + " did not answer the EHLO after SUSPEND");
  }
  return static_cast<double>(cpu_of(s) - cpu_before) / 1000.0;
}

// The daemon with --key-file against the same daemon without it, sessions alternating
// between the two: the medians of CPU per whole session and of memory, and their ratios.
// A whole session is what a key adds work to: the challenge, the proof and its check.
void measure_keyed(const Options& options, const lmrtest::SyslogSink& sink,
                   const Placement& placement, const std::string& work_dir) {
  const std::string key_path = work_dir + "/key";
  KeySet keys;
  std::string error = write_new_key_file(key_path);
  if (error.empty()) {
    error = read_key_file(key_path, keys, true);
  }
  if (!error.empty()) {
    fail(error);
  }
  const Key& key = keys.keys.front().key;
  std::array<Subject, 2> pair;
  for (std::size_t at = 0; at < 2; ++at) {
    pair.at(at).name = at == 0 ? "keyless" : "keyed";
    pair.at(at).path = options.daemon_path;
    pair.at(at).port = at == 0 ? kKeylessPort : kKeyedPort;
    pair.at(at).sink = &sink;
    pair.at(at).placement = &placement;
  }
  pair[1].args = {"--key-file=" + key_path};
  // The keyed daemon runs its own copy of the executable: run from one file, the two would
  // share its page-cache pages and each count half of them in its PSS, which no daemon
  // running alone does.
  pair[1].path = work_dir + "/server-keyed";
  std::error_code copy_error;
  std::filesystem::copy_file(options.daemon_path, pair[1].path, copy_error);
  if (copy_error) {
    fail("copy " + options.daemon_path + ": " + copy_error.message());
  }
  // Per row (CPU, PSS, private, private dirty, peak RSS), the samples without and with the key.
  std::array<std::array<std::vector<double>, 2>, 5> samples;
  // Two timed sessions per process, the order alternating, after one that is not timed:
  // its first proof and challenge fault in the library's code, once in the life of a daemon.
  for (int round = 0; round < std::max(1, options.keyed_samples / 2); ++round) {
    for (Subject& s : pair) {
      start(s, options, work_dir, round);
    }
    for (std::size_t i = 0; i < 6; ++i) {
      const std::size_t at = (i + static_cast<std::size_t>(round)) % 2;
      const double cpu = whole_session(pair.at(at), at == 1 ? &key : nullptr);
      if (i >= 2) {
        samples[0].at(at).push_back(cpu);
      }
    }
    for (std::size_t at = 0; at < 2; ++at) {
      const Memory memory = memory_of(pair.at(at));
      samples[1].at(at).push_back(memory.pss);
      samples[2].at(at).push_back(memory.private_pages);
      samples[3].at(at).push_back(memory.private_dirty);
      samples[4].at(at).push_back(memory.peak_rss);
      stop(pair.at(at));
    }
  }
  std::printf("\n%-36s %12s %12s %13s %9s %4s\n", "keyed (median)", "keyless", "keyed",
              "keyed/keyless", "target", "met");
  const std::array<const char*, 5> labels = {"CPU per whole session (us)", "PSS (kB)",
                                             "private, clean+dirty (kB)", "private dirty (kB)",
                                             "peak RSS, VmHWM (kB)"};
  for (std::size_t row = 0; row < labels.size(); ++row) {
    const double without = lmrbench::median(samples.at(row)[0]);
    const double with = lmrbench::median(samples.at(row)[1]);
    const double ratio = with / without;
    // CPU is what a key costs; the memory rows show the library's pages that a key brings in.
    const bool judged = row == 0;
    std::printf("%-36s %12.*f %12.*f %13.3f %9s %4s\n", labels.at(row), row == 0 ? 1 : 0, without,
                row == 0 ? 1 : 0, with, ratio, judged ? "<= 1.05" : "-",
                !judged             ? "-"
                : std::isnan(ratio) ? "?"
                : ratio <= 1.05     ? "yes"
                                    : "NO");
  }
  std::printf(
      "whole session: EHLO->START, SUSPEND->OK (proven when keyed), then EHLO->LOCKED (keyed:\n"
      "EHLO->START) after the suspend command has run; %zu sessions each, two per process\n"
      "after one untimed.\n",
      samples[0][0].size());

  // A stranger's flood of keyed EHLOs, plain EHLOs and made-up commands from 1000 forged
  // identities: the keyed daemon holds nothing for any of them, so its memory stays as it was.
  Subject& keyed = pair[1];
  start(keyed, options, work_dir, 0);
  whole_session(keyed, &key);
  const Memory idle = memory_of(keyed);
  const auto cpu_before = cpu_of(keyed);
  long flooded = 0;
  {
    lmrtest::ForgedFlood flood(keyed.port, keys.keys.front().id, kFloodPerSecond);
    if (!flood.ok()) {
      fail(std::string("cannot forge datagrams: ") + std::strerror(errno));
    }
    std::this_thread::sleep_for(options.flood_time);
    flooded = flood.sent();
  }
  whole_session(keyed, &key);  // the key holder is still served
  const Memory after = memory_of(keyed);
  const double cpu_us = static_cast<double>(cpu_of(keyed) - cpu_before) / 1000.0;
  stop(keyed);
  std::printf("\n%-36s %12s %12s %13s %9s %4s\n", "keyed, forged flood", "idle", "flooded",
              "flooded/idle", "target", "met");
  const std::array<std::pair<const char*, std::array<double, 2>>, 4> rows{{
      {"PSS (kB)", {idle.pss, after.pss}},
      {"private, clean+dirty (kB)", {idle.private_pages, after.private_pages}},
      {"peak RSS, VmHWM (kB)", {idle.peak_rss, after.peak_rss}},
      {"private dirty (kB)", {idle.private_dirty, after.private_dirty}},
  }};
  for (const auto& [label, values] : rows) {
    const double ratio = values[1] / values[0];
    std::printf("%-36s %12.0f %12.0f %13.3f %9s %4s\n", label, values[0], values[1], ratio,
                "<= 1.10",
                std::isnan(ratio) ? "?"
                : ratio <= 1.10   ? "yes"
                                  : "NO");
  }
  std::printf(
      "flood: %ld datagrams in %.1f s from 1000 forged identities (%.0f/s), a third each\n"
      "keyed EHLO, plain EHLO and made-up SUSPEND; daemon CPU %.2f us per datagram.\n",
      flooded, seconds(options.flood_time),
      static_cast<double>(flooded) / seconds(options.flood_time),
      cpu_us / static_cast<double>(std::max(1L, flooded)));
  unlink(key_path.c_str());
  unlink(pair[1].path.c_str());
}

std::string formatted(int decimals, double value) {
  if (std::isnan(value)) {
    return "-";
  }
  std::array<char, 32> text{};
  (void)std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  return text.data();
}

// Prints the table; false when some figure could not be measured for one of the two.
bool print_table(const Results& results, const Options& options) {
  bool complete = true;
  std::printf("%-36s %12s %12s %13s %9s %4s\n", "figure (median of rounds)", "daemon", "floor",
              "daemon/floor", "target", "met");
  for (std::size_t row = 0; row < kRowCount; ++row) {
    std::vector<double> daemon;
    std::vector<double> floor;
    std::vector<double> ratios;
    for (std::size_t r = 0; r < results.daemon.size(); ++r) {
      const double d = results.daemon[r].at(row);
      const double f = results.floor[r].at(row);
      daemon.push_back(d);
      floor.push_back(f);
      ratios.push_back(f > 0 ? d / f : std::nan(""));
    }
    const RowInfo& info = kRows.at(row);
    double d = lmrbench::median(daemon);
    double f = lmrbench::median(floor);
    double ratio = lmrbench::median(ratios);
    if (row == kStartLatency) {
      d = lmrbench::median(results.daemon_start);
      f = lmrbench::median(results.floor_start);
      ratio = d / f;
    }
    complete = complete && !std::isnan(d) && !std::isnan(f);
    std::string target = "-";
    std::string met = "-";
    switch (info.target) {
    case Target::kNone:
      break;
    case Target::kAtMost:
      target = "<= 1.10";
      met = std::isnan(ratio) ? "?" : ratio <= 1.10 ? "yes" : "NO";
      break;
    case Target::kAtLeast:
      target = ">= 0.90";
      met = std::isnan(ratio) ? "?" : ratio >= 0.90 ? "yes" : "NO";
      break;
    case Target::kOnePerWindowSecond: {
      // One wakeup per receive timeout; a window of N seconds may catch one more or less.
      const double window = std::chrono::duration<double>(options.idle_time).count();
      target = formatted(0, window) + "+-1";
      met = std::isnan(d) ? "?" : std::fabs(d - window) <= 1.0 ? "yes" : "NO";
      break;
    }
    case Target::kOneSecond:
      // The kernel rounds a one-second receive timeout up to its timer wheel's granularity,
      // tens of milliseconds: so the daemon must wake as seldom as the floor, and never more
      // than once a second.
      target = "1 s, =floor";
      met = std::isnan(d) || std::isnan(ratio)             ? "?"
            : d >= 0.999 && std::fabs(ratio - 1.0) <= 0.01 ? "yes"
                                                           : "NO";
      break;
    }
    std::printf("%-36s %12s %12s %13s %9s %4s\n", info.label, formatted(info.decimals, d).c_str(),
                formatted(info.decimals, f).c_str(), formatted(3, ratio).c_str(), target.c_str(),
                met.c_str());
  }
  std::printf(
      "EHLO->START: %zu and %zu samples, pooled over the rounds; the others: median of "
      "%zu rounds,\nratio: median of the per-round ratios. CPU from /proc/PID/schedstat, "
      "PSS and private pages\nfrom /proc/PID/smaps_rollup, peak RSS from VmHWM, wakeups from "
      "voluntary+nonvoluntary\ncontext switches.\n",
      results.daemon_start.size(), results.floor_start.size(), results.daemon.size());
  std::printf(
      "daemon: %s\nfloor:  %s\nthreads %s; %ld CPUs online\n", options.daemon_path.c_str(),
      LMR_FLOOR_BINARY,
      options.pin ? "pinned: servers on one CPU, clients and log sink on another" : "not pinned",
      sysconf(_SC_NPROCESSORS_ONLN));
  return complete;
}

// The command's path: as given when it holds a slash, otherwise found on PATH.
std::string command_path(const std::string& command) {
  const char* path = std::getenv("PATH");
  if (command.find('/') != std::string::npos || path == nullptr) {
    return command;
  }
  std::string_view dirs = path;
  while (!dirs.empty()) {
    const std::size_t end = std::min(dirs.find(':'), dirs.size());
    std::string candidate = std::string(dirs.substr(0, end)) + "/" + command;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    dirs.remove_prefix(std::min(end + 1, dirs.size()));
  }
  return command;
}

int usage(const char* error) {
  (void)std::fprintf(
      stderr,
      "%s%sUsage: lomarind-bench [--quick] [--rounds=N] [--round-trips=N] "
      "[--idle-seconds=N]\n                      [--start-samples=N] [--keyed-samples=N] "
      "[--daemon=PATH] "
      "[--wrap=COMMAND] [--pin]\n       lomarind-bench --fleet[=N] [--fleet-calls=N] "
      "[--daemon=PATH]\n       lomarind-bench --fleet-standin=N [--nofile=N] [--fleet-calls=N]\n",
      error, *error != '\0' ? "\n" : "");
  return *error != '\0' ? 2 : 0;
}

// The daemon against the floor, then keyed against keyless; the status to exit with.
int against_floor(const Options& options, const std::string& work_dir) {
  // Before the sink's thread is made, so that it runs where the benchmark does.
  const Placement placement = place(options.pin);
  int status = 0;
  const lmrtest::SyslogSink sink("/dev/log", /*keep_entries=*/false);
  if (!sink.ok()) {
    (void)std::fprintf(stderr, "lomarind-bench: %s\n", sink.error().c_str());
    return 1;
  }
  Subject daemon;
  daemon.name = "daemon";
  daemon.path = options.daemon_path;
  daemon.port = kDaemonPort;
  daemon.sink = &sink;
  daemon.placement = &placement;
  Subject floor;
  floor.name = "floor";
  floor.path = LMR_FLOOR_BINARY;
  floor.port = kFloorPort;
  floor.sink = &sink;
  floor.placement = &placement;
  Results results;
  try {
    for (int round = 0; round < options.rounds; ++round) {
      run_round(daemon, floor, options, work_dir, round, round + 1 == options.rounds, results);
    }
    if (!print_table(results, options)) {
      (void)std::fprintf(stderr, "lomarind-bench: some figures could not be measured\n");
      status = 1;
    }
    measure_keyed(options, sink, placement, work_dir);
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "lomarind-bench: %s\n", error.what());
    status = 1;
  }
  return status;
}

// The --fleet mode: one client call to a fleet of daemons, keyless and keyed.
int fleet(const Options& options, const std::string& work_dir) {
  lmrbench::FleetSetup setup;
  setup.hosts = options.fleet_hosts;
  setup.calls = options.fleet_calls;
  setup.daemon_path = options.daemon_path;
  setup.client_path = LMR_CLIENT_BINARY;
  setup.work_dir = work_dir;
  try {
    lmrbench::measure_fleet(setup);
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "lomarind-bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

// The --fleet-standin mode: one client call to hosts that a stand-in answers for.
int standin_fleet(const Options& options, const std::string& work_dir) {
  lmrbench::StandinSetup setup;
  setup.hosts = options.standin_hosts;
  setup.calls = options.fleet_calls;
  setup.nofile = static_cast<rlim_t>(options.nofile);
  setup.client_path = LMR_CLIENT_BINARY;
  setup.work_dir = work_dir;
  try {
    lmrbench::measure_standin_fleet(setup);
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "lomarind-bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // The number after prefix; 0, which no option accepts, when it is not a number.
    const auto value = [&](std::string_view prefix) {
      const std::string text(arg.substr(prefix.size()));
      char* end = nullptr;
      const long number = std::strtol(text.c_str(), &end, 10);
      return end == text.c_str() || *end != '\0' || number > 1'000'000'000
                 ? 0
                 : static_cast<int>(number);
    };
    if (arg == "--quick") {
      options.rounds = 1;
      options.round_trips = 2000;
      options.throughput_time = 250ms;
      options.drop_time = 250ms;
      options.flood_time = 1000ms;
      options.idle_time = 3000ms;
      options.start_samples = 1;
      options.keyed_samples = 2;
    } else if (arg.starts_with("--rounds=") && value("--rounds=") > 0) {
      options.rounds = value("--rounds=");
    } else if (arg.starts_with("--round-trips=") && value("--round-trips=") > 0) {
      options.round_trips = value("--round-trips=");
    } else if (arg.starts_with("--idle-seconds=") && value("--idle-seconds=") > 0) {
      options.idle_time = std::chrono::seconds(value("--idle-seconds="));
    } else if (arg.starts_with("--daemon=")) {
      options.daemon_path = arg.substr(std::strlen("--daemon="));
    } else if (arg.starts_with("--wrap=")) {
      std::string_view words = arg.substr(std::strlen("--wrap="));
      while (!words.empty()) {
        const std::size_t end = std::min(words.find(' '), words.size());
        if (end > 0) {
          options.wrap.emplace_back(words.substr(0, end));
        }
        words.remove_prefix(std::min(end + 1, words.size()));
      }
    } else if (arg.starts_with("--keyed-samples=") && value("--keyed-samples=") > 1) {
      options.keyed_samples = value("--keyed-samples=");
    } else if (arg.starts_with("--start-samples=") && value("--start-samples=") > 0) {
      options.start_samples = value("--start-samples=");
    } else if (arg == "--fleet") {
      options.fleet_hosts = 1000;
    } else if (arg.starts_with("--fleet=") && value("--fleet=") > 0 &&
               value("--fleet=") <= kMostFleetHosts) {
      options.fleet_hosts = value("--fleet=");
    } else if (arg.starts_with("--fleet-standin=") && value("--fleet-standin=") > 0 &&
               value("--fleet-standin=") <= kMostFleetHosts) {
      options.standin_hosts = value("--fleet-standin=");
    } else if (arg.starts_with("--nofile=") && value("--nofile=") > 0) {
      options.nofile = value("--nofile=");
    } else if (arg.starts_with("--fleet-calls=") && value("--fleet-calls=") > 0) {
      options.fleet_calls = value("--fleet-calls=");
    } else if (arg == "--pin") {
      options.pin = true;
    } else if (arg == "--help" || arg == "-h") {
      return usage("");
    } else {
      return usage(("lomarind-bench: unknown option " + std::string(arg)).c_str());
    }
  }
  if (!options.wrap.empty()) {
    options.wrap.front() = command_path(options.wrap.front());
  }
  if (geteuid() != 0) {
    (void)std::fprintf(stderr, "lomarind-bench: needs root for its private namespaces; skipped\n");
    return kSkipped;
  }
  // The daemon must never see the real systemctl, nor log to the host.
  if (const std::string error = lmrtest::enter_sandbox(LMR_FAKE_SYSTEMCTL); !error.empty()) {
    (void)std::fprintf(stderr, "lomarind-bench: cannot isolate the daemon: %s; skipped\n",
                       error.c_str());
    return kSkipped;
  }
  std::array<char, 32> dir_template{};
  std::strncpy(dir_template.data(), "/tmp/lmr-bench-XXXXXX", dir_template.size() - 1);
  if (mkdtemp(dir_template.data()) == nullptr) {
    std::perror("lomarind-bench: mkdtemp");
    return 1;
  }
  const std::string work_dir = dir_template.data();
  const std::string fake_link = work_dir + "/systemctl";
  if (symlink(LMR_FAKE_SYSTEMCTL, fake_link.c_str()) == -1) {
    std::perror("lomarind-bench: symlink");
    return 1;
  }
  const char* path = std::getenv("PATH");
  setenv("PATH", (work_dir + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);

  const int status = options.standin_hosts > 0 ? standin_fleet(options, work_dir)
                     : options.fleet_hosts > 0 ? fleet(options, work_dir)
                                               : against_floor(options, work_dir);
  unlink(fake_link.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(work_dir, ignored);
  return status;
}

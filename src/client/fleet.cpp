#include "client/fleet.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client/exchange.h"
#include "client/peer.h"
#include "client/report.h"
#include "client/schedule.h"
#include "client/wake.h"
#include "key/key.h"
#include "key/keyed_wire.h"
#include "net/exit_status.h"
#include "net/protocol.h"

namespace {

// At most this many ready sockets are taken from one wait; the rest are ready at the next.
constexpr int kEventsAtOnce = 256;

// Every host of one call, and what has been reported of them.
struct Fleet {
  Outgoing out;
  std::vector<Peer> peers;
  std::unordered_set<std::string> asked;  // every address a host of this call is asked at
  std::vector<Result> results;
  Schedule schedule{1};
  int events = -1;                     // the epoll instance every asked host's socket is in
  int events_error = 0;                // why there is none
  std::vector<std::size_t> asking;     // the peers that hold a socket, in the order asked
  std::vector<Clock::time_point> due;  // per peer: when its exchange has something to do
  std::vector<std::size_t> finished;   // peers finished since the last report
  std::string relay;                   // wake --via: the RELAY word that each line names
  bool hold_relayed = false;           // wake --via --wait: a relayed host's line is its await's
};

constexpr Clock::time_point kNever = Clock::time_point::max();

// Raises the soft open-file limit to the hard one (a fleet needs a descriptor per host asked
// at once, and the soft limit is often far below the hard one); returns the soft limit then
// in force.
rlim_t raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return RLIM_INFINITY;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = raised.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      return raised.rlim_cur;
    }
  }
  return limit.rlim_cur;
}

// The command word of what hosts are asked to do.
std::string_view word_of(Command command) {
  return command == Command::kQuit ? protocol::kQuitWord : protocol::kSuspendWord;
}

// What the command line asks of one host's exchange.
Plan plan_for(const Arguments& arguments, const Peer& peer) {
  Plan plan;
  plan.task = arguments.command == Command::kStatus ? Task::kStatus
              : arguments.command != Command::kWake ? Task::kCommand
              : arguments.relay.name.empty()        ? Task::kAwait
                                                    : Task::kRelay;
  plan.keyed = peer.key != nullptr;
  plan.suspend = arguments.command == Command::kSuspend;
  plan.confirm = arguments.confirm && plan.keyed && plan.suspend;
  return plan;
}

// Prints the line of a finished peer, and of each other name of the same host.
void report(Fleet& fleet, const Peer& peer) {
  if (fleet.hold_relayed && peer.exchange.result == Result::kDone) {
    return;
  }
  const std::uint16_t port = peer.addresses.empty() ? 0 : peer.address().port();
  print_line(result_line(peer.argument, peer.exchange, fleet.out.command, port, fleet.relay));
  fleet.results.push_back(peer.exchange.result);
  for (const std::size_t other : peer.also_named) {
    print_line(result_line(fleet.peers[other].argument, peer.exchange, fleet.out.command, port));
    fleet.results.push_back(peer.exchange.result);
  }
}

// Reports a host that is done before anything was sent to it.
void finish_early(Fleet& fleet, Peer& peer, Result result) {
  peer.exchange.step = Step::kFinished;
  peer.exchange.result = result;
  report(fleet, peer);
}

// The keys of the first address of each family among addresses.
std::vector<std::string> first_of_each_family(const std::vector<Address>& addresses) {
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < addresses.size(); ++k) {
    const auto earlier = [&](const Address& a) { return a.family() == addresses[k].family(); };
    if (std::none_of(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(k),
                     earlier)) {
      keys.push_back(address_key(addresses[k]));
    }
  }
  return keys;
}

// Resolves the i-th target's name and puts it in the schedule, unless an earlier host of the
// call has the same address (firsts: each address and the first host there).
void prepare_peer(Fleet& fleet, std::size_t i, const Target& target, const KeySet* keys,
                  std::unordered_map<std::string, std::size_t>& firsts) {
  Peer& peer = fleet.peers[i];
  peer.argument = target.argument;
  peer.key = keys != nullptr ? key_for(*keys, target) : nullptr;
  peer.proving.word = word_of(fleet.out.command);
  peer.proving.nonce = new_nonce();
  peer.addresses = resolve(target);
  if (peer.addresses.empty()) {
    // The magic packet needs no address of the host: it still goes, once.
    if (!peer.packet.empty()) {
      send_packet(fleet.out, peer);
    }
    finish_early(fleet, peer, Result::kUnresolved);
    return;
  }
  // Two sessions with one daemon would lock each other out, and a second command could
  // run twice: a host named twice is asked once and reported under each name. (wake --wait
  // sends each name's magic packet.) A name's first address of each family stands for the
  // host: localhost, ::1 and 127.0.0.1, is the host that 127.0.0.1 is.
  const std::vector<std::string> host_keys = first_of_each_family(peer.addresses);
  if (fleet.out.command != Command::kWake) {
    for (const std::string& key : host_keys) {
      if (const auto earlier = firsts.find(key); earlier != firsts.end()) {
        fleet.peers[earlier->second].also_named.push_back(i);
        return;
      }
    }
  }
  for (const std::string& key : host_keys) {
    firsts.try_emplace(key, i);
  }
  fleet.asked.insert(address_key(peer.address()));
  fleet.schedule.add(i);
}

// Opens a socket for each host whose turn has come, and starts its exchange: each host's time
// limit counts from here. A host that gets no socket waits for one that a host asked now will
// free; with none asked, it can never be asked and is reported so.
void start_waiting(Fleet& fleet, const Arguments& arguments, Clock::time_point now) {
  while (const auto next = fleet.schedule.next()) {
    Peer& peer = fleet.peers[*next];
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = *next;
    if (fleet.events == -1 || !open_socket(peer) ||
        epoll_ctl(fleet.events, EPOLL_CTL_ADD, peer.fd, &event) == -1) {
      const int error = fleet.events == -1 ? fleet.events_error : errno;
      if (peer.fd != -1) {
        close(peer.fd);
        peer.fd = -1;
      }
      if (fleet.schedule.cannot_open()) {
        return;
      }
      (void)std::fprintf(stderr, "lomarind: %s: cannot open a socket: %s\n", peer.argument.c_str(),
                         std::strerror(error));
      finish_early(fleet, peer, Result::kNoSocket);
      continue;
    }
    peer.exchange = start_exchange(now, arguments.time_limit, plan_for(arguments, peer));
    fleet.due[*next] = now;
    fleet.asking.push_back(*next);
  }
}

// After the peer's exchange has moved on: notes when it next has something to do, or that it
// is to be reported (unless it moves on to another address of its name).
void settle(Fleet& fleet, std::size_t i, Clock::time_point now) {
  Peer& peer = fleet.peers[i];
  // The hosts of a relay all ask its addresses, each on its own.
  std::unordered_set<std::string> own;
  std::unordered_set<std::string>& asked = fleet.relay.empty() ? fleet.asked : own;
  if (peer.exchange.step != Step::kFinished) {
    fleet.due[i] = next_timer(peer.exchange);
  } else if (ask_next_address(peer, asked, now)) {
    // An address of the other family came with a socket of its own: watch it (a socket
    // watched already stays so).
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    (void)epoll_ctl(fleet.events, EPOLL_CTL_ADD, peer.fd, &event);
    fleet.due[i] = next_timer(peer.exchange);
  } else if (fleet.due[i] != kNever) {
    fleet.due[i] = kNever;
    fleet.finished.push_back(i);
  }
}

// Moves on every exchange whose time has come; returns when the next one has something to do.
Clock::time_point run_timers(Fleet& fleet, Clock::time_point now) {
  Clock::time_point next = kNever;
  for (const std::size_t i : fleet.asking) {
    if (fleet.due[i] <= now) {
      Peer& peer = fleet.peers[i];
      send_to(fleet.out, peer, on_timer(peer.exchange, now), now);
      settle(fleet, i, now);
    }
    next = std::min(next, fleet.due[i]);
  }
  return next;
}

// Reports the hosts that have finished, in the order of the command line among those that
// finished at once, and lets their sockets and places go.
void report_finished(Fleet& fleet) {
  if (fleet.finished.empty()) {
    return;
  }
  std::sort(fleet.finished.begin(), fleet.finished.end());
  for (const std::size_t i : fleet.finished) {
    Peer& peer = fleet.peers[i];
    report(fleet, peer);
    close(peer.fd);
    peer.fd = -1;
    fleet.schedule.finished();
  }
  fleet.finished.clear();
  std::erase_if(fleet.asking, [&](std::size_t i) { return fleet.due[i] == kNever; });
}

// Waits for replies on every open socket, at most until the time until, and hands them on.
void wait_for_replies(Fleet& fleet, Clock::time_point now, Clock::time_point until) {
  // Rounded up, so that the loop does not spin through the last fraction of a millisecond.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  const int timeout = static_cast<int>(std::clamp<long>(wait.count(), 0, 24L * 3600 * 1000));
  std::array<epoll_event, kEventsAtOnce> ready{};
  const int count = epoll_wait(fleet.events, ready.data(), kEventsAtOnce, timeout);
  if (count <= 0) {
    return;
  }
  const Clock::time_point arrived = Clock::now();
  for (int k = 0; k < count; ++k) {
    const auto i = static_cast<std::size_t>(ready[static_cast<std::size_t>(k)].data.u64);
    if (fleet.due[i] != kNever) {
      receive_replies(fleet.out, fleet.peers[i], arrived);
      settle(fleet, i, arrived);
    }
  }
}

// Looks every name up, one after another, before any host is contacted.
void prepare(Fleet& fleet, const Arguments& arguments, const KeySet* keys) {
  fleet.peers.resize(arguments.targets.size());
  fleet.due.assign(arguments.targets.size(), kNever);
  std::unordered_map<std::string, std::size_t> firsts;
  for (std::size_t i = 0; i < arguments.targets.size(); ++i) {
    if (fleet.out.wake_fd != -1) {
      fleet.peers[i].packet = magic_packet(arguments.sleepers.at(i).mac);
    }
    prepare_peer(fleet, i, arguments.targets[i], keys, firsts);
  }
}

// Runs every host prepared in the fleet until each has its line; closes what it opened.
void run(Fleet& fleet, const Arguments& arguments) {
  fleet.events = epoll_create1(EPOLL_CLOEXEC);
  fleet.events_error = errno;
  // Hosts are asked as places are free; a place that frees is taken at once.
  for (;;) {
    const Clock::time_point now = Clock::now();
    start_waiting(fleet, arguments, now);
    const Clock::time_point next = run_timers(fleet, now);
    report_finished(fleet);
    if (fleet.asking.empty() && !fleet.schedule.waiting()) {
      break;
    }
    wait_for_replies(fleet, now, fleet.schedule.can_start() ? now : next);
  }
  for (const int fd : {fleet.events, fleet.out.wake_fd}) {
    if (fd != -1) {
      close(fd);
    }
  }
}

// Readies an empty fleet for command: as many hosts at once as the open-file limit allows.
void start_fleet(Fleet& fleet, Command command) {
  fleet.schedule = Schedule(hosts_at_once(raise_descriptor_limit()));
  fleet.out.command = command;
}

// Puts one exchange with the relay in the schedule for each MAC, each proving a WAKE for its
// own MAC and named by its HOST word, else by the MAC word.
void prepare_relay(Fleet& fleet, const Arguments& arguments, const KeySet& keys) {
  const auto addresses = resolve(arguments.relay);
  const NamedKey* key = key_for(keys, arguments.relay);
  fleet.peers.resize(arguments.sleepers.size());
  fleet.due.assign(arguments.sleepers.size(), kNever);
  for (std::size_t i = 0; i < arguments.sleepers.size(); ++i) {
    const Sleeper& sleeper = arguments.sleepers[i];
    Peer& peer = fleet.peers[i];
    peer.argument = sleeper.host.empty() ? sleeper.argument : sleeper.host;
    peer.key = key;
    peer.word = wake_word(mac_digits(sleeper.mac));
    peer.proving.word = peer.word;
    peer.proving.nonce = new_nonce();
    peer.addresses = addresses;
    if (peer.addresses.empty()) {
      finish_early(fleet, peer, Result::kUnresolved);
      continue;
    }
    fleet.schedule.add(i);
  }
}

// wake --via: one exchange with the relay for each MAC; with --wait, then the await of each
// HOST whose packet the relay sent, with no magic packets of the client's own.
int run_relay(const Arguments& arguments, const KeySet& keys) {
  Arguments relaying = arguments;
  relaying.time_limit = arguments.relay_time_limit;
  Fleet fleet;
  start_fleet(fleet, arguments.command);
  fleet.relay = arguments.relay.argument;
  fleet.hold_relayed = arguments.wait;
  prepare_relay(fleet, relaying, keys);
  run(fleet, relaying);
  if (!arguments.wait) {
    return exit_status_of(fleet.results);
  }
  Arguments awaiting = arguments;
  awaiting.relay = {};
  awaiting.targets.clear();
  awaiting.sleepers.clear();
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    if (fleet.peers[i].exchange.result == Result::kDone) {
      awaiting.targets.push_back(arguments.targets.at(i));
      awaiting.sleepers.push_back(arguments.sleepers.at(i));
    }
  }
  Fleet await;
  start_fleet(await, arguments.command);
  prepare(await, awaiting, &keys);
  run(await, awaiting);
  std::vector<Result> results = fleet.results;
  results.insert(results.end(), await.results.begin(), await.results.end());
  return exit_status_of(results);
}

}  // namespace

int run_command(const Arguments& arguments, const KeySet* keys) {
  if (!arguments.relay.name.empty()) {
    return run_relay(arguments, *keys);
  }
  Fleet fleet;
  start_fleet(fleet, arguments.command);
  if (arguments.command == Command::kWake) {
    fleet.out.wake_fd = open_broadcast_socket();
    if (fleet.out.wake_fd == -1) {
      return exit_status::kSilent;
    }
    fleet.out.wake_to.sin_family = AF_INET;
    fleet.out.wake_to.sin_addr = arguments.wake_address;
    fleet.out.wake_to.sin_port = htons(arguments.wake_port);
  }
  prepare(fleet, arguments, keys);
  run(fleet, arguments);
  return exit_status_of(fleet.results);
}

#include "client/exchange.h"

#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "key/keyed_wire.h"
#include "net/protocol.h"

namespace {

constexpr int kLockedStatus = 2;
constexpr int kSilentStatus = 3;
constexpr int kNeedsKeyStatus = 4;
constexpr int kRefusedStatus = 5;
constexpr int kDidNotSleepStatus = 6;
constexpr int kKeyNotKnownStatus = 7;
constexpr int kNoDaemonStatus = 8;
// Which status a call of several hosts ends with: the first of these that any host has. What
// may have been carried out unseen leads, then a host that was told to sleep and did not,
// then what keeps the client from the host, then a lock (try again).
constexpr std::array kStatusOrder{kSilentStatus,   kRefusedStatus,     kDidNotSleepStatus,
                                  kNoDaemonStatus, kKeyNotKnownStatus, kNeedsKeyStatus,
                                  kLockedStatus};
// The sleep command's statuses as the daemon's shell gives them: it could not be run, or a
// signal (the status less this) ended it.
constexpr int kCannotExecute = 126;
constexpr int kNotFound = 127;
constexpr int kSignalBase = 128;
// The key id that a client without a key names in a keyed EHLO (status, wake --wait): a
// daemon that does not hold it answers KEYED 2, as to a plain EHLO, and opens nothing.
constexpr std::string_view kNoKeyId = "00000000";
// How many probe nonces --confirm remembers: a START that answers an older probe comes too
// late to say anything about the host now.
constexpr std::size_t kProbeNonces = 2 * static_cast<std::size_t>(kConfirmProbes);
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

void finish(Exchange& exchange, Result result, Clock::time_point now) {
  exchange.step = Step::kFinished;
  exchange.result = result;
  exchange.finished = now;
}

void wait_for_lock(Exchange& exchange, Clock::time_point now) {
  exchange.step = Step::kWaitingForLock;
  exchange.next = now + kLockedRetry;
}

bool asking(const Exchange& exchange) {
  return exchange.step == Step::kGreeting || exchange.step == Step::kWaitingForLock;
}

// One host as the loop sees it.
struct Peer {
  std::string argument;
  std::vector<sockaddr_in> addresses;  // every address of the name, in the resolver's order
  std::size_t asking = 0;              // the one of them that is asked now
  bool heard = false;                  // any datagram at all came from it
  int fd = -1;                         // connected to the address asked, for ICMP errors
  std::size_t same_as = kNone;         // an earlier peer with the same address speaks for this one
  const NamedKey* key = nullptr;       // keyed: the key for this host's name
  std::string nonce;                   // keyed EHLOs: drawn for this host, sent in each EHLO
  std::string challenge;               // keyed: from the proven START the command answered
  std::vector<std::string> probes;     // --confirm: the nonces of the latest probes
  std::string packet;                  // wake --wait: the magic packet for the host
  bool packet_failed = false;          // wake --wait: a magic packet could not be sent
  Exchange exchange;

  // The address asked now; only for a peer whose name resolved.
  const sockaddr_in& address() const { return addresses[asking]; }
};

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool contains(const std::vector<sockaddr_in>& list, const sockaddr_in& address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const sockaddr_in& a) { return same_address(a, address); });
}

// The target's IPv4 addresses with its port, each once; empty when it cannot be resolved.
std::vector<sockaddr_in> resolve(const Target& target) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<sockaddr_in> addresses;
  if (getaddrinfo(target.name.c_str(), nullptr, &hints, &found) != 0) {
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen != sizeof(sockaddr_in)) {
      continue;
    }
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof address);
    address.sin_port = htons(target.port);
    if (!contains(addresses, address)) {
      addresses.push_back(address);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

// Points the peer's socket at the address asked now, so that the kernel delivers only that
// address's datagrams and reports an ICMP port unreachable from it as ECONNREFUSED. A socket
// that cannot be connected still sends to the address; it only hears no ICMP.
void connect_to(const Peer& peer) {
  (void)connect(peer.fd, reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
  // An error left from the address asked before must not be taken for this one's.
  int error = 0;
  socklen_t length = sizeof error;
  (void)getsockopt(peer.fd, SOL_SOCKET, SO_ERROR, &error, &length);
}

// Moves a peer whose address never answered at all (or had no daemon on the port) on to the
// next address of its name that no host of this call has been asked at, with what is left of
// the time limit. Only silence allows it: with nothing heard, no command can have gone to
// that address.
bool ask_next_address(Peer& peer, std::vector<sockaddr_in>& asked, Clock::time_point now) {
  const Result result = peer.exchange.result;
  if (peer.heard || (result != Result::kNoAnswer && result != Result::kNoDaemon)) {
    return false;
  }
  const auto left = std::chrono::floor<std::chrono::milliseconds>(peer.exchange.deadline - now);
  for (std::size_t next = peer.asking + 1; left.count() > 0 && next < peer.addresses.size();
       ++next) {
    if (!contains(asked, peer.addresses[next])) {
      peer.asking = next;
      asked.push_back(peer.address());
      connect_to(peer);
      peer.exchange = start_exchange(now, left, peer.exchange.plan);
      return true;
    }
  }
  return false;
}

// A fleet needs a descriptor per host; the soft limit is often far below the hard one.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void print_line(const std::string& line) {
  // A fleet's lines should show up as hosts finish, also through a pipe. Output that cannot
  // be written has nowhere to be reported; the exit status still tells.
  (void)std::fputs(line.c_str(), stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
}

// The command word of what hosts are asked to do.
std::string_view word_of(Command command) {
  return command == Command::kQuit ? protocol::kQuitWord : protocol::kSuspendWord;
}

// What a client without a key names in its keyed EHLOs.
const NamedKey& no_key() {
  static const NamedKey none{std::string(), std::string(kNoKeyId), Key{}};
  return none;
}

// Every host of one call, and what has been reported of them.
struct Fleet {
  Command command = Command::kSuspend;
  std::vector<Peer> peers;
  std::vector<sockaddr_in> asked;  // every address that a host of this call has been asked at
  std::vector<Result> results;
  std::size_t pending = 0;  // peers with a socket, still to be reported
  int wake_fd = -1;         // wake --wait: the broadcast socket of the magic packets
  sockaddr_in wake_to{};    // wake --wait: where they go
};

// The datagram that what stands for, to peer. status and wake --wait speak only keyed, with
// the key id of no key when the client has none, so that no session is ever opened.
std::string datagram_for(const Peer& peer, Send what, Command command) {
  const bool keyed =
      peer.key != nullptr || command == Command::kStatus || command == Command::kWake;
  if (!keyed) {
    return std::string(what == Send::kEhlo         ? protocol::kEhlo
                       : command == Command::kQuit ? protocol::kQuit
                                                   : protocol::kSuspend);
  }
  const NamedKey& key = peer.key != nullptr ? *peer.key : no_key();
  switch (what) {
  case Send::kProbe:
    return ehlo_datagram(key, peer.probes.back());
  case Send::kCommand:
    // A command is sent only on a proven START, whose challenge the peer keeps.
    return command_datagram(key, word_of(command), peer.challenge);
  case Send::kEhlo:
  case Send::kNothing:
    break;
  }
  return ehlo_datagram(key, peer.nonce);
}

int open_broadcast_socket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
    (void)std::fprintf(stderr, "lomarind: cannot open a broadcast socket: %s\n",
                       std::strerror(errno));
    if (fd != -1) {
      close(fd);
    }
    return -1;
  }
  return fd;
}

// Sends one magic packet over fd to destination; says why on standard error, unless quiet,
// when it could not. True when it went whole.
bool send_magic_packet(int fd, const sockaddr_in& destination, const std::string& packet,
                       const std::string& argument, bool quiet) {
  const ssize_t sent = sendto(fd, packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent == static_cast<ssize_t>(packet.size())) {
    return true;
  }
  if (!quiet) {
    (void)std::fprintf(stderr, "lomarind: %s: cannot send the magic packet: %s\n", argument.c_str(),
                       sent < 0 ? std::strerror(errno) : "sent in part");
  }
  return false;
}

// Sends the magic packet of a host that wake --wait waits for; says so once if it cannot.
void send_packet(const Fleet& fleet, Peer& peer) {
  if (!send_magic_packet(fleet.wake_fd, fleet.wake_to, peer.packet, peer.argument,
                         peer.packet_failed)) {
    peer.packet_failed = true;
  }
}

ssize_t send_text(const Peer& peer, const std::string& text) {
  return sendto(peer.fd, text.data(), text.size(), 0,
                reinterpret_cast<const sockaddr*>(&peer.address()), sizeof(sockaddr_in));
}

void send_to(Fleet& fleet, Peer& peer, Send what, Clock::time_point now) {
  if (what == Send::kNothing) {
    return;
  }
  if (what == Send::kProbe) {
    // A fresh nonce for each probe: only a START made for it shows the host awake since.
    peer.probes.push_back(new_nonce());
    if (peer.probes.size() > kProbeNonces) {
      peer.probes.erase(peer.probes.begin());
    }
  }
  if (what == Send::kEhlo && !peer.packet.empty()) {
    send_packet(fleet, peer);
  }
  const std::string text = datagram_for(peer, what, fleet.command);
  // A failed send is a lost datagram: the exchange repeats EHLO or gives up in time. A send
  // that fails with ECONNREFUSED reports an earlier datagram's ICMP port unreachable and did
  // not go: the exchange hears of it, and the datagram goes again if it still should.
  if (send_text(peer, text) == -1 && errno == ECONNREFUSED) {
    (void)on_reply(peer.exchange, Reply::kUnreachable, now);
    if (peer.exchange.step != Step::kFinished) {
      (void)send_text(peer, text);
    }
  }
}

// What a datagram from peer's own address means to its exchange; status is set for kRefused.
Reply classify(const Peer& peer, std::string_view text, Command command, int& status) {
  if (peer.key == nullptr) {
    return reply_of(text);
  }
  const Key& key = peer.key->key;
  const Reply reply = peer.exchange.step == Step::kConfirming
                          ? probe_reply(text, key, peer.probes, peer.challenge, word_of(command))
                          : proven_reply(text, key, peer.nonce, peer.challenge, word_of(command));
  if (reply == Reply::kRefused) {
    status = read_refused(text)->status;
  }
  return reply;
}

// Reads every waiting datagram and hands those from the host's own address and port on.
void receive_replies(Fleet& fleet, Peer& peer, Clock::time_point now) {
  std::array<char, 1024> buffer{};
  while (peer.exchange.step != Step::kFinished) {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t size = recvfrom(peer.fd, buffer.data(), buffer.size(), 0,
                                  reinterpret_cast<sockaddr*>(&sender), &length);
    if (size < 0 && errno == ECONNREFUSED) {
      // The host's kernel answered an earlier datagram: nothing listens on the port.
      (void)on_reply(peer.exchange, Reply::kUnreachable, now);
      continue;
    }
    if (size < 0) {
      return;
    }
    if (length != sizeof sender || sender.sin_family != AF_INET ||
        !same_address(sender, peer.address())) {
      continue;
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(size));
    int status = 0;
    const Reply reply = classify(peer, text, fleet.command, status);
    // With a key, only a proven reply shows that the daemon is there: a forger's datagram
    // must not keep the client from the name's next address.
    peer.heard =
        peer.heard || peer.key == nullptr || (reply != Reply::kOther && reply != Reply::kKeyed);
    const Send send = on_reply(peer.exchange, reply, now, status);
    if (send == Send::kCommand && reply == Reply::kKeyedStart) {
      peer.challenge = read_start(text)->challenge;
    }
    send_to(fleet, peer, send, now);
  }
}

// Reports a host that is done before it was asked anything.
void finish_early(Fleet& fleet, Peer& peer, Result result) {
  peer.exchange.step = Step::kFinished;
  peer.exchange.result = result;
  print_line(result_line(peer.argument, peer.exchange, fleet.command, 0));
  fleet.results.push_back(result);
}

// Resolves the i-th target's name and opens its socket, unless an earlier host of the call
// has the same address.
void prepare_peer(Fleet& fleet, std::size_t i, const Target& target, const KeySet* keys) {
  Peer& peer = fleet.peers[i];
  peer.argument = target.argument;
  peer.key = keys != nullptr ? keys->for_host(peer.argument) : nullptr;
  peer.nonce = new_nonce();
  peer.addresses = resolve(target);
  if (peer.addresses.empty()) {
    // The magic packet needs no address of the host: it still goes, once.
    if (!peer.packet.empty()) {
      send_packet(fleet, peer);
    }
    finish_early(fleet, peer, Result::kUnresolved);
    return;
  }
  // Two sessions with one daemon would lock each other out, and a second command could
  // run twice: a host named twice is asked once and reported under each name. (wake --wait
  // sends each name's magic packet.)
  for (std::size_t j = 0; j < i && fleet.command != Command::kWake; ++j) {
    if (fleet.peers[j].fd != -1 && same_address(fleet.peers[j].address(), peer.address())) {
      peer.same_as = j;
      return;
    }
  }
  fleet.asked.push_back(peer.address());
  peer.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (peer.fd == -1) {
    (void)std::fprintf(stderr, "lomarind: %s: cannot open a socket: %s\n", peer.argument.c_str(),
                       std::strerror(errno));
    finish_early(fleet, peer, Result::kNoAnswer);
    return;
  }
  connect_to(peer);
  ++fleet.pending;
}

// Reports whatever has finished, with any other names of the same host, and lets its socket
// go; returns when the next unfinished exchange has something to do.
Clock::time_point report_finished(Fleet& fleet, Clock::time_point now) {
  Clock::time_point wake = Clock::time_point::max();
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    Peer& peer = fleet.peers[i];
    if (peer.fd == -1) {
      continue;
    }
    if (peer.exchange.step != Step::kFinished || ask_next_address(peer, fleet.asked, now)) {
      wake = std::min(wake, wake_time(peer.exchange));
      continue;
    }
    for (std::size_t j = i; j < fleet.peers.size(); ++j) {
      if (j == i || fleet.peers[j].same_as == i) {
        print_line(result_line(fleet.peers[j].argument, peer.exchange, fleet.command,
                               ntohs(peer.address().sin_port)));
        fleet.results.push_back(peer.exchange.result);
      }
    }
    close(peer.fd);
    peer.fd = -1;
    --fleet.pending;
  }
  return wake;
}

// Waits until wake for replies on every open socket and hands them on.
void wait_for_replies(Fleet& fleet, Clock::time_point now, Clock::time_point wake) {
  std::vector<pollfd> ready;
  std::vector<std::size_t> polled;
  for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
    if (fleet.peers[i].fd != -1) {
      ready.push_back(pollfd{fleet.peers[i].fd, POLLIN, 0});
      polled.push_back(i);
    }
  }
  // Rounded up, so that the loop does not spin through the last fraction of a millisecond.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
  const int timeout = static_cast<int>(std::max<long>(0, wait.count()));
  if (poll(ready.data(), ready.size(), timeout) <= 0) {
    return;
  }
  const Clock::time_point arrived = Clock::now();
  for (std::size_t k = 0; k < ready.size(); ++k) {
    if ((ready[k].revents & (POLLIN | POLLERR)) != 0) {
      receive_replies(fleet, fleet.peers[polled[k]], arrived);
    }
  }
}

// What the command line asks of one host's exchange.
Plan plan_for(const Arguments& arguments, const Peer& peer) {
  Plan plan;
  plan.task = arguments.command == Command::kStatus ? Task::kStatus
              : arguments.command == Command::kWake ? Task::kAwait
                                                    : Task::kCommand;
  plan.keyed = peer.key != nullptr;
  plan.suspend = arguments.command == Command::kSuspend;
  plan.confirm = arguments.confirm && plan.keyed && plan.suspend;
  return plan;
}

// What the time limit makes of an exchange that has not finished.
Result at_deadline(const Exchange& exchange) {
  switch (exchange.step) {
  case Step::kCommanded:
    // Only a command sent may have been carried out.
    return Result::kUnconfirmed;
  case Step::kListening:
    // The OK was proven and no REFUSED came in the time there was; with --confirm the host
    // was never seen to stop answering.
    return exchange.plan.confirm ? Result::kDidNotSleep : Result::kDone;
  case Step::kConfirming:
    return Result::kDidNotSleep;
  case Step::kGreeting:
  case Step::kWaitingForLock:
  case Step::kFinished:
    break;
  }
  // Before the command, the host was held by a session (ours whose START was lost, or
  // another client's), did not know our key, had no daemon, or was silent.
  if (exchange.heard_keyed) {
    return Result::kKeyNotKnown;
  }
  if (exchange.heard_locked) {
    return Result::kLocked;
  }
  return exchange.heard_unreachable ? Result::kNoDaemon : Result::kNoAnswer;
}

Send greet(Exchange& exchange, Clock::time_point now) {
  // A daemon that holds our key answers START, which a KEYED 2 (anyone can send one) has had
  // until this resend to be followed by.
  if (exchange.heard_keyed) {
    finish(exchange, Result::kKeyNotKnown, now);
    return Send::kNothing;
  }
  // wake --wait asks until the host's daemon is up, or the time limit.
  if (exchange.plan.task != Task::kAwait && exchange.ehlos >= kEhloTries) {
    finish(exchange, Result::kNoAnswer, now);
    return Send::kNothing;
  }
  ++exchange.ehlos;
  exchange.next = now + kResendInterval;
  return Send::kEhlo;
}

// The next probe of --confirm, after counting whether the one before it was answered.
Send probe(Exchange& exchange, Clock::time_point now) {
  exchange.silent_probes = exchange.answered ? 0 : exchange.silent_probes + 1;
  if (exchange.silent_probes >= kConfirmProbes) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  exchange.answered = false;
  exchange.next = now + kProbeInterval;
  return Send::kProbe;
}

Send on_start(Exchange& exchange, Clock::time_point now) {
  if (exchange.step == Step::kConfirming) {
    exchange.answered = true;
    return Send::kNothing;
  }
  // Without a key, only the socket that opened a session is told START, so the session is
  // ours; with one, the START proves that it answers our nonce. The command goes out on the
  // first. One that arrives after the time limit is let go: a command sent now could suspend
  // the host after the client has given it up.
  if (!asking(exchange) || now >= exchange.deadline) {
    return Send::kNothing;
  }
  if (exchange.plan.task != Task::kCommand) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  exchange.step = Step::kCommanded;
  exchange.commands = 1;
  exchange.next = now + (exchange.plan.keyed ? kResendInterval : kCommandWait);
  return Send::kCommand;
}

Send on_ok(Exchange& exchange, Clock::time_point now) {
  // Only the owner's command is answered OK; with a key, only our command's proof holds.
  if (exchange.step != Step::kCommanded) {
    return Send::kNothing;
  }
  // The daemon runs the sleep command after its OK: a keyed SUSPEND listens for a while for
  // the proof that it failed.
  if (exchange.plan.keyed && exchange.plan.suspend) {
    exchange.step = Step::kListening;
    exchange.next = now + kRefusalWait;
    return Send::kNothing;
  }
  finish(exchange, Result::kDone, now);
  return Send::kNothing;
}

// KEYED 2 and ICMP port unreachable prove nothing, but they can only make a host fail.
void on_notice(Exchange& exchange, Reply reply, Clock::time_point now) {
  if (reply == Reply::kUnreachable && exchange.step == Step::kConfirming) {
    // The host's kernel answered: it is not asleep.
    exchange.answered = true;
    return;
  }
  if (!asking(exchange)) {
    return;
  }
  if (reply == Reply::kUnreachable) {
    // A host that is starting may not run its daemon yet: wake --wait waits on.
    if (exchange.plan.task == Task::kAwait) {
      exchange.heard_unreachable = true;
    } else {
      finish(exchange, Result::kNoDaemon, now);
    }
    return;
  }
  // A client without a key never sends a command that a keyed daemon would refuse; for
  // wake --wait the notice shows that the daemon is up. With a key, a proven START may still
  // come (greet decides).
  if (exchange.plan.keyed) {
    exchange.heard_keyed = true;
  } else {
    finish(exchange, exchange.plan.task == Task::kAwait ? Result::kDone : Result::kNeedsKey, now);
  }
}

// Whether a reply can mean anything to the exchange: with a key only proven replies and the
// notices that can only make the host fail; without one, a keyed reply is not for us, and
// only a keyless command speaks the plain protocol.
bool counts(const Exchange& exchange, Reply reply) {
  switch (reply) {
  case Reply::kKeyed:
  case Reply::kUnreachable:
    return true;
  case Reply::kKeyedStart:
  case Reply::kKeyedOk:
  case Reply::kRefused:
    return exchange.plan.keyed;
  case Reply::kOther:
    return false;
  case Reply::kStart:
  case Reply::kLocked:
  case Reply::kOk:
  case Reply::kEnd:
    break;
  }
  return !exchange.plan.keyed && exchange.plan.task == Task::kCommand;
}

// "refused by the host (...)" for the sleep command's status.
std::string refusal_text(int status) {
  if (status == kCannotExecute || status == kNotFound) {
    return "refused by the host (sleep command could not run)";
  }
  if (status > kSignalBase) {
    return "refused by the host (systemctl ended by signal " +
           std::to_string(status - kSignalBase) + ")";
  }
  return "refused by the host (systemctl exit " + std::to_string(status) + ")";
}

// "awake after 7.2 s": from the first magic packet to the daemon's answer, to a tenth.
std::string awake_after(const Exchange& exchange) {
  const auto tenths =
      (std::chrono::duration_cast<std::chrono::milliseconds>(exchange.finished - exchange.started)
           .count() +
       50) /
      100;
  return "awake after " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

std::string done_text(const Exchange& exchange, Command command) {
  switch (command) {
  case Command::kQuit:
    return "stopped";
  case Command::kStatus:
    return "awake";
  case Command::kWake:
    return awake_after(exchange);
  case Command::kSuspend:
  case Command::kHelp:
  case Command::kKeygen:
    break;
  }
  return "suspended";
}

}  // namespace

Reply reply_of(std::string_view datagram) {
  const std::array<std::pair<std::string_view, Reply>, 5> exact{{
      {protocol::kStart, Reply::kStart},
      {protocol::kLocked, Reply::kLocked},
      {protocol::kOk, Reply::kOk},
      {protocol::kEnd, Reply::kEnd},
      {protocol::kKeyedNotice, Reply::kKeyed},
  }};
  for (const auto& [text, reply] : exact) {
    if (datagram == text) {
      return reply;
    }
  }
  if (read_start(datagram)) {
    return Reply::kKeyedStart;
  }
  if (read_ok(datagram)) {
    return Reply::kKeyedOk;
  }
  return Reply::kOther;
}

Reply proven_reply(std::string_view datagram, const Key& key, std::string_view nonce,
                   std::string_view challenge, std::string_view word) {
  if (!nonce.empty() && proven_start(datagram, key, nonce)) {
    return Reply::kKeyedStart;
  }
  if (proven_ok(datagram, key, challenge, word)) {
    return Reply::kKeyedOk;
  }
  // Only a SUSPEND has a sleep command that can fail.
  if (word == protocol::kSuspendWord && proven_refusal(datagram, key, challenge)) {
    return Reply::kRefused;
  }
  return datagram == protocol::kKeyedNotice ? Reply::kKeyed : Reply::kOther;
}

Reply probe_reply(std::string_view datagram, const Key& key,
                  const std::vector<std::string>& probe_nonces, std::string_view challenge,
                  std::string_view word) {
  // Only a START for one of the probes shows the host awake now; one for the EHLO that the
  // command answered is old news.
  if (std::any_of(probe_nonces.begin(), probe_nonces.end(), [&](const std::string& nonce) {
        return proven_start(datagram, key, nonce).has_value();
      })) {
    return Reply::kKeyedStart;
  }
  return proven_reply(datagram, key, "", challenge, word);
}

Exchange start_exchange(Clock::time_point now, std::chrono::milliseconds time_limit, Plan plan) {
  Exchange exchange;
  exchange.plan = plan;
  exchange.started = now;
  exchange.next = now;
  exchange.deadline = now + time_limit;
  return exchange;
}

Clock::time_point wake_time(const Exchange& exchange) {
  return std::min(exchange.next, exchange.deadline);
}

Send on_timer(Exchange& exchange, Clock::time_point now) {
  if (exchange.step == Step::kFinished) {
    return Send::kNothing;
  }
  if (now >= exchange.deadline) {
    finish(exchange, at_deadline(exchange), now);
    return Send::kNothing;
  }
  if (now < exchange.next) {
    return Send::kNothing;
  }
  switch (exchange.step) {
  case Step::kGreeting:
    return greet(exchange, now);
  case Step::kWaitingForLock:
    exchange.step = Step::kGreeting;
    exchange.ehlos = 1;
    exchange.next = now + kResendInterval;
    return Send::kEhlo;
  case Step::kCommanded:
    // Copies of a keyed command are carried out once, so it may go again while no OK comes.
    if (exchange.plan.keyed && exchange.commands < kKeyedCommandTries) {
      ++exchange.commands;
      exchange.next = now + kResendInterval;
      return Send::kCommand;
    }
    finish(exchange, Result::kUnconfirmed, now);
    return Send::kNothing;
  case Step::kListening:
    // No refusal came. The daemon answers nothing while the sleep command runs, so only
    // now does silence begin to mean sleep.
    if (!exchange.plan.confirm) {
      finish(exchange, Result::kDone, now);
      return Send::kNothing;
    }
    exchange.step = Step::kConfirming;
    exchange.answered = true;
    return probe(exchange, now);
  case Step::kConfirming:
    return probe(exchange, now);
  case Step::kFinished:
    break;
  }
  return Send::kNothing;
}

Send on_reply(Exchange& exchange, Reply reply, Clock::time_point now, int sleep_status) {
  if (exchange.step == Step::kFinished || !counts(exchange, reply)) {
    return Send::kNothing;
  }
  switch (reply) {
  case Reply::kStart:
  case Reply::kKeyedStart:
    return on_start(exchange, now);
  case Reply::kLocked:
    // A session holds the daemon: another client's, or ours if the START of one of our
    // EHLOs was lost. Either way the command waits for a START; guessing could carry it out
    // in a session that then reports nothing, or twice.
    if (exchange.step == Step::kGreeting) {
      exchange.heard_locked = true;
      wait_for_lock(exchange, now);
    }
    return Send::kNothing;
  case Reply::kOk:
  case Reply::kKeyedOk:
    return on_ok(exchange, now);
  case Reply::kEnd:
    // END goes only to a session's owner: before the command, that is our own session whose
    // START was lost, and the daemon is free again now.
    if (asking(exchange)) {
      exchange.step = Step::kWaitingForLock;
      exchange.next = now;
    }
    return Send::kNothing;
  case Reply::kRefused:
    // The proof shows that our SUSPEND was carried out and its command failed, even when
    // its OK was lost.
    if (exchange.plan.suspend && !asking(exchange)) {
      exchange.sleep_status = sleep_status;
      finish(exchange, Result::kRefused, now);
    }
    return Send::kNothing;
  case Reply::kKeyed:
  case Reply::kUnreachable:
    on_notice(exchange, reply, now);
    return Send::kNothing;
  case Reply::kOther:
    break;
  }
  return Send::kNothing;
}

std::string result_line(const std::string& host, const Exchange& exchange, Command command,
                        std::uint16_t port) {
  std::string text = "no answer";
  switch (exchange.result) {
  case Result::kDone:
    text = done_text(exchange, command);
    break;
  case Result::kLocked:
    text = "locked by another client";
    break;
  case Result::kUnconfirmed:
    text = "command not confirmed";
    break;
  case Result::kNeedsKey:
    text = "needs a key";
    break;
  case Result::kUnresolved:
    text = "cannot resolve";
    break;
  case Result::kRefused:
    text = refusal_text(exchange.sleep_status);
    break;
  case Result::kDidNotSleep:
    text = "did not sleep";
    break;
  case Result::kKeyNotKnown:
    text = "key not known to the host";
    break;
  case Result::kNoDaemon:
    text = "no daemon on port " + std::to_string(port);
    break;
  case Result::kPending:
  case Result::kNoAnswer:
    break;
  }
  return host + ": " + text;
}

int status_of(Result result) {
  switch (result) {
  case Result::kDone:
    return 0;
  case Result::kLocked:
    return kLockedStatus;
  case Result::kNeedsKey:
    return kNeedsKeyStatus;
  case Result::kRefused:
    return kRefusedStatus;
  case Result::kDidNotSleep:
    return kDidNotSleepStatus;
  case Result::kKeyNotKnown:
    return kKeyNotKnownStatus;
  case Result::kNoDaemon:
    return kNoDaemonStatus;
  case Result::kPending:
  case Result::kNoAnswer:
  case Result::kUnconfirmed:
  case Result::kUnresolved:
    break;
  }
  return kSilentStatus;
}

int exit_status_of(const std::vector<Result>& results) {
  for (const int status : kStatusOrder) {
    if (std::any_of(results.begin(), results.end(),
                    [status](Result result) { return status_of(result) == status; })) {
      return status;
    }
  }
  return 0;
}

std::string magic_packet(const Mac& mac) {
  std::string packet(6, '\xff');
  for (int i = 0; i < 16; ++i) {
    for (const std::uint8_t byte : mac) {
      packet.push_back(static_cast<char>(byte));
    }
  }
  return packet;
}

int run_command(const Arguments& arguments, const KeySet* keys) {
  raise_descriptor_limit();
  Fleet fleet;
  fleet.command = arguments.command;
  if (arguments.command == Command::kWake) {
    fleet.wake_fd = open_broadcast_socket();
    if (fleet.wake_fd == -1) {
      return kSilentStatus;
    }
    fleet.wake_to.sin_family = AF_INET;
    fleet.wake_to.sin_addr = arguments.wake_address;
    fleet.wake_to.sin_port = htons(arguments.wake_port);
  }
  fleet.peers.resize(arguments.targets.size());
  // Names are looked up one after another before any host is contacted, so that every
  // host then gets the whole time limit.
  for (std::size_t i = 0; i < arguments.targets.size(); ++i) {
    if (arguments.command == Command::kWake) {
      fleet.peers[i].packet = magic_packet(arguments.sleepers.at(i).mac);
    }
    prepare_peer(fleet, i, arguments.targets[i], keys);
  }
  const Clock::time_point start = Clock::now();
  for (Peer& peer : fleet.peers) {
    if (peer.fd != -1) {
      peer.exchange = start_exchange(start, arguments.time_limit, plan_for(arguments, peer));
    }
  }
  while (fleet.pending > 0) {
    const Clock::time_point now = Clock::now();
    for (Peer& peer : fleet.peers) {
      if (peer.fd != -1 && peer.exchange.step != Step::kFinished) {
        send_to(fleet, peer, on_timer(peer.exchange, now), now);
      }
    }
    const Clock::time_point wake = report_finished(fleet, now);
    if (fleet.pending > 0) {
      wait_for_replies(fleet, now, wake);
    }
  }
  if (fleet.wake_fd != -1) {
    close(fleet.wake_fd);
  }
  return exit_status_of(fleet.results);
}

int send_wake(const std::vector<Sleeper>& sleepers, in_addr address, std::uint16_t port) {
  const int fd = open_broadcast_socket();
  if (fd == -1) {
    return kSilentStatus;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = address;
  destination.sin_port = htons(port);
  int status = 0;
  for (const Sleeper& sleeper : sleepers) {
    if (!send_magic_packet(fd, destination, magic_packet(sleeper.mac), sleeper.argument, false)) {
      status = kSilentStatus;
      continue;
    }
    print_line(sleeper.argument + ": magic packet sent");
  }
  close(fd);
  return status;
}

// Drives the daemon's decisions with a sequence of events decoded from the fuzz input and
// aborts when an outcome breaks a rule of the protocol. Every input runs twice, read two ways.
//
// Without a key, the input is a sequence of turns taken in the order run_session_loop takes
// them (expiry first, then the datagram); the log lines and replies the loop would write are
// rebuilt and checked against the state table. One event after another until the input runs
// out or the owner's QUIT has ended the loop:
//   kind byte % 4 == 0  a turn with a datagram:
//                         sender byte (index into kPeers, modulo its size),
//                         2-byte big-endian length L (modulo 65508: 0 to 65507 bytes),
//                         fill byte, of which the datagram is made,
//                         2-byte big-endian offset O, 2-byte big-endian count C (modulo
//                         1025), then C bytes (as far as the input reaches) that overwrite
//                         the datagram from O on, as far as it reaches.
//                       So a short input can describe a datagram of any length with, say,
//                       a NUL or a word at any place.
//   kind byte % 4 == 1  a turn whose receive timed out.
//   kind byte % 4 == 2  a step of the wall clock: 4-byte big-endian signed seconds.
//   kind byte % 4 == 3  a turn with a protocol word: sender byte, choice byte (modulo 3:
//                       EHLO, SUSPEND, QUIT).
//
// With two named keys, as a daemon started with --key-file, the input is a sequence of
// datagrams from key holders and strangers at seconds of the boot clock, each checked
// against what the key holders sent (see KeyedModel):
//   kind byte % 4 == 0  a key holder: sender byte (kPeers), choice byte: bit 0 the key,
//                       bits 1-2 what it sends (0: EHLO with a new nonce; 1: a command
//                       on a challenge it was given; 2: a copy of a datagram it sent
//                       before; 3: EHLO, and the command at once on its START), bit 3 QUIT
//                       over SUSPEND, bit 4 lost on the way (strangers see it all the same),
//                       bits 5-7 which challenge or datagram, counted back from the latest.
//   kind byte % 4 == 1  a stranger: sender byte (kPeers, the key holders' too), then the
//                       bytes stranger_text reads.
//   kind byte % 4 == 2  time passes: a byte b, b % 8 seconds, or (b - 247) * 1000 from 248 on.
//   kind byte % 4 == 3  a crowd of key holders, each at an address of its own, sends EHLO
//                       and SUSPEND at once: a byte b, b % 16 of them, or for 255 as the
//                       first event 1030 of them, more than the table of spent challenges
//                       holds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "key/key.h"
#include "key/key_service.h"
#include "net/listener.h"
#include "session/session_loop.h"

namespace {

using fuzz::Reader;
using fuzz::require;
using fuzz::violated;

// The fuzzer's own statement of the rules, written out here rather than taken from the
// daemon's headers, so that a wrong constant there is caught.
constexpr std::time_t kWindowSeconds = 5;
constexpr std::size_t kLongestDatagram = 65507;
constexpr std::size_t kReceiveLimit = 1023;
constexpr std::size_t kExplicitBytes = kReceiveLimit + 1;
constexpr std::time_t kFirstClock = 1'700'000'000;

constexpr std::string_view kEhlo = "EHLO\n";
constexpr std::string_view kStart = "START\n";
constexpr std::string_view kLocked = "LOCKED\n";
constexpr std::string_view kOk = "OK\n";
constexpr std::string_view kEnd = "END\n";
constexpr std::string_view kSuspend = "SUSPEND\n";
constexpr std::string_view kQuit = "QUIT\n";
// What a keyless turn of kind 3 sends.
constexpr std::array kWords = {kEhlo, kSuspend, kQuit};

constexpr std::string_view kStartedPrefix = "Session started for client ";
constexpr std::string_view kLockedPrefix = "Session locked in response to client ";
constexpr std::string_view kEndedPrefix = "Session ended for client ";
constexpr std::string_view kNoSessionPrefix = "No acitve session; Dropping packet from ";
constexpr std::string_view kUnexpectedPrefix = "Unexpected client data; Dropping packet from ";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";

struct Peer {
  const char* address;
  std::uint16_t port;
  std::string_view identity;
  const char* asked;  // the daemon's address the peer sends to
};

// Two peers share an address and differ in the port only: they are different clients.
// They ask different addresses of the daemon, so a reply from the wrong one shows.
constexpr std::array kPeers = {
    Peer{"10.0.0.1", 5000, "10.0.0.1:5000", "10.0.0.100"},
    Peer{"10.0.0.1", 5001, "10.0.0.1:5001", "10.0.0.101"},
    Peer{"10.0.0.2", 5000, "10.0.0.2:5000", "10.0.0.100"},
    Peer{"255.255.255.255", 65535, "255.255.255.255:65535", "192.168.0.1"},
    Peer{"0.0.0.0", 0, "0.0.0.0:0", "0.0.0.0"},
};

sockaddr_in address_of(const Peer& peer) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peer.port);
  require(inet_pton(AF_INET, peer.address, &address.sin_addr) == 1, "peer address parses");
  return address;
}

struct LogLine {
  int priority;
  std::string text;
};

struct Sent {
  std::string message;
  std::string destination;  // the identity of the address it went to
  std::string source;       // the local address it left from
};

// What one turn wrote, as run_session_loop would have written it.
struct Effects {
  bool ended = false;
  std::vector<LogLine> lines;
  std::vector<Sent> sent;
  std::optional<Action> action;
};

// The mirror of the loop's expiry step.
void expire(Session& s, std::time_t now, Effects& effects) {
  if (!window_passed(s, now)) {
    return;
  }
  effects.ended = true;
  std::string line(kEndedPrefix);
  line += s.owner;
  effects.lines.push_back({LOG_INFO, line});
  if (const auto owner = address_from_identity(s.owner)) {
    effects.sent.push_back({std::string(kEnd), identity_of(*owner), inet_ntoa(s.local)});
  } else {
    effects.lines.push_back({LOG_ERR, "Error parsing expected client info; Recovering..."});
  }
  s.active = false;
}

// The mirror of the loop's handling of one received datagram of length bytes.
void handle(Session& s, std::vector<char>& buffer, std::size_t length, const sockaddr_in& sender,
            in_addr local, std::time_t now, Effects& effects) {
  const std::string identity = identity_of(sender);
  buffer[length] = '\0';
  const Action action = on_datagram(s, datagram_text(buffer.data(), length), identity, local, now);
  effects.action = action;
  const Response& response = response_to(action);
  if (!response.line.empty()) {
    std::string line(response.line);
    if (response.names_sender) {
      line += identity;
    }
    effects.lines.push_back({response.priority, line});
  }
  if (!response.reply.empty()) {
    effects.sent.push_back({std::string(response.reply), identity, inet_ntoa(local)});
  }
}

// What the sender meant, worked out from the raw bytes without the daemon's helpers: the
// receive keeps the first 1023 bytes, and the text ends at the first NUL.
std::string_view request_text(const std::vector<char>& datagram, std::size_t length) {
  const std::size_t kept = std::min(length, kReceiveLimit);
  std::size_t end = 0;
  while (end < kept && datagram[end] != '\0') {
    ++end;
  }
  return {datagram.data(), end};
}

bool ends_with_identity(std::string_view line, std::string_view prefix, std::string_view id) {
  return line.size() == prefix.size() + id.size() && line.substr(0, prefix.size()) == prefix &&
         line.substr(prefix.size()) == id;
}

// Every line is a fixed text, or a fixed prefix followed by the identity it is about, at the
// priority that goes with it.
void check_lines(const Effects& effects, const Session& before, std::string_view sender) {
  for (const LogLine& line : effects.lines) {
    const std::string_view text = line.text;
    if (ends_with_identity(text, kEndedPrefix, before.owner)) {
      require(line.priority == LOG_INFO && effects.ended, "an end line only at expiry");
    } else if (ends_with_identity(text, kStartedPrefix, sender) ||
               ends_with_identity(text, kLockedPrefix, sender)) {
      require(line.priority == LOG_INFO, "start and locked lines are info");
    } else if (ends_with_identity(text, kNoSessionPrefix, sender) ||
               ends_with_identity(text, kUnexpectedPrefix, sender)) {
      require(line.priority == LOG_WARNING, "dropped datagrams are warnings");
    } else if (text == kSuspending || text == kQuitting) {
      require(line.priority == LOG_INFO, "command lines are info");
    } else {
      // This includes the line for an unparsable owner: owners come from identity_of only.
      violated("a log line that is neither a fixed text nor a prefix and the sender");
    }
  }
  require(effects.lines.size() <= 2, "at most an end line and one line for the datagram");
}

// The row of the state table that the datagram of this turn falls in, given the state after
// the expiry step: the one line and the one reply it must have written, after those of the
// expiry step.
void check_row(const Session& expired, std::string_view text, std::string_view sender,
               const Effects& effects) {
  std::string line;
  int priority = LOG_INFO;
  std::string_view reply;
  if (text == kEhlo) {
    line.append(expired.active ? kLockedPrefix : kStartedPrefix).append(sender);
    reply = expired.active ? kLocked : kStart;
  } else if (!expired.active) {
    line.append(kNoSessionPrefix).append(sender);
    priority = LOG_WARNING;
  } else if (sender != expired.owner) {
    line.append(kUnexpectedPrefix).append(sender);
    priority = LOG_WARNING;
  } else if (text == kSuspend) {
    line = kSuspending;
    reply = kOk;
  } else if (text == kQuit) {
    line = kQuitting;
    reply = kOk;
  }
  const std::size_t earlier = effects.ended ? 1 : 0;
  if (line.empty()) {
    require(effects.lines.size() == earlier, "the owner's other data is not logged");
  } else {
    require(effects.lines.size() == earlier + 1 && effects.lines.back().text == line &&
                effects.lines.back().priority == priority,
            "the datagram's log line is the one its row of the state table gives");
  }
  if (reply.empty()) {
    require(effects.sent.size() == earlier, "refused and ignored data gets no reply");
  } else {
    require(effects.sent.size() == earlier + 1 && effects.sent.back().message == reply &&
                effects.sent.back().destination == sender,
            "the datagram's reply is the one its row of the state table gives, to the sender");
  }
}

// The rules that hold after every turn. before is the state at the start of the turn,
// expired the state after the expiry step, after the state at the end of the turn.
void check_turn(const Session& before, const Session& expired, const Session& after,
                std::time_t now, const Effects& effects, std::optional<std::string>& holder,
                std::string& holder_asked, std::string_view sender, std::string_view asked,
                std::optional<std::string_view> text) {
  // The window: a session ends exactly at the first turn at which the clock has moved on by
  // five seconds or more since its start, and no session outlives its window.
  require(effects.ended == (before.active && now - before.start >= kWindowSeconds),
          "a session ends exactly when its window has passed");
  require(!expired.active || now - expired.start < kWindowSeconds,
          "no session is active past its window");

  const bool started = effects.action == Action::kStartSession;
  require(started == (text == kEhlo && !expired.active), "EHLO with no session starts one");
  if (after.start != before.start || after.owner != before.owner) {
    require(started, "owner and start time change only at a session start");
  }
  if (started) {
    require(after.active && after.owner == sender && after.start == now,
            "a new session belongs to the sender and starts now");
  } else {
    require(after.active == expired.active, "only a start or expiry changes the active flag");
  }

  const bool owner_command = expired.active && sender == expired.owner;
  const bool suspend = effects.action == Action::kSuspend;
  const bool quit = effects.action == Action::kQuit;
  require(suspend == (owner_command && text == kSuspend), "SUSPEND acted on only for the owner");
  require(quit == (owner_command && text == kQuit), "QUIT acted on only for the owner");
  if (suspend || quit) {
    require(now - after.start < kWindowSeconds, "commands only within the window");
  }
  for (const Sent& sent : effects.sent) {
    if (sent.message == kEnd) {
      require(sent.source == holder_asked, "END leaves from the address the owner's EHLO asked");
    } else {
      require(sent.source == asked, "a reply leaves from the address its datagram asked");
    }
    if (sent.message == kStart) {
      holder_asked = asked;
      require(started && sent.destination == sender, "START goes to the new owner");
      require(!holder.has_value(), "at most one owner: START while another holds a session");
      holder = sent.destination;
    } else if (sent.message == kLocked) {
      require(expired.active && text == kEhlo && sent.destination == sender,
              "LOCKED only while active, in answer to EHLO");
    } else if (sent.message == kOk) {
      require((suspend || quit) && sent.destination == after.owner && after.active,
              "OK only to the owner of an active session");
    } else if (sent.message == kEnd) {
      require(effects.ended && holder == sent.destination && sent.destination == before.owner,
              "END goes to the owner whose window passed");
      holder.reset();
    } else {
      violated("a reply that is not a protocol word");
    }
  }
  require(effects.sent.size() <= 2, "at most END and one reply in a turn");
  require(after.active == holder.has_value() && (!after.active || *holder == after.owner),
          "the one client told START and not yet END is the owner of the active session");

  if (text.has_value()) {
    check_row(expired, *text, sender, effects);
  }
  check_lines(effects, before, sender);
}

void run_keyless(const std::uint8_t* data, std::size_t size) {
  static const std::array<sockaddr_in, kPeers.size()> addresses = [] {
    std::array<sockaddr_in, kPeers.size()> all{};
    for (std::size_t i = 0; i < kPeers.size(); ++i) {
      all.at(i) = address_of(kPeers.at(i));
      require(identity_of(all.at(i)) == kPeers.at(i).identity, "identity text of a peer");
    }
    return all;
  }();
  static const std::array<in_addr, kPeers.size()> asked_addresses = [] {
    std::array<in_addr, kPeers.size()> all{};
    for (std::size_t i = 0; i < kPeers.size(); ++i) {
      require(inet_pton(AF_INET, kPeers.at(i).asked, &all.at(i)) == 1, "asked address");
    }
    return all;
  }();

  Reader input(data, size);
  Session session;
  std::time_t now = kFirstClock;
  std::optional<std::string> holder;
  std::string holder_asked;
  std::vector<char> datagram;
  std::vector<char> explicit_bytes;
  std::vector<char> buffer(kReceiveLimit + 1);

  while (!input.done()) {
    const int kind = input.byte() % 4;
    if (kind == 2) {
      const auto step = static_cast<std::int32_t>(input.big_endian(4));
      now += step;
      continue;
    }
    std::optional<std::size_t> sender_index;
    std::size_t length = 0;
    if (kind == 3) {
      sender_index = input.byte() % kPeers.size();
      const std::string_view word = kWords.at(input.byte() % kWords.size());
      datagram.assign(word.begin(), word.end());
      length = datagram.size();
    } else if (kind == 0) {
      sender_index = input.byte() % kPeers.size();
      length = input.big_endian(2) % (kLongestDatagram + 1);
      const char fill = static_cast<char>(input.byte());
      const std::size_t offset = input.big_endian(2);
      const std::size_t count = input.big_endian(2) % (kExplicitBytes + 1);
      const std::string_view given = input.bytes(count);
      explicit_bytes.assign(given.begin(), given.end());
      // Only the start of a long datagram is built: the receive keeps no more than 1023
      // bytes of it.
      const std::size_t built = std::min(length, kExplicitBytes);
      datagram.assign(built, fill);
      if (offset < built) {
        std::copy_n(explicit_bytes.begin(), std::min(explicit_bytes.size(), built - offset),
                    datagram.begin() + static_cast<std::ptrdiff_t>(offset));
      }
    }

    const Session before = session;
    Effects effects;
    expire(session, now, effects);
    const Session expired = session;
    std::optional<std::string_view> text;
    std::string_view sender;
    std::string_view asked;
    if (sender_index.has_value()) {
      // The receive hands over at most the first 1023 bytes; the rest of a longer
      // datagram is lost.
      const std::size_t received = std::min(length, kReceiveLimit);
      std::copy_n(datagram.begin(), received, buffer.begin());
      handle(session, buffer, received, addresses.at(*sender_index),
             asked_addresses.at(*sender_index), now, effects);
      text = request_text(datagram, length);
      sender = kPeers.at(*sender_index).identity;
      asked = kPeers.at(*sender_index).asked;
      require(datagram_text(buffer.data(), received) == *text,
              "the text is the first 1023 bytes up to the first NUL");
    }
    check_turn(before, expired, session, now, effects, holder, holder_asked, sender, asked, text);
    if (effects.action == Action::kQuit) {
      break;
    }
  }
}

// Keyed mode, as the fuzzer states it: no sessions; every well-formed EHLO naming a key of the
// daemon gets a challenge; a command is carried out once per challenge, within four seconds of
// the second it was given in, and only for the sender it was given to; at most 1024 spent
// challenges are held while they are good.
constexpr std::uint32_t kGoodSeconds = 4;
constexpr std::size_t kMostSpent = 1024;
constexpr std::uint32_t kFirstSecond = 1000;
constexpr std::string_view kKeyedNotice = "KEYED 2\n";
constexpr std::array<std::string_view, 2> kCommandWords = {"SUSPEND", "QUIT"};
constexpr std::array<std::string_view, 2> kKeyNames = {"laptop", "nas.lan:backup@2"};
const std::array<std::string, 2> kHolderKeys = {std::string(32, '\x11'), std::string(32, '\x22')};
const std::string kStrangerKey(32, '\x33');

// HMAC-SHA-256 under key of "lomarind-v2 <label> <first> <second>".
std::string mac(std::string_view key, std::string_view label, std::string_view first,
                std::string_view second) {
  std::string message("lomarind-v2 ");
  message.append(label).append(" ").append(first).append(" ").append(second);
  return hmac_sha256_hex(key, message);
}

std::string id_of(std::string_view key) {
  return hmac_sha256_hex(key, "lomarind-v2 key-id").substr(0, 8);
}

const std::array<std::string, 2> kHolderIds = {id_of(kHolderKeys[0]), id_of(kHolderKeys[1])};
const std::string kStrangerId = id_of(kStrangerKey);

std::string hex(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    std::array<char, 3> pair{};
    static_cast<void>(
        std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned char>(c)));
    text.append(pair.data());
  }
  return text;
}

bool lower_hex(std::string_view text, std::size_t digits) {
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The holder's key that key_id names, or -1.
int holder_key(std::string_view key_id) {
  for (std::size_t k = 0; k < kHolderIds.size(); ++k) {
    if (kHolderIds.at(k) == key_id) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

// A command as a key holder sends it.
std::string command_text(std::size_t key, std::string_view challenge, std::string_view word) {
  return std::string(word) + " " + kHolderIds.at(key) + " " + std::string(challenge) + " " +
         mac(kHolderKeys.at(key), "command", challenge, word) + "\n";
}

// What key holders and strangers know, and the daemon's challenges under test.
class KeyedModel {
 public:
  // A challenge a key holder was given, and the second it was given in.
  struct Given {
    std::string challenge;
    std::uint32_t issued;
  };
  // A datagram a key holder sent.
  struct Seen {
    std::string sender;
    std::string text;
  };

  explicit KeyedModel(const KeySet& keys) : keys_(keys) {}

  std::uint32_t now = kFirstSecond;

  // Lets seconds pass; spent challenges that are no longer good are forgotten.
  void pass(std::uint32_t seconds) {
    now += seconds;
    std::erase_if(spent_,
                  [this](const auto& entry) { return now - entry.second.issued > kGoodSeconds; });
  }

  // A key holder at sender sends text (which never arrives if lost); returns the challenge of
  // the START it got, if any, which it keeps for the key its EHLO named.
  std::string holder_sends(const std::string& sender, const std::string& text, bool lost) {
    wire_.push_back({sender, text});
    std::string challenge = lost ? "" : deliver(sender, text);
    if (!challenge.empty()) {
      const auto key = static_cast<std::size_t>(holder_key(text.substr(5, 8)));
      given_[{sender, key}].push_back({challenge, now});
    }
    return challenge;
  }

  // A key holder's command on a challenge it was given: noted as proven for its sender.
  void holder_commands(const std::string& sender, std::size_t key, const Given& given,
                       std::string_view word, bool lost) {
    const std::string text = command_text(key, given.challenge, word);
    proven_.emplace(text, Proven{given.challenge, word, key, given.issued});
    holder_sends(sender, text, lost);
  }

  // Gives the datagram to the daemon and checks the outcome; returns the challenge of a START.
  std::string deliver(const std::string& sender, const std::string& text) {
    const std::size_t held = service_.spent_count();
    const KeyedService::Answer outcome = service_.answer(text, now);
    const Action action = keyed_action(outcome);
    const std::size_t holds = service_.spent_count();
    const bool carried_out = action == Action::kSuspend || action == Action::kQuit;
    require(holds <= kMostSpent, "at most 1024 spent challenges are held");
    require(holds <= held + (carried_out ? 1 : 0),
            "the spent challenges grow only by a carried-out command");
    std::string challenge;
    // A key holder's command counts whoever sends it: a copy from another address is the
    // holder's command all the same.
    if (const auto found = proven_.find(text); found != proven_.end()) {
      check_proven(found->second, outcome);
    } else {
      require(!carried_out && action != Action::kRepeatOk && outcome.key == nullptr,
              "nothing is carried out or answered OK for a datagram that no key holder sent as "
              "a command");
      const Response& response = response_to(action);
      require(response.line.empty() || response.budgeted,
              "every line a stranger's datagram can cause counts against the log budget");
      challenge = check_unproven(sender, text, outcome);
    }
    require(holds >= spent_.size(), "every spent challenge is held while it is good");
    return challenge;
  }

  // The challenges the key holder at sender with key was given.
  const std::vector<Given>& given(const std::string& sender, std::size_t key) {
    return given_[{sender, key}];
  }

  // Every datagram a key holder sent, lost or not, in order.
  const std::vector<Seen>& wire() const { return wire_; }

  // The challenge in the latest START to sender, whoever asked.
  std::string latest_start(const std::string& sender) const {
    const auto found = latest_start_.find(sender);
    return found == latest_start_.end() ? "" : found->second;
  }

 private:
  struct Proven {
    std::string challenge;
    std::string_view word;
    std::size_t key;
    std::uint32_t issued;
  };
  struct Spent {
    std::string_view word;
    std::uint32_t issued;
  };

  // A key holder's command: carried out the first time while its challenge is good, answered
  // OK again for copies, dropped when the challenge has expired or went to the other word.
  void check_proven(const Proven& p, const KeyedService::Answer& outcome) {
    const Action action = keyed_action(outcome);
    const bool good = now - p.issued <= kGoodSeconds;
    const auto spent = spent_.find(p.challenge);
    const bool again = good && spent != spent_.end() && spent->second.word == p.word;
    const bool first = good && spent == spent_.end() && spent_.size() < kMostSpent;
    const Action carry = p.word == kCommandWords[0] ? Action::kSuspend : Action::kQuit;
    if (first) {
      require(action == carry,
              "a key holder's command is carried out while its challenge is good and unspent, "
              "whatever strangers sent before");
      spent_.emplace(p.challenge, Spent{p.word, p.issued});
    } else if (again) {
      require(action == Action::kRepeatOk,
              "a copy of a carried-out command is answered again and not carried out");
    } else {
      require(action != carry && action != Action::kRepeatOk && outcome.reply.empty(),
              "a command on an expired challenge, or one spent for the other word, is dropped");
      return;
    }
    const std::string& key = kHolderKeys.at(p.key);
    require(outcome.reply == "OK " + mac(key, "ok", p.challenge, p.word) + "\n",
            "a proven command is answered OK with the proof of its challenge and word");
    require(outcome.key != nullptr && outcome.key->name == kKeyNames.at(p.key),
            "the key named for a command is the key holder's");
  }

  // Anything else: KEYED to a plain EHLO, START with a proof of the nonce to a keyed EHLO
  // naming a key of the daemon, and nothing to everything else.
  std::string check_unproven(const std::string& sender, std::string_view text,
                             const KeyedService::Answer& outcome) {
    if (text == kEhlo) {
      require(outcome.reply == kKeyedNotice, "a plain EHLO is answered KEYED 2");
      return "";
    }
    const bool ehlo = text.size() == 47 && text.starts_with("EHLO ") && text[13] == ' ' &&
                      text.back() == '\n' && lower_hex(text.substr(5, 8), 8) &&
                      lower_hex(text.substr(14, 32), 32);
    const int key = ehlo ? holder_key(text.substr(5, 8)) : -1;
    if (key < 0) {
      // A well-formed keyed EHLO naming a key the daemon does not hold is told, as a plain
      // one is, that a key is needed; anything else gets nothing.
      require(outcome.reply == (ehlo ? kKeyedNotice : ""),
              "only a keyed EHLO naming a key of the daemon gets START; one naming another key "
              "gets KEYED 2");
      return "";
    }
    const std::string_view reply = outcome.reply;
    const std::string_view challenge = reply.substr(std::min<std::size_t>(6, reply.size()), 32);
    require(reply.size() == 104 && reply.starts_with("START ") && lower_hex(challenge, 32) &&
                reply[38] == ' ' && reply.back() == '\n' &&
                reply.substr(39, 64) == mac(kHolderKeys.at(static_cast<std::size_t>(key)), "start",
                                            text.substr(14, 32), challenge),
            "a keyed EHLO naming a key of the daemon gets START with the proof of its nonce");
    latest_start_[sender] = std::string(challenge);
    return std::string(challenge);
  }

  const KeySet& keys_;
  KeyedService service_{keys_};
  std::map<std::pair<std::string, std::size_t>, std::vector<Given>> given_;
  std::map<std::string, Proven> proven_;             // by text, whoever sends it
  std::map<std::string, Spent, std::less<>> spent_;  // spent challenges that are still good
  std::vector<Seen> wire_;
  std::map<std::string, std::string> latest_start_;
};

// The text of a stranger's datagram of form (modulo 6), read from the input:
//   0 any bytes: a length byte, then as many bytes;
//   1 a keyed EHLO: a byte choosing the key id (modulo 4: the holders' two, the stranger's
//     own, 4 input bytes), then 16 bytes of nonce;
//   2 a replay of a key holder's datagram: a byte counting back from the latest;
//   3 the same, changed: a byte whose low 6 bits count back and whose top 2 bits choose
//     to overwrite a byte, cut the text short, insert a byte, or upper-case a byte; a
//     position byte, a value byte;
//   4 a forged command: a choice byte: bit 0 QUIT, bits 1-2 the key id (the holders' two,
//     the stranger's own, the first again), bit 3 the latest challenge a START brought to
//     this sender or 16 input bytes, bits 4-5 the proof: under the stranger's key, 32 input
//     bytes, the proof of the latest key holder's command, or zeros;
//   5 a plain word: a byte choosing it.
std::string stranger_text(Reader& input, KeyedModel& model, const std::string& sender) {
  const std::vector<KeyedModel::Seen>& wire = model.wire();
  const auto replay = [&](std::size_t back) {
    return wire.empty() ? std::string(kEhlo) : wire.at(wire.size() - 1 - back % wire.size()).text;
  };
  switch (input.byte() % 6) {
  case 0:
    return std::string(input.bytes(input.byte()));
  case 1: {
    const std::uint8_t choice = input.byte() % 4;
    const std::string id = choice < 2    ? kHolderIds.at(choice)
                           : choice == 2 ? kStrangerId
                                         : hex(input.bytes(4));
    return "EHLO " + id + " " + hex(input.bytes(16)) + "\n";
  }
  case 2:
    return replay(input.byte());
  case 3: {
    const std::uint8_t choice = input.byte();
    std::string text = replay(choice & 63U);
    const std::size_t at = input.byte() % (text.size() + 1);
    const char value = static_cast<char>(input.byte());
    switch (choice >> 6U) {
    case 0:
      text[std::min(at, text.size() - 1)] = value;
      break;
    case 1:
      text.resize(at);
      break;
    case 2:
      text.insert(at, 1, value);
      break;
    default:
      text[std::min(at, text.size() - 1)] = static_cast<char>(
          std::toupper(static_cast<unsigned char>(text[std::min(at, text.size() - 1)])));
      break;
    }
    return text;
  }
  case 4: {
    const std::uint8_t choice = input.byte();
    const std::string_view word = kCommandWords.at(choice & 1U);
    const std::array<std::string, 4> ids = {kHolderIds[0], kHolderIds[1], kStrangerId,
                                            kHolderIds[0]};
    std::string challenge = model.latest_start(sender);
    if ((choice & 8U) != 0 || challenge.empty()) {
      challenge = hex(input.bytes(16));
    }
    std::string proof;
    switch ((choice >> 4U) & 3U) {
    case 0:
      proof = mac(kStrangerKey, "command", challenge, word);
      break;
    case 1:
      proof = hex(input.bytes(32));
      break;
    case 2: {
      const auto last = std::find_if(wire.rbegin(), wire.rend(), [](const KeyedModel::Seen& seen) {
        return seen.text.size() > 65 && !seen.text.starts_with("EHLO");
      });
      proof = last == wire.rend() ? "" : last->text.substr(last->text.size() - 65, 64);
      break;
    }
    default:
      proof = std::string(64, '0');
      break;
    }
    return std::string(word) + " " + ids.at((choice >> 1U) & 3U) + " " + challenge + " " + proof +
           "\n";
  }
  default: {
    constexpr std::array<std::string_view, 7> kPlain = {"EHLO\n", "SUSPEND\n", "QUIT\n", "START\n",
                                                        "OK\n",   "KEYED 2\n", "EHLO \n"};
    return std::string(kPlain.at(input.byte() % kPlain.size()));
  }
  }
}

// One key holder's turn (see the input format).
void holder_turn(Reader& input, KeyedModel& model, std::uint64_t& nonces) {
  const std::string sender(kPeers.at(input.byte() % kPeers.size()).identity);
  const std::uint8_t choice = input.byte();
  const std::size_t key = choice & 1U;
  const unsigned what = (choice >> 1U) & 3U;
  const std::string_view word = kCommandWords.at((choice >> 3U) & 1U);
  const bool lost = (choice & 16U) != 0;
  const unsigned back = choice >> 5U;
  const std::vector<KeyedModel::Given>& given = model.given(sender, key);
  if (what == 1 && !given.empty()) {
    const KeyedModel::Given chosen = given.at(given.size() - 1 - back % given.size());
    model.holder_commands(sender, key, chosen, word, lost);
    return;
  }
  if (what == 2) {
    // A copy of what it sent before: the same text from the same sender.
    std::vector<std::string> sent;
    for (const KeyedModel::Seen& seen : model.wire()) {
      if (seen.sender == sender) {
        sent.push_back(seen.text);
      }
    }
    if (!sent.empty()) {
      model.holder_sends(sender, sent.at(sent.size() - 1 - back % sent.size()), lost);
      return;
    }
  }
  std::array<char, 33> nonce{};
  static_cast<void>(std::snprintf(nonce.data(), nonce.size(), "%032llx",
                                  static_cast<unsigned long long>(++nonces)));
  const std::string challenge =
      model.holder_sends(sender, "EHLO " + kHolderIds.at(key) + " " + nonce.data() + "\n", lost);
  if (what == 3 && !challenge.empty()) {
    model.holder_commands(sender, key, {challenge, model.now}, word, false);
  }
}

void run_keyed(const std::uint8_t* data, std::size_t size) {
  static const KeySet keys = [] {
    KeySet set;
    for (std::size_t k = 0; k < kHolderKeys.size(); ++k) {
      NamedKey named{std::string(kKeyNames.at(k)), kHolderIds.at(k), Key{}};
      std::copy(kHolderKeys.at(k).begin(), kHolderKeys.at(k).end(), named.key.bytes.begin());
      set.keys.push_back(std::move(named));
    }
    return set;
  }();
  Reader input(data, size);
  KeyedModel model(keys);
  std::uint64_t nonces = 0;
  while (!input.done()) {
    const bool first = input.offset() == 0;
    switch (input.byte() % 4) {
    case 0:
      holder_turn(input, model, nonces);
      break;
    case 1: {
      const std::string sender(kPeers.at(input.byte() % kPeers.size()).identity);
      model.deliver(sender, stranger_text(input, model, sender));
      break;
    }
    case 2: {
      const std::uint8_t b = input.byte();
      model.pass(b < 248 ? b % 8U : (b - 247U) * 1000U);
      break;
    }
    default: {
      const std::uint8_t b = input.byte();
      // A crowd that fills the table of spent challenges takes a tenth of a second or more:
      // only as the first event.
      const unsigned crowd = b == 255 && first ? 1030U : b % 16U;
      for (unsigned i = 0; i < crowd; ++i) {
        std::array<char, 24> sender{};
        static_cast<void>(
            std::snprintf(sender.data(), sender.size(), "10.1.%u.%u:9", i / 256, i % 256));
        const std::string challenge = model.holder_sends(
            sender.data(), "EHLO " + kHolderIds.at(i % 2) + " " + std::string(32, 'c') + "\n",
            false);
        model.holder_commands(sender.data(), i % 2, {challenge, model.now}, kCommandWords[0],
                              false);
      }
      break;
    }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run_keyless(data, size);
  run_keyed(data, size);
  return 0;
}

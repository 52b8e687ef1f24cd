// Drives the session's decisions with a sequence of turns decoded from the fuzz input, in
// the order run_session_loop takes them (expiry first, then the datagram), rebuilds the
// log lines and replies the loop would write, and aborts when a rule of the protocol breaks.
//
// Every input runs twice: without a key, and with a fixed test key, as a daemon started with
// --key-file. Input format, one event after another until the input runs out or the owner's
// QUIT has ended the loop:
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
//   kind byte % 4 == 3  a turn with a keyed command, as a controller with the key would
//                       send it (or an eavesdropper replay it): sender byte, choice byte,
//                       whose bit 0 picks QUIT over SUSPEND, bits 1-2 the proof (of the
//                       latest challenge handed out, of the one before, under another key,
//                       of the other word), and bit 3 leaves out the line feed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "key/key.h"
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

constexpr std::string_view kStartedPrefix = "Session started for client ";
constexpr std::string_view kLockedPrefix = "Session locked in response to client ";
constexpr std::string_view kEndedPrefix = "Session ended for client ";
constexpr std::string_view kNoSessionPrefix = "No acitve session; Dropping packet from ";
constexpr std::string_view kUnexpectedPrefix = "Unexpected client data; Dropping packet from ";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";
constexpr std::string_view kUnprovenPrefix = "Command without a valid proof; Dropping packet from ";

// Keyed mode: the proof is HMAC-SHA-256 over these bytes, and START carries the challenge.
constexpr std::string_view kProofLabel = "lomarind-proof-v1 ";
constexpr std::string_view kKeyedStart = "START ";
constexpr std::array<std::string_view, 2> kWords = {"SUSPEND", "QUIT"};
const std::string kTestKey(32, '\x42');
const std::string kOtherKey(32, '\x43');

std::string proof(std::string_view key, std::string_view challenge, std::string_view word) {
  std::string message(kProofLabel);
  message.append(challenge).append(" ").append(word);
  return hmac_sha256_hex(key, message);
}

// What a controller knows in keyed mode: every challenge handed out, the one of the
// current session until a command spends it, and every command carried out.
struct Keying {
  bool keyed = false;
  std::vector<std::string> issued;
  std::string unspent;
  std::set<std::string, std::less<>> carried_out;
};

// The command word that text carries out in its owner's session, or empty: without a key the
// plain command, with one the command with the proof of the unspent challenge.
std::string_view proven_word(const Keying& k, std::string_view text) {
  for (const std::string_view word : kWords) {
    const std::string proven =
        k.keyed ? std::string(word) + " " + proof(kTestKey, k.unspent, word) : std::string(word);
    if ((!k.keyed || !k.unspent.empty()) && text == proven + "\n") {
      return word;
    }
  }
  return {};
}

// True for an owner's command under a key that does not carry it out: a word followed by a
// space or a line feed.
bool unproven(const Keying& k, std::string_view text) {
  return k.keyed && proven_word(k, text).empty() &&
         std::any_of(kWords.begin(), kWords.end(), [&](std::string_view word) {
           return text.starts_with(std::string(word) + " ") ||
                  text.starts_with(std::string(word) + "\n");
         });
}

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
            in_addr local, std::time_t now, const Key* key, Effects& effects) {
  const std::string identity = identity_of(sender);
  buffer[length] = '\0';
  // The loop draws a random challenge; any fresh one will do here, so a counter stands in.
  static std::size_t challenges = 0;
  std::array<char, 33> fresh{};
  static_cast<void>(std::snprintf(fresh.data(), fresh.size(), "%032zx", ++challenges));
  const Action action = on_datagram(s, datagram_text(buffer.data(), length), identity, local, now,
                                    key, key != nullptr && !s.active ? fresh.data() : "");
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
    const bool keyed_start = key != nullptr && action == Action::kStartSession;
    effects.sent.push_back(
        {keyed_start ? std::string(kKeyedStart) + s.challenge + "\n" : std::string(response.reply),
         identity, inet_ntoa(local)});
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
               ends_with_identity(text, kUnexpectedPrefix, sender) ||
               ends_with_identity(text, kUnprovenPrefix, sender)) {
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
               const Effects& effects, const Keying& keying, std::string_view start) {
  std::string line;
  int priority = LOG_INFO;
  std::string_view reply;
  const std::string_view word = proven_word(keying, text);
  if (text == kEhlo) {
    line.append(expired.active ? kLockedPrefix : kStartedPrefix).append(sender);
    reply = expired.active ? kLocked : start;
  } else if (!expired.active) {
    line.append(kNoSessionPrefix).append(sender);
    priority = LOG_WARNING;
  } else if (sender != expired.owner) {
    line.append(kUnexpectedPrefix).append(sender);
    priority = LOG_WARNING;
  } else if (word == kWords[0]) {
    line = kSuspending;
    reply = kOk;
  } else if (word == kWords[1]) {
    line = kQuitting;
    reply = kOk;
  } else if (unproven(keying, text)) {
    line.append(kUnprovenPrefix).append(sender);
    priority = LOG_WARNING;
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
                std::optional<std::string_view> text, Keying& keying) {
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

  if (effects.ended) {
    keying.unspent.clear();
  }
  const bool owner_command = expired.active && sender == expired.owner;
  const bool suspend = effects.action == Action::kSuspend;
  const bool quit = effects.action == Action::kQuit;
  const std::string_view word = text.has_value() ? proven_word(keying, *text) : "";
  require(suspend == (owner_command && word == kWords[0]),
          "SUSPEND acted on only for the owner, and with a key only with a valid proof");
  require(quit == (owner_command && word == kWords[1]),
          "QUIT acted on only for the owner, and with a key only with a valid proof");
  if (suspend || quit) {
    require(now - after.start < kWindowSeconds, "commands only within the window");
  }
  std::string start(kStart);
  if (started && keying.keyed) {
    start = std::string(kKeyedStart) + after.challenge + "\n";
    require(after.challenge.size() == 32 &&
                after.challenge.find_first_not_of("0123456789abcdef") == std::string::npos &&
                std::find(keying.issued.begin(), keying.issued.end(), after.challenge) ==
                    keying.issued.end(),
            "a keyed session starts with a new challenge of 32 lower-case hex digits");
    keying.issued.push_back(after.challenge);
    keying.unspent = after.challenge;
  }

  for (const Sent& sent : effects.sent) {
    if (sent.message == kEnd) {
      require(sent.source == holder_asked, "END leaves from the address the owner's EHLO asked");
    } else {
      require(sent.source == asked, "a reply leaves from the address its datagram asked");
    }
    if (sent.message == start) {
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
    check_row(expired, *text, sender, effects, keying, start);
  }
  check_lines(effects, before, sender);
  if (keying.keyed && (suspend || quit)) {
    require(keying.carried_out.emplace(*text).second, "no proof is accepted twice");
    keying.unspent.clear();
  }
}

// A keyed command as choice asks for it (see the input format).
std::string keyed_command_text(const Keying& k, std::uint8_t choice) {
  const std::string_view word = kWords.at(choice & 1U);
  const std::string_view other = kWords.at(1 - (choice & 1U));
  const std::size_t n = k.issued.size();
  const std::string latest = n > 0 ? k.issued[n - 1] : "";
  const std::string earlier = n > 1 ? k.issued[n - 2] : "";
  const std::array<std::string, 4> proofs = {
      proof(kTestKey, latest, word), proof(kTestKey, earlier, word), proof(kOtherKey, latest, word),
      proof(kTestKey, latest, other)};
  return std::string(word) + " " + proofs.at((choice >> 1U) & 3U) +
         ((choice & 8U) != 0 ? "" : "\n");
}

void run(const std::uint8_t* data, std::size_t size, bool keyed) {
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
  Key key;
  std::copy(kTestKey.begin(), kTestKey.end(), key.bytes.begin());
  Keying keying;
  keying.keyed = keyed;
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
      const std::string command = keyed_command_text(keying, input.byte());
      datagram.assign(command.begin(), command.end());
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
             asked_addresses.at(*sender_index), now, keyed ? &key : nullptr, effects);
      text = request_text(datagram, length);
      sender = kPeers.at(*sender_index).identity;
      asked = kPeers.at(*sender_index).asked;
      require(datagram_text(buffer.data(), received) == *text,
              "the text is the first 1023 bytes up to the first NUL");
    }
    check_turn(before, expired, session, now, effects, holder, holder_asked, sender, asked, text,
               keying);
    if (effects.action == Action::kQuit) {
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run(data, size, false);
  run(data, size, true);
  return 0;
}

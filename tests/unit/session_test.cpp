// The daemon's turn, driven as the loop drives it, with the clocks passed in: every row of the
// plain protocol's state table, the window's edges, screening, the log budget and keyed mode's
// outcomes, in microseconds. Expectations are what a peer sees and what an admin reads.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>

#include <string>
#include <utility>
#include <vector>

#include "session/session_turn.h"
#include "session/sleep_command.h"

namespace {

constexpr std::time_t kT0 = 1'700'000'000;
constexpr std::uint32_t kBoot = 5000;

// An address of either family, as its text says; port 0.
Address address(const char* text) {
  Address parsed;
  if (inet_pton(AF_INET, text, &parsed.v4.sin_addr) == 1) {
    parsed.v4.sin_family = AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &parsed.v6.sin6_addr), 1) << text;
    parsed.v6.sin6_family = AF_INET6;
  }
  return parsed;
}

// The identity text of an address, as an admin reads it in the log.
std::string text_of(const Address& address) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (address.family() != AF_INET6) {
    inet_ntop(AF_INET, &address.v4.sin_addr, text.data(), text.size());
    return std::string(text.data()) + ":" + std::to_string(address.port());
  }
  inet_ntop(AF_INET6, &address.v6.sin6_addr, text.data(), text.size());
  return "[" + std::string(text.data()) + "]:" + std::to_string(address.port());
}

// A peer's datagram, sent to the local address to (delivered to that address alone).
Datagram from(const char* peer, std::uint16_t port, std::string_view text,
              const char* to = "127.0.0.1") {
  Datagram d;
  d.text = text;
  d.sender = address(peer);
  d.sender.v6.sin6_port = htons(port);  // where both families keep the port
  d.identity = text_of(d.sender);
  d.local = address(to);
  d.destination = d.local;
  return d;
}

struct Line {
  int priority;
  std::string text;
  bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) {
  *out << line.priority << " \"" << line.text << "\"";
}

struct Sent {
  std::string text;
  std::string to;    // the peer's identity
  std::string from;  // the local address it leaves from
  bool operator==(const Sent&) const = default;
};

void PrintTo(const Sent& sent, std::ostream* out) {
  *out << "\"" << sent.text << "\" to " << sent.to << " from " << sent.from;
}

std::vector<Line> lines(const Turn& turn) {
  std::vector<Line> found;
  for (const Output& output : turn) {
    if (output.kind == Output::Kind::kLine) {
      found.push_back({output.priority, output.text});
    }
  }
  return found;
}

std::vector<Sent> sent(const Turn& turn) {
  std::vector<Sent> found;
  for (const Output& output : turn) {
    if (output.kind == Output::Kind::kSend) {
      const std::string source = text_of(output.message.from);
      found.push_back(
          {output.message.text, text_of(output.message.to), source.substr(0, source.rfind(':'))});
    }
  }
  return found;
}

std::vector<std::string> statuses(const Turn& turn) {
  std::vector<std::string> found;
  for (const Output& output : turn) {
    if (output.kind == Output::Kind::kStatus) {
      found.push_back(output.text);
    }
  }
  return found;
}

LoopState keyless() {
  LoopState state;
  state.command = "systemctl suspend";
  return state;
}

Turn turn(LoopState& state, const Datagram& datagram, std::time_t wall = kT0,
          std::uint32_t boot = kBoot) {
  return take_turn(state, &datagram, {wall, boot});
}

// A has a session, opened at kT0 through 127.0.0.2.
LoopState owned_by_a() {
  LoopState state = keyless();
  turn(state, from("10.0.0.1", 5000, "EHLO\n", "127.0.0.2"));
  return state;
}

TEST(SessionProtocol, EhloWithNoSessionStartsOneOwnedByTheSender) {
  LoopState state = keyless();
  const Turn t = turn(state, from("10.0.0.1", 5000, "EHLO\n", "127.0.0.2"));
  EXPECT_EQ(lines(t), (std::vector<Line>{{LOG_INFO, "Session started for client 10.0.0.1:5000"}}));
  EXPECT_EQ(sent(t), (std::vector<Sent>{{"START\n", "10.0.0.1:5000", "127.0.0.2"}}))
      << "the reply leaves from where the client asked";
  EXPECT_EQ(statuses(t), std::vector<std::string>{"Session open for client 10.0.0.1:5000"});
  EXPECT_EQ(t.effect, Effect::kNone);
  EXPECT_TRUE(state.session.active);
  EXPECT_EQ(state.session.owner, "10.0.0.1:5000");
}

TEST(SessionProtocol, EhloWhileActiveGetsLockedAndKeepsTheSession) {
  for (const char* peer : {"10.0.0.1", "10.0.0.2"}) {
    LoopState state = owned_by_a();
    const Turn t = turn(state, from(peer, 5000, "EHLO\n"), kT0 + 2);
    EXPECT_EQ(lines(t), (std::vector<Line>{{LOG_INFO, "Session locked in response to client " +
                                                          std::string(peer) + ":5000"}}));
    EXPECT_EQ(sent(t), (std::vector<Sent>{{"LOCKED\n", std::string(peer) + ":5000", "127.0.0.1"}}));
    EXPECT_TRUE(statuses(t).empty());
    // The session still ends five seconds after its start, with END from where A asked.
    EXPECT_EQ(sent(take_turn(state, nullptr, {kT0 + 5, kBoot})),
              (std::vector<Sent>{{"END\n", "10.0.0.1:5000", "127.0.0.2"}}));
  }
}

TEST(SessionProtocol, OtherDataWithNoSessionOrFromAnotherClientIsDropped) {
  LoopState none = keyless();
  const Turn t = turn(none, from("10.0.0.1", 5000, "SUSPEND\n"));
  EXPECT_EQ(
      lines(t),
      (std::vector<Line>{{LOG_WARNING, "No acitve session; Dropping packet from 10.0.0.1:5000"}}));
  EXPECT_TRUE(sent(t).empty());
  EXPECT_EQ(t.effect, Effect::kNone);
  for (const auto& [peer, port] : {std::pair{"10.0.0.2", 5000}, std::pair{"10.0.0.1", 5001}}) {
    LoopState state = owned_by_a();
    for (const char* word : {"SUSPEND\n", "QUIT\n"}) {
      const Turn other = turn(state, from(peer, static_cast<std::uint16_t>(port), word));
      EXPECT_EQ(
          lines(other),
          (std::vector<Line>{{LOG_WARNING, "Unexpected client data; Dropping packet from " +
                                               std::string(peer) + ":" + std::to_string(port)}}));
      EXPECT_TRUE(sent(other).empty());
      EXPECT_EQ(other.effect, Effect::kNone);
    }
  }
}

TEST(SessionProtocol, OwnerCommandsAreCarriedOutAndOtherDataIgnored) {
  LoopState state = owned_by_a();
  const Turn suspend = turn(state, from("10.0.0.1", 5000, "SUSPEND\n", "127.0.0.2"), kT0 + 1);
  EXPECT_EQ(lines(suspend),
            (std::vector<Line>{{LOG_INFO, "Received SUSPEND command. Suspending..."}}));
  EXPECT_EQ(sent(suspend), (std::vector<Sent>{{"OK\n", "10.0.0.1:5000", "127.0.0.2"}}));
  EXPECT_EQ(suspend.effect, Effect::kSleep);
  ASSERT_EQ(state.sleepers.size(), 1U);
  const Turn started = sleep_started(state, state.sleepers.at(0));
  EXPECT_EQ(statuses(started),
            std::vector<std::string>{"Running systemctl suspend for client 10.0.0.1:5000"});
  EXPECT_TRUE(sent(started).empty()) << "keyless, there is no RUNNING";
  const Turn held =
      sleep_inhibited(state, state.sleepers.at(0), {"backup", "Backup in progress"}, {kT0, kBoot});
  EXPECT_EQ(lines(held),
            (std::vector<Line>{{LOG_WARNING, "Sleep inhibited by backup (Backup in progress)"}}));
  EXPECT_EQ(statuses(held), std::vector<std::string>{"Session open for client 10.0.0.1:5000"});
  EXPECT_TRUE(sent(held).empty());
  const Turn ended = sleep_ended(state, state.sleepers.at(0), 1, {kT0 + 1, kBoot});
  EXPECT_EQ(statuses(ended), std::vector<std::string>{"Session open for client 10.0.0.1:5000"});
  EXPECT_TRUE(lines(ended).empty()) << "keyless, the outcome of the sleep command is not told";
  EXPECT_TRUE(sent(ended).empty());

  const Turn quit = turn(state, from("10.0.0.1", 5000, "QUIT\n"), kT0 + 1);
  EXPECT_EQ(lines(quit),
            (std::vector<Line>{{LOG_INFO, "Received QUIT command. Stopping Lomarind..."}}));
  EXPECT_EQ(sent(quit), (std::vector<Sent>{{"OK\n", "10.0.0.1:5000", "127.0.0.1"}}));
  EXPECT_EQ(quit.effect, Effect::kStop);

  for (const char* text : {"EHLO", "EHLO\r\n", "ehlo\n", "SUSPEND", "QUIT\n\n", "", "END\n"}) {
    const Turn ignored = turn(state, from("10.0.0.1", 5000, text), kT0 + 1);
    EXPECT_EQ(ignored.count, 0U) << text;
    EXPECT_EQ(ignored.effect, Effect::kNone) << text;
  }
  EXPECT_TRUE(state.session.active);
  EXPECT_EQ(state.session.start, kT0) << "nothing the owner sends lengthens the session";
}

TEST(SessionWindow, EndsOnTheFirstTurnMoreThanFourSecondsAfterItsStart) {
  const std::vector<std::pair<std::time_t, bool>> rows = {
      {kT0 + 4, false}, {kT0 + 5, true}, {kT0 - 3600, false}, {kT0 + 86400, true}};
  for (const auto& [wall, ends] : rows) {
    LoopState state = owned_by_a();
    const Turn t = take_turn(state, nullptr, {wall, kBoot});
    EXPECT_EQ(state.session.active, !ends) << wall - kT0;
    if (ends) {
      EXPECT_EQ(lines(t),
                (std::vector<Line>{{LOG_INFO, "Session ended for client 10.0.0.1:5000"}}));
      EXPECT_EQ(statuses(t), std::vector<std::string>{"Waiting for a client"});
    } else {
      EXPECT_EQ(t.count, 0U);
    }
  }
  EXPECT_FALSE(window_passed(Session{false, "10.0.0.1:5000", kT0, {}}, kT0 + 100))
      << "only an active one ends";
}

TEST(SessionWindow, ExpiryComesBeforeTheDatagramOfTheSameTurn) {
  LoopState state = owned_by_a();
  const Turn late = turn(state, from("10.0.0.1", 5000, "SUSPEND\n"), kT0 + 5);
  EXPECT_EQ(late.effect, Effect::kNone) << "the old owner's command finds no session";
  EXPECT_EQ(sent(late), (std::vector<Sent>{{"END\n", "10.0.0.1:5000", "127.0.0.2"}}));
  EXPECT_EQ(lines(late).back().text, "No acitve session; Dropping packet from 10.0.0.1:5000");

  LoopState next = owned_by_a();
  const Turn taken = turn(next, from("10.0.0.2", 6000, "EHLO\n"), kT0 + 5);
  EXPECT_EQ(sent(taken), (std::vector<Sent>{{"END\n", "10.0.0.1:5000", "127.0.0.2"},
                                            {"START\n", "10.0.0.2:6000", "127.0.0.1"}}));
  EXPECT_EQ(statuses(taken), (std::vector<std::string>{"Waiting for a client",
                                                       "Session open for client 10.0.0.2:6000"}));
  EXPECT_EQ(next.session.owner, "10.0.0.2:6000");
  EXPECT_EQ(next.session.start, kT0 + 5);
}

// A datagram from port 0, or one sent to a group, is dropped before either mode looks at it.
TEST(Screening, PortZeroAndBroadcastOrMulticastDestinationsAreDroppedInBothModes) {
  KeySet keys;
  LoopState keyed = keyless();
  keyed.keyed.emplace(keys);
  for (LoopState* state : {static_cast<LoopState*>(nullptr), &keyed}) {
    LoopState plain = keyless();
    LoopState& s = state == nullptr ? plain : *state;
    Datagram zero = from("10.0.0.1", 0, "EHLO\n");
    EXPECT_EQ(lines(turn(s, zero)),
              (std::vector<Line>{
                  {LOG_WARNING, "Datagram from port 0; Dropping packet from 10.0.0.1:0"}}));
    for (const char* group : {"127.255.255.255", "255.255.255.255", "224.0.0.1"}) {
      Datagram to_group = from("10.0.0.1", 5000, "EHLO\n");
      to_group.destination = address(group);
      const Turn t = turn(s, to_group);
      EXPECT_EQ(lines(t), (std::vector<Line>{{LOG_WARNING,
                                              "Datagram to a broadcast or multicast address; "
                                              "Dropping packet from 10.0.0.1:5000"}}))
          << group;
      EXPECT_TRUE(sent(t).empty());
    }
    for (const char* group : {"224.0.0.1", "255.255.255.255"}) {
      Datagram group_alone = from("10.0.0.1", 5000, "EHLO\n", group);
      EXPECT_TRUE(sent(turn(s, group_alone)).empty()) << "a group address is never this host's";
    }
    // This host's own broadcast (the relay's magic packet) comes back from the address it
    // reached: dropped, without a line.
    Datagram own = from("127.0.0.1", 5000, "EHLO\n");
    own.destination = address("127.255.255.255");
    const Turn own_turn = turn(s, own);
    EXPECT_EQ(own_turn.count, 0U) << "neither a line nor a reply";
    EXPECT_FALSE(s.session.active);
    Datagram unknown = from("10.0.0.1", 5000, "EHLO\n", "0.0.0.0");
    EXPECT_EQ(sent(turn(s, unknown)).size(), 1U) << "where the system does not say, it is ours";
  }
}

// IPv6 has no broadcast: a datagram to a multicast group is dropped with the same line, one to
// any unicast address of the host is served, as is one from port 0 dropped.
TEST(Screening, Ipv6MulticastDestinationsAndPortZeroAreDroppedInBothModes) {
  KeySet keys;
  LoopState keyed = keyless();
  keyed.keyed.emplace(keys);
  for (LoopState* state : {static_cast<LoopState*>(nullptr), &keyed}) {
    LoopState plain = keyless();
    LoopState& s = state == nullptr ? plain : *state;
    EXPECT_EQ(lines(turn(s, from("2001:db8::1", 0, "EHLO\n", "::1"))),
              (std::vector<Line>{
                  {LOG_WARNING, "Datagram from port 0; Dropping packet from [2001:db8::1]:0"}}));
    for (const char* group : {"ff02::1", "ff05::1:3", "ff0e::101"}) {
      const Turn t = turn(s, from("2001:db8::1", 5000, "EHLO\n", group));
      EXPECT_EQ(lines(t), (std::vector<Line>{{LOG_WARNING,
                                              "Datagram to a broadcast or multicast address; "
                                              "Dropping packet from [2001:db8::1]:5000"}}))
          << group;
      EXPECT_TRUE(sent(t).empty());
    }
    EXPECT_FALSE(s.session.active);
    EXPECT_EQ(sent(turn(s, from("2001:db8::1", 5000, "EHLO\n", "2001:db8::2"))).size(), 1U);
  }
}

// An IPv6 owner's session runs as an IPv4 one's: START and END go to it, from where it asked.
TEST(SessionProtocol, Ipv6OwnerIsAnsweredAndToldTheEndFromWhereItAsked) {
  LoopState state = keyless();
  const Turn t = turn(state, from("2001:db8::1", 5000, "EHLO\n", "2001:db8::2"));
  EXPECT_EQ(lines(t),
            (std::vector<Line>{{LOG_INFO, "Session started for client [2001:db8::1]:5000"}}));
  EXPECT_EQ(sent(t), (std::vector<Sent>{{"START\n", "[2001:db8::1]:5000", "[2001:db8::2]"}}));
  EXPECT_EQ(sent(take_turn(state, nullptr, {kT0 + 5, kBoot})),
            (std::vector<Sent>{{"END\n", "[2001:db8::1]:5000", "[2001:db8::2]"}}));
}

// How many lines copies datagrams cause in one second.
std::size_t lines_of(LoopState& state, const Datagram& datagram, int copies, std::uint32_t boot) {
  std::size_t logged = 0;
  for (int i = 0; i < copies; ++i) {
    logged += lines(turn(state, datagram, kT0, boot)).size();
  }
  return logged;
}

// Ten budgeted lines a second; the rest are counted and reported once, in a later second.
TEST(LogBudget, StrangersLinesAreLimitedEachSecondAndTheRestReportedOnce) {
  LoopState state = owned_by_a();
  Datagram to_group = from("10.0.0.9", 4000, "EHLO\n");
  to_group.destination = address("127.255.255.255");
  const std::vector<Datagram> strangers = {from("10.0.0.9", 4000, "QUIT\n"),
                                           from("10.0.0.9", 4000, "EHLO\n"),
                                           from("10.0.0.9", 0, "EHLO\n"), to_group};
  std::uint32_t second = kBoot;
  for (const Datagram& stranger : strangers) {
    EXPECT_EQ(lines_of(state, stranger, 25, ++second), 10U) << stranger.text;
    EXPECT_EQ(lines(take_turn(state, nullptr, {kT0, ++second})),
              (std::vector<Line>{{LOG_WARNING,
                                  "15 log lines about datagrams held back (at most 10 a second "
                                  "are written)"}}));
    EXPECT_TRUE(lines(take_turn(state, nullptr, {kT0, ++second})).empty()) << "reported once";
  }
  // A session's own lines are never held back.
  LoopState other = keyless();
  lines_of(other, from("10.0.0.9", 4000, "QUIT\n"), 20, kBoot);
  EXPECT_EQ(lines(turn(other, from("10.0.0.1", 5000, "EHLO\n"), kT0, kBoot)).size(), 1U);
  EXPECT_EQ(lines(turn(other, from("10.0.0.1", 5000, "QUIT\n"), kT0, kBoot)).size(), 1U);
}

// The host's sleeps, as the loop passes them in: the boot clock's lead over the monotonic
// clock, which grows by the time each suspend lasted. An admin reads one line per sleep, a
// warning when it ended within a couple of seconds, and nothing for a lead that did not grow
// by a second or more.
TEST(HostSlept, EachSleepIsToldOnceAtTheNextTurnAndABounceIsAWarning) {
  struct Row {
    std::int64_t lead_ms;  // at this turn
    std::vector<Line> expected;
  };
  const std::vector<Row> rows = {
      {5'000'000, {}},  // the first turn: the host may have slept before the daemon started
      {5'000'000, {}},
      {5'007'260, {{LOG_INFO, "Host slept for 7.3 s"}}},  // 7.26 s, to a tenth
      {5'007'260, {}},                                    // once
      {5'008'060, {}},                                    // 0.8 s: below a second, not told
      {5'009'010, {}},  // nor is 0.95 s after it: each growth counts alone
      {5'008'410, {}},  // a read delayed between the two clocks: the lead seems smaller
      {5'009'710, {}},  // 0.7 s past the largest lead seen, 1.3 s past the delayed read
      {5'010'710, {{LOG_WARNING, "Host slept for 1.0 s; the sleep ended at once"}}},
      {5'013'659, {{LOG_WARNING, "Host slept for 2.9 s; the sleep ended at once"}}},
      {5'016'619, {{LOG_INFO, "Host slept for 3.0 s"}}},       // 2.96 s: no bounce, as it reads
      {33'816'668, {{LOG_INFO, "Host slept for 28800.0 s"}}},  // a night
  };
  KeySet keys;
  LoopState keyed = keyless();
  keyed.keyed.emplace(keys);
  LoopState plain = keyless();
  for (LoopState* state : {&plain, &keyed}) {
    for (const Row& row : rows) {
      EXPECT_EQ(lines(take_turn(*state, nullptr, {kT0, kBoot, row.lead_ms})), row.expected)
          << row.lead_ms << (state == &keyed ? " keyed" : " keyless");
    }
  }
  // The line comes first: the sleep was over before anything else of its turn, here the
  // report of a flood just before it and the end of a session whose window passed meanwhile,
  // with a new session: the most a turn can name.
  LoopState state = keyless();
  take_turn(state, nullptr, {kT0, kBoot, 0});
  turn(state, from("10.0.0.1", 5000, "EHLO\n"));
  lines_of(state, from("10.0.0.9", 4000, "QUIT\n"), 11, kBoot);
  const Datagram next = from("10.0.0.2", 6000, "EHLO\n");
  const Turn resumed = take_turn(state, &next, {kT0 + 9, kBoot + 9, 8'000});
  EXPECT_EQ(lines(resumed),
            (std::vector<Line>{{LOG_INFO, "Host slept for 8.0 s"},
                               {LOG_WARNING,
                                "1 log lines about datagrams held back (at most 10 a second are "
                                "written)"},
                               {LOG_INFO, "Session ended for client 10.0.0.1:5000"},
                               {LOG_INFO, "Session started for client 10.0.0.2:6000"}}));
  EXPECT_EQ(sent(resumed), (std::vector<Sent>{{"END\n", "10.0.0.1:5000", "127.0.0.1"},
                                              {"START\n", "10.0.0.2:6000", "127.0.0.1"}}));
  EXPECT_EQ(statuses(resumed), (std::vector<std::string>{"Waiting for a client",
                                                         "Session open for client 10.0.0.2:6000"}));
}

// Keyed mode, against a controller that holds the key and proves what it sends.
class KeyedTurn : public testing::Test {
 protected:
  KeyedTurn() {
    Key key;
    key.bytes.fill(0x42);
    NamedKey named{"laptop", key_id(key), std::move(key)};
    keys_.keys.push_back(std::move(named));
    state_.command = "systemctl suspend";
    state_.keyed.emplace(keys_);
  }

  const NamedKey& holder() const { return keys_.keys.front(); }

  // The holder's EHLO and the challenge its proven START gives.
  std::string challenge() {
    const std::string nonce = new_nonce();
    ehlo_ = ehlo_datagram(holder(), nonce);
    const std::vector<Sent> replies = sent(turn(state_, from("10.0.0.1", 5000, ehlo_)));
    EXPECT_EQ(replies.size(), 1U);
    const auto given = proven_start(replies.at(0).text, holder().key, nonce);
    EXPECT_TRUE(given.has_value());
    return std::string(given.value_or(""));
  }

  KeySet keys_;
  LoopState state_;
  std::string ehlo_;
};

TEST_F(KeyedTurn, AProvenCommandIsCarriedOutOnceAndNamesItsKey) {
  const std::vector<std::pair<std::string, Effect>> rows = {{"SUSPEND", Effect::kSleep},
                                                            {"QUIT", Effect::kStop}};
  for (const auto& [word, effect] : rows) {
    const std::string on = challenge();
    const std::string command = command_datagram(holder(), word, on);
    const Turn t = turn(state_, from("10.0.0.3", 7000, command));
    EXPECT_EQ(t.effect, effect) << word;
    EXPECT_EQ(lines(t).front(),
              (Line{LOG_INFO, "Command from client 10.0.0.3:7000 proven with key laptop"}));
    EXPECT_EQ(lines(t).size(), 2U);
    std::vector<Sent> told = sent(t);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_TRUE(proven_ok(told[0].text, holder().key, on, word));
    if (word == "SUSPEND") {
      const std::vector<Sent> running = sent(sleep_started(state_, state_.sleepers.back()));
      ASSERT_EQ(running.size(), 1U);
      EXPECT_TRUE(proven_running(running[0].text, holder().key, on))
          << "once the sleep command starts: it runs";
      EXPECT_EQ(running[0].to, "10.0.0.3:7000");
      told.push_back(running[0]);
    }
    // A copy, from anywhere: the same answers, nothing carried out, nothing logged.
    const Turn copy = turn(state_, from("10.0.0.4", 7001, command));
    EXPECT_EQ(copy.effect, Effect::kNone);
    EXPECT_TRUE(lines(copy).empty());
    ASSERT_EQ(sent(copy).size(), told.size());
    for (std::size_t i = 0; i < told.size(); ++i) {
      EXPECT_EQ(sent(copy)[i].text, told[i].text);
    }
  }
  EXPECT_EQ(state_.sleepers.size(), 1U) << "the SUSPEND waits for its sleep command";
}

// How the sleep command ended is told to the SUSPEND's sender, and to every copy for a minute
// after, though the challenge itself is good for four seconds only.
TEST_F(KeyedTurn, TheSleepCommandsEndIsToldToItsSenderAndEveryCopy) {
  for (const int status : {1, 0}) {
    const std::string on = challenge();
    const std::string text = command_datagram(holder(), "SUSPEND", on);
    ASSERT_EQ(turn(state_, from("10.0.0.1", 5000, text)).effect, Effect::kSleep);
    ASSERT_EQ(state_.sleepers.size(), 1U);
    const Sleeper sleeper = state_.sleepers.at(0);
    state_.sleepers.clear();
    const Turn ended = sleep_ended(state_, sleeper, status, {kT0, kBoot + 3});
    const std::vector<Sent> told = sent(ended);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].to, "10.0.0.1:5000");
    if (status == 0) {
      EXPECT_TRUE(lines(ended).empty());
      EXPECT_TRUE(proven_sleeping(told[0].text, holder().key, on));
    } else {
      EXPECT_EQ(lines(ended), (std::vector<Line>{{LOG_WARNING,
                                                  "Sleep refused (systemctl suspend exit 1); "
                                                  "Told client 10.0.0.1:5000"}}));
      EXPECT_EQ(proven_refusal(told[0].text, holder().key, on), 1);
    }
    EXPECT_EQ(statuses(ended), std::vector<std::string>{"Waiting for a client"});
    const Turn copy = turn(state_, from("10.0.0.7", 7007, text), kT0, kBoot + 3 + 60);
    ASSERT_EQ(sent(copy).size(), 2U);
    EXPECT_TRUE(proven_ok(sent(copy)[0].text, holder().key, on, "SUSPEND"));
    EXPECT_EQ(sent(copy)[1].text, told[0].text);
    EXPECT_EQ(copy.effect, Effect::kNone);
    const Turn late = turn(state_, from("10.0.0.7", 7007, text), kT0, kBoot + 3 + 61);
    EXPECT_TRUE(sent(late).empty()) << "forgotten a minute after";
    EXPECT_EQ(late.effect, Effect::kNone);
  }
}

// A SUSPEND that a block inhibitor holds back: its sender, and every copy for a minute, is
// told who and why (INHIBITED) and refused (REFUSED 1, for controllers that know no more).
TEST_F(KeyedTurn, AnInhibitedSleepIsToldWithWhoAndWhy) {
  const std::string on = challenge();
  const std::string text = command_datagram(holder(), "SUSPEND", on);
  ASSERT_EQ(turn(state_, from("10.0.0.1", 5000, text)).effect, Effect::kSleep);
  const Sleeper sleeper = state_.sleepers.at(0);
  state_.sleepers.clear();
  const Turn held =
      sleep_inhibited(state_, sleeper, {"backup", "Backup in progress"}, {kT0, kBoot + 1});
  EXPECT_EQ(lines(held), (std::vector<Line>{{LOG_WARNING,
                                             "Sleep inhibited by backup (Backup in progress); "
                                             "Told client 10.0.0.1:5000"}}));
  EXPECT_EQ(statuses(held), std::vector<std::string>{"Waiting for a client"});
  const std::vector<Sent> told = sent(held);
  ASSERT_EQ(told.size(), 2U);
  EXPECT_EQ(proven_inhibition(told[0].text, holder().key, on), "backup: Backup in progress");
  EXPECT_EQ(proven_refusal(told[1].text, holder().key, on), 1);
  EXPECT_EQ(told[1].to, "10.0.0.1:5000");
  const std::vector<Sent> copy = sent(turn(state_, from("10.0.0.7", 7007, text), kT0, kBoot + 61));
  ASSERT_EQ(copy.size(), 3U);
  EXPECT_EQ(copy[1].text, told[0].text);
  EXPECT_EQ(copy[2].text, told[1].text);
}

// A WAKE from a key the file does not let wake is refused with a line; one from a key it does
// is left to the loop, which sends the packet, and wake_relayed logs where it went and tells
// the client, and every copy.
TEST_F(KeyedTurn, ARelayedWakeIsRefusedOrToldWithItsMacKeyAndNetworks) {
  const std::string first = challenge();
  const std::string refused = command_datagram(holder(), "WAKE 001122aabbcc", first);
  const Turn denied = turn(state_, from("10.0.0.3", 7000, refused));
  EXPECT_EQ(denied.effect, Effect::kNone);
  EXPECT_EQ(lines(denied), (std::vector<Line>{{LOG_WARNING,
                                               "Wake for 00:11:22:aa:bb:cc refused: key laptop "
                                               "may not wake; Told client 10.0.0.3:7000"}}));
  ASSERT_EQ(sent(denied).size(), 1U);
  EXPECT_EQ(proven_denial(sent(denied)[0].text, holder().key, first), "key");
  keys_.keys.front().may_wake = true;
  for (const auto& [sent_to, line] : std::vector<std::pair<std::vector<std::string>, Line>>{
           {{"10.9.0.255", "192.168.1.255"},
            {LOG_INFO,
             "Wake for 00:11:22:aa:bb:cc relayed to 10.9.0.255, 192.168.1.255 with key laptop; "
             "Told client 10.0.0.3:7000"}},
           {{},
            {LOG_WARNING,
             "Wake for 00:11:22:aa:bb:cc not relayed (no network with a broadcast address) with "
             "key laptop; Told client 10.0.0.3:7000"}}}) {
    const std::string on = challenge();
    const std::string wake = command_datagram(holder(), "WAKE 001122aabbcc", on);
    const Turn taken = turn(state_, from("10.0.0.3", 7000, wake));
    EXPECT_EQ(taken.effect, Effect::kWake);
    ASSERT_EQ(state_.wakers.size(), 1U);
    const Sleeper waker = state_.wakers.front();
    state_.wakers.clear();
    EXPECT_EQ(waker.mac, (Mac{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc}));
    const Turn relayed = wake_relayed(
        state_, waker, {sent_to, sent_to.empty() ? "no network with a broadcast address" : ""},
        {kT0, kBoot});
    EXPECT_EQ(lines(relayed), std::vector<Line>{line});
    ASSERT_EQ(sent(relayed).size(), 1U);
    EXPECT_EQ(sent(relayed)[0].to, "10.0.0.3:7000");
    const auto count = static_cast<int>(sent_to.size());
    EXPECT_EQ(proven_relay(sent(relayed)[0].text, holder().key, on), count);
    const std::vector<Sent> copy = sent(turn(state_, from("10.0.0.4", 7001, wake)));
    ASSERT_EQ(copy.size(), 2U);
    EXPECT_EQ(copy[1].text, sent(relayed)[0].text);
  }
}

TEST_F(KeyedTurn, StrangersGetOnlyTheKeyNoticeOrNothingAndALine) {
  const std::string keyed_notice = "KEYED 2\n";
  const std::string on = challenge();
  Key other;
  other.bytes.fill(0x17);
  NamedKey stranger{"x", key_id(other), std::move(other)};
  // The holder's command with one digit of its proof changed.
  std::string forged = command_datagram(holder(), "SUSPEND", on);
  forged[forged.size() - 2] = forged[forged.size() - 2] == '0' ? '1' : '0';
  const std::string unknown_ehlo = ehlo_datagram(stranger, new_nonce());
  struct Row {
    std::string text;
    std::string line;
    std::string reply;
  };
  std::vector<Row> rows = {
      {"EHLO\n", "EHLO without a key; Answered KEYED to client 10.0.0.9:4000", keyed_notice},
      {unknown_ehlo, "Unknown key; Answered KEYED to client 10.0.0.9:4000", keyed_notice},
      {command_datagram(stranger, "SUSPEND", on), "Unknown key; Dropping packet from 10.0.0.9:4000",
       ""},
      {forged, "Command without a valid proof; Dropping packet from 10.0.0.9:4000", ""},
      {"SUSPEND\n", "Command without a valid proof; Dropping packet from 10.0.0.9:4000", ""},
      {"START\n", "Unexpected client data; Dropping packet from 10.0.0.9:4000", ""},
  };
  for (const Row& row : rows) {
    const Turn t = turn(state_, from("10.0.0.9", 4000, row.text));
    EXPECT_EQ(lines(t), (std::vector<Line>{{LOG_WARNING, row.line}})) << row.text;
    EXPECT_EQ(sent(t).empty() ? "" : sent(t)[0].text, row.reply) << row.text;
    EXPECT_EQ(t.effect, Effect::kNone) << row.text;
  }
  // The holder's own command on a challenge five seconds old.
  const std::string late = command_datagram(holder(), "QUIT", on);
  const Turn stale = turn(state_, from("10.0.0.1", 5000, late), kT0, kBoot + 5);
  EXPECT_EQ(lines(stale), (std::vector<Line>{{LOG_WARNING,
                                              "Spent or expired challenge; Dropping packet from "
                                              "10.0.0.1:5000"}}));
  EXPECT_EQ(stale.effect, Effect::kNone);
  EXPECT_FALSE(state_.session.active) << "keyed mode has no sessions";
  rows.push_back({late, "", ""});  // stale at every later second
  std::uint32_t second = kBoot + 100;
  for (const Row& row : rows) {
    take_turn(state_, nullptr, {kT0, ++second});  // the report of the flood before
    EXPECT_EQ(lines_of(state_, from("10.0.0.9", 4000, row.text), 25, ++second), 10U)
        << "a line anyone can cause is budgeted: " << row.text;
  }
}

TEST(DatagramText, EndsAtTheFirstNulOrTheEnd) {
  const char bytes[] = {'E', 'H', 'L', 'O', '\n', '\0', 'x'};
  EXPECT_EQ(datagram_text(bytes, sizeof bytes), "EHLO\n");
  EXPECT_EQ(datagram_text(bytes, 5), "EHLO\n");
  EXPECT_EQ(datagram_text(bytes, 0), "");
  EXPECT_EQ(datagram_text("\0QUIT\n", 6), "");
}

TEST(SleepCommand, OnlyTheShellsCannotRunStatusesCountAsFailure) {
  EXPECT_TRUE(command_not_run(127 << 8));
  EXPECT_TRUE(command_not_run(126 << 8));
  for (const int status : {0, 1 << 8, 125 << 8, 128 << 8, SIGKILL}) {
    EXPECT_FALSE(command_not_run(status)) << status;
  }
  EXPECT_EQ(shell_status(SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(shell_status(3 << 8), 3);
}

}  // namespace

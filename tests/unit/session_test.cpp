// The session's decisions, with the clock passed in: every row of the state table and the
// window's edges, in microseconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>

#include <optional>
#include <utility>
#include <vector>

#include "session/session_loop.h"

namespace {

constexpr std::time_t kT0 = 1'700'000'000;
const std::string kA = "10.0.0.1:5000";
const std::string kB = "10.0.0.2:5000";
const std::string kAOtherPort = "10.0.0.1:5001";
// Two addresses of this host that a client may send to.
const in_addr kLocal{htonl(0x7f000001)};       // 127.0.0.1
const in_addr kOtherLocal{htonl(0x7f000002)};  // 127.0.0.2

Session owned_by_a() { return Session{true, kA, kT0, kLocal}; }

TEST(SessionProtocol, EhloWithNoSessionStartsOneOwnedByTheSender) {
  Session s;
  EXPECT_EQ(on_datagram(s, "EHLO\n", kA, kOtherLocal, kT0), Action::kStartSession);
  EXPECT_TRUE(s.active);
  EXPECT_EQ(s.owner, kA);
  EXPECT_EQ(s.start, kT0);
  EXPECT_EQ(s.local.s_addr, kOtherLocal.s_addr) << "END leaves from where the owner asked";
}

TEST(SessionProtocol, EhloWhileActiveGetsLockedAndKeepsOwnerAndStart) {
  for (const auto& sender : {kA, kB}) {
    Session s = owned_by_a();
    EXPECT_EQ(on_datagram(s, "EHLO\n", sender, kOtherLocal, kT0 + 2), Action::kRefuseLocked);
    EXPECT_EQ(s.owner, kA);
    EXPECT_EQ(s.local.s_addr, kLocal.s_addr);
    EXPECT_EQ(s.start, kT0);
  }
}

TEST(SessionProtocol, OtherDataWithNoSessionIsDroppedEvenAfterAnEndedOne) {
  Session s;
  EXPECT_EQ(on_datagram(s, "SUSPEND\n", kA, kLocal, kT0), Action::kDropNoSession);
  Session ended{false, kA, kT0};
  EXPECT_EQ(on_datagram(ended, "QUIT\n", kA, kLocal, kT0), Action::kDropNoSession);
  EXPECT_FALSE(ended.active);
}

TEST(SessionProtocol, CommandsFromAnotherClientAreUnexpected) {
  for (const auto& sender : {kB, kAOtherPort}) {
    Session s = owned_by_a();
    EXPECT_EQ(on_datagram(s, "SUSPEND\n", sender, kLocal, kT0), Action::kDropUnexpected);
    EXPECT_EQ(on_datagram(s, "QUIT\n", sender, kLocal, kT0), Action::kDropUnexpected);
  }
}

TEST(SessionProtocol, OwnerCommandsAreActedOnAndOtherDataIgnored) {
  Session s = owned_by_a();
  EXPECT_EQ(on_datagram(s, "SUSPEND\n", kA, kLocal, kT0 + 1), Action::kSuspend);
  EXPECT_EQ(on_datagram(s, "QUIT\n", kA, kLocal, kT0 + 1), Action::kQuit);
  for (const char* text : {"EHLO", "EHLO\r\n", "ehlo\n", "SUSPEND", "QUIT\n\n", "", "END\n"}) {
    EXPECT_EQ(on_datagram(s, text, kA, kLocal, kT0 + 1), Action::kIgnore) << text;
  }
  EXPECT_TRUE(s.active);
  EXPECT_EQ(s.start, kT0) << "nothing the owner sends lengthens the session";
}

TEST(SessionProtocol, ResponsesPairEachActionWithItsLineAndReply) {
  EXPECT_EQ(response_to(Action::kStartSession).reply, "START\n");
  EXPECT_EQ(response_to(Action::kRefuseLocked).reply, "LOCKED\n");
  EXPECT_EQ(response_to(Action::kSuspend).reply, "OK\n");
  EXPECT_EQ(response_to(Action::kQuit).reply, "OK\n");
  for (const Action silent : {Action::kDropNoSession, Action::kDropUnexpected, Action::kIgnore}) {
    EXPECT_TRUE(response_to(silent).reply.empty());
  }
  EXPECT_TRUE(response_to(Action::kIgnore).line.empty());
  EXPECT_EQ(response_to(Action::kDropNoSession).priority, LOG_WARNING);
  EXPECT_EQ(response_to(Action::kDropUnexpected).priority, LOG_WARNING);
  EXPECT_TRUE(response_to(Action::kDropUnexpected).names_sender);
  EXPECT_FALSE(response_to(Action::kQuit).names_sender);
}

TEST(SessionWindow, PassesWhenTheClockHasMovedOnByFiveSeconds) {
  const Session s = owned_by_a();
  EXPECT_FALSE(window_passed(s, kT0));
  EXPECT_FALSE(window_passed(s, kT0 + 4));
  EXPECT_TRUE(window_passed(s, kT0 + 5));
  EXPECT_FALSE(window_passed(Session{false, kA, kT0}, kT0 + 100)) << "only an active one ends";
}

TEST(SessionWindow, ClockSteppedBackPostponesTheEndAndSteppedForwardBringsItNow) {
  const Session s = owned_by_a();
  EXPECT_FALSE(window_passed(s, kT0 - 3600));
  EXPECT_FALSE(window_passed(s, kT0 + 4));
  EXPECT_TRUE(window_passed(s, kT0 + 86400));
}

TEST(SessionWindow, ExpiryTurnLetsANewEhloStartAndDropsTheOldOwnersCommand) {
  // The loop ends the session before it looks at the datagram of the same turn.
  Session s = owned_by_a();
  ASSERT_TRUE(window_passed(s, kT0 + 5));
  s.active = false;
  Session for_suspend = s;
  EXPECT_EQ(on_datagram(for_suspend, "SUSPEND\n", kA, kLocal, kT0 + 5), Action::kDropNoSession);
  EXPECT_EQ(on_datagram(s, "EHLO\n", kB, kLocal, kT0 + 5), Action::kStartSession);
  EXPECT_EQ(s.owner, kB);
  EXPECT_EQ(s.start, kT0 + 5);
}

// A datagram from port 0, or one sent to a group, is dropped before either mode looks at it.
TEST(Screening, PortZeroAndBroadcastOrMulticastDestinationsAreDropped) {
  const auto at = [](const char* address) {
    in_addr parsed{};
    inet_pton(AF_INET, address, &parsed);
    return parsed;
  };
  const in_addr own = at("10.0.0.1");
  EXPECT_EQ(screened(5000, own, own), std::nullopt);
  EXPECT_EQ(screened(65535, at("0.0.0.0"), at("0.0.0.0")), std::nullopt) << "not known";
  EXPECT_EQ(screened(0, own, own), Action::kDropFromPortZero);
  EXPECT_EQ(screened(1, own, own), std::nullopt);
  for (const char* group : {"10.0.0.255", "255.255.255.255", "224.0.0.1", "239.255.255.250"}) {
    EXPECT_EQ(screened(5000, at(group), own), Action::kDropToGroup) << group;
  }
  EXPECT_EQ(screened(5000, at("255.255.255.255"), at("255.255.255.255")), Action::kDropToGroup);
  EXPECT_EQ(screened(5000, at("224.0.0.1"), at("224.0.0.1")), Action::kDropToGroup);
  for (const Action drop : {Action::kDropFromPortZero, Action::kDropToGroup}) {
    EXPECT_TRUE(response_to(drop).reply.empty());
    EXPECT_TRUE(response_to(drop).budgeted);
    EXPECT_TRUE(response_to(drop).names_sender);
  }
}

TEST(KeyedActions, EachVerdictHasItsActionAndOnlyACarriedOutQuitStops) {
  using Verdict = KeyedService::Verdict;
  const std::vector<std::pair<Verdict, Action>> rows = {
      {Verdict::kKeyNeeded, Action::kRefuseKeyless},
      {Verdict::kChallenge, Action::kChallenge},
      {Verdict::kUnknownKey, Action::kDropUnknownKey},
      {Verdict::kKeyNotHeld, Action::kAnswerUnknownKey},
      {Verdict::kUnproven, Action::kDropUnproven},
      {Verdict::kStale, Action::kDropStale},
      {Verdict::kRepeat, Action::kRepeatOk},
      {Verdict::kNotKeyed, Action::kDropUnexpected},
  };
  for (const auto& [verdict, action] : rows) {
    EXPECT_EQ(keyed_action({verdict, {}, "QUIT"}), action);
  }
  EXPECT_EQ(keyed_action({Verdict::kCarryOut, {}, "QUIT"}), Action::kQuit);
  EXPECT_EQ(keyed_action({Verdict::kCarryOut, {}, "SUSPEND"}), Action::kSuspend);
  // Every line a stranger can cause is budgeted; the lines of carried-out commands are not.
  for (const Action drop :
       {Action::kRefuseKeyless, Action::kDropUnknownKey, Action::kAnswerUnknownKey,
        Action::kDropUnproven, Action::kDropStale, Action::kDropUnexpected, Action::kDropNoSession,
        Action::kRefuseLocked}) {
    EXPECT_TRUE(response_to(drop).budgeted);
  }
  EXPECT_FALSE(response_to(Action::kSuspend).budgeted);
  EXPECT_FALSE(response_to(Action::kQuit).budgeted);
}

TEST(DatagramText, EndsAtTheFirstNulOrTheEnd) {
  const char bytes[] = {'E', 'H', 'L', 'O', '\n', '\0', 'x'};
  EXPECT_EQ(datagram_text(bytes, sizeof bytes), "EHLO\n");
  EXPECT_EQ(datagram_text(bytes, 5), "EHLO\n");
  EXPECT_EQ(datagram_text(bytes, 0), "");
  EXPECT_EQ(datagram_text("\0QUIT\n", 6), "");
}

TEST(SuspendCommand, OnlyTheShellsCannotRunStatusesCountAsFailure) {
  EXPECT_TRUE(command_not_run(127 << 8));
  EXPECT_TRUE(command_not_run(126 << 8));
  for (const int status : {0, 1 << 8, 125 << 8, 128 << 8, SIGKILL}) {
    EXPECT_FALSE(command_not_run(status)) << status;
  }
}

}  // namespace

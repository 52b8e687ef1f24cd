// What the client says of each host and of the whole call: the result lines and the exit
// statuses, as lomarind(1) lists them.
#include "client/report.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

const Clock::time_point s0 = Clock::time_point{} + 5000s;

TEST(ResultLine, EachResultHasItsLine) {
  Exchange exchange = start_exchange(s0, 60s);
  const auto line = [&](Result result, Command command, int status = 0) {
    exchange.result = result;
    exchange.sleep_status = status;
    return result_line("nas", exchange, command, 9999);
  };
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 1),
            "nas: refused by the host (systemctl exit 1)");
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 126),
            "nas: refused by the host (sleep command could not run)");
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 127),
            "nas: refused by the host (sleep command could not run)");
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 128),
            "nas: refused by the host (systemctl exit 128)");
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 143),
            "nas: refused by the host (systemctl ended by signal 15)");
  exchange.inhibitor = "backup: Backup in progress";
  EXPECT_EQ(line(Result::kRefused, Command::kSuspend, 1),
            "nas: refused by the host (inhibited by backup: Backup in progress)");
  exchange.inhibitor.clear();
  EXPECT_EQ(line(Result::kDidNotSleep, Command::kSuspend), "nas: did not sleep");
  EXPECT_EQ(line(Result::kKeyNotKnown, Command::kStatus), "nas: key not known to the host");
  EXPECT_EQ(line(Result::kNoDaemon, Command::kQuit), "nas: no daemon on port 9999");
  EXPECT_EQ(line(Result::kDone, Command::kStatus), "nas: awake");
  EXPECT_EQ(line(Result::kNoSocket, Command::kSuspend), "nas: cannot open a socket");
  exchange.finished = s0 + 7249ms;
  EXPECT_EQ(line(Result::kDone, Command::kWake), "nas: awake after 7.2 s");
  exchange.finished = s0 + 7250ms;
  EXPECT_EQ(line(Result::kDone, Command::kWake), "nas: awake after 7.3 s");
  exchange.finished = s0 + 10ms;
  EXPECT_EQ(line(Result::kDone, Command::kWake), "nas: awake after 0.0 s");
}

// Each result has a status of its own, and a call of several hosts takes the one that a
// script must look at first.
TEST(ExitStatus, EachResultItsOwnAndTheFirstInTheDocumentedOrderWins) {
  const std::vector<std::pair<Result, int>> own{
      {Result::kDone, 0},        {Result::kLocked, 2},      {Result::kNoAnswer, 3},
      {Result::kUnconfirmed, 3}, {Result::kUnresolved, 3},  {Result::kNeedsKey, 4},
      {Result::kRefused, 5},     {Result::kDidNotSleep, 6}, {Result::kKeyNotKnown, 7},
      {Result::kNoDaemon, 8},    {Result::kNoSocket, 3},
  };
  for (const auto& [result, status] : own) {
    EXPECT_EQ(exit_status_of({result}), status);
    EXPECT_EQ(exit_status_of({Result::kDone, result, Result::kDone}), status);
  }
  EXPECT_EQ(exit_status_of({}), 0) << "a call of no host has nothing to report";
  EXPECT_EQ(exit_status_of({Result::kLocked, Result::kNoAnswer, Result::kDone}), 3);
  EXPECT_EQ(exit_status_of({Result::kUnresolved, Result::kLocked}), 3);
  // 3, 5, 6, 8, 7, 4, 2: each outranks every one after it.
  const std::vector<Result> order{Result::kNoAnswer, Result::kRefused,     Result::kDidNotSleep,
                                  Result::kNoDaemon, Result::kKeyNotKnown, Result::kNeedsKey,
                                  Result::kLocked};
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (std::size_t j = i + 1; j < order.size(); ++j) {
      EXPECT_EQ(exit_status_of({order[j], order[i]}), exit_status_of({order[i]})) << i << j;
      EXPECT_EQ(exit_status_of({order[i], order[j]}), exit_status_of({order[i]})) << i << j;
    }
  }
}

}  // namespace

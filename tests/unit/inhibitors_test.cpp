// Which of logind's inhibitors holds sleep back, and how its who and why are kept.
#include "session/inhibitors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Inhibitors, OnlyABlockOnSleepHoldsItBackAndItsWordsAreKeptPrintable) {
  struct Row {
    std::vector<InhibitorEntry> entries;
    std::optional<std::string> held;  // "who|why" of the inhibitor found
  };
  const std::vector<Row> rows = {
      {{}, std::nullopt},
      {{{"sleep", "backup", "Backup in progress", "block"}}, "backup|Backup in progress"},
      {{{"shutdown:sleep:idle", "apt", "Upgrading", "block"}}, "apt|Upgrading"},
      {{{"sleep", "desktop", "Locking the screen", "delay"}}, std::nullopt},
      {{{"sleep", "player", "Playing", "block-weak"}}, std::nullopt},
      {{{"shutdown:idle", "x", "y", "block"}, {"handle-lid-switch", "x", "y", "block"}},
       std::nullopt},
      {{{"sleeper:asleep", "x", "y", "block"}}, std::nullopt},
      {{{"sleep", "delayed", "d", "delay"}, {"idle:sleep", "disk", "Formatting", "block"}},
       "disk|Formatting"},
      {{{"sleep", "a\tb\n", "caf\xc3\xa9\x7f", "block"}}, "a?b?|caf???"},
      {{{"sleep", std::string(70, 'w'), std::string(130, 'y'), "block"}},
       std::string(64, 'w') + "|" + std::string(128, 'y')},
  };
  for (const Row& row : rows) {
    const auto found = blocking_sleep(row.entries);
    const std::optional<std::string> held =
        found ? std::optional<std::string>(found->who + "|" + found->why) : std::nullopt;
    EXPECT_EQ(held, row.held) << (row.entries.empty() ? "none" : row.entries.back().what);
  }
}

}  // namespace

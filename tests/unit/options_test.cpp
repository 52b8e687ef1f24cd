#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "process/log.h"
#include "process/startup.h"
#include "support/argv.h"

namespace {

// Runs parse_options over words as a command line after "server".
OptionsOutcome parse(std::vector<std::string> words, Settings& options) {
  words.insert(words.begin(), "server");
  lmrtest::Argv argv(std::move(words));
  return parse_options(argv.argc(), argv.argv(), options);
}

TEST(Settings, DefaultsAreForegroundPortNineNoPidFile) {
  Settings options;
  EXPECT_EQ(parse({}, options), OptionsOutcome::kRun);
  EXPECT_FALSE(options.background);
  EXPECT_EQ(options.port, 9);
  EXPECT_EQ(options.pid_file_path, "");
  EXPECT_FALSE(options.ignore_inhibitors) << "inhibitors are heeded unless told otherwise";
  EXPECT_EQ(parse({"x", "--ignore-inhibitors"}, options), OptionsOutcome::kRun);
  EXPECT_TRUE(options.ignore_inhibitors);
}

// In the child of the test below: the keys it exits with, and where it says whether they were
// wiped by then. Read by an exit handler, which std::exit runs after the way out's own steps.
KeySet* exiting_keys = nullptr;
int exit_report = -1;

void report_keys_at_exit() {
  bool wiped = true;
  for (const NamedKey& entry : exiting_keys->keys) {
    wiped = wiped && std::all_of(entry.key.bytes.begin(), entry.key.bytes.end(),
                                 [](unsigned char byte) { return byte == 0; });
  }
  const char verdict = wiped ? 'w' : 'k';
  static_cast<void>(write(exit_report, &verdict, 1));
}

// Every way out that ends the process at once wipes the keys before it does.
TEST(Termination, SigtermSigintAndTheFatalExitWipeTheKeys) {
  for (const int way : {SIGTERM, SIGINT, 0}) {
    std::array<int, 2> pipe_fds{};
    ASSERT_EQ(pipe(pipe_fds.data()), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      setlogmask(LOG_MASK(LOG_DEBUG));  // no line reaches this machine's log
      static KeySet keys;
      keys.keys.push_back(NamedKey{"a", "id", Key{}});
      keys.keys.front().key.bytes.fill(0x5a);
      exiting_keys = &keys;
      exit_report = pipe_fds[1];
      static_cast<void>(std::atexit(report_keys_at_exit));
      install_termination_handling();
      wipe_at_exit(keys);
      if (way == 0) {
        fatal_exit("no port");
      }
      static_cast<void>(raise(way));
      exit_if_terminated();
      _exit(99);
    }
    close(pipe_fds[1]);
    char verdict = '?';
    EXPECT_EQ(read(pipe_fds[0], &verdict, 1), 1) << way;
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(verdict, 'w') << way;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (way == 0 ? 1 : 0)) << way;
  }
}

TEST(Settings, LongAndShortFormsSetTheirSettings) {
  Settings options;
  EXPECT_EQ(parse({"--background", "--pidfile", "/run/a.pid", "--port=1234"}, options),
            OptionsOutcome::kRun);
  EXPECT_TRUE(options.background);
  EXPECT_EQ(options.port, 1234);
  EXPECT_EQ(options.pid_file_path, "/run/a.pid");

  Settings short_options;
  EXPECT_EQ(parse({"-D", "-p", "99", "--pidfile=/x"}, short_options), OptionsOutcome::kRun);
  EXPECT_TRUE(short_options.background);
  EXPECT_EQ(short_options.port, 99);
  EXPECT_EQ(short_options.pid_file_path, "/x");
}

TEST(Settings, PortWithoutEqualsSignKeepsThePortAndTheWordIsIgnored) {
  Settings options;
  EXPECT_EQ(parse({"--port", "1234"}, options), OptionsOutcome::kRun);
  EXPECT_EQ(options.port, 9);
}

TEST(Settings, LaterOccurrencesOverrideEarlierOnes) {
  Settings options;
  EXPECT_EQ(parse({"-p", "7", "--pidfile", "a", "-p", "9", "--pidfile", "b"}, options),
            OptionsOutcome::kRun);
  EXPECT_EQ(options.port, 9);
  EXPECT_EQ(options.pid_file_path, "b");
}

TEST(Settings, HelpStopsReadingAtOnce) {
  Settings options;
  EXPECT_EQ(parse({"-h", "-x", "-p", "0"}, options), OptionsOutcome::kHelp);
  EXPECT_EQ(parse({"-x", "-h"}, options), OptionsOutcome::kInvalidOption);
  EXPECT_EQ(parse({"-p", "0", "-h"}, options), OptionsOutcome::kInvalidPort);
}

TEST(Settings, MissingArgumentsAndUnknownOptionsAreInvalid) {
  for (const char* word :
       {"-p", "--pidfile", "--key-file", "--sleep", "-q", "--porty", "--help=yes"}) {
    Settings options;
    EXPECT_EQ(parse({word}, options), OptionsOutcome::kInvalidOption) << word;
  }
}

TEST(Settings, NonOptionWordsAreIgnoredWhereverTheyStandWhateverTheEnvironment) {
  struct Row {
    std::vector<std::string> words;
    OptionsOutcome outcome;
    int port;
    bool background;
  };
  const std::vector<Row> rows = {
      {{"stray", "-p", "0"}, OptionsOutcome::kInvalidPort, 9, false},
      {{"stray", "-x"}, OptionsOutcome::kInvalidOption, 9, false},
      {{"stray", "-h"}, OptionsOutcome::kHelp, 9, false},
      {{"a", "-p", "80", "b", "-D", "c"}, OptionsOutcome::kRun, 80, true},
      {{"--port", "86", "-D"}, OptionsOutcome::kRun, 9, true},
      {{"-", "-D"}, OptionsOutcome::kRun, 9, true},
      {{"--", "-p", "0"}, OptionsOutcome::kRun, 9, false},  // "--" ends the options
  };
  // glibc's parser stops at the first non-option word when POSIXLY_CORRECT is set.
  for (const bool posixly_correct : {false, true}) {
    if (posixly_correct) {
      ASSERT_EQ(setenv("POSIXLY_CORRECT", "1", 1), 0);
    }
    for (const Row& row : rows) {
      Settings options;
      EXPECT_EQ(parse(row.words, options), row.outcome) << row.words.front() << posixly_correct;
      if (row.outcome == OptionsOutcome::kRun) {
        EXPECT_EQ(options.port, row.port) << row.words.front() << posixly_correct;
        EXPECT_EQ(options.background, row.background) << row.words.front() << posixly_correct;
      }
    }
  }
  ASSERT_EQ(unsetenv("POSIXLY_CORRECT"), 0);
}

// Only the sleep operations that systemctl offers, spelled exactly as systemctl spells them
// (each of them is run end to end), and nothing that merely begins like one.
TEST(Settings, SleepRefusesAnythingButTheVerbsOfSystemctl) {
  for (const char* verb : {"", "Hibernate", "hibernate ", "poweroff", "suspend;reboot", "sleep"}) {
    Settings options;
    EXPECT_EQ(parse({"--sleep", verb}, options), OptionsOutcome::kInvalidSleepVerb) << verb;
  }
}

TEST(PortFromText, ConvertsLikeBaseTenUpToTheFirstNonDigit) {
  EXPECT_EQ(port_from_text("80x"), 80);
  EXPECT_EQ(port_from_text("+80"), 80);
  EXPECT_EQ(port_from_text("  \t80"), 80);
  EXPECT_EQ(port_from_text("1"), 1);
  EXPECT_EQ(port_from_text("65535"), 65535);
  EXPECT_EQ(port_from_text("008"), 8);
}

TEST(PortFromText, RefusesZeroNegativeTooLargeAndOverflowingValues) {
  for (const char* text : {"0", "", "abc", "x80", "-5", "65536", "4294967305", "4294967296",
                           "-4294967287", "99999999999999999999999", "- 80"}) {
    EXPECT_EQ(port_from_text(text), -1) << text;
  }
}

// The daemon's loop over turns of the boot clock, as (second, datagrams): each datagram is a
// turn of its own, and a second without one is a turn whose receive timed out. Every turn
// first takes the count held back; each datagram then asks the budget for its line.
struct BudgetRun {
  std::map<std::uint32_t, int> logged;                  // lines let through, by second
  std::vector<std::pair<std::uint32_t, long>> reports;  // (second, count) of each report
};

BudgetRun run_budget(const std::vector<std::pair<std::uint32_t, int>>& turns) {
  BudgetRun run;
  LogBudget budget;
  for (const auto& [second, datagrams] : turns) {
    for (int turn = 0; turn < std::max(datagrams, 1); ++turn) {
      if (const long held = take_held_back(budget, second); held > 0) {
        run.reports.emplace_back(second, held);
      }
      if (datagrams > 0 && within_budget(budget, second)) {
        ++run.logged[second];
      }
    }
  }
  return run;
}

TEST(LogBudget, LetsTenLinesASecondThroughAndReportsTheRestOnceInALaterSecond) {
  // A flood, a few lines, a flood after a quiet gap, a quiet turn, and floods in seconds
  // that follow one another.
  const BudgetRun run =
      run_budget({{100, 25}, {101, 3}, {105, 12}, {106, 0}, {300, 10}, {301, 11}, {302, 0}});
  const std::map<std::uint32_t, int> logged = {
      {100, 10}, {101, 3}, {105, 10}, {300, 10}, {301, 10}};
  EXPECT_EQ(run.logged, logged);
  const std::vector<std::pair<std::uint32_t, long>> reports = {{101, 15}, {106, 2}, {302, 1}};
  EXPECT_EQ(run.reports, reports);
}

}  // namespace

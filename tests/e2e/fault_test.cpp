// The daemon driven into its failure paths: unreachable peers, a stalled log, signals under
// load, process creation refused, and a wall clock that jumps.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "e2e/daemon_test.h"

namespace lmrtest {
namespace {

using Faults = DaemonTest;

// Sends payload to 127.0.0.1:port from 192.0.2.7 (a documentation address, unrouted here,
// so that no reply can reach it) and source_port, through a raw socket.
void send_from_unreachable_source(std::uint16_t port, std::string_view payload,
                                  std::uint16_t source_port) {
  const int fd = open_forging_socket();
  ASSERT_NE(fd, -1);
  EXPECT_TRUE(send_forged(fd, payload, "192.0.2.7", source_port, "127.0.0.1", port));
  close(fd);
}

// A datagram from port 0 is dropped before anything else; an owner that no reply can reach
// still gets its session, and each failed send is logged with the peer and the error.
TEST_F(Faults, UnreachableOwnerGetsSendFailedAndTheSessionIsOpenAllTheSame) {
  Process& server = start_serving(port_);
  send_from_unreachable_source(port_, "EHLO\n", 0);
  ASSERT_TRUE(log_->wait_for("Datagram from port 0; Dropping packet from 192.0.2.7:0", 3s));
  send_from_unreachable_source(port_, "EHLO\n", 7);
  ASSERT_TRUE(log_->wait_for("Session started for client 192.0.2.7:7", 3s));
  const std::string failed = "Send failed to client 192.0.2.7:7: Network is unreachable";
  EXPECT_TRUE(log_->wait_for(failed, 2s));
  expect_logged_once(failed, LOG_WARNING, server.pid());
  UdpPeer b;
  EXPECT_EQ(ask(b, "EHLO\n"), "LOCKED\n") << "the session is open although START was lost";
  // Its END cannot be delivered either; the session ends all the same and serving goes on.
  ASSERT_TRUE(log_->wait_for("Session ended for client 192.0.2.7:7", 8s));
  EXPECT_TRUE(log_->wait_for(failed, 2s, 2));
  EXPECT_EQ(ask(b, "EHLO\n"), "START\n");
}

TEST_F(Faults, StalledLogDuringAFloodLosesNothingButQueuedDatagrams) {
  Process& server = start_serving(port_);
  UdpPeer owner;
  UdpPeer junk;
  ASSERT_EQ(ask(owner, "EHLO\n"), "START\n");
  ASSERT_TRUE(log_->wait_for("Session started for client " + owner.identity(), 2s));
  const std::size_t before = log_->received();
  log_->stall(true);
  constexpr int kJunk = 10'000;
  for (int i = 0; i < kJunk; ++i) {
    junk.send("junk " + std::to_string(i), port_);
  }
  std::this_thread::sleep_for(2s);
  log_->stall(false);
  const auto answer = ask(owner, "QUIT\n", 6s);
  const bool quit_answered = answer == "OK\n";
  // Either the QUIT got through and the daemon stopped, or it was lost in the overflowing
  // queue or came after the window, and the session ended as usual.
  if (quit_answered) {
    EXPECT_EQ(exit_status(5s), 0);
    EXPECT_TRUE(log_->wait_for(kQuitting, 2s));
    EXPECT_EQ(log_->count(kQuitting), 1U);
  } else {
    EXPECT_EQ(answer.has_value() ? answer : owner.receive(8s), "END\n");
    EXPECT_TRUE(server.running());
    EXPECT_EQ(log_->count(kQuitting), 0U);
  }
  std::this_thread::sleep_for(200ms);
  const std::size_t warnings =
      log_->count("Unexpected client data; Dropping packet from " + junk.identity()) +
      log_->count("No acitve session; Dropping packet from " + junk.identity());
  EXPECT_LE(warnings, static_cast<std::size_t>(kJunk)) << "at most one line per datagram";
  EXPECT_GE(log_->received(), before + 1);
  std::printf("[ REPORT   ] junk datagrams logged: %zu of %d; owner commands lost: %d of 1\n",
              warnings, kJunk, quit_answered ? 0 : 1);
}

TEST_F(Faults, SignalAtARandomMomentOfAFloodEndsEveryRoundCleanly) {
  // A fixed seed, so that a failing round can be repeated.
  std::mt19937 random(20261207);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  std::uniform_int_distribution<int> delay_us(0, 20'000);
  constexpr int kRounds = 200;
  int clean = 0;
  for (int round = 0; round < kRounds; ++round) {
    restart_log();
    Process& server = start_serving(port_);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
      UdpPeer junk;
      for (int i = 0; flooding.load() && i < 100'000; ++i) {
        junk.send(i % 3 == 0 ? "EHLO\n" : "junk", port_);
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    const auto sent = std::chrono::steady_clock::now();
    server.signal(round % 2 == 0 ? SIGTERM : SIGINT);
    const auto status = server.wait(3s);
    const auto took = std::chrono::steady_clock::now() - sent;
    flooding.store(false);
    flood.join();
    ASSERT_TRUE(status.has_value()) << "round " << round << " did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "round " << round;
    EXPECT_LT(took, 2s) << "round " << round;
    EXPECT_TRUE(log_->wait_for(kShuttingDown, 2s)) << "round " << round;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log_->count(kShuttingDown), 1U) << "round " << round;
    clean += WIFEXITED(*status) && WEXITSTATUS(*status) == 0 && log_->count(kShuttingDown) == 1;
  }
  EXPECT_EQ(clean, kRounds);
}

// The daemon run under lmr-no-fork: fork, vfork, clone and clone3 all fail.
class WithoutProcessCreation : public DaemonTest {
 protected:
  Process& start_refused(const std::vector<std::string>& args,
                         const std::vector<std::string>& extra_env = {}) {
    std::vector<std::string> wrapped{LMR_SERVER_BINARY};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    // The leak checker needs clone; the other checks stay on.
    std::vector<std::string> env{"ASAN_OPTIONS=detect_leaks=0:log_path=" +
                                 (dir_ / "sanitizer").string()};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    return start_program(LMR_NO_FORK, wrapped, env);
  }
};

TEST_F(WithoutProcessCreation, BackgroundModeGivesErrorForking) {
  Process& server = start_refused({"-D", "-p", std::to_string(port_)});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error forking", LOG_ERR, server.pid());
  EXPECT_FALSE(udp_port_bound(port_));
}

TEST_F(WithoutProcessCreation, SuspendIsReportedAsFailedAndServingGoesOn) {
  Process& server = start_refused({"-p", std::to_string(port_)});
  ASSERT_TRUE(wait_until_bound(port_, 5s));
  UdpPeer owner;
  ASSERT_EQ(ask(owner, "EHLO\n"), "START\n");
  EXPECT_EQ(ask(owner, "SUSPEND\n"), "OK\n");
  expect_logged_once("Failed to execute systemctl suspend", LOG_WARNING, server.pid());
  EXPECT_EQ(systemctl_calls(), "");
  EXPECT_EQ(ask(owner, "QUIT\n"), "OK\n");
  EXPECT_EQ(exit_status(), 0);
}

// The daemon run with libfaketime reading its offset from a file that the test rewrites.
class SteppedClock : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    // A skip or a failure there only returns from that function: stop here too.
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
#ifdef LMR_SANITIZED
    GTEST_SKIP() << "libfaketime and AddressSanitizer do not share a process";
#endif
    if (!std::filesystem::exists(kLibFaketime)) {
      if (geteuid() == 0) {
        FAIL() << "missing " << kLibFaketime << " (apt-get install faketime)";
      }
      GTEST_SKIP() << "needs Debian's faketime package";
    }
    step_to("+0");
    start_serving(port_, {},
                  {"LD_PRELOAD=" + std::string(kLibFaketime),
                   "FAKETIME_TIMESTAMP_FILE=" + (dir_ / "faketime").string(), "FAKETIME_NO_CACHE=1",
                   "FAKETIME_DONT_FAKE_MONOTONIC=1"});
  }

  void step_to(const std::string& offset) const {
    std::ofstream(dir_ / "faketime") << offset << "\n";
  }

  static constexpr const char* kLibFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
};

TEST_F(SteppedClock, BackwardsPostponesTheEndUntilTheClockHasPassedTheStartAgain) {
  UdpPeer owner;
  ASSERT_EQ(ask(owner, "EHLO\n"), "START\n");
  step_to("-3600");
  EXPECT_EQ(owner.receive(7s), std::nullopt) << "the window is measured on the wall clock";
  // Back to the real time: by now more than four seconds have passed since the start.
  step_to("+0");
  const auto stepped = std::chrono::steady_clock::now();
  EXPECT_EQ(owner.receive(3s), "END\n");
  EXPECT_LT(std::chrono::steady_clock::now() - stepped, 1500ms);
}

TEST_F(SteppedClock, ForwardsEndsTheSessionAtTheNextTurn) {
  UdpPeer owner;
  ASSERT_EQ(ask(owner, "EHLO\n"), "START\n");
  const auto opened = std::chrono::steady_clock::now();
  step_to("+3600");
  EXPECT_EQ(owner.receive(3s), "END\n");
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 1500ms);
}

}  // namespace
}  // namespace lmrtest

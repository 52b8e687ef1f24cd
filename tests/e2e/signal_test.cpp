// Termination signals and start-up failures: how the daemon ends, and what it leaves said.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

#include "e2e/daemon_test.h"

namespace lmrtest {
namespace {

using Ending = DaemonTest;

// Sends signal_number and checks the daemon ends with status 0 within limit, after exactly
// one line that says so, which is its last.
void expect_clean_termination(Process& server, int signal_number, std::chrono::milliseconds limit,
                              SyslogSink& log) {
  const auto sent = std::chrono::steady_clock::now();
  server.signal(signal_number);
  const auto status = server.wait(limit + 1s);
  ASSERT_TRUE(status.has_value()) << "still running";
  EXPECT_LT(std::chrono::steady_clock::now() - sent, limit);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  ASSERT_TRUE(log.wait_for(kShuttingDown, 1s));
  EXPECT_EQ(log.count(kShuttingDown), 1U);
  EXPECT_EQ(log.entries().back().text, kShuttingDown);
  EXPECT_EQ(log.entries().back().severity, LOG_INFO);
}

TEST_F(Ending, SigtermOrSigintWhileWaitingEndsWithStatusZero) {
  // Also when a launcher hands the daemon a signal mask with both blocked.
  for (const bool blocked : {false, true}) {
    for (const int signal_number : {SIGTERM, SIGINT}) {
      restart_log();
      const std::string port = std::to_string(port_);
      Process& server = blocked ? start_program("/usr/bin/env", {"--block-signal=TERM,INT",
                                                                 LMR_SERVER_BINARY, "-p", port})
                                : start_server({"-p", port});
      ASSERT_TRUE(wait_until_bound(port_, 5s)) << "blocked: " << blocked;
      expect_clean_termination(server, signal_number, 1500ms, *log_);
    }
  }
}

TEST_F(Ending, SignalEndsTheDaemonWhileTheSuspendCommandHangs) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    restart_log();
    Process& server = start_serving(port_, {}, {systemctl_sleeps(30)});
    UdpPeer a;
    ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
    ASSERT_EQ(ask(a, "SUSPEND\n"), "OK\n");
    ASSERT_TRUE(log_->wait_for(kSuspending, 2s));
    std::this_thread::sleep_for(300ms);  // let the command start
    expect_clean_termination(server, signal_number, 1500ms, *log_);
  }
}

// Nobody shares the daemon's port: not a socket that holds it, whether or not it asked for
// address reuse (a local user's would), and not a second daemon started on it by mistake.
TEST_F(Ending, PortTakenGivesErrorBindingAndStatusOneAndNoOneSharesTheDaemonsPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  const auto holder = [&](int reuse) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    return std::pair{fd, bound};
  };
  for (const int reuse : {0, 1}) {
    const auto [fd, bound] = holder(reuse);
    ASSERT_TRUE(bound) << reuse;
    restart_log();
    Process& server = start_server({"-p", std::to_string(port_)});
    EXPECT_EQ(exit_status(), 1) << reuse;
    expect_logged_once(kStarting, LOG_INFO, server.pid());
    expect_logged_once("Error binding", LOG_ERR, server.pid());
    EXPECT_EQ(log_->entries().back().text, "Error binding");
    EXPECT_EQ(server.standard_error(), "") << "the log has it";
    // Without a system log, standard error says it too, with the cause.
    log_.reset();
    start_server({"-p", std::to_string(port_)});
    EXPECT_EQ(exit_status(), 1) << reuse;
    EXPECT_EQ(server_->standard_error(), "Error binding: Address already in use\n");
    close(fd);
  }

  restart_log();
  start_serving(port_);
  const std::unique_ptr<Process> first = std::move(server_);
  const auto [fd, bound] = holder(1);
  EXPECT_FALSE(bound) << "a socket with SO_REUSEADDR joined the daemon's port";
  close(fd);
  Process& second = start_server({"-p", std::to_string(port_)});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error binding", LOG_ERR, second.pid());
  UdpPeer client;
  EXPECT_EQ(ask(client, "EHLO\n"), "START\n") << "the first daemon must go on serving";
  EXPECT_TRUE(first->running());
}

// With --ipv6 the IPv6 socket is as needed as the IPv4 one: a port held there ends start-up.
TEST_F(Ending, Ipv6PortHeldElsewhereGivesErrorBindingIpv6Socket) {
  const UdpPeer holder("::1", port_);
  Process& server = start_server({"-p", std::to_string(port_), "--ipv6"});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error binding IPv6 socket", LOG_ERR, server.pid());
  EXPECT_EQ(log_->entries().back().text, "Error binding IPv6 socket");
}

TEST_F(Ending, PrivilegedPortWithoutPrivilegeGivesErrorBinding) {
  constexpr uid_t kNobody = 65534;
  Process& server = start_server({}, {}, kNobody);
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error binding", LOG_ERR, server.pid());
}

}  // namespace
}  // namespace lmrtest

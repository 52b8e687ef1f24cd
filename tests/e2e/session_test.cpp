// The session protocol over the wire: replies, log lines, the window, suspend and quit.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/daemon_test.h"

namespace lmrtest {
namespace {

using Session = DaemonTest;
// The tests that make sense over IPv6 too run over ::1 as well, the daemon with --ipv6.
using SessionOverIp = OverEachFamily<DaemonTest>;
INSTANTIATE_TEST_SUITE_P(Family, SessionOverIp, kBothFamilies, family_name);

std::string started(const UdpPeer& peer) { return "Session started for client " + peer.identity(); }
std::string locked(const UdpPeer& peer) {
  return "Session locked in response to client " + peer.identity();
}
std::string ended(const UdpPeer& peer) { return "Session ended for client " + peer.identity(); }
std::string no_session(const UdpPeer& peer) {
  return "No acitve session; Dropping packet from " + peer.identity();
}
std::string unexpected(const UdpPeer& peer) {
  return "Unexpected client data; Dropping packet from " + peer.identity();
}

TEST_P(SessionOverIp, FirstEhloStartsAndEveryLaterEhloIsLocked) {
  Process& server = start_serving(port_);
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  EXPECT_EQ(ask(a, "EHLO\n"), "START\n");
  expect_logged_once(started(a), LOG_INFO, server.pid());
  EXPECT_EQ(ask(b, "EHLO\n"), "LOCKED\n");
  expect_logged_once(locked(b), LOG_INFO, server.pid());
  EXPECT_EQ(ask(a, "EHLO\n"), "LOCKED\n") << "the owner cannot reopen its session early";
  expect_logged_once(locked(a), LOG_INFO, server.pid());
}

// Connects peer to address:port (either family), so that it hears nothing from anywhere else,
// as a client that checks where its answer comes from.
void hear_only(const UdpPeer& peer, const std::string& address, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  ASSERT_EQ(getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found), 0);
  const int connected = connect(peer.fd(), found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  ASSERT_EQ(connected, 0) << address;
}

// The request SIOCSIFADDR takes for an IPv6 address (the kernel's struct in6_ifreq).
struct Ipv6AddressRequest {
  in6_addr address;
  std::uint32_t prefix_length;
  int interface;
};

// Gives loopback in the test's own namespace one more IPv6 address, and waits until it is in
// use (a tentative address, still under duplicate address detection, takes no datagrams and
// cannot be bound); false when it cannot.
bool add_loopback_address(const std::string& address) {
  Ipv6AddressRequest request{};
  request.prefix_length = 128;
  request.interface = static_cast<int>(if_nametoindex("lo"));
  const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool usable = fd != -1 && inet_pton(AF_INET6, address.c_str(), &request.address) == 1 &&
                ioctl(fd, SIOCSIFADDR, &request) == 0;
  sockaddr_in6 own{};
  own.sin6_family = AF_INET6;
  own.sin6_addr = request.address;
  for (int tries = 0; usable && tries < 100; ++tries) {
    if (bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own) == 0) {
      break;
    }
    usable = tries < 99;
    std::this_thread::sleep_for(20ms);
  }
  close(fd);
  return usable;
}

TEST_P(SessionOverIp, EveryReplyComesFromTheAddressTheClientSentTo) {
  start_serving(port_);
  // Both are this host's addresses, but a reply routed by the kernel alone would leave from
  // the loopback address, where the clients sit. Over IPv6 the test gives loopback two more.
  const std::string first = ipv6_ ? "2001:db8::2" : "127.0.0.2";
  const std::string second = ipv6_ ? "2001:db8::3" : "127.0.0.3";
  if (ipv6_) {
    ASSERT_TRUE(add_loopback_address(first) && add_loopback_address(second))
        << std::strerror(errno);
  }
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  hear_only(a, first, port_);
  hear_only(b, second, port_);
  ASSERT_TRUE(a.send("EHLO\n", port_, first));
  EXPECT_EQ(a.receive(2s), "START\n");
  ASSERT_TRUE(b.send("EHLO\n", port_, second));
  EXPECT_EQ(b.receive(2s), "LOCKED\n");
  ASSERT_TRUE(a.send("SUSPEND\n", port_, first));
  EXPECT_EQ(a.receive(2s), "OK\n");
  // END leaves from where the owner's EHLO went, whatever came in since.
  EXPECT_EQ(a.receive(8s), "END\n");
  EXPECT_EQ(b.receive(200ms), std::nullopt);
}

TEST_P(SessionOverIp, EndsAfterItsWindowWithEndToTheOwnerOnly) {
  Process& server = start_serving(port_);
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  const auto opened = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  // Traffic in the window does not lengthen it.
  ASSERT_EQ(ask(a, "EHLO\n"), "LOCKED\n");
  ASSERT_EQ(ask(b, "EHLO\n"), "LOCKED\n");
  EXPECT_EQ(a.receive(8s), "END\n");
  const auto lasted = std::chrono::steady_clock::now() - opened;
  EXPECT_GT(lasted, 4s);
  EXPECT_LT(lasted, 7s);
  expect_logged_once(ended(a), LOG_INFO, server.pid());
  EXPECT_EQ(b.receive(200ms), std::nullopt) << "END goes to the owner alone";
  // The session is over: anyone may open the next one.
  EXPECT_EQ(ask(b, "EHLO\n"), "START\n");
}

TEST_P(SessionOverIp, OwnersSuspendGetsOkBeforeTheCommandAndKeepsTheSession) {
  Process& server = start_serving(port_, {}, {systemctl_sleeps(2)});
  UdpPeer a(loopback());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(a, "SUSPEND\n"), "OK\n");
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << "OK must not wait for the command";
  expect_logged_once(kSuspending, LOG_INFO, server.pid());
  // Datagrams that arrive while the command runs wait their turn.
  EXPECT_EQ(ask(a, "EHLO\n", 4s), "LOCKED\n");
  EXPECT_EQ(systemctl_calls(), "suspend\n");
  EXPECT_EQ(a.receive(6s), "END\n");
  EXPECT_EQ(log_->count("Failed to execute systemctl suspend"), 0U);
}

TEST_F(Session, OwnersSuspendRunsSystemctlWithTheChosenVerb) {
  struct Row {
    std::string verb;
    bool can_run;  // false: no systemctl on PATH, so the warning names what did not run
  };
  for (const Row& row : {Row{"hibernate", true}, Row{"hybrid-sleep", true},
                         Row{"suspend-then-hibernate", true}, Row{"hibernate", false}}) {
    restart_log();
    std::filesystem::remove(dir_ / "systemctl.calls");
    Process& server = start_serving(
        port_, {"--sleep=" + row.verb},
        row.can_run ? std::vector<std::string>{} : std::vector<std::string>{"PATH=/nonexistent"});
    UdpPeer a;
    ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
    EXPECT_EQ(ask(a, "SUSPEND\n"), "OK\n");
    expect_logged_once(kSuspending, LOG_INFO, server.pid());
    EXPECT_EQ(ask(a, "QUIT\n", 3s), "OK\n");  // answered once the command has ended
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(systemctl_calls(), row.can_run ? row.verb + "\n" : "") << row.verb;
    // The reply can overtake the log line, which the sink reads on a thread of its own.
    if (!row.can_run) {
      EXPECT_TRUE(log_->wait_for("Failed to execute systemctl " + row.verb, 2s));
    }
    EXPECT_EQ(log_->count("Failed to execute systemctl " + row.verb), row.can_run ? 0U : 1U);
  }
}

TEST_P(SessionOverIp, OwnersQuitGetsOkAndEndsTheDaemonWithStatusZero) {
  Process& server = start_serving(port_);
  UdpPeer a(loopback());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  EXPECT_EQ(ask(a, "QUIT\n"), "OK\n");
  EXPECT_EQ(exit_status(), 0);
  expect_logged_once(kQuitting, LOG_INFO, server.pid());
  EXPECT_EQ(log_->entries().back().text, kQuitting);
  EXPECT_EQ(systemctl_calls(), "");
}

TEST_P(SessionOverIp, CommandsFromAnyoneButTheOwnerAreDroppedWithAWarning) {
  Process& server = start_serving(port_);
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  // The same host from another port is another client.
  UdpPeer a_other_port(loopback());
  EXPECT_EQ(ask(a, "SUSPEND\n", 300ms), std::nullopt);
  expect_logged_once(no_session(a), LOG_WARNING, server.pid());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  EXPECT_EQ(ask(b, "SUSPEND\n", 300ms), std::nullopt);
  expect_logged_once(unexpected(b), LOG_WARNING, server.pid());
  EXPECT_EQ(ask(a_other_port, "QUIT\n", 300ms), std::nullopt);
  expect_logged_once(unexpected(a_other_port), LOG_WARNING, server.pid());
  EXPECT_TRUE(server.running());
  EXPECT_EQ(systemctl_calls(), "");
  EXPECT_EQ(log_->count(kSuspending) + log_->count(kQuitting), 0U);
}

TEST_P(SessionOverIp, OwnersOtherDataIsIgnoredSilentlyAndTextEndsAtTheFirstNul) {
  start_serving(port_);
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  ASSERT_TRUE(log_->wait_for(started(a), 2s));
  const std::size_t lines = log_->received();
  for (const std::string& text :
       std::initializer_list<std::string>{"EHLO", "EHLO\r\n", "ehlo\n", "SUSPEND", "suspend\n",
                                          "QUIT\n\n", "EHLO\nX", "", std::string("\0QUIT\n", 6)}) {
    EXPECT_EQ(ask(a, text, 150ms), std::nullopt) << text;
  }
  EXPECT_EQ(log_->received(), lines) << "the owner's other data is not logged";
  EXPECT_EQ(ask(b, std::string("EHLO\n\0junk", 10)), "LOCKED\n");
  EXPECT_EQ(ask(a, std::string("QUIT\n\0\1\2", 8)), "OK\n");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Session, DatagramsOfEverySizeAndFloodsDoNotDisturbTheOwner) {
  Process& server = start_serving(port_);
  UdpPeer junk;
  for (const std::size_t size : {0UL, 1UL, 1023UL, 1024UL, 65507UL}) {
    EXPECT_TRUE(junk.send(std::string(size, '\xff'), port_)) << size;
  }
  ASSERT_TRUE(log_->wait_for(no_session(junk), 3s, 5));
  UdpPeer a;
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  std::string bytes(512, '\0');
  for (int i = 0; i < 2000; ++i) {
    bytes[static_cast<std::size_t>(i) % bytes.size()] = static_cast<char>(i * 7);
    junk.send(std::string_view(bytes).substr(0, static_cast<std::size_t>(i) % bytes.size()), port_);
  }
  // The flood may overflow the socket's queue and take the owner's datagram with it, as
  // on any UDP service; a client repeats itself until it is answered.
  std::optional<std::string> answer;
  for (int attempt = 0; attempt < 20 && !answer; ++attempt) {
    answer = ask(a, "QUIT\n", 500ms);
  }
  EXPECT_EQ(answer, "OK\n");
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(junk.receive(100ms), std::nullopt) << "junk is never answered";
  EXPECT_LE(log_->count(unexpected(junk)), 2000U) << "at most one line per datagram";
  EXPECT_EQ(log_->count(unexpected(a)), 0U);
  (void)server;
}

TEST_F(Session, SuspendCommandThatCannotRunIsReportedAndServingGoesOn) {
  // No systemctl anywhere on PATH: the shell exits with 127.
  Process& server = start_serving(port_, {}, {"PATH=/nonexistent"});
  UdpPeer a;
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  EXPECT_EQ(ask(a, "SUSPEND\n"), "OK\n");
  expect_logged_once("Failed to execute systemctl suspend", LOG_WARNING, server.pid());
  EXPECT_EQ(ask(a, "QUIT\n"), "OK\n");
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(Session, SuspendCommandFailingOnItsOwnIsNotReported) {
  start_serving(port_, {}, {"LMR_FAKE_SYSTEMCTL_STATUS=1"});
  UdpPeer a;
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  EXPECT_EQ(ask(a, "SUSPEND\n"), "OK\n");
  EXPECT_EQ(ask(a, "QUIT\n"), "OK\n");
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(systemctl_calls(), "suspend\n");
  EXPECT_EQ(log_->count("Failed to execute systemctl suspend"), 0U);
}

TEST_P(SessionOverIp, SuspendCommandInheritsNoSocketOfTheDaemon) {
  start_serving(port_, {},
                {"LMR_FAKE_SYSTEMCTL_FDS=" + (dir_ / "fds").string(), "NOTIFY_SOCKET=@lmr-e2e"});
  UdpPeer a(loopback());
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  ASSERT_EQ(ask(a, "SUSPEND\n"), "OK\n");
  ASSERT_EQ(ask(a, "QUIT\n", 3s), "OK\n");
  // Its end is waited for: a daemon still ending (a sanitized one checks for leaks then) is
  // not killed under it.
  EXPECT_EQ(exit_status(), 0);
  // Nothing listens at NOTIFY_SOCKET: the daemon serves all the same and says so once.
  EXPECT_EQ(log_->count("Failed to notify the service manager"), 1U);
  const std::string fds = read_file(dir_ / "fds");
  ASSERT_FALSE(fds.empty());
  EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
}

// A service manager's notification socket in the abstract namespace, whose queue a filler
// socket can fill with one-byte datagrams.
class NotifyReceiver {
 public:
  NotifyReceiver() {
    address_.sun_family = AF_UNIX;
    kName.copy(address_.sun_path + 1, kName.size());
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + kName.size());
    ok_ = socket_ != -1 && filler_ != -1 &&
          bind(socket_, reinterpret_cast<const sockaddr*>(&address_), length_) == 0;
  }
  ~NotifyReceiver() {
    close(socket_);
    close(filler_);
  }
  NotifyReceiver(const NotifyReceiver&) = delete;
  NotifyReceiver& operator=(const NotifyReceiver&) = delete;

  bool ok() const { return ok_; }
  static std::string variable() { return "NOTIFY_SOCKET=@" + std::string(kName); }

  /// Sends filler datagrams until the queue takes no more; true if it is full now.
  bool fill() const {
    while (sendto(filler_, "x", 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address_),
                  length_) == 1) {
    }
    return errno == EAGAIN;
  }

  /// Reads what is queued, fillers and notifications, up to the first notification that
  /// starts with wanted, and returns that; empty if none comes within timeout.
  std::string read_until(std::string_view wanted, std::chrono::milliseconds timeout) const {
    pollfd ready{.fd = socket_, .events = POLLIN, .revents = 0};
    std::array<char, 4096> buffer{};
    while (poll(&ready, 1, static_cast<int>(timeout.count())) == 1) {
      const ssize_t size = recv(socket_, buffer.data(), buffer.size(), 0);
      if (size <= 0) {
        break;
      }
      std::string text(buffer.data(), static_cast<std::size_t>(size));
      if (text.starts_with(wanted)) {
        return text;
      }
    }
    return {};
  }

 private:
  static constexpr std::string_view kName = "lmr-e2e-manager";
  int socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int filler_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address_{};
  socklen_t length_ = 0;
  bool ok_ = false;
};

TEST_F(Session, ReadinessAndStoppingWaitForRoomInTheManagersFullQueue) {
  NotifyReceiver manager;
  ASSERT_TRUE(manager.ok());
  ASSERT_TRUE(manager.fill());
  Process& server = start_serving(port_, {}, {NotifyReceiver::variable()});
  // The port is bound just before readiness is sent: give the daemon time to meet the full
  // queue before the manager reads.
  std::this_thread::sleep_for(300ms);
  const std::string ready = "READY=1\nMAINPID=" + std::to_string(server.pid());
  EXPECT_EQ(manager.read_until(ready, 3s), ready);
  UdpPeer a;
  ASSERT_EQ(ask(a, "EHLO\n"), "START\n");
  ASSERT_TRUE(manager.fill());
  EXPECT_EQ(ask(a, "QUIT\n"), "OK\n");
  EXPECT_EQ(server.wait(300ms), std::nullopt) << "the daemon ended without waiting";
  EXPECT_EQ(manager.read_until("STOPPING=1", 3s), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(exit_status(), 0);
}

}  // namespace
}  // namespace lmrtest

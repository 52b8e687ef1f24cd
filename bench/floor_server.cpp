// lomarind-floor: the least a server can do to answer as the daemon does. It receives a
// datagram, writes one log line naming the sender, and sends the reply, with the same socket
// options, the same log channel and the same session window as the daemon, and nothing
// else. The benchmark runs it beside the daemon, so that the daemon's figures can be read
// against the cost of those system calls alone.
//
// Usage: lomarind-floor -p PORT
//
// It uses the C library only, so that it loads no more than those calls need.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The session ends at the first turn at which the clock has moved on by more than this.
constexpr std::time_t kSessionSeconds = 4;
constexpr std::size_t kMaxDatagram = 1023;

void reply(int fd, const char* text, const sockaddr_in& to) {
  if (sendto(fd, text, std::strlen(text), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
      -1) {
    syslog(LOG_WARNING, "Send failed");
  }
}

bool same_client(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int port = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 9;
  openlog("lmr", LOG_CONS | LOG_PID, LOG_DAEMON);
  syslog(LOG_INFO, "Starting Lomarind...");

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int reuse = 1;
  const timeval timeout{1, 0};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == -1 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    syslog(LOG_ERR, "Error binding");
    return 1;
  }

  std::array<char, kMaxDatagram + 1> buffer{};
  sockaddr_in sender{};
  socklen_t sender_length = sizeof sender;
  bool active = false;
  std::time_t start = 0;
  sockaddr_in owner{};
  for (;;) {
    const ssize_t received = recvfrom(fd, buffer.data(), kMaxDatagram, 0,
                                      reinterpret_cast<sockaddr*>(&sender), &sender_length);
    const std::time_t now = std::time(nullptr);
    if (active && now - start > kSessionSeconds) {
      syslog(LOG_INFO, "Session ended for client %s:%u", inet_ntoa(owner.sin_addr),
             ntohs(owner.sin_port));
      reply(fd, "END\n", owner);
      active = false;
    }
    if (received < 0) {
      continue;
    }
    buffer[static_cast<std::size_t>(received)] = '\0';
    const char* host = inet_ntoa(sender.sin_addr);
    const unsigned source_port = ntohs(sender.sin_port);
    if (std::strcmp(buffer.data(), "EHLO\n") == 0) {
      if (active) {
        syslog(LOG_INFO, "Session locked in response to client %s:%u", host, source_port);
        reply(fd, "LOCKED\n", sender);
      } else {
        active = true;
        start = now;
        owner = sender;
        syslog(LOG_INFO, "Session started for client %s:%u", host, source_port);
        reply(fd, "START\n", sender);
      }
    } else if (!active) {
      syslog(LOG_WARNING, "No acitve session; Dropping packet from %s:%u", host, source_port);
    } else if (!same_client(sender, owner)) {
      syslog(LOG_WARNING, "Unexpected client data; Dropping packet from %s:%u", host, source_port);
    }
  }
}

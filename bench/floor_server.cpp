// lomarind-floor: the least a server can do to answer as the daemon does. It receives a
// datagram with the local address it was sent to, writes one log line naming the sender,
// and sends the reply from that address, with the same socket options, the same log channel
// and the same session window as the daemon, and nothing else. The benchmark runs it beside the
// daemon, so that the daemon's figures can be read against the cost of those system calls alone.
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

// Room for the one control message, aligned as a cmsghdr must be.
struct Control {
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> bytes;
};

ssize_t receive(int fd, char* buffer, sockaddr_in& from, in_addr& local) {
  iovec data{buffer, kMaxDatagram};
  Control control{};
  msghdr header{};
  header.msg_name = &from;
  header.msg_namelen = sizeof from;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  const ssize_t received = recvmsg(fd, &header, 0);
  local.s_addr = htonl(INADDR_ANY);
  for (const cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
       item = CMSG_NXTHDR(&header, const_cast<cmsghdr*>(item))) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      local = info.ipi_spec_dst;
    }
  }
  return received;
}

void reply(int fd, const char* text, const sockaddr_in& to, const in_addr& from) {
  iovec data{const_cast<char*>(text), std::strlen(text)};
  Control control{};
  msghdr header{};
  header.msg_name = const_cast<sockaddr_in*>(&to);
  header.msg_namelen = sizeof to;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.bytes.data();
  header.msg_controllen = control.bytes.size();
  cmsghdr* item = CMSG_FIRSTHDR(&header);
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = from;
  std::memcpy(CMSG_DATA(item), &info, sizeof info);
  if (sendmsg(fd, &header, 0) == -1) {
    syslog(LOG_WARNING, "Send failed");
  }
}

// The lines anyone's datagrams can cause are limited as the daemon limits them: so many a
// second of the boot clock, then one line with the number held back.
constexpr int kLinesPerSecond = 10;
struct Budget {
  time_t second = 0;
  int used = 0;
  long held = 0;
};

bool within(Budget& budget, time_t now) {
  if (now != budget.second) {
    budget.second = now;
    budget.used = 0;
  }
  if (budget.used < kLinesPerSecond) {
    ++budget.used;
    return true;
  }
  ++budget.held;
  return false;
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
  const int reuse = 0;
  const timeval timeout{1, 0};
  const int packet_info = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == -1 ||
      setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &packet_info, sizeof packet_info) == -1 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    syslog(LOG_ERR, "Error binding");
    return 1;
  }

  std::array<char, kMaxDatagram + 1> buffer{};
  sockaddr_in sender{};
  in_addr local{};
  bool active = false;
  std::time_t start = 0;
  sockaddr_in owner{};
  in_addr owner_local{};
  Budget budget;
  for (;;) {
    const ssize_t received = receive(fd, buffer.data(), sender, local);
    const std::time_t now = std::time(nullptr);
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    if (boot.tv_sec != budget.second && budget.held > 0) {
      syslog(LOG_WARNING, "%ld log lines about datagrams held back", budget.held);
      budget.held = 0;
    }
    if (active && now - start > kSessionSeconds) {
      syslog(LOG_INFO, "Session ended for client %s:%u", inet_ntoa(owner.sin_addr),
             ntohs(owner.sin_port));
      reply(fd, "END\n", owner, owner_local);
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
        if (within(budget, boot.tv_sec)) {
          syslog(LOG_INFO, "Session locked in response to client %s:%u", host, source_port);
        }
        reply(fd, "LOCKED\n", sender, local);
      } else {
        active = true;
        start = now;
        owner = sender;
        owner_local = local;
        syslog(LOG_INFO, "Session started for client %s:%u", host, source_port);
        reply(fd, "START\n", sender, local);
      }
    } else if (!active) {
      if (within(budget, boot.tv_sec)) {
        syslog(LOG_WARNING, "No acitve session; Dropping packet from %s:%u", host, source_port);
      }
    } else if (!same_client(sender, owner) && within(budget, boot.tv_sec)) {
      syslog(LOG_WARNING, "Unexpected client data; Dropping packet from %s:%u", host, source_port);
    }
  }
}

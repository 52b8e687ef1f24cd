#include "daemon_readiness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

namespace {

// Ports to suggest instead of one that cannot be had, the first that can be.
constexpr std::array kOtherPorts{9999, 19999, 39999};

// The errno of binding a UDP socket to port on every address, with address reuse off as the
// daemon has it; 0 when the bind succeeds (the socket is closed again at once).
int bind_error(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    return errno;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const int error =
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return error;
}

// "make run PORT=N" for a port that can be had now, to try instead of port.
std::string other_port(int port) {
  for (const int other : kOtherPorts) {
    if (other != port && bind_error(other) == 0) {
      return "make run PORT=" + std::to_string(other);
    }
  }
  return "make run PORT= with another port";
}

// The lowest port that needs no privilege, as the system is set; empty if it cannot be read.
std::string unprivileged_port_start() {
  std::ifstream setting("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  std::string value;
  setting >> value;
  return value;
}

}  // namespace

int open_notify_socket() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd == -1) {
    return -1;
  }
  const auto fail = [fd] {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  };
  // Bound with no name, the socket gets a free one in the abstract namespace: no file to
  // remove, however the trial ends. Anyone may send to it, so each datagram carries its
  // sender's process, which the kernel vouches for, and only the daemon's count. The daemon's
  // status lines do not wait for room in the queue and its last line waits for seconds, so
  // each is read as it comes, on SIGIO, rather than at the trial's next tick.
  const int on = 1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socklen_t length = sizeof address;
  if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == -1 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(sa_family_t)) == -1 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == -1 ||
      fcntl(fd, F_SETOWN, getpid()) == -1 || fcntl(fd, F_SETFL, O_NONBLOCK | O_ASYNC) == -1) {
    return fail();
  }
  // The name: sun_path holds a NUL and then the kernel's characters, which "@" stands for.
  const std::size_t path_length = length - offsetof(sockaddr_un, sun_path);
  if (path_length < 2 ||
      setenv("NOTIFY_SOCKET", ("@" + std::string(address.sun_path + 1, path_length - 1)).c_str(),
             1) == -1) {
    return fail();
  }
  return fd;
}

bool read_ready(int fd, pid_t daemon) {
  bool ready = false;
  for (;;) {
    std::array<char, 4096> buffer{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    const ssize_t size = recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size < 0) {
      return ready;
    }
    const cmsghdr* item = CMSG_FIRSTHDR(&header);
    ucred sender{};
    if (item != nullptr && item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_CREDENTIALS) {
      std::memcpy(&sender, CMSG_DATA(item), sizeof sender);
    }
    const std::string message =
        "\n" + std::string(buffer.data(), static_cast<std::size_t>(size)) + "\n";
    ready = ready || (sender.pid == daemon && message.find("\nREADY=1\n") != std::string::npos);
  }
}

std::string why_port_unusable(int port) {
  const int error = bind_error(port);
  const std::string name = "port " + std::to_string(port);
  if (error == EADDRINUSE) {
    return name + " is taken by another program: try another, e.g. " + other_port(port);
  }
  if (error == EACCES) {
    const std::string start = unprivileged_port_start();
    return name + " needs root" +
           (start.empty() ? "" : " (so does every port below " + start + ")") + ": try " +
           other_port(port) + ", or run the trial as root";
  }
  if (error != 0) {
    return name + " cannot be bound: " + std::strerror(error);
  }
  return {};
}

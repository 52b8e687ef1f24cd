#include "client/wake.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/report.h"
#include "net/exit_status.h"

int open_broadcast_socket() {
  const int fd = broadcast_socket();
  if (fd == -1) {
    (void)std::fprintf(stderr, "lomarind: cannot open a broadcast socket: %s\n",
                       std::strerror(errno));
  }
  return fd;
}

bool send_magic_packet(int fd, const sockaddr_in& destination, const std::string& packet,
                       const std::string& argument, bool quiet) {
  const ssize_t sent = sendto(fd, packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent == static_cast<ssize_t>(packet.size())) {
    return true;
  }
  if (!quiet) {
    (void)std::fprintf(stderr, "lomarind: %s: cannot send the magic packet: %s\n", argument.c_str(),
                       sent < 0 ? std::strerror(errno) : "sent in part");
  }
  return false;
}

int send_wake(const std::vector<Sleeper>& sleepers, in_addr address, std::uint16_t port) {
  const int fd = open_broadcast_socket();
  if (fd == -1) {
    return exit_status::kSilent;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = address;
  destination.sin_port = htons(port);
  int status = exit_status::kDone;
  for (const Sleeper& sleeper : sleepers) {
    if (!send_magic_packet(fd, destination, magic_packet(sleeper.mac), sleeper.argument, false)) {
      status = exit_status::kSilent;
      continue;
    }
    print_line(sleeper.argument + ": magic packet sent");
  }
  close(fd);
  return status;
}

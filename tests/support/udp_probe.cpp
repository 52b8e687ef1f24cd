// lmr-udp-probe PORT: one UDP socket on 127.0.0.1, kept open for as long as a shell script
// needs it, so that a script can open a session with the daemon, give a command from the
// same address and port, and still be there for the END that follows. Each line read from
// standard input goes to 127.0.0.1:PORT as one datagram (the line with its line feed); each
// datagram received is written to standard output as one line: the wall-clock time of its
// arrival in seconds with microseconds, a space, and its text up to the first NUL with one
// final line feed removed (other control bytes shown as '?'). It ends when standard input
// ends.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/udp_peer.h"

namespace {

void print_arrival(const std::string& datagram) {
  std::string text = datagram.substr(0, datagram.find('\0'));
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      c = '?';
    }
  }
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
  static_cast<void>(std::printf("%lld.%06lld %s\n", static_cast<long long>(micros / 1000000),
                                static_cast<long long>(micros % 1000000), text.c_str()));
  static_cast<void>(std::fflush(stdout));
}

}  // namespace

int main(int argc, char* argv[]) {
  const long port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (port < 1 || port > 65535) {
    static_cast<void>(std::fputs("usage: lmr-udp-probe PORT\n", stderr));
    return 2;
  }
  const lmrtest::UdpPeer peer;
  std::string pending;
  std::array<pollfd, 2> ready{pollfd{STDIN_FILENO, POLLIN, 0}, pollfd{peer.fd(), POLLIN, 0}};
  for (;;) {
    if (poll(ready.data(), ready.size(), -1) == -1) {
      if (errno == EINTR) {
        continue;
      }
      std::perror("lmr-udp-probe: poll");
      return 1;
    }
    if (ready[1].revents != 0) {
      if (const auto datagram = peer.receive(std::chrono::milliseconds(0))) {
        print_arrival(*datagram);
      }
    }
    if (ready[0].revents != 0) {
      std::array<char, 4096> buffer{};
      const ssize_t length = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (length <= 0) {
        return length == 0 ? 0 : 1;
      }
      pending.append(buffer.data(), static_cast<std::size_t>(length));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        if (!peer.send(pending.substr(0, end + 1), static_cast<std::uint16_t>(port))) {
          std::perror("lmr-udp-probe: send");
        }
        pending.erase(0, end + 1);
      }
    }
  }
}

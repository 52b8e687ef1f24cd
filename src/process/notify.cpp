#include "process/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "process/log.h"
#include "process/startup.h"

namespace {

constexpr std::string_view kNotifyFailed = "Failed to notify the service manager";
constexpr std::string_view kStopping = "STOPPING=1\nSTATUS=Stopping";

// How long READY=1 and STOPPING=1 wait for room in the manager's queue. A unit whose readiness
// is lost stays "activating" until its start timeout and is then killed while it serves, so
// these two wait; a manager that has not read within this much longer is not reading at all.
constexpr timeval kDeliveryTimeout{.tv_sec = 5, .tv_usec = 0};

int notify_socket = -1;
sockaddr_un manager{};
socklen_t manager_length = 0;
bool failure_logged = false;

// A notification that cannot be sent costs the service manager's view of the daemon, never
// the service itself; the first one is worth a line in the log, the rest are not.
void note_failure() {
  if (!failure_logged) {
    failure_logged = true;
    log_line(LOG_WARNING, std::string(kNotifyFailed));
  }
}

// A datagram sent to an AF_UNIX socket whose queue is full (net.unix.max_dgram_qlen, 10 by
// default) waits until the receiver reads or the socket's send timeout passes; with
// MSG_DONTWAIT it fails at once. So a change that must arrive (must_arrive) waits, up to
// kDeliveryTimeout, and a status line does not: a manager too busy to take one loses that
// line, and the loop goes on. A termination signal also ends the wait (EINTR): the daemon
// is stopping then, and says so next. The protocol is this one sendto, so it is written here
// rather than taken from libsystemd's sd_notify, and the daemon links no library for it.
void send_to_manager(std::string_view message, bool must_arrive) {
  if (notify_socket == -1) {
    return;
  }
  const int flags = MSG_NOSIGNAL | (must_arrive ? 0 : MSG_DONTWAIT);
  if (sendto(notify_socket, message.data(), message.size(), flags,
             reinterpret_cast<const sockaddr*>(&manager), manager_length) == -1) {
    note_failure();
  }
}

}  // namespace

void notify_ready() {
  const char* variable = std::getenv("NOTIFY_SOCKET");
  if (variable == nullptr) {
    return;
  }
  const std::string_view name = variable;
  // A path in the file system, or after '@' a name in the abstract namespace, which the
  // address spells with a leading NUL byte. Any other form is not one this daemon speaks.
  if ((name.starts_with('/') || name.starts_with('@')) && name.size() < sizeof manager.sun_path) {
    manager.sun_family = AF_UNIX;
    name.copy(manager.sun_path, name.size());
    if (name.starts_with('@')) {
      manager.sun_path[0] = '\0';
    }
    manager_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    // Close-on-exec: the suspend command must not hold the manager's socket.
    notify_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (notify_socket != -1 && setsockopt(notify_socket, SOL_SOCKET, SO_SNDTIMEO, &kDeliveryTimeout,
                                          sizeof kDeliveryTimeout) == -1) {
      close(notify_socket);
      notify_socket = -1;
    }
  }
  unsetenv("NOTIFY_SOCKET");
  if (notify_socket == -1) {
    note_failure();
    return;
  }
  send_to_manager("READY=1\nMAINPID=" + std::to_string(getpid()), true);
}

void notify_status(std::string_view text, std::string_view identity) {
  if (notify_socket == -1) {
    return;
  }
  std::string message = "STATUS=";
  message.append(text).append(identity);
  send_to_manager(message, false);
}

void notify_stopping() {
  send_to_manager(kStopping, true);
  if (notify_socket != -1) {
    close(notify_socket);
    notify_socket = -1;
  }
}

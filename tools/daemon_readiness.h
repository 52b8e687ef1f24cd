// Whether the trial's daemon has its port: the readiness it sends once it has bound it (as
// to a service manager, through NOTIFY_SOCKET), and, when it ended without that, why the port
// could not be had.
#pragma once

#include <sys/types.h>

#include <string>

/// Opens a datagram socket for the daemon's notifications, under a name of the kernel's
/// choosing, and names it in NOTIFY_SOCKET for the daemon to inherit; SIGIO comes when a
/// notification arrives. Returns the socket, or -1 with errno set.
int open_notify_socket();

/// Reads every notification waiting on fd; true when one that process daemon sent says
/// READY=1.
bool read_ready(int fd, pid_t daemon);

/// Why this user cannot bind UDP port on every address, as the daemon binds it, with what to
/// do instead; empty when it can.
std::string why_port_unusable(int port);

// Readiness and status for the service manager, over systemd's notification protocol: one
// datagram per change, to the AF_UNIX socket that NOTIFY_SOCKET names. Started any other way
// (without that variable), the daemon notifies no one and every call does nothing.
#pragma once

#include <string_view>

/// Tells the service manager that the daemon serves, and that the calling process does so
/// (in daemon mode, not the process it started), waiting up to five seconds for room in a
/// full queue. Takes NOTIFY_SOCKET out of the environment, so that the suspend command never
/// sees it.
void notify_ready();

/// Sets the one line that "systemctl status" shows: text, then identity. Never waits; a full
/// queue loses the line.
void notify_status(std::string_view text, std::string_view identity = {});

/// Tells the service manager that the daemon is stopping, waiting as notify_ready does;
/// nothing is sent after this.
void notify_stopping();

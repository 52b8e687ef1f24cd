// Exit statuses that both programs speak of: the sleep command's, as its shell gives them (a
// REFUSED carries one), and the client's own, one for each kind of result (lomarind(1)).
#pragma once

namespace exit_status {

/// The shell could not execute the command (it was found but could not be run).
constexpr int kShellCannotExecute = 126;
/// The shell could not find the command.
constexpr int kShellNotFound = 127;
/// A signal ended the command: the status is this plus the signal's number.
constexpr int kSignalBase = 128;

/// The client's statuses: every host done, a lock, no answer (or an unknown outcome), no key
/// for a daemon that asks for one, a refused sleep, a host that did not sleep (--confirm), a
/// key the daemon does not know, no daemon on the port. A bad command line is 1.
constexpr int kDone = 0;
constexpr int kUsage = 1;
constexpr int kLocked = 2;
constexpr int kSilent = 3;
constexpr int kNeedsKey = 4;
constexpr int kRefused = 5;
constexpr int kDidNotSleep = 6;
constexpr int kKeyNotKnown = 7;
constexpr int kNoDaemon = 8;

}  // namespace exit_status

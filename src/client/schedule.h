// Which hosts of a call are asked now: each host needs a socket of its own, so at most as many
// at once as the client's open-file limit leaves room for, and the rest in the order given as
// earlier ones finish. It does no I/O: the fleet (client/fleet.h) opens and closes the
// sockets and tells the schedule what came of each.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

/// Descriptors that the hosts' sockets leave free: standard input, output and error, the
/// epoll instance that waits on the sockets, the broadcast socket of wake --wait, and room for
/// what the C library keeps open.
constexpr std::size_t kKeptDescriptors = 8;

/// How many hosts may hold a socket at once under an open-file limit of limit (the soft
/// RLIMIT_NOFILE): all that kKeptDescriptors leave, and at least one.
std::size_t hosts_at_once(rlim_t limit);

/// The hosts of one call that are to be asked, by their index in the call, and which hold a
/// place (a socket) now.
class Schedule {
 public:
  /// A schedule that lets at most most hosts hold a place at once (at least one).
  explicit Schedule(std::size_t most);

  /// Puts host at the end of the queue.
  void add(std::size_t host);

  /// The host to ask now, which takes a place; empty when every place is taken or no host
  /// waits.
  std::optional<std::size_t> next();

  /// A host that held a place has been reported: its place is free for the next.
  void finished();

  /// No socket could be opened for the host that next() gave last. True when it waits at the
  /// head of the queue for a place that a host asked now will free, and no more hosts than
  /// hold a place now are asked at once from then on; false when no host holds a place, so
  /// that none will free one: the host cannot be asked, and its place is free again.
  bool cannot_open();

  /// True while a host waits and a place is free for it.
  bool can_start() const { return waiting() && asking_ < most_; }

  /// How many hosts hold a place now.
  std::size_t asking() const { return asking_; }

  /// True while a host waits for a place.
  bool waiting() const { return head_ < queue_.size(); }

 private:
  std::size_t most_;
  std::size_t asking_ = 0;
  std::vector<std::size_t> queue_;
  std::size_t head_ = 0;  // the index in queue_ of the next host to ask
};

// Collects what a daemon writes to the system log, by being the log socket itself.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lmrtest {

/// One received log line, split into its parts.
struct LogEntry {
  int facility = -1;  // as the LOG_ facility constants, e.g. LOG_DAEMON
  int severity = -1;  // LOG_ERR, LOG_WARNING, LOG_INFO, ...
  std::string ident;
  pid_t pid = -1;
  std::string text;
  std::string raw;
};

/// Splits a line as glibc's syslog() sends it: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
/// Returns false when it does not have that shape.
bool parse_log_line(const std::string& raw, LogEntry& entry);

/// Binds an AF_UNIX datagram socket at path and reads it on a thread of its own, so that
/// the daemon's syslog() never blocks on a full queue unless the sink is stalled.
class SyslogSink {
 public:
  /// Entries are kept for entries() when keep_entries is set, and each is passed to
  /// on_entry, if given, on the reader thread.
  explicit SyslogSink(std::string path = "/dev/log", bool keep_entries = true,
                      std::function<void(const LogEntry&)> on_entry = {});
  ~SyslogSink();  // removes the socket file: end one sink before binding the next
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  /// False, with the reason in error(), when the socket could not be bound.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  std::vector<LogEntry> entries() const;

  /// Entries whose text is exactly text.
  std::size_t count(const std::string& text) const;

  /// Lines received so far, kept or not.
  std::size_t received() const { return received_.load(); }

  /// Waits until count lines with exactly this text have arrived; false on timeout.
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout,
                std::size_t count = 1) const;

  /// While stalled the sink reads nothing, as a slow log daemon would.
  void stall(bool stalled) { stalled_.store(stalled); }

 private:
  void read_loop();

  // Entries whose text is exactly text; the caller holds mutex_.
  std::size_t count_held(const std::string& text) const;

  std::string path_;
  bool keep_entries_;
  std::function<void(const LogEntry&)> on_entry_;
  std::string error_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<std::size_t> received_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<LogEntry> entries_;
  std::thread reader_;
};

}  // namespace lmrtest

#include "support/syslog_sink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace lmrtest {
namespace {

constexpr int kPollMilliseconds = 20;
constexpr std::size_t kTimestampLength = 16;  // "Mmm dd hh:mm:ss "

}  // namespace

bool parse_log_line(const std::string& raw, LogEntry& entry) {
  if (raw.size() < 3 || raw[0] != '<') {
    return false;
  }
  const std::size_t close = raw.find('>');
  if (close == std::string::npos) {
    return false;
  }
  const int priority = std::stoi(raw.substr(1, close - 1));
  entry.facility = priority & ~7;
  entry.severity = priority & 7;
  const std::size_t ident_start = close + 1 + kTimestampLength;
  const std::size_t open_bracket = raw.find('[', ident_start);
  const std::size_t separator = raw.find("]: ", ident_start);
  if (ident_start > raw.size() || open_bracket == std::string::npos ||
      separator == std::string::npos || open_bracket > separator) {
    return false;
  }
  entry.ident = raw.substr(ident_start, open_bracket - ident_start);
  entry.pid =
      static_cast<pid_t>(std::stol(raw.substr(open_bracket + 1, separator - open_bracket - 1)));
  entry.text = raw.substr(separator + 3);
  entry.raw = raw;
  return true;
}

SyslogSink::SyslogSink(std::string path, bool keep_entries,
                       std::function<void(const LogEntry&)> on_entry)
    : path_(std::move(path)), keep_entries_(keep_entries), on_entry_(std::move(on_entry)) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  unlink(path_.c_str());
  if (fd_ == -1 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    error_ = "cannot bind " + path_ + ": " + std::strerror(errno);
    return;
  }
  // Like a real log socket, writable by every user.
  chmod(path_.c_str(), 0666);
  reader_ = std::thread([this] { read_loop(); });
}

SyslogSink::~SyslogSink() {
  stop_.store(true);
  if (reader_.joinable()) {
    reader_.join();
  }
  if (fd_ != -1) {
    close(fd_);
    unlink(path_.c_str());
  }
}

void SyslogSink::read_loop() {
  std::array<char, 8192> buffer{};
  while (!stop_.load()) {
    if (stalled_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
      continue;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, kPollMilliseconds) <= 0) {
      continue;
    }
    const ssize_t length = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (length <= 0) {
      continue;
    }
    received_.fetch_add(1);
    if (!keep_entries_ && !on_entry_) {
      continue;
    }
    LogEntry entry;
    std::string raw(buffer.data(), static_cast<std::size_t>(length));
    if (!parse_log_line(raw, entry)) {
      entry.raw = raw;
    }
    if (on_entry_) {
      on_entry_(entry);
    }
    if (!keep_entries_) {
      continue;
    }
    {
      const std::lock_guard lock(mutex_);
      entries_.push_back(std::move(entry));
    }
    arrived_.notify_all();
  }
}

std::vector<LogEntry> SyslogSink::entries() const {
  const std::lock_guard lock(mutex_);
  return entries_;
}

std::size_t SyslogSink::count_held(const std::string& text) const {
  return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                [&](const LogEntry& e) { return e.text == text; }));
}

std::size_t SyslogSink::count(const std::string& text) const {
  const std::lock_guard lock(mutex_);
  return count_held(text);
}

bool SyslogSink::wait_for(const std::string& text, std::chrono::milliseconds timeout,
                          std::size_t count) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return count_held(text) >= count; });
}

}  // namespace lmrtest

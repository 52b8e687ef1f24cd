// Starting the daemon under test and waiting for it, by pid, with time limits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lmrtest {

/// What a child's standard error starts with when it could not switch user or run the
/// program (it then exits with status 126 or 127): the rest of the line says why.
inline constexpr const char* kCannotStart = "lmrtest: cannot start ";

/// A child process started from path with args; its standard output and error go to files.
class Process {
 public:
  /// Starts path with args (argv[0] excluded) and the current environment plus extra_env
  /// ("NAME=value", overriding). Standard input is /dev/null. pid() is -1 on failure.
  Process(const std::string& path, const std::vector<std::string>& args,
          const std::vector<std::string>& extra_env, const std::string& output_prefix,
          uid_t run_as = static_cast<uid_t>(-1));
  ~Process();  // kills the child with SIGKILL if it is still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  /// Waits until the child ends; its wait status, or nothing if it still runs at timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  /// True while the child has not been reaped.
  bool running() const { return pid_ != -1 && !status_.has_value(); }

  void signal(int signal_number) const;

  std::string standard_output() const;
  std::string standard_error() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string output_prefix_;
};

/// Waits until a process in this network namespace has a UDP socket bound to port (with ipv6,
/// an IPv6 one).
bool wait_until_bound(std::uint16_t port, std::chrono::milliseconds timeout, bool ipv6 = false);

/// True when some UDP socket of this network namespace is bound to port (with ipv6, an IPv6
/// one).
bool udp_port_bound(std::uint16_t port, bool ipv6 = false);

/// Waits until pid has ended (for processes that are not our children); true if it has.
bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout);

/// The whole content of a file, or empty if it cannot be read.
std::string read_file(const std::string& path);

}  // namespace lmrtest

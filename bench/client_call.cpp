#include "client_call.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "measure.h"
#include "support/argv.h"
#include "support/process.h"

extern char** environ;

namespace lmrbench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kCallPatience = 120s;
constexpr std::string_view kSuspended = ": suspended";

// The machine's CPU time so far, in clock ticks: all of it, and the part that was idle (idle
// and iowait), from the "cpu" line of /proc/stat.
std::array<double, 2> cpu_ticks() {
  std::istringstream line(lmrtest::read_file("/proc/stat"));
  std::string name;
  line >> name;
  std::array<double, 2> ticks{};
  double value = 0;
  for (int field = 0; field < 8 && line >> value; ++field) {
    ticks[0] += value;
    ticks[1] += field == 3 || field == 4 ? value : 0;
  }
  return ticks;
}

// Reads the client's output until it closes, noting when lines come; kills the client (by
// pid) and fails when it takes longer than kCallPatience.
void read_lines(int fd, pid_t client, Clock::time_point began, Call& call) {
  std::string pending;
  std::array<char, 65536> buffer{};
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(began + kCallPatience - Clock::now());
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      kill(client, SIGKILL);
      waitpid(client, nullptr, 0);
      fail("the client did not end within 120 s");
    }
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) {
      return;
    }
    const double at = seconds(Clock::now() - began);
    pending.append(buffer.data(), static_cast<std::size_t>(got));
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      call.lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      call.first_line = call.lines.size() == 1 ? at : call.first_line;
      call.last_line = at;
    }
  }
}

// Starts the client with its output on out. posix_spawn cannot set a limit, so the child is
// forked and sets it itself, with async-signal-safe calls only (a stand-in may run on a thread
// of this process).
pid_t start_client(lmrtest::Argv& argv, int out, const std::string& error_path, rlim_t nofile) {
  const pid_t child = fork();
  if (child != 0) {
    return child;
  }
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int err = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const rlimit limit{nofile, nofile};
  if (in == -1 || err == -1 || dup2(in, 0) == -1 || dup2(out, 1) == -1 || dup2(err, 2) == -1 ||
      (nofile != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0)) {
    _exit(126);
  }
  execve(argv.argv()[0], argv.argv(), environ);
  _exit(127);
}

}  // namespace

void fail(const std::string& why) { throw std::runtime_error(why); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Call call_client(const std::vector<std::string>& words, const std::string& error_path,
                 rlim_t nofile) {
  lmrtest::Argv command_line(words);
  std::array<int, 2> out{-1, -1};
  if (pipe2(out.data(), O_CLOEXEC) != 0) {
    fail(std::string("pipe: ") + std::strerror(errno));
  }
  Call call;
  const auto ticks_before = cpu_ticks();
  const auto began = Clock::now();
  const pid_t client = start_client(command_line, out[1], error_path, nofile);
  close(out[1]);
  if (client == -1) {
    close(out[0]);
    fail("cannot run " + words.front() + ": " + std::strerror(errno));
  }
  read_lines(out[0], client, began, call);
  close(out[0]);
  rusage usage{};
  wait4(client, &call.status, 0, &usage);
  call.exit = seconds(Clock::now() - began);
  const auto ticks_after = cpu_ticks();
  const double all = ticks_after[0] - ticks_before[0];
  call.busy = all > 0 ? 100.0 * (all - (ticks_after[1] - ticks_before[1])) / all : 0;
  for (const timeval& part : {usage.ru_utime, usage.ru_stime}) {
    call.cpu += static_cast<double>(part.tv_sec) + static_cast<double>(part.tv_usec) / 1e6;
  }
  return call;
}

void check_suspended(const Call& call, const std::vector<std::string>& hosts,
                     const std::string& name, const std::string& error_path) {
  std::unordered_set<std::string> waiting(hosts.begin(), hosts.end());
  std::size_t wrong = 0;
  std::string first_wrong;
  for (const std::string& line : call.lines) {
    const bool suspended = line.ends_with(kSuspended) &&
                           waiting.erase(line.substr(0, line.size() - kSuspended.size())) == 1;
    if (!suspended && wrong++ == 0) {
      first_wrong = line;
    }
  }
  const bool exited_0 = WIFEXITED(call.status) && WEXITSTATUS(call.status) == 0;
  if (wrong > 0 || !waiting.empty() || !exited_0) {
    fail("the " + name + " call ended with wait status " + std::to_string(call.status) + "; " +
         std::to_string(wrong) + " unexpected lines (the first: '" + first_wrong + "'), " +
         std::to_string(waiting.size()) +
         " hosts without a line; standard error: " + lmrtest::read_file(error_path).substr(0, 500));
  }
}

void make_room_for(int hosts) {
  const auto needed = static_cast<rlim_t>(hosts) + 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max >= needed) {
    return;
  }
  limit.rlim_max = needed;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    fail("cannot raise the descriptor limit to " + std::to_string(needed) + ": " +
         std::strerror(errno));
  }
}

void write_private_file(const std::string& path, std::string_view text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  while (fd != -1 && !text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written <= 0) {
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  if (fd == -1 || close(fd) != 0 || !text.empty()) {
    fail("cannot write " + path);
  }
}

void print_row(const char* label, const std::vector<Call>& calls, double Call::*figure,
               int decimals) {
  std::vector<double> timed;
  for (std::size_t at = 1; at < calls.size(); ++at) {
    timed.push_back(calls[at].*figure);
  }
  if (timed.empty()) {
    timed.push_back(calls.front().*figure);
  }
  std::printf("%-34s %10.*f %10.*f %8.*f %8.*f\n", label, decimals, calls.front().*figure, decimals,
              median(timed), decimals, *std::min_element(timed.begin(), timed.end()), decimals,
              *std::max_element(timed.begin(), timed.end()));
}

void print_rows(const std::vector<Call>& keyless, const std::vector<Call>& keyed) {
  const std::array<std::pair<const char*, const std::vector<Call>*>, 2> kinds{
      {{"keyless", &keyless}, {"keyed", &keyed}}};
  for (const auto& [name, calls] : kinds) {
    const std::string kind = name;
    print_row((kind + ": first host's line").c_str(), *calls, &Call::first_line);
    print_row((kind + ": last host's line").c_str(), *calls, &Call::last_line);
    print_row((kind + ": client ended").c_str(), *calls, &Call::exit);
    print_row((kind + ": client's CPU, user+sys").c_str(), *calls, &Call::cpu);
    print_row((kind + ": machine's CPUs busy (%)").c_str(), *calls, &Call::busy, 0);
  }
}

}  // namespace lmrbench

#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace lmrtest {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::string name_of(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

// Between fork and exec: writes "<kCannotStart>PATH WHAT: REASON" to standard error with
// async-signal-safe calls only.
void say_why_not(const std::string& path, const char* what, int error) {
  const char* reason = strerrordesc_np(error);
  for (const char* part : {kCannotStart, path.c_str(), *what != '\0' ? " " : "", what, ": ",
                           reason != nullptr ? reason : "unknown error", "\n"}) {
    static_cast<void>(!write(STDERR_FILENO, part, std::strlen(part)));
  }
}

}  // namespace

Process::Process(const std::string& path, const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env, const std::string& output_prefix,
                 uid_t run_as)
    : output_prefix_(output_prefix) {
  std::vector<std::string> arguments{path};
  arguments.insert(arguments.end(), args.begin(), args.end());
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string assignment = *variable;
    bool overridden = false;
    for (const auto& extra : extra_env) {
      overridden = overridden || name_of(extra) == name_of(assignment);
    }
    if (!overridden) {
      environment.push_back(assignment);
    }
  }
  environment.insert(environment.end(), extra_env.begin(), extra_env.end());

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (auto& assignment : environment) {
    envp.push_back(assignment.data());
  }
  envp.push_back(nullptr);

  const std::string out = output_prefix_ + ".stdout";
  const std::string err = output_prefix_ + ".stderr";
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int in_fd = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd == -1 || out_fd == -1 || err_fd == -1 || dup2(in_fd, 0) == -1 ||
        dup2(out_fd, 1) == -1 || dup2(err_fd, 2) == -1) {
      _exit(126);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (run_as != static_cast<uid_t>(-1) && (setgid(run_as) == -1 || setuid(run_as) == -1)) {
      say_why_not(path, "as another user", errno);
      _exit(126);
    }
    execve(path.c_str(), argv.data(), envp.data());
    say_why_not(path, "", errno);
    _exit(127);
  }
}

Process::~Process() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (pid_ == -1 || status_.has_value()) {
    return status_;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

void Process::signal(int signal_number) const {
  if (running()) {
    kill(pid_, signal_number);
  }
}

std::string Process::standard_output() const { return read_file(output_prefix_ + ".stdout"); }
std::string Process::standard_error() const { return read_file(output_prefix_ + ".stderr"); }

bool udp_port_bound(std::uint16_t port, bool ipv6) {
  std::ifstream table(ipv6 ? "/proc/net/udp6" : "/proc/net/udp");
  std::string line;
  std::getline(table, line);  // header
  char wanted[8];
  if (std::snprintf(wanted, sizeof wanted, ":%04X", port) < 0) {
    return false;
  }
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    fields >> slot >> local;
    if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
      return true;
    }
  }
  return false;
}

bool wait_until_bound(std::uint16_t port, std::chrono::milliseconds timeout, bool ipv6) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!udp_port_bound(port, ipv6)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (kill(pid, 0) == 0) {
    // A zombie still answers kill(); it has ended all the same.
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace lmrtest

// lomarind-trial: runs the daemon in the foreground for a try-out. Its log lines are printed
// here instead of going to the system log, and "systemctl suspend" is only pretended, so a
// SUSPEND from a client shows what would happen without putting this machine to sleep.
// Takes the daemon's own options. Needs root for the private /dev that carries the log;
// without root the daemon logs to the system log as usual.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/syslog_sink.h"

namespace {

const char* severity_name(int severity) {
  static constexpr std::array<const char*, 8> kNames = {"emerg",   "alert",  "crit", "err",
                                                        "warning", "notice", "info", "debug"};
  return severity >= 0 && severity < 8 ? kNames.at(static_cast<std::size_t>(severity)) : "?";
}

void print_entry(const lmrtest::LogEntry& entry) {
  if (entry.ident.empty()) {
    std::printf("log: %s\n", entry.raw.c_str());
  } else {
    std::printf("log: %s[%d] %s: %s\n", entry.ident.c_str(), entry.pid,
                severity_name(entry.severity), entry.text.c_str());
  }
  static_cast<void>(std::fflush(stdout));
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string fake = LMR_FAKE_SYSTEMCTL;
  std::string why_not_private;
  if (geteuid() == 0) {
    why_not_private = lmrtest::enter_sandbox(fake, /*private_network=*/false);
  } else {
    why_not_private = "not root";
  }
  std::unique_ptr<lmrtest::SyslogSink> sink;
  if (why_not_private.empty()) {
    sink = std::make_unique<lmrtest::SyslogSink>("/dev/log", false, print_entry);
    std::printf("trial: log lines are shown here; Ctrl-C stops the daemon\n");
  } else {
    std::printf("trial: %s, so the daemon logs to the system log (journalctl -t lmr -f)\n",
                why_not_private.c_str());
  }
  static_cast<void>(std::fflush(stdout));

  // A directory holding the fake goes first on the daemon's PATH, whatever happened above.
  std::string bin_template = "/tmp/lmr-trial-XXXXXX";
  const char* bin = mkdtemp(bin_template.data());
  if (bin == nullptr || symlink(fake.c_str(), (std::string(bin) + "/systemctl").c_str()) == -1) {
    std::perror("trial: cannot prepare the fake systemctl");
    return 1;
  }
  const char* path = std::getenv("PATH");
  const std::string new_path = std::string(bin) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  setenv("PATH", new_path.c_str(), 1);
  setenv("LMR_FAKE_SYSTEMCTL_SAY", "1", 1);

  std::vector<char*> arguments;
  std::string server = LMR_SERVER_BINARY;
  arguments.push_back(server.data());
  for (int i = 1; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
  arguments.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(server.c_str(), arguments.data());
    std::perror("trial: cannot start the daemon");
    _exit(127);
  }
  // Ctrl-C reaches the daemon too, as the terminal's foreground group; this process only
  // waits for it to finish saying so.
  if (std::signal(SIGINT, SIG_IGN) == SIG_ERR || std::signal(SIGTERM, SIG_IGN) == SIG_ERR) {
    std::perror("trial: cannot ignore Ctrl-C");
  }
  int status = 0;
  while (waitpid(child, &status, 0) == -1) {
  }
  usleep(100'000);  // let the last lines be printed
  sink.reset();
  unlink((std::string(bin) + "/systemctl").c_str());
  rmdir(bin);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

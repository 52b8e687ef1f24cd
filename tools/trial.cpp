// lomarind-trial: runs the daemon in the foreground for a try-out. Its log lines are printed
// here instead of going to the system log, and "systemctl suspend" is only pretended, so a
// SUSPEND from a client shows what would happen without putting this machine to sleep.
// Takes the daemon's own options, except -D: a daemon in the background would outlive the
// stand-in for systemctl. Needs root for the private /dev that carries the log; without
// root the daemon logs to the system log as usual. It says which port the daemon serves once
// the daemon has bound it (the daemon tells it so, as it would a service manager), and for a
// daemon that ended without, whether the port was taken or needed root.
//
// However the trial ends (the daemon's QUIT, Ctrl-C, SIGTERM or SIGHUP to the trial, the end
// of its parent, a closed standard output), it stops the daemon first, then ends whatever the
// daemon left running (a suspend command that a termination signal interrupted), waits for
// all of it, and only then removes the stand-in: nothing the daemon started runs without it.
//
// The daemon runs "systemctl VERB" through /bin/sh, and a shell that cannot execute the first
// systemctl on PATH (EACCES: a lost run bit, a noexec mount) goes on to the next one. So the
// trial starts the daemon only once it has run the stand-in itself, and gives the daemon a
// PATH on which the stand-in is the only systemctl.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "daemon_readiness.h"
#include "process/startup.h"
#include "support/sandbox.h"
#include "support/syslog_sink.h"

namespace {

using namespace std::chrono_literals;

// The stand-in for systemctl, which the build puts beside this program.
constexpr const char* kStandInName = "lomarind-trial-systemctl";

// How long the daemon has to end after being told to, and what it left running after it has
// ended, before they are killed.
constexpr auto kStopGrace = 5s;

// Where lines go: standard output until writing there fails (a pipe whose reader is gone,
// as after `make run | tee log` and Ctrl-C), then standard error, so that the daemon's last
// lines are still seen.
std::atomic<int> output_fd{STDOUT_FILENO};

void say(const std::string& text) {
  const std::string line = text + "\n";
  for (;;) {
    const int fd = output_fd.load();
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t written = write(fd, line.data() + done, line.size() - done);
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        break;
      }
      done += static_cast<std::size_t>(written);
    }
    if (done == line.size() || fd == STDERR_FILENO) {
      return;
    }
    output_fd.store(STDERR_FILENO);
  }
}

const char* severity_name(int severity) {
  static constexpr std::array<const char*, 8> kNames = {"emerg",   "alert",  "crit", "err",
                                                        "warning", "notice", "info", "debug"};
  return severity >= 0 && severity < 8 ? kNames.at(static_cast<std::size_t>(severity)) : "?";
}

// The trial's own mark in the log it shows, which the daemon's lines never match: once the
// daemon is ready, the lines that say what it serves wait for it, and so follow every line it
// logged before.
constexpr std::string_view kReadyMark = "lomarind-trial: ready";
std::mutex at_mark_mutex;
std::vector<std::string> said_at_mark;

void print_entry(const lmrtest::LogEntry& entry) {
  if (entry.ident.empty() && entry.raw == kReadyMark) {
    const std::lock_guard lock(at_mark_mutex);
    for (const std::string& line : said_at_mark) {
      say(line);
    }
    return;
  }
  if (entry.ident.empty()) {
    say("log: " + entry.raw);
  } else {
    say("log: " + entry.ident + "[" + std::to_string(entry.pid) + "] " +
        severity_name(entry.severity) + ": " + entry.text);
  }
}

// True when the daemon, given these options, would go to the background: read by the
// daemon's own parser (which leaves argv in its order), without its messages (the daemon
// prints those itself). Help and invalid options end the daemon before it forks.
bool goes_to_background(int argc, char* argv[]) {
  Settings options;
  const int saved_opterr = opterr;
  opterr = 0;
  const bool background =
      parse_options(argc, argv, options) == OptionsOutcome::kRun && options.background;
  opterr = saved_opterr;
  return background;
}

// The daemon's port, and what to say once it serves there.
struct Serving {
  int port = 0;
  std::vector<std::string> lines;
};

// Reads the daemon's command line with the daemon's own parser: points out at once a
// "--port WORD" that sets nothing (the daemon takes the long form only as --port=PORT), and
// returns the port with the lines that say it is served and whether a key is needed. Nothing
// for a command line the daemon will refuse: it says why itself.
std::optional<Serving> announce(int argc, char* argv[]) {
  Settings options;
  const int saved_opterr = opterr;
  opterr = 0;
  const OptionsOutcome outcome = parse_options(argc, argv, options);
  opterr = saved_opterr;
  if (outcome != OptionsOutcome::kRun) {
    return std::nullopt;
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) == "--port" && argv[i + 1][0] != '-') {
      say(std::string("trial: '--port ") + argv[i + 1] +
          "' sets no port: the daemon takes --port=PORT or -p PORT");
    }
  }
  const std::string port = std::to_string(options.port);
  Serving serving{options.port, {}};
  if (options.key_file_path) {
    serving.lines.push_back("trial: the daemon serves UDP port " + port +
                            ", keyed: only commands proven with a key in " +
                            *options.key_file_path + " are carried out");
    // The stand-in returns at once and the host stays up, as --confirm then sees.
    serving.lines.emplace_back(
        "trial: the host only pretends to sleep, so suspend --confirm reports 'did not sleep'");
  } else {
    serving.lines.push_back(
        "trial: the daemon serves UDP port " + port +
        ", keyless: any client may suspend this host (ARGS=--key-file=FILE asks for a key)");
  }
  return serving;
}

// The daemon's readiness as the trial follows it: where it is told, what to say once the
// daemon has its port, whether its log is shown here, and whether it is ready.
struct Readiness {
  int fd = -1;
  std::vector<std::string> serving;
  bool log_shown = false;
  bool ready = false;
};

// Sends the trial's mark to the log shown here, after the lines to say there; false if it
// could not.
bool mark_log(const std::vector<std::string>& lines) {
  {
    const std::lock_guard lock(at_mark_mutex);
    said_at_mark = lines;
  }
  sockaddr_un log{};
  log.sun_family = AF_UNIX;
  std::string_view("/dev/log").copy(log.sun_path, sizeof log.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool sent = fd != -1 && sendto(fd, kReadyMark.data(), kReadyMark.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&log),
                                       sizeof log) == static_cast<ssize_t>(kReadyMark.size());
  if (fd != -1) {
    close(fd);
  }
  return sent;
}

// Reads what the daemon has told; the first time it is ready, says what it serves: where the
// log shown here has the trial's mark, or at once.
void follow_readiness(Readiness& readiness, pid_t daemon) {
  if (!read_ready(readiness.fd, daemon) || readiness.ready) {
    return;
  }
  readiness.ready = true;
  if (readiness.log_shown && mark_log(readiness.serving)) {
    return;
  }
  for (const std::string& line : readiness.serving) {
    say(line);
  }
}

// The signals that end a trial, the daemon's end and its notifications (SIGIO) are taken one
// at a time by sigtimedwait in the main loop.
sigset_t awaited_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGIO}) {
    sigaddset(&set, signal_number);
  }
  return set;
}

// The processes whose parent is this one, read from /proc.
std::vector<pid_t> children() {
  const pid_t self = getpid();
  std::vector<pid_t> found;
  std::error_code error;
  for (auto entry = std::filesystem::directory_iterator("/proc", error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // "pid (name) state ppid ...": the name may hold anything, so the fields after its last
    // parenthesis are read.
    std::ifstream stat(entry->path() / "stat");
    std::string text;
    std::getline(stat, text);
    const auto name_end = text.rfind(')');
    if (name_end == std::string::npos) {
      continue;
    }
    std::istringstream fields(text.substr(name_end + 1));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent && parent == self) {
      found.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return found;
}

// Why the stand-in cannot be run, or empty if it can. access() reads the run bits (root
// needs only one of them) and a noexec mount; a missing interpreter or a security module's
// refusal shows only in an exec. So the stand-in is also run once, with no environment (it
// then says and records nothing) and a harmless argument, and must exit with 0.
std::string why_stand_in_cannot_run(const std::string& stand_in, const sigset_t& daemon_mask) {
  if (access(stand_in.c_str(), X_OK) == -1) {
    return std::strerror(errno);
  }
  posix_spawnattr_t attributes;
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setsigmask(&attributes, &daemon_mask);
  posix_spawnattr_setsigdefault(&attributes, &default_signals);
  std::array<char*, 3> arguments{const_cast<char*>("systemctl"),  // NOLINT: posix_spawn takes char*
                                 const_cast<char*>("--version"), nullptr};  // NOLINT
  std::array<char*, 1> environment{nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, stand_in.c_str(), nullptr, &attributes, arguments.data(),
                                environment.data());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    return std::strerror(error);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) {
      return std::string("waitpid: ") + std::strerror(errno);
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "it ended with wait status " + std::to_string(status);
  }
  return {};
}

// The daemon's PATH: the stand-in's directory, then only those absolute directories of path
// that hold nothing named systemctl (or that cannot be looked into). Relative entries go:
// they name different directories as the shell moves.
std::string daemon_path(const std::string& stand_in_directory, const char* path) {
  std::string result = stand_in_directory;
  std::istringstream entries(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string directory; std::getline(entries, directory, ':');) {
    struct stat found {};
    if (directory.starts_with('/') && lstat((directory + "/systemctl").c_str(), &found) == -1 &&
        errno == ENOENT) {
      result.append(":").append(directory);
    }
  }
  return result;
}

// Refuses -D, saying how to run the real daemon in the background instead.
int refuse_background(const std::string& server) {
  static_cast<void>(std::fprintf(
      stderr,
      "trial: -D (--background) is refused: the trial's stand-in for systemctl lasts only as\n"
      "long as the trial, and a daemon left in the background could then suspend this machine.\n"
      "To run the real daemon in the background, as root: %s -D --pidfile /run/lomarind.pid\n",
      server.c_str()));
  return 1;
}

// Blocks the awaited signals, keeping the mask the trial was started with in previous_mask
// for the daemon, and watches over the trial's parent and the daemon's children. Says why
// and returns false if it cannot.
bool watch_over(const sigset_t& awaited, sigset_t& previous_mask) {
  // Signals are taken by the main loop, and the log reader's thread inherits the mask.
  if (sigprocmask(SIG_BLOCK, &awaited, &previous_mask) == -1 ||
      std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    std::perror("trial: cannot set up signal handling");
    return false;
  }
  // GNU make passes SIGTERM on to the trial and a terminal's Ctrl-C reaches it directly;
  // a parent that ends some other way (killed outright, say) is taken as SIGTERM. And this
  // process becomes the reaper of what the daemon leaves behind, to end and wait for it.
  const pid_t parent = getppid();
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) == -1 || prctl(PR_SET_CHILD_SUBREAPER, 1) == -1) {
    std::perror("trial: cannot watch over its parent and the daemon's children");
    return false;
  }
  if (getppid() != parent) {
    static_cast<void>(std::fputs("trial: its parent has ended\n", stderr));
    return false;
  }
  return true;
}

// The stand-in the build put beside this program, once it is known to run; empty, after
// saying why, if it does not.
std::string runnable_stand_in(const sigset_t& daemon_mask) {
  std::error_code no_self;
  std::string fake =
      (std::filesystem::read_symlink("/proc/self/exe", no_self).parent_path() / kStandInName)
          .string();
  if (const std::string why =
          no_self ? no_self.message() : why_stand_in_cannot_run(fake, daemon_mask);
      !why.empty()) {
    static_cast<void>(std::fprintf(
        stderr,
        "trial: cannot run the stand-in for systemctl, %s (%s), so the daemon is not started:\n"
        "its shell would look further along PATH, where the real systemctl may be. Rebuild it\n"
        "with make run, from a tree on a file system that is not mounted noexec.\n",
        fake.c_str(), why.c_str()));
    return {};
  }
  return fake;
}

// Shows the daemon's log lines here when why_not_private is empty (the trial then has a
// private /dev/log to read); otherwise says where they go instead. The lines are shown for
// as long as the returned reader lives.
std::unique_ptr<lmrtest::SyslogSink> show_log(const std::string& why_not_private) {
  std::unique_ptr<lmrtest::SyslogSink> sink;
  if (why_not_private.empty()) {
    sink = std::make_unique<lmrtest::SyslogSink>("/dev/log", false, print_entry);
    say("trial: log lines are shown here; Ctrl-C stops the daemon");
  } else {
    say("trial: " + why_not_private +
        ", so the daemon logs to the system log (journalctl -t lmr -f); Ctrl-C stops it");
  }
  return sink;
}

// Makes a directory holding only a systemctl that is the fake, and puts it first on the
// PATH the daemon will inherit. Returns the directory, or empty after saying why.
std::string prepare_stand_in(const std::string& fake) {
  std::string bin_template = "/tmp/lmr-trial-XXXXXX";
  const char* bin = mkdtemp(bin_template.data());
  const std::string stand_in = bin != nullptr ? std::string(bin) + "/systemctl" : "";
  if (bin == nullptr || symlink(fake.c_str(), stand_in.c_str()) == -1) {
    std::perror("trial: cannot prepare the fake systemctl");
    if (bin != nullptr) {
      rmdir(bin);
    }
    return {};
  }
  setenv("PATH", daemon_path(bin, std::getenv("PATH")).c_str(), 1);
  setenv("LMR_FAKE_SYSTEMCTL_SAY", "1", 1);
  return bin;
}

// Removes the directory prepare_stand_in made, and the stand-in's link in it.
void remove_stand_in(const std::string& bin) {
  unlink((bin + "/systemctl").c_str());
  rmdir(bin.c_str());
}

// Starts the server with the trial's own arguments. Returns its pid, or -1 after saying why.
pid_t start_daemon(const std::string& server, int argc, char* argv[],
                   const sigset_t& previous_mask) {
  std::vector<char*> arguments;
  arguments.push_back(const_cast<char*>(server.c_str()));  // NOLINT: execv takes char*
  for (int i = 1; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
  arguments.push_back(nullptr);
  const pid_t trial = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // The daemon gets the signal handling this process was started with, and ends if this
    // process is killed outright, since the stand-in is not removed then but no longer
    // watched over.
    static_cast<void>(std::signal(SIGPIPE, SIG_DFL));
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) == -1 || getppid() != trial) {
      _exit(1);
    }
    execv(server.c_str(), arguments.data());
    std::perror("trial: cannot start the daemon");
    _exit(127);
  }
  if (child == -1) {
    std::perror("trial: cannot start the daemon");
  }
  return child;
}

using Clock = std::chrono::steady_clock;

// Tells whatever the daemon left running to end, and kills it once the grace that began at
// the first telling has passed.
void end_leftovers(std::optional<Clock::time_point>& deadline) {
  deadline = deadline.value_or(Clock::now() + kStopGrace);
  const int signal_number = Clock::now() > *deadline ? SIGKILL : SIGTERM;
  for (const pid_t leftover : children()) {
    kill(leftover, signal_number);
  }
}

// Waits for the daemon (-1: none was started) and then for everything it left running,
// following its readiness all the while. Returns the daemon's wait status, or that of an exit
// with status 1 if there was none.
int wait_for_all(pid_t daemon, const sigset_t& awaited, Readiness& readiness) {
  // Ctrl-C reaches the daemon too, as the terminal's foreground group; a signal sent to this
  // process alone is passed on. Either way the daemon is waited for, and after it everything
  // it left running (its children come to this process when it ends) is told to end, killed
  // if it has not after the grace, and waited for: the loop ends when no child is left.
  int status = 1 << 8;  // as an exit with status 1, should no daemon have started
  bool daemon_running = daemon > 0;
  std::optional<Clock::time_point> stop_deadline;
  std::optional<Clock::time_point> leftover_deadline;
  const auto stop = [&](int signal_number) {
    if (daemon_running) {
      kill(daemon, signal_number);
      stop_deadline = stop_deadline.value_or(Clock::now() + kStopGrace);
    }
  };
  for (;;) {
    // Before each look for the daemon's end, so that a readiness it sent before ending counts.
    follow_readiness(readiness, daemon);
    int ended_status = 0;
    const pid_t ended = waitpid(-1, &ended_status, WNOHANG);
    if (ended > 0) {
      if (ended == daemon) {
        status = ended_status;
        daemon_running = false;
      }
      continue;
    }
    if (ended == -1 && errno == ECHILD) {
      break;
    }
    if (!daemon_running) {
      end_leftovers(leftover_deadline);
    }
    timespec tick{0, 250'000'000};
    const int signal_number = sigtimedwait(&awaited, nullptr, &tick);
    if (signal_number == SIGINT) {
      stop(SIGINT);
    } else if (signal_number == SIGTERM || signal_number == SIGHUP || signal_number == SIGQUIT) {
      stop(SIGTERM);
    }
    if (daemon_running && stop_deadline.has_value() && Clock::now() > *stop_deadline) {
      say("trial: the daemon did not stop in time; killing it");
      kill(daemon, SIGKILL);
      stop_deadline = Clock::time_point::max();
    }
  }
  return status;
}

// The trial's exit status: the daemon's, or 128 plus the signal that ended it.
int exit_status(int status) {
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string server = LMR_SERVER_BINARY;
  if (goes_to_background(argc, argv)) {
    return refuse_background(server);
  }
  const sigset_t awaited = awaited_signals();
  sigset_t previous_mask;
  if (!watch_over(awaited, previous_mask)) {
    return 1;
  }
  const std::string fake = runnable_stand_in(previous_mask);
  if (fake.empty()) {
    return 1;
  }
  const std::string why_not_private =
      geteuid() == 0 ? lmrtest::enter_sandbox(fake, /*private_network=*/false) : "not root";
  std::unique_ptr<lmrtest::SyslogSink> sink = show_log(why_not_private);
  // A directory holding only the fake goes first on the daemon's PATH, whatever happened
  // above, and no other systemctl is on it.
  const std::string bin = prepare_stand_in(fake);
  if (bin.empty()) {
    return 1;
  }
  const std::optional<Serving> serving = announce(argc, argv);
  // The daemon says when it has its port, as it would to a service manager: only then does
  // the trial say it serves.
  Readiness readiness{open_notify_socket(), serving ? serving->lines : std::vector<std::string>{},
                      sink != nullptr};
  if (readiness.fd == -1) {
    std::perror("trial: cannot open a socket for the daemon's readiness");
    remove_stand_in(bin);
    return 1;
  }
  const int status =
      wait_for_all(start_daemon(server, argc, argv, previous_mask), awaited, readiness);
  usleep(100'000);  // let the last lines be printed
  sink.reset();
  const bool failed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (!why_not_private.empty() && failed) {
    // The daemon prints nothing in the terminal, also when it cannot start.
    say("trial: the daemon ended with status " +
        std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
        "; the system log says why (journalctl -t lmr)");
  }
  // A daemon that never had its port most often found it taken, or out of this user's reach.
  if (serving && !readiness.ready && failed) {
    if (const std::string why = why_port_unusable(serving->port); !why.empty()) {
      say("trial: " + why);
    }
  }
  remove_stand_in(bin);
  return exit_status(status);
}

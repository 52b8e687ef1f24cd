// Background mode and the PID file, seen from outside: statuses, the file's content and
// life, which process logs what, and what the background process holds open.
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/daemon_test.h"

namespace lmrtest {
namespace {

class DaemonMode : public DaemonTest {
 protected:
  void TearDown() override {
    // The background process is not our child; end it by the pid it logged, if it still runs.
    if (background_pid_ > 0 && !wait_until_gone(background_pid_, 0ms)) {
      kill(background_pid_, SIGKILL);
      wait_until_gone(background_pid_, 2s);
    }
    DaemonTest::TearDown();
  }

  std::string pid_path() const { return (dir_ / "lmr.pid").string(); }

  // The pid on the first line with text.
  pid_t pid_of_line(const std::string& text) const {
    EXPECT_TRUE(log_->wait_for(text, 3s)) << text;
    for (const auto& entry : log_->entries()) {
      if (entry.text == text) {
        return entry.pid;
      }
    }
    return -1;
  }

  // Starts "-D --pidfile" on port_, checks the launcher returns 0 at once, opens a session
  // for owner_ and returns the pid of the process that goes on serving. With
  // standard_closed, the launcher starts with descriptors 0, 1 and 2 closed.
  pid_t start_in_background(const std::vector<std::string>& extra_env = {},
                            bool standard_closed = false) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> args{"-D", "-p", std::to_string(port_), "--pidfile", pid_path()};
    if (standard_closed) {
      args.insert(args.begin(), {"-c", R"(exec "$0" "$@" <&- >&- 2>&-)", LMR_SERVER_BINARY});
      start_program("/bin/sh", args, extra_env);
    } else {
      start_server(args, extra_env);
    }
    EXPECT_EQ(exit_status(2s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_TRUE(wait_until_bound(port_, 5s));
    EXPECT_EQ(ask(owner_, "EHLO\n"), "START\n");
    background_pid_ = pid_of_line("Session started for client " + owner_.identity());
    return background_pid_;
  }

  pid_t background_pid_ = -1;
  UdpPeer owner_;
};

std::string descriptor_target(pid_t pid, int fd) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd),
                                       error)
      .string();
}

// Fills the stalled sink's queue, so that the next line the daemon logs waits in its send.
void fill_log_queue() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  while (send(fd, "filler", 6, MSG_DONTWAIT) > 0) {
  }
  close(fd);
}

// True once pid is blocked in a send (its start line, with the log queue full).
bool waiting_in_send(pid_t pid, std::chrono::milliseconds timeout) {
  const std::string in_send = std::to_string(SYS_sendto) + " ";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!read_file("/proc/" + std::to_string(pid) + "/syscall").starts_with(in_send)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST_F(DaemonMode, SignalBeforeTheForkEndsStartUpThereAndStartsNoChild) {
  // The launcher is held in its start line by a full log queue while the signal comes in.
  log_->stall(true);
  std::this_thread::sleep_for(100ms);  // a read the sink was already waiting in is over
  fill_log_queue();
  Process& launcher = start_server({"-D", "-p", std::to_string(port_), "--pidfile", pid_path()});
  ASSERT_TRUE(waiting_in_send(launcher.pid(), 5s));
  launcher.signal(SIGTERM);
  std::this_thread::sleep_for(100ms);
  log_->stall(false);
  EXPECT_EQ(exit_status(), 0);
  expect_logged_once(kStarting, LOG_INFO, launcher.pid());
  expect_logged_once(kShuttingDown, LOG_INFO, launcher.pid());
  std::this_thread::sleep_for(300ms);
  for (const auto& entry : log_->entries()) {
    EXPECT_TRUE(entry.text.empty() || entry.pid == launcher.pid())
        << "a child logged: " << entry.raw;
  }
  EXPECT_FALSE(std::filesystem::exists(pid_path()));
  EXPECT_FALSE(udp_port_bound(port_));
}

TEST_F(DaemonMode, BackgroundChildServesWritesItsPidAndTheLauncherLogsOnlyTheStart) {
  const pid_t child = start_in_background();
  ASSERT_GT(child, 0);
  EXPECT_NE(child, server_->pid());
  EXPECT_EQ(pid_of_line(kStarting), server_->pid()) << "the launcher logs the start";
  EXPECT_EQ(read_file(pid_path()), std::to_string(child) + "\n");
  // Detached into a session of its own, with standard descriptors on /dev/null.
  EXPECT_EQ(getsid(child), child);
  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_EQ(descriptor_target(child, fd), "/dev/null") << "descriptor " << fd;
  }
  for (const auto& entry : log_->entries()) {
    if (entry.text != kStarting) {
      EXPECT_EQ(entry.pid, child) << entry.raw;
    }
  }
}

TEST_F(DaemonMode, QuitDeletesThePidFileAndAnExistingFileIsOverwritten) {
  {
    std::ofstream old(pid_path());
    old << "4194304\nleft over by an earlier run, much longer than a pid\n";
  }
  const pid_t child = start_in_background();
  EXPECT_EQ(read_file(pid_path()), std::to_string(child) + "\n");
  EXPECT_EQ(ask(owner_, "QUIT\n"), "OK\n");
  EXPECT_TRUE(wait_until_gone(child, 3s));
  EXPECT_FALSE(std::filesystem::exists(pid_path()));
}

TEST_F(DaemonMode, SigtermAndFailedBindLeaveThePidFileBehind) {
  Process& server = start_serving(port_, {"--pidfile", pid_path()});
  EXPECT_EQ(read_file(pid_path()), std::to_string(server.pid()) + "\n");
  server.signal(SIGTERM);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_TRUE(std::filesystem::exists(pid_path()));

  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  restart_log();
  Process& failing = start_server({"-p", std::to_string(port_), "--pidfile", pid_path()});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error binding", LOG_ERR, failing.pid());
  EXPECT_EQ(read_file(pid_path()), std::to_string(failing.pid()) + "\n");
  close(holder);
}

TEST_F(DaemonMode, UnwritablePidFileIsAnErrorThatOnlyTheLogTellsInTheBackground) {
  const std::string missing = (dir_ / "no" / "such" / "dir" / "lmr.pid").string();
  Process& foreground = start_server({"-p", std::to_string(port_), "--pidfile", missing});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error creating PID file", LOG_ERR, foreground.pid());
  EXPECT_FALSE(udp_port_bound(port_));

  restart_log();
  start_server({"-D", "-p", std::to_string(port_), "--pidfile", missing});
  EXPECT_EQ(exit_status(), 0) << "the shell has already seen 0";
  const pid_t child = pid_of_line("Error creating PID file");
  EXPECT_NE(child, server_->pid());
  EXPECT_TRUE(wait_until_gone(child, 3s));

  // A directory the daemon's user may not write in.
  restart_log();
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
  constexpr uid_t kNobody = 65534;
  Process& unprivileged = start_server({"-p", "20000", "--pidfile", pid_path()}, {}, kNobody);
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error creating PID file", LOG_ERR, unprivileged.pid());
}

TEST_F(DaemonMode, SymbolicLinkAsPidFileIsRefusedAndItsTargetUntouched) {
  const auto target = dir_ / "precious";
  {
    std::ofstream file(target);
    file << "root's data\n";
  }
  std::filesystem::create_symlink(target, pid_path());
  Process& server = start_server({"-p", std::to_string(port_), "--pidfile", pid_path()});
  EXPECT_EQ(exit_status(), 1);
  expect_logged_once("Error creating PID file", LOG_ERR, server.pid());
  EXPECT_EQ(read_file(target.string()), "root's data\n");
}

TEST_F(DaemonMode, SuspendCommandOfTheBackgroundDaemonGetsNullAndNoSocket) {
  // Also when the launcher had 0, 1 and 2 closed, as some supervisors start daemons: its
  // start line then opened the log socket on one of them.
  for (const bool standard_closed : {false, true}) {
    restart_log();
    const std::string fds = (dir_ / "fds").string();
    const pid_t child = start_in_background({"LMR_FAKE_SYSTEMCTL_FDS=" + fds}, standard_closed);
    ASSERT_EQ(ask(owner_, "SUSPEND\n"), "OK\n");
    ASSERT_TRUE(log_->wait_for(kSuspending, 2s)) << "the child's log works";
    for (int fd = 0; fd <= 2; ++fd) {
      EXPECT_EQ(descriptor_target(child, fd), "/dev/null") << "descriptor " << fd;
    }
    ASSERT_EQ(ask(owner_, "QUIT\n", 3s), "OK\n");
    EXPECT_TRUE(wait_until_gone(child, 3s));
    const std::string listing = read_file(fds);
    ASSERT_FALSE(listing.empty());
    EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
    for (const char* fd : {" 0 -> /dev/null", " 1 -> /dev/null", " 2 -> /dev/null"}) {
      EXPECT_NE(listing.find(fd), std::string::npos) << fd << " in\n" << listing;
    }
  }
  EXPECT_EQ(systemctl_calls(), "suspend\nsuspend\n");
}

// The trial run (make run) pretends to suspend only while it lives, so it must never leave a
// daemon behind: -D, however spelt, is refused before anything starts, and a signal to the
// trial alone stops its daemon, and the suspend command that this interrupts. Nor does it
// start one whose shell could pass over a stand-in it cannot execute to the real systemctl.
// It says that the daemon serves its port only once the port is the daemon's: on a port that
// another program holds it never does, and says what is wrong instead.
TEST_F(DaemonMode, TrialRefusesTheBackgroundAndTakesItsDaemonAlongWhenSignalled) {
  const std::string port = std::to_string(port_);
  // Another user's trial, from a copy whose stand-in (the file the build puts beside it) has
  // lost its run bit.
  constexpr uid_t kNobody = 65534;
  std::filesystem::permissions(dir_, std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::filesystem::path trial_copy = reachable_by(LMR_TRIAL_BINARY, kNobody);
  std::ofstream(trial_copy.parent_path() / "lomarind-trial-systemctl") << "#!/bin/sh\n";
  start_program(LMR_TRIAL_BINARY, {"-p", port}, {}, kNobody);
  EXPECT_EQ(exit_status(), 1);
  EXPECT_NE(server_->standard_error().find(
                "trial: cannot run the stand-in for systemctl, " +
                (trial_copy.parent_path() / "lomarind-trial-systemctl").string() +
                " (Permission denied), so the daemon is not started"),
            std::string::npos)
      << server_->standard_error();
  EXPECT_EQ(server_->standard_output(), "");
  EXPECT_FALSE(udp_port_bound(port_));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-D", "-p", port},
                                               {"--background", "-p", port},
                                               {"--back", "-p", port},
                                               {"-Dp" + port},
                                               {"-p", port, "stray", "-D"},
                                               {"--port=" + port, "--b"}}) {
    start_program(LMR_TRIAL_BINARY, args);
    EXPECT_EQ(exit_status(), 1) << args.front();
    EXPECT_NE(server_->standard_error().find("-D (--background) is refused"), std::string::npos)
        << server_->standard_error();
    EXPECT_EQ(server_->standard_output(), "") << args.front();
    EXPECT_FALSE(udp_port_bound(port_)) << args.front();
  }
  const std::string serves = "trial: the daemon serves UDP port " + port + ", keyless";
  {
    const UdpPeer holder("0.0.0.0", port_);
    start_program(LMR_TRIAL_BINARY, {"-p", port});
    EXPECT_EQ(exit_status(), 1);
    const std::string out = server_->standard_output();
    EXPECT_EQ(out.find(serves), std::string::npos) << out;
    EXPECT_NE(out.find("trial: port " + port +
                       " is taken by another program: try another, e.g. make run PORT="),
              std::string::npos)
        << out;
  }
  Process& trial = start_program(LMR_TRIAL_BINARY, {"-p", port});
  for (int tries = 0; tries < 500 && trial.standard_output().find(serves) == std::string::npos;
       ++tries) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(trial.standard_output().find(serves), std::string::npos) << trial.standard_output();
  EXPECT_TRUE(udp_port_bound(port_));
  trial.signal(SIGTERM);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_FALSE(udp_port_bound(port_)) << "the daemon must end with the trial";
  EXPECT_NE(trial.standard_output().find(kShuttingDown), std::string::npos)
      << trial.standard_output();

  // Made their reaper, this process would get whatever the trial left running.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  start_program(LMR_TRIAL_BINARY, {"-p", port}, {systemctl_sleeps(30)});
  ASSERT_TRUE(wait_until_bound(port_, 5s));
  UdpPeer owner;
  ASSERT_EQ(ask(owner, "EHLO\n"), "START\n");
  ASSERT_EQ(ask(owner, "SUSPEND\n"), "OK\n");
  for (int tries = 0; tries < 200 && systemctl_calls().empty(); ++tries) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(systemctl_calls(), "suspend\n");
  server_->signal(SIGTERM);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "the trial left a process running";
}

}  // namespace
}  // namespace lmrtest

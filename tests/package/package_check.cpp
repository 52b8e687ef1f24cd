// lomarind-package-check: runs an installed daemon the way its systemd unit would, but in a
// private network and mount namespace with its own log socket and the recording stand-in
// for systemctl, then suspends it and stops it with the installed client. Used by
// tests/package/test-deb.sh after the package has been installed; needs root.
//
//   lomarind-package-check [--client PATH [--key-file FILE]] --port PORT -- DAEMON [ARG...]
//
// Without --client the session is driven by hand over UDP. With --key-file the client proves
// its commands with the key in FILE (the daemon's command line names its own copy). Prints
// one line per check and exits with 0 when all of them passed, 1 otherwise, 2 on a usage
// error.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/sandbox.h"
#include "support/syslog_sink.h"
#include "support/udp_peer.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kStarting = "Starting Lomarind...";
constexpr const char* kSuspending = "Received SUSPEND command. Suspending...";
constexpr const char* kQuitting = "Received QUIT command. Stopping Lomarind...";
// The client waits out a session held by someone else, which lasts up to about 6 seconds.
constexpr auto kClientTimeLimit = 12s;

int failures = 0;

void check(bool passed, const std::string& what) {
  std::cout << (passed ? "ok: " : "FAILED: ") << what << std::endl;
  if (!passed) {
    ++failures;
  }
}

// Checks a program's standard output, showing it when it is not what was expected.
void check_output(const lmrtest::Process& process, const std::string& expected,
                  const std::string& what) {
  const std::string output = process.standard_output();
  check(output == expected, what);
  if (output != expected) {
    std::cout << "  it printed: \"" << output << "\"; on standard error: \""
              << process.standard_error() << "\"" << std::endl;
  }
}

// Reads the stand-in's record until it holds text or the time is up.
bool wait_for_record(const std::filesystem::path& record, const std::string& text,
                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (lmrtest::read_file(record.string()) == text) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return lmrtest::read_file(record.string()) == text;
}

// True when every line the log received came from the daemon (ident "lmr", facility daemon).
bool all_lines_from_daemon(const lmrtest::SyslogSink& log) {
  const auto entries = log.entries();
  for (const auto& entry : entries) {
    if (entry.ident != "lmr" || entry.facility != (3 << 3)) {
      std::cout << "  unexpected log line: " << entry.raw << std::endl;
      return false;
    }
  }
  return !entries.empty();
}

// Runs the installed client with args and returns it once it has ended (or been killed).
std::unique_ptr<lmrtest::Process> run_client(const std::string& client,
                                             const std::vector<std::string>& args,
                                             const std::filesystem::path& dir,
                                             const std::string& name) {
  auto process = std::make_unique<lmrtest::Process>(client, args, std::vector<std::string>{},
                                                    (dir / name).string());
  if (!process->wait(kClientTimeLimit + 5s).has_value()) {
    process->signal(SIGKILL);
    process->wait(2s);
  }
  return process;
}

// The whole text as a decimal number, or -1 when it is not one.
int number_from(const std::string& text) {
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() ? value : -1;
}

int exit_code(const std::optional<int>& status) {
  return status.has_value() && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string client;
  std::string key_file;
  int port = 0;
  int first_daemon_arg = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--client" && i + 1 < argc) {
      client = argv[++i];
    } else if (arg == "--key-file" && i + 1 < argc) {
      key_file = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      port = number_from(argv[++i]);
    } else if (arg == "--" && i + 1 < argc) {
      first_daemon_arg = i + 1;
      break;
    } else {
      first_daemon_arg = -1;
      break;
    }
  }
  if (first_daemon_arg < 0 || port < 1 || port > 65535 || (!key_file.empty() && client.empty())) {
    std::cerr << "usage: " << argv[0]
              << " [--client PATH [--key-file FILE]] --port PORT -- DAEMON [ARG...]\n";
    return 2;
  }
  if (!client.empty() && access(client.c_str(), X_OK) != 0) {
    std::cerr << argv[0] << ": no client program at " << client << "\n";
    return 2;
  }
  if (geteuid() != 0) {
    std::cerr << argv[0] << ": needs root for its private namespaces\n";
    return 2;
  }
  if (const auto error = lmrtest::enter_sandbox(LMR_FAKE_SYSTEMCTL); !error.empty()) {
    std::cerr << argv[0] << ": cannot isolate the daemon: " << error << "\n";
    return 2;
  }
  std::array<char, 32> name{};
  std::strncpy(name.data(), "/tmp/lmr-package-XXXXXX", name.size() - 1);
  if (mkdtemp(name.data()) == nullptr) {
    std::cerr << argv[0] << ": mkdtemp: " << std::strerror(errno) << "\n";
    return 2;
  }
  const std::filesystem::path dir = name.data();
  std::filesystem::create_directory(dir / "bin");
  std::filesystem::copy_file(LMR_FAKE_SYSTEMCTL, dir / "bin" / "systemctl");
  const auto record = dir / "systemctl.calls";
  const std::vector<std::string> daemon_env{
      "PATH=" + (dir / "bin").string() + ":/usr/sbin:/usr/bin:/sbin:/bin",
      "LMR_FAKE_SYSTEMCTL_RECORD=" + record.string(),
  };
  const auto wire_port = static_cast<std::uint16_t>(port);

  // The daemon as the unit starts it: in the foreground, no PID file.
  {
    lmrtest::SyslogSink log;
    check(log.ok(), "a log socket of our own at /dev/log " + log.error());
    const std::string daemon = argv[first_daemon_arg];
    const std::vector<std::string> args(argv + first_daemon_arg + 1, argv + argc);
    lmrtest::Process server(daemon, args, daemon_env, (dir / "server").string());
    check(lmrtest::wait_until_bound(wire_port, 5s),
          "the daemon listens on UDP port " + std::to_string(port));
    check(log.wait_for(kStarting, 3s), "it logged \"Starting Lomarind...\"");

    if (!client.empty()) {
      // The client's options: the key, when there is one, and the port.
      std::vector<std::string> options{"-p", std::to_string(port)};
      if (!key_file.empty()) {
        options.insert(options.begin(), "--key-file=" + key_file);
      }
      const auto client_args = [&options](std::initializer_list<std::string> rest) {
        std::vector<std::string> all = options;
        all.insert(all.end(), rest);
        return all;
      };
      const auto suspend = run_client(client, client_args({"-t", "10", "suspend", "127.0.0.1"}),
                                      dir, "client-suspend");
      check(exit_code(suspend->wait(0ms)) == 0, "the client's suspend exits with status 0");
      check_output(*suspend, "127.0.0.1: suspended\n",
                   "the client prints \"127.0.0.1: suspended\"");
      check(log.wait_for(kSuspending, 3s), "the daemon logged the SUSPEND command");
      check(wait_for_record(record, "suspend\n", 5s),
            "it ran \"systemctl suspend\" once, and the stand-in got it");
      // The client's session is still open, so this one waits for it to run out first.
      const auto quit =
          run_client(client, client_args({"-t", "12", "quit", "127.0.0.1"}), dir, "client-quit");
      check(exit_code(quit->wait(0ms)) == 0, "the client's quit exits with status 0");
      check_output(*quit, "127.0.0.1: stopped\n", "the client prints \"127.0.0.1: stopped\"");
    } else {
      std::cout << "note: no client given; the session is driven by hand" << std::endl;
      lmrtest::UdpPeer peer;
      peer.send("EHLO\n", wire_port);
      check(peer.receive(2s) == std::optional<std::string>("START\n"), "EHLO gets START");
      peer.send("SUSPEND\n", wire_port);
      check(peer.receive(2s) == std::optional<std::string>("OK\n"), "SUSPEND gets OK");
      check(log.wait_for(kSuspending, 3s), "the daemon logged the SUSPEND command");
      check(wait_for_record(record, "suspend\n", 5s),
            "it ran \"systemctl suspend\" once, and the stand-in got it");
      peer.send("QUIT\n", wire_port);
      check(peer.receive(2s) == std::optional<std::string>("OK\n"), "QUIT gets OK");
    }
    check(log.wait_for(kQuitting, 3s), "it logged the QUIT command");
    check(exit_code(server.wait(5s)) == 0, "the daemon ended with status 0 after QUIT");
    check(all_lines_from_daemon(log), "every log line has identity lmr and facility daemon");
  }

  // Daemon mode, for init systems other than systemd, as lomarind-server(8) describes it.
  {
    lmrtest::SyslogSink log;
    const auto pid_file = dir / "server.pid";
    std::vector<std::string> args{"-D", "--pidfile", pid_file.string(), "-p", std::to_string(port)};
    lmrtest::Process launcher(argv[first_daemon_arg], args, daemon_env,
                              (dir / "launcher").string());
    check(exit_code(launcher.wait(3s)) == 0, "-D returns to the shell with status 0");
    check(lmrtest::wait_until_bound(wire_port, 5s), "the background daemon listens");
    const std::string pid_text = lmrtest::read_file(pid_file.string());
    const pid_t child = number_from(pid_text.substr(0, pid_text.find('\n')));
    check(child > 0 && pid_text == std::to_string(child) + "\n" && child != launcher.pid() &&
              kill(child, 0) == 0,
          "the PID file holds the background process's number and a line feed");
    lmrtest::UdpPeer peer;
    peer.send("EHLO\n", wire_port);
    check(peer.receive(2s) == std::optional<std::string>("START\n"), "it answers EHLO");
    peer.send("QUIT\n", wire_port);
    check(peer.receive(2s) == std::optional<std::string>("OK\n"), "it answers QUIT");
    check(child > 0 && lmrtest::wait_until_gone(child, 5s), "the background daemon ended");
    check(!std::filesystem::exists(pid_file), "QUIT removed the PID file");
    // A daemon left behind by a failed check must not outlive this program.
    if (child > 0 && !lmrtest::wait_until_gone(child, 0ms)) {
      kill(child, SIGKILL);
    }
  }

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::cout << (failures == 0 ? "all checks passed" : "some checks FAILED") << std::endl;
  return failures == 0 ? 0 : 1;
}

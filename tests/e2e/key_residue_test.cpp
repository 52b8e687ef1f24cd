// No byte of a key outlives its use: the keyed daemon is stopped at its very end (the exit
// event of ptrace, where a core taken at exit_group would be written) after each way out,
// and every writable page it still maps is searched for the key, raw and in hex.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "e2e/keyed_daemon_test.h"
#include "key/key_file.h"
#include "key/keyed_wire.h"

namespace lmrtest {
namespace {

const std::string kNonce = "00112233445566778899aabbccddeeff";
// The bit of CAP_SYS_PTRACE in the capability sets of /proc/PID/status.
constexpr int kCapSysPtrace = 19;
constexpr std::size_t kPiece = 8;
constexpr unsigned long kChunkBytes = 1UL << 20;
constexpr unsigned long kMostMappingBytes = 1UL << 30;
#ifdef LMR_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// One of the daemon's writable mappings, as /proc/PID/maps lists it.
struct Mapping {
  unsigned long start = 0;
  unsigned long end = 0;
  std::string name;  // "[stack]", "[heap]", a file, or empty when anonymous
};

std::vector<Mapping> writable_mappings(pid_t pid) {
  std::vector<Mapping> mappings;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range;
    std::string perms;
    std::string offset;
    std::string device;
    std::string inode;
    Mapping mapping;
    fields >> range >> perms >> offset >> device >> inode >> std::ws;
    std::getline(fields, mapping.name);
    if (perms.size() < 2 || perms[1] != 'w') {
      continue;
    }
    mapping.start = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
    mapping.end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    mappings.push_back(mapping);
  }
  return mappings;
}

// Why this process may not trace a non-dumpable process at all; empty when it may.
std::string why_no_tracing() {
  if (read_file("/proc/sys/kernel/yama/ptrace_scope").starts_with("3")) {
    return "Yama's ptrace_scope 3 forbids tracing";
  }
  std::istringstream status(read_file("/proc/self/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("CapEff:") &&
        ((std::stoull(line.substr(7), nullptr, 16) >> kCapSysPtrace) & 1U) != 0) {
      return "";
    }
  }
  return "tracing the non-dumpable daemon needs CAP_SYS_PTRACE";
}

class KeyResidue : public KeyedDaemonTest {
 protected:
  void SetUp() override {
    KeyedDaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    // The key in pieces of 8 bytes, raw and as hex digits in either case: a register saved to
    // memory holds at most 16 bytes of it, and no piece turns up by chance (2^-64 a place).
    const auto& bytes = keys_.keys.front().key.bytes;
    const std::string lower = read_file(key_path_).substr(0, 64);
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      const std::string which = " " + std::to_string(at) + " to " + std::to_string(at + kPiece - 1);
      patterns_.emplace_back("raw key bytes" + which,
                             std::string(bytes.begin() + at, bytes.begin() + at + kPiece));
      patterns_.emplace_back("lower-case hex of key bytes" + which,
                             lower.substr(2 * at, 2 * kPiece));
      patterns_.emplace_back("upper-case hex of key bytes" + which,
                             upper.substr(2 * at, 2 * kPiece));
    }
  }

  // Starts the keyed daemon (with extra_env) and traces it until its exit.
  Process& start_traced(std::vector<std::string> extra_env = {}) {
    if (kSanitized) {
      // LeakSanitizer cannot look for leaks at exit in a traced process; the other tests do.
      extra_env.push_back("ASAN_OPTIONS=log_path=" + (dir_ / "sanitizer").string() +
                          ":detect_leaks=0");
    }
    Process& server = start_serving(port_, {"--key-file=" + key_path_}, extra_env);
    // The daemon has made itself non-dumpable by now, which lets only a tracer that holds
    // CAP_SYS_PTRACE seize it or read its memory.
    if (ptrace(PTRACE_SEIZE, server.pid(), nullptr, PTRACE_O_TRACEEXIT) == 0) {
      traced_ = server.pid();
    } else if (errno == EPERM && !why_no_tracing().empty()) {
      seize_refused_ = why_no_tracing();
    } else {
      ADD_FAILURE() << "PTRACE_SEIZE: " << std::strerror(errno);
    }
    return server;
  }

  // Proves word with the key over a new challenge, as a controller does, and checks the OK.
  void send_proven(const UdpPeer& peer, const std::string& word) {
    const NamedKey& key = keys_.keys.front();
    const std::string start = ask(peer, ehlo_datagram(key, kNonce)).value_or("none");
    const auto challenge = proven_start(start, key.key, kNonce);
    ASSERT_TRUE(challenge.has_value()) << start;
    const std::string taken(*challenge);
    const std::string ok = ask(peer, command_datagram(key, word, taken)).value_or("none");
    EXPECT_TRUE(proven_ok(ok, key.key, taken, word)) << ok;
  }

  // Lets the traced daemon run to its exit event, passing on the signals it receives, and
  // returns what its writable memory then holds of the key, one line per copy; then lets it
  // end and checks that it ended with status 0.
  std::string residue_at_exit() {
    std::string found;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      int status = 0;
      const pid_t waited = waitpid(traced_, &status, WNOHANG | __WALL);
      if (waited == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ADD_FAILURE() << "the daemon did not reach its exit";
          return found;
        }
        std::this_thread::sleep_for(5ms);
        continue;
      }
      if (waited != traced_ || !WIFSTOPPED(status)) {
        ADD_FAILURE() << "the daemon ended without the exit event: status " << status;
        return found;
      }
      if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
        break;
      }
      // A signal on its way to the daemon (or a group stop, which passes none on).
      const int passed = status >> 16 == PTRACE_EVENT_STOP ? 0 : WSTOPSIG(status);
      ptrace(PTRACE_CONT, traced_, nullptr, passed);
    }
    found = search_memory();
    ptrace(PTRACE_DETACH, traced_, nullptr, 0);
    EXPECT_EQ(exit_status(), 0);
    return found;
  }

  // Where in the daemon's writable mappings a piece of the key turns up, one line for each.
  std::string search_memory() const {
    std::string found;
    const int mem = open(("/proc/" + std::to_string(traced_) + "/mem").c_str(), O_RDONLY);
    if (mem == -1) {
      ADD_FAILURE() << "/proc/PID/mem: " << std::strerror(errno);
      return found;
    }
    const auto mappings = writable_mappings(traced_);
    EXPECT_FALSE(mappings.empty());
    for (const Mapping& mapping : mappings) {
      if (mapping.end - mapping.start > kMostMappingBytes) {
        // Only AddressSanitizer reserves terabytes, for its shadow bytes, which hold no data.
        EXPECT_TRUE(kSanitized) << "a mapping of 0x" << std::hex << mapping.end - mapping.start
                                << " bytes at 0x" << mapping.start << " " << mapping.name;
        continue;
      }
      found += search_mapping(mem, mapping);
    }
    close(mem);
    return found;
  }

  // Reads mapping in chunks, each searched with the end of the one before, so that a piece
  // across a chunk's edge is found, and found once.
  std::string search_mapping(int mem, const Mapping& mapping) const {
    std::string found;
    std::string window;
    unsigned long window_start = mapping.start;
    for (unsigned long start = mapping.start; start < mapping.end; start += kChunkBytes) {
      const std::size_t carried = window.size();
      std::string chunk(std::min(kChunkBytes, mapping.end - start), '\0');
      const ssize_t got = pread(mem, chunk.data(), chunk.size(), static_cast<off_t>(start));
      EXPECT_EQ(got, static_cast<ssize_t>(chunk.size()))
          << "0x" << std::hex << start << " " << mapping.name << ": " << std::strerror(errno);
      window += chunk;
      for (const auto& [what, piece] : patterns_) {
        for (std::size_t at = window.find(piece); at != std::string::npos;
             at = window.find(piece, at + 1)) {
          if (at + piece.size() > carried) {
            std::ostringstream line;
            line << what << " at 0x" << std::hex << window_start + at << " in "
                 << (mapping.name.empty() ? "an anonymous mapping" : mapping.name) << " (0x"
                 << window_start + at - mapping.start << " into 0x" << mapping.end - mapping.start
                 << ")\n";
            found += line.str();
          }
        }
      }
      const std::size_t kept = std::min(window.size(), 2 * kPiece - 1);
      window_start += window.size() - kept;
      window.erase(0, window.size() - kept);
    }
    return found;
  }

  // Runs way_out against the traced daemon and asserts that no copy of the key is left.
  void expect_no_residue(const std::function<void(Process&)>& way_out,
                         const std::vector<std::string>& extra_env = {}) {
    Process& server = start_traced(extra_env);
    if (!seize_refused_.empty()) {
      GTEST_SKIP() << seize_refused_;
    }
    ASSERT_NE(traced_, -1);
    way_out(server);
    if (HasFatalFailure()) {
      return;
    }
    EXPECT_EQ(residue_at_exit(), "");
  }

  std::vector<std::pair<std::string, std::string>> patterns_;
  pid_t traced_ = -1;
  std::string seize_refused_;  // why the daemon could not be traced
};

TEST_F(KeyResidue, NoneAfterAKeyedQuit) {
  expect_no_residue([&](Process&) {
    UdpPeer controller;
    send_proven(controller, "QUIT");
  });
}

TEST_F(KeyResidue, NoneAfterSigterm) {
  expect_no_residue([](Process& server) { server.signal(SIGTERM); });
}

TEST_F(KeyResidue, NoneAfterSigint) {
  expect_no_residue([](Process& server) { server.signal(SIGINT); });
}

TEST_F(KeyResidue, NoneAfterSigtermWhileTheSleepCommandRuns) {
  expect_no_residue(
      [&](Process& server) {
        UdpPeer controller;
        send_proven(controller, "SUSPEND");
        ASSERT_TRUE(log_->wait_for(kSuspending, 2s));
        std::this_thread::sleep_for(300ms);  // let the command start
        server.signal(SIGTERM);
      },
      {systemctl_sleeps(10)});
}

}  // namespace
}  // namespace lmrtest

// Keyed sessions over the wire: a controller that holds the key, one that does not, and an
// eavesdropper who replays what it recorded; and the key files the daemon refuses.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>

#include "e2e/daemon_test.h"
#include "key/key.h"

namespace lmrtest {
namespace {

class Keyed : public DaemonTest {
 protected:
  // A key file of the daemon's user with mode 0600, and the same key for the controller.
  void SetUp() override {
    DaemonTest::SetUp();
    // A skip or a failure there only returns from that function: stop here too, or the key
    // would be written into the working directory.
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    key_path_ = (dir_ / "key").string();
    ASSERT_EQ(write_new_key_file(key_path_), "");
    ASSERT_EQ(read_key_file(key_path_, key_), "");
  }

  // The challenge of a new session that peer opens.
  std::string open_session(const UdpPeer& peer) {
    const std::string start = ask(peer, "EHLO\n").value_or("no reply");
    EXPECT_NE(challenge_in(start), "") << start;
    return std::string(challenge_in(start));
  }

  std::string key_path_;
  Key key_;
};

TEST_F(Keyed, OnlyAFreshProofOfTheOwnerIsCarriedOutAndNeverTwice) {
  Process& server = start_serving(port_, {"--key-file=" + key_path_});
  UdpPeer a;
  UdpPeer b;
  Key other;
  const std::string first = open_session(a);
  const std::string suspend = keyed_command(key_, first, "SUSPEND");
  // A plain command, a wrong key, the other command's proof: dropped, the challenge unspent.
  for (const std::string& bad :
       {std::string("SUSPEND\n"), std::string("QUIT\n"), keyed_command(other, first, "SUSPEND"),
        "SUSPEND " + proof_of(key_, first, "QUIT") + "\n"}) {
    EXPECT_EQ(ask(a, bad, 300ms), std::nullopt) << bad;
  }
  EXPECT_EQ(ask(b, suspend, 300ms), std::nullopt) << "a proof does not make another the owner";
  EXPECT_EQ(ask(a, suspend), "OK\n");
  // Spent: a replay in the same session, or even the owner's next valid-looking command.
  EXPECT_EQ(ask(a, suspend, 300ms), std::nullopt);
  EXPECT_EQ(ask(a, keyed_command(key_, first, "QUIT"), 300ms), std::nullopt);
  ASSERT_EQ(a.receive(8s), "END\n");
  EXPECT_EQ(ask(a, suspend, 300ms), std::nullopt) << "a replay with no session open";
  const std::string second = open_session(a);
  EXPECT_NE(second, first);
  EXPECT_EQ(ask(a, suspend, 300ms), std::nullopt) << "a proof from an earlier session";
  EXPECT_EQ(ask(a, keyed_command(key_, second, "QUIT")), "OK\n");
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(systemctl_calls(), "suspend\n");
  EXPECT_EQ(log_->count("Command without a valid proof; Dropping packet from " + a.identity()), 7U);
  expect_logged_once("Unexpected client data; Dropping packet from " + b.identity(), LOG_WARNING,
                     server.pid());
  for (const auto& entry : log_->entries()) {
    EXPECT_EQ(entry.raw.find(read_file(key_path_).substr(0, 64)), std::string::npos) << entry.raw;
  }
}

TEST_F(Keyed, RefusedKeyFilesEndStartUpWithAReasonAndAnAcceptedKeyMakesItNonDumpable) {
  const std::string digits = read_file(key_path_).substr(0, 64);
  const auto file = [&](const std::string& name, const std::string& content, mode_t mode) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << content;
    chmod(path.c_str(), mode);
    return path;
  };
  const std::string link = (dir_ / "link").string();
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(symlink(key_path_.c_str(), link.c_str()) + mkfifo(fifo.c_str(), 0600), 0);
  constexpr uid_t kNobody = 65534;
  const std::string nobodys = file("nobodys", digits, 0600);
  ASSERT_EQ(chown(nobodys.c_str(), kNobody, kNobody), 0);
  for (const std::string& path :
       {std::string(), (dir_ / "missing").string(), dir_.string(), fifo, link, nobodys,
        file("group", digits, 0640), file("others", digits, 0604), file("empty", "", 0600),
        file("short", digits.substr(1), 0600), file("long", digits + "0", 0600),
        file("non-hex", "g" + digits.substr(1), 0600), file("two-lfs", digits + "\n\n", 0600),
        file("crlf", digits + "\r\n", 0600), file("extra", digits + "\nx", 0600)}) {
    restart_log();
    start_server({"-p", std::to_string(port_), "--key-file=" + path});
    EXPECT_EQ(exit_status(), 1) << path;
    const std::string error = server_->standard_error();
    EXPECT_TRUE(error.starts_with("Key file refused: " + path)) << error;
    EXPECT_EQ(error.find(digits.substr(0, 16)), std::string::npos) << error;
    expect_logged_once(error.substr(0, error.size() - 1), LOG_ERR, server_->pid());
  }
  // Run as nobody, whose /proc files the kernel gives to root when it is not dumpable.
  std::filesystem::permissions(dir_, std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  start_server({"-p", std::to_string(port_), "--key-file", nobodys}, {}, kNobody);
  ASSERT_TRUE(wait_until_bound(port_, 5s)) << server_->standard_error();
  struct stat proc {};
  ASSERT_EQ(stat(("/proc/" + std::to_string(server_->pid()) + "/status").c_str(), &proc), 0);
  EXPECT_EQ(proc.st_uid, 0U);
}

}  // namespace
}  // namespace lmrtest

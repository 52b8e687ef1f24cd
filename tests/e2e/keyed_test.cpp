// Keyed mode over the wire: a controller that holds the key, one that does not, and an
// eavesdropper who replays what it recorded; and the key files the daemon refuses.
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "e2e/keyed_daemon_test.h"
#include "key/key.h"
#include "key/key_file.h"
#include "support/key_files.h"

namespace lmrtest {
namespace {

const std::string kNonce = "00112233445566778899aabbccddeeff";
// The start of the line that counts the lines held back, after its number.
const std::string kHeldBackPrefix = "log lines about datagrams held back";

class Keyed : public KeyedDaemonTest {
 protected:
  const Key& key() const { return keys_.keys.front().key; }
  const std::string& id() const { return keys_.keys.front().id; }

  // The challenge of the START that answers peer's keyed EHLO, checked as a controller would.
  std::string challenge_for(const UdpPeer& peer, const std::string& nonce = kNonce) {
    const std::string start = ask(peer, "EHLO " + id() + " " + nonce + "\n").value_or("none");
    std::string challenge = start.substr(std::min<std::size_t>(6, start.size()), 32);
    EXPECT_EQ(start, "START " + challenge + " " + start_proof(key(), nonce, challenge) + "\n");
    return challenge;
  }

  static std::string command(const std::string& word, const std::string& id,
                             const std::string& challenge, const std::string& proof) {
    return word + " " + id + " " + challenge + " " + proof + "\n";
  }

  std::string proven(const std::string& word, const std::string& challenge) const {
    return command(word, id(), challenge, command_proof(key(), challenge, word));
  }

  std::string ok_for(const std::string& word, const std::string& challenge) const {
    return "OK " + ok_proof(key(), challenge, word) + "\n";
  }

  // 2000 datagrams from port 0 and 2000 to the loopback broadcast address, paced at 2000 a
  // second: none is answered, none opens a session, none is logged beyond the budget.
  void flood_from_port_zero_and_to_broadcast(const std::vector<std::string>& args);
};

void Keyed::flood_from_port_zero_and_to_broadcast(const std::vector<std::string>& args) {
  Process& server = start_serving(port_, args);
  const int raw = open_forging_socket();
  ASSERT_NE(raw, -1) << std::strerror(errno);
  // From another loopback address than the one the broadcast reaches: a broadcast from the
  // very address it reaches is the host's own (the relay's packet) and takes no line.
  UdpPeer broadcaster("127.0.0.2");
  UdpPeer own_broadcast;
  const int on = 1;
  ASSERT_EQ(setsockopt(broadcaster.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  ASSERT_EQ(setsockopt(own_broadcast.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  int own = 0;
  const std::vector<std::string> texts{"EHLO\n", "EHLO " + id() + " " + kNonce + "\n", "SUSPEND\n"};
  const auto started = std::chrono::steady_clock::now();
  constexpr int kEach = 2000;
  int sent = 0;
  for (int i = 0; i < kEach; ++i) {
    const std::string& text = texts[static_cast<std::size_t>(i) % texts.size()];
    sent += send_forged(raw, text, "127.0.0.1", 0, "127.0.0.1", port_) ? 1 : 0;
    sent += broadcaster.send(text, port_, "127.255.255.255") ? 1 : 0;
    if (i % 100 == 0) {
      own += own_broadcast.send(text, port_, "127.255.255.255") ? 1 : 0;
    }
    if (i % 10 == 9) {
      std::this_thread::sleep_until(started + (i + 1) * 1ms);
    }
  }
  close(raw);
  EXPECT_EQ(sent, 2 * kEach);
  EXPECT_EQ(own, kEach / 100);
  // Handled in order: the answer to this EHLO comes after every datagram above was.
  UdpPeer asker;
  EXPECT_EQ(ask(asker, "EHLO\n"), args.empty() ? "START\n" : "KEYED 2\n")
      << "no broadcast EHLO opened a session";
  EXPECT_EQ(broadcaster.receive(300ms), std::nullopt) << "no broadcast was answered";
  // The report of the lines held back comes in a later second, at the latest with the turn
  // that the one-second receive timeout makes.
  const auto reported = [&] {
    const auto entries = log_->entries();
    return std::any_of(entries.begin(), entries.end(), [](const LogEntry& entry) {
      return entry.text.find(kHeldBackPrefix) != std::string::npos;
    });
  };
  for (int i = 0; i < 40 && !reported(); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(reported()) << "the held-back report";
  const auto seconds =
      std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  std::size_t zero = 0;
  std::size_t group = 0;
  std::size_t about_datagrams = 0;
  for (const auto& entry : log_->entries()) {
    zero += entry.text == "Datagram from port 0; Dropping packet from 127.0.0.1:0" ? 1 : 0;
    group += entry.text.starts_with(
                 "Datagram to a broadcast or multicast address; Dropping packet from 127.0.0.2:")
                 ? 1
                 : 0;
    about_datagrams += entry.pid == server.pid() && entry.severity == LOG_WARNING ? 1 : 0;
    EXPECT_FALSE(entry.text.starts_with("Send failed")) << entry.text;
    EXPECT_FALSE(entry.text.starts_with(
        "Datagram to a broadcast or multicast address; Dropping packet from 127.0.0.1:"))
        << "the host's own broadcast takes no line";
  }
  std::cout << sent << " datagrams from port 0 or to 127.255.255.255 in " << seconds
            << " s: " << zero << " port-0 lines, " << group << " group lines, " << about_datagrams
            << " warnings in all\n";
  EXPECT_GE(zero, 1U);
  EXPECT_GE(group, 1U);
  // Ten budgeted lines a second and one report of those held back.
  EXPECT_LE(about_datagrams, static_cast<std::size_t>(11 * (seconds + 1))) << seconds << " s";
  EXPECT_EQ(systemctl_calls(), "");
}

TEST_F(Keyed, DatagramsFromPortZeroOrToBroadcastAreNeitherAnsweredNorLoggedBeyondTheBudget) {
  flood_from_port_zero_and_to_broadcast({"--key-file=" + key_path_});
}

TEST_F(Keyed, KeylessTooDatagramsFromPortZeroOrToBroadcastAreDroppedWithinTheBudget) {
  flood_from_port_zero_and_to_broadcast({});
}

// The keyed exchanges that make sense over IPv6 too run over ::1 as well, the daemon with --ipv6.
using KeyedOverIp = OverEachFamily<Keyed>;
INSTANTIATE_TEST_SUITE_P(Family, KeyedOverIp, kBothFamilies, family_name);

// Nothing is held for anyone: each EHLO gets its own challenge, and only a valid proof over a
// good one is carried out, once, whoever sends it. (Expiry, to the second, is the unit tests'.)
TEST_P(KeyedOverIp, OnlyAFreshProofOfAChallengeIsCarriedOutAndCopiesGetTheSameOk) {
  Process& server = start_serving(port_, {"--key-file=" + key_path_});
  UdpPeer a(loopback());
  UdpPeer b(loopback());
  Key other;
  EXPECT_EQ(ask(a, "EHLO\n"), "KEYED 2\n");
  EXPECT_EQ(ask(a, "EHLO ffffffff " + kNonce + "\n"), "KEYED 2\n") << "unknown key id";
  const std::string mine = challenge_for(a);
  const std::string theirs = challenge_for(b);
  std::string upper = proven("SUSPEND", mine);
  std::transform(upper.begin() + 8, upper.end(), upper.begin() + 8, ::toupper);
  // No key, a wrong key, the other word's proof, an OK's proof, an old version.
  for (const std::string& bad :
       {std::string("SUSPEND\n"), std::string("QUIT\n"), upper,
        command("SUSPEND", id(), mine, command_proof(other, mine, "SUSPEND")),
        command("SUSPEND", id(), mine, command_proof(key(), mine, "QUIT")),
        command("SUSPEND", id(), mine, ok_proof(key(), mine, "SUSPEND")),
        "SUSPEND " + command_proof(key(), mine, "SUSPEND") + "\n"}) {
    EXPECT_EQ(ask(a, bad, 300ms), std::nullopt) << bad;
  }
  const std::string ok = ok_for("SUSPEND", mine);
  EXPECT_EQ(ask(a, proven("SUSPEND", mine)), ok);
  // Then that the sleep command runs, and (the stand-in systemctl succeeds at once) that it
  // succeeded.
  EXPECT_EQ(a.receive(2s), "RUNNING " + running_proof(key(), mine) + "\n");
  const std::string sleeping = "SLEEPING " + sleeping_proof(key(), mine) + "\n";
  EXPECT_EQ(a.receive(2s), sleeping);
  // A copy, from anywhere, is answered again, with what came of it.
  for (const UdpPeer* peer : {&a, &b}) {
    EXPECT_EQ(ask(*peer, proven("SUSPEND", mine)), ok) << "a copy is answered again";
    EXPECT_EQ(peer->receive(2s), sleeping);
  }
  EXPECT_EQ(ask(a, proven("QUIT", mine), 300ms), std::nullopt) << "spent for another word";
  EXPECT_EQ(ask(a, proven("QUIT", theirs)), ok_for("QUIT", theirs))
      << "a challenge that b asked for serves whoever holds the key";
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(systemctl_calls(), "suspend\n");
  // The sink reads on a thread of its own: wait for the lines before counting them.
  const std::string proven_line =
      "Command from client " + a.identity() + " proven with key default";
  EXPECT_TRUE(log_->wait_for(proven_line, 3s, 2));
  EXPECT_EQ(log_->count(proven_line), 2U);
  expect_logged_once(kSuspending, LOG_INFO, server.pid());
  expect_logged_once("EHLO without a key; Answered KEYED to client " + a.identity(), LOG_WARNING,
                     server.pid());
  EXPECT_EQ(log_->count("Unknown key; Answered KEYED to client " + a.identity()), 1U);
  EXPECT_EQ(log_->count("Command without a valid proof; Dropping packet from " + a.identity()), 7U);
  EXPECT_EQ(log_->count("Spent or expired challenge; Dropping packet from " + a.identity()), 1U);
  for (const auto& entry : log_->entries()) {
    EXPECT_EQ(entry.raw.find(read_file(key_path_).substr(0, 64)), std::string::npos) << entry.raw;
    EXPECT_EQ(entry.raw.find("Dropping packet from " + b.identity()), std::string::npos)
        << "nothing b sent was dropped: " << entry.raw;
  }
}

// A sleep command that takes three seconds and fails: the daemon serves on meanwhile, and
// every copy of the SUSPEND, from anywhere, learns how it came out.
TEST_P(KeyedOverIp, TheDaemonServesWhileItsSleepCommandRunsAndEveryCopyLearnsItsEnd) {
  start_serving(port_, {"--key-file=" + key_path_},
                {systemctl_sleeps(3), "LMR_FAKE_SYSTEMCTL_STATUS=1"});
  UdpPeer holder(loopback());
  UdpPeer other(loopback());
  const std::string mine = challenge_for(holder);
  const std::string ok = ok_for("SUSPEND", mine);
  const std::string running = "RUNNING " + running_proof(key(), mine) + "\n";
  EXPECT_EQ(ask(holder, proven("SUSPEND", mine)), ok);
  EXPECT_EQ(holder.receive(1s), running);
  EXPECT_FALSE(challenge_for(other).empty()) << "a probe is answered while the command runs";
  EXPECT_EQ(ask(other, proven("SUSPEND", mine)), ok);
  EXPECT_EQ(other.receive(1s), running);
  const std::string refused = "REFUSED 1 " + refused_proof(key(), mine, 1) + "\n";
  EXPECT_EQ(holder.receive(5s), refused) << "the sender is told when it fails";
  EXPECT_EQ(ask(other, proven("SUSPEND", mine)), ok);
  EXPECT_EQ(other.receive(1s), refused) << "and so is a copy from anywhere, after";
  EXPECT_EQ(ask(holder, proven("QUIT", challenge_for(holder))).has_value(), true);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(systemctl_calls(), "suspend\n");
  EXPECT_TRUE(log_->wait_for(
      "Sleep refused (systemctl suspend exit 1); Told client " + holder.identity(), 3s, 1));
}

TEST_F(Keyed, RefusedKeyFilesEndStartUpWithAReasonAndAnAcceptedKeyMakesItNonDumpable) {
  const std::string digits = read_file(key_path_).substr(0, 64);
  const auto file = [&](const std::string& name, const std::string& content, mode_t mode) {
    return lmrtest::write_key_file((dir_ / name).string(), content, mode);
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
        file("non-hex", "g" + digits.substr(1), 0600), file("lone-cr", digits + "\r", 0600),
        file("extra", digits + "\nx", 0600), file("comments-only", "# none\n\n", 0600),
        file("bad-name", digits + " a/b\n", 0600),
        file("same-name", digits + " a\n" + std::string(64, '1') + " a\n", 0600),
        file("same-key", std::string(digits).append(" a\n").append(digits).append(" b\n"), 0600),
        file("two-defaults", digits + "\n" + std::string(64, '1') + "\n", 0600)}) {
    restart_log();
    start_server({"-p", std::to_string(port_), "--key-file=" + path});
    EXPECT_EQ(exit_status(), 1) << path;
    const std::string error = server_->standard_error();
    EXPECT_TRUE(error.starts_with("Key file refused: " + path)) << error;
    EXPECT_EQ(error.find(digits.substr(0, 16)), std::string::npos) << error;
    expect_logged_once(error.substr(0, error.size() - 1), LOG_ERR, server_->pid());
    // --check refuses it the same way, and serves nothing.
    start_server({"--check", "--key-file=" + path});
    EXPECT_EQ(exit_status(), 1) << path;
    EXPECT_EQ(server_->standard_error(), error);
  }
  start_server({"--check", "--key-file=" + key_path_, "-p", std::to_string(port_)});
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(server_->standard_output(), key_path_ + ": 1 key (default)\n");
  EXPECT_FALSE(wait_until_bound(port_, 200ms)) << "a check serves nothing";
  start_server({"--check"});
  EXPECT_EQ(exit_status(), 1);
  EXPECT_EQ(server_->standard_error(),
            "Nothing to check: give the key file with --key-file=FILE\n");
  // Run as nobody, whose /proc files the kernel gives to root when it is not dumpable.
  std::filesystem::permissions(dir_, std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  start_server({"-p", std::to_string(port_), "--key-file", nobodys}, {}, kNobody);
  ASSERT_TRUE(wait_until_bound(port_, 5s)) << server_->standard_error();
  struct stat proc {};
  ASSERT_EQ(stat(("/proc/" + std::to_string(server_->pid()) + "/status").c_str(), &proc), 0);
  EXPECT_EQ(proc.st_uid, 0U);
}

// SIGHUP (systemctl reload) reads the key file again: a new key works at once and one
// removed stops working; a file a start would refuse (a name twice, a loose mode) is refused
// with its reason and the keys in use stay, and the daemon serves on throughout.
TEST_F(Keyed, SighupReadsTheKeysAgainAndARefusedFileKeepsThoseInUse) {
  Process& server = start_serving(port_, {"--key-file=" + key_path_});
  const std::string first = read_file(key_path_);
  Key second;
  second.bytes.fill(0x22);
  Key third;
  third.bytes.fill(0x33);
  // Whether the daemon holds the key: a proven START for its EHLO, else KEYED 2.
  UdpPeer peer;
  const auto holds = [&](const Key& key) {
    const std::string start = ask(peer, "EHLO " + key_id(key) + " " + kNonce + "\n").value_or("");
    const std::string challenge = start.substr(std::min<std::size_t>(6, start.size()), 32);
    return start == "START " + challenge + " " + start_proof(key, kNonce, challenge) + "\n";
  };
  const auto reload = [&](const std::string& content, mode_t mode, const std::string& line) {
    EXPECT_EQ(write_key_file(key_path_, content, mode), key_path_);
    const std::size_t seen = log_->count(line);
    EXPECT_EQ(kill(server.pid(), SIGHUP), 0);
    EXPECT_TRUE(log_->wait_for(line, 3s, seen + 1)) << line;
  };
  const std::string both = first + std::string(64, '2') + " b\n";
  reload(both, 0600, "Keys reloaded from " + key_path_ + ": 2 keys");
  EXPECT_TRUE(holds(key()));
  EXPECT_TRUE(holds(second)) << "a key added works at once";
  const std::string refused =
      "Keys not reloaded (" + key_path_ +
      ", line 3: the name b, the same as on line 2); the daemon keeps its 2 keys";
  reload(both + std::string(64, '3') + " b\n", 0600, refused);
  reload(both, 0644,
         "Keys not reloaded (" + key_path_ +
             " has mode 0644: group and others must have no permission); the daemon keeps "
             "its 2 keys");
  EXPECT_TRUE(holds(key()));
  EXPECT_TRUE(holds(second));
  EXPECT_FALSE(holds(third)) << "nothing of a refused file is taken";
  reload(std::string(64, '2') + " b\n", 0600, "Keys reloaded from " + key_path_ + ": 1 key");
  EXPECT_FALSE(holds(key())) << "a key removed stops working";
  EXPECT_TRUE(holds(second));
  for (const auto& entry : log_->entries()) {
    EXPECT_EQ(entry.raw.find(first.substr(0, 64)), std::string::npos) << entry.raw;
  }
}

}  // namespace
}  // namespace lmrtest

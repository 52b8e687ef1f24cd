// Lost and stray datagrams, which loopback never loses by itself: a stand-in for the daemon
// drops or misdirects chosen replies, and records what the client sent.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "client/client_fixture.h"
#include "key/key.h"
#include "key/key_file.h"
#include "key/keyed_wire.h"

namespace lmrtest {
namespace {

using LostDatagrams = ClientTest;

/// What the stand-in does with one datagram.
struct Answer {
  std::optional<std::string> reply;  // nothing: the datagram or its reply is lost
  bool from_elsewhere = false;       // send the reply from another port than the one asked
  std::vector<std::string> then{};   // more datagrams, sent after the reply
};

class StandIn {
 public:
  /// Serves address:port on a thread of its own; answer gets each datagram's number and text.
  StandIn(std::uint16_t port, std::function<Answer(std::size_t, const std::string&)> answer,
          const char* address = "127.0.0.1")
      : answer_(std::move(answer)) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    elsewhere_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address);
    bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    thread_ = std::thread([this] { serve(); });
  }
  ~StandIn() {
    stop_ = true;
    thread_.join();
    close(fd_);
    close(elsewhere_fd_);
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  bool bound() const { return bound_; }

  std::vector<std::string> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

  /// The source ports the datagrams came from, one per datagram.
  std::vector<std::uint16_t> senders() const {
    std::lock_guard lock(mutex_);
    return senders_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) {
        continue;
      }
      std::array<char, 2048> buffer{};
      sockaddr_in sender{};
      socklen_t length = sizeof sender;
      const ssize_t size = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                    reinterpret_cast<sockaddr*>(&sender), &length);
      if (size < 0) {
        continue;
      }
      const std::string text(buffer.data(), static_cast<std::size_t>(size));
      std::size_t index = 0;
      {
        std::lock_guard lock(mutex_);
        index = received_.size();
        received_.push_back(text);
        senders_.push_back(ntohs(sender.sin_port));
      }
      const Answer answer = answer_(index, text);
      if (answer.reply) {
        sendto(answer.from_elsewhere ? elsewhere_fd_ : fd_, answer.reply->data(),
               answer.reply->size(), 0, reinterpret_cast<const sockaddr*>(&sender), length);
      }
      for (const std::string& more : answer.then) {
        sendto(fd_, more.data(), more.size(), 0, reinterpret_cast<const sockaddr*>(&sender),
               length);
      }
    }
  }

  std::function<Answer(std::size_t, const std::string&)> answer_;
  int fd_ = -1;
  int elsewhere_fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<std::uint16_t> senders_;
  std::thread thread_;
};

// Answers as the daemon would to a client that owns the session from its first EHLO on.
Answer as_owner(const std::string& text) {
  if (text == "EHLO\n") {
    return {"LOCKED\n"};
  }
  if (text == "SUSPEND\n" || text == "QUIT\n") {
    return {"OK\n"};
  }
  return {};
}

void expect_one_sender(const StandIn& stand_in) {
  const auto senders = stand_in.senders();
  ASSERT_FALSE(senders.empty());
  for (const auto port : senders) {
    EXPECT_EQ(port, senders.front()) << "every datagram must come from the same socket";
  }
}

const std::string kHost = "127.0.0.1:9999";
using Texts = std::vector<std::string>;

TEST_F(LostDatagrams, LostEhloIsRepeated) {
  StandIn stand_in(port_, [](std::size_t index, const std::string& text) -> Answer {
    if (index == 0) {
      return {};
    }
    return text == "EHLO\n" ? Answer{"START\n"} : as_owner(text);
  });
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"suspend", kHost});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHost + ": suspended\n");
  EXPECT_EQ(stand_in.received(), (Texts{"EHLO\n", "EHLO\n", "SUSPEND\n"}));
  expect_one_sender(stand_in);
}

TEST_F(LostDatagrams, LockedAfterALostStartWaitsForTheNextStart) {
  // The first EHLO opened our session but its START was lost; the resend finds it locked.
  // The command waits for a START of its own, which comes once that session is over.
  StandIn stand_in(port_, [](std::size_t index, const std::string& text) -> Answer {
    if (index < 2) {
      return index == 0 ? Answer{} : Answer{"LOCKED\n"};
    }
    return index == 2 ? Answer{"START\n"} : as_owner(text);
  });
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"quit", kHost});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHost + ": stopped\n");
  EXPECT_EQ(stand_in.received(), (Texts{"EHLO\n", "EHLO\n", "EHLO\n", "QUIT\n"}));
  expect_one_sender(stand_in);
}

TEST_F(LostDatagrams, LockUntilTheTimeLimitSendsNoCommand) {
  // A lost reply and a lock that outlasts the time limit: nothing but EHLO goes out, so
  // "locked" (try again) is true whichever session held the daemon.
  StandIn stand_in(port_, [](std::size_t index, const std::string& text) -> Answer {
    return index > 0 && text == "EHLO\n" ? Answer{"LOCKED\n"} : Answer{};
  });
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"-t", "4", "suspend", kHost});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, kHost + ": locked by another client\n");
  EXPECT_LT(run.took, 5s);
  const Texts received = stand_in.received();
  EXPECT_GE(received.size(), 3U);
  EXPECT_EQ(std::count(received.begin(), received.end(), "EHLO\n"), received.size());
}

TEST_F(LostDatagrams, LostOkIsUnconfirmedAndTheCommandIsNeverFollowedByEhlo) {
  StandIn stand_in(port_, [](std::size_t, const std::string& text) -> Answer {
    return text == "EHLO\n" ? Answer{"START\n"} : Answer{};
  });
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"suspend", kHost});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, kHost + ": command not confirmed\n");
  EXPECT_LT(run.took, 5s);
  EXPECT_EQ(stand_in.received(), (Texts{"EHLO\n", "SUSPEND\n"}));
}

TEST_F(LostDatagrams, StrayRepliesAreIgnored) {
  // A START from the wrong port, an END, a START without its line feed: none of them is
  // the daemon's answer. Only the fourth reply counts.
  StandIn stand_in(port_, [](std::size_t index, const std::string& text) -> Answer {
    switch (index) {
    case 0:
      return {"START\n", true};
    case 1:
      return {"END\n"};
    case 2:
      return {"START"};
    case 3:
      return {"START\n"};
    default:
      return as_owner(text);
    }
  });
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"suspend", kHost});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHost + ": suspended\n");
  EXPECT_EQ(stand_in.received(), (Texts{"EHLO\n", "EHLO\n", "EHLO\n", "EHLO\n", "SUSPEND\n"}));
  expect_one_sender(stand_in);
}

// With a key, a reply counts only when its proof answers this call's nonce (START) or its
// command's challenge and word (OK). A forger at the daemon's address and port, with replies
// made up or recorded from an earlier exchange, never has the command spent or reported done.
TEST_F(LostDatagrams, ForgedAndReplayedKeyedRepliesNeitherSpendTheCommandNorReportIt) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  KeySet keys;
  ASSERT_EQ(read_key_file(key_path, keys, true), "");
  const Key& key = keys.keys.front().key;
  const std::string old_nonce(32, 'a');
  const std::string old(32, 'b');  // a challenge of the earlier exchange
  const std::string made_up(64, 'c');
  const std::string start_of_old = "START " + old + " " + start_proof(key, old_nonce, old) + "\n";
  const std::string ok_of_old = "OK " + ok_proof(key, old, "SUSPEND") + "\n";
  const Texts forgeries{"START " + old + " " + made_up + "\n", start_of_old, "START\n", ok_of_old};
  StandIn forger(port_, [&](std::size_t index, const std::string&) -> Answer {
    return {forgeries.at(index % forgeries.size())};
  });
  ASSERT_TRUE(forger.bound());
  const ClientRun unstarted = run_client({"--key-file=" + key_path, "suspend", kHost});
  EXPECT_EQ(unstarted.status, 3);
  EXPECT_EQ(unstarted.out, kHost + ": no answer\n");
  Texts received = forger.received();
  ASSERT_EQ(received.size(), 4U);
  EXPECT_TRUE(received[0].starts_with("EHLO " + keys.keys.front().id + " ")) << received[0];
  EXPECT_EQ(std::count(received.begin(), received.end(), received[0]), 4) << "only its EHLO";

  // A genuine START for this call's nonce; then, for each copy of the command, an OK that
  // is not its own.
  const std::string fresh(32, 'd');
  StandIn daemon(static_cast<std::uint16_t>(port_ + 1),
                 [&](std::size_t index, const std::string& text) -> Answer {
                   if (index == 0) {
                     const std::string nonce = text.substr(text.size() - 33, 32);
                     return {"START " + fresh + " " + start_proof(key, nonce, fresh) + "\n"};
                   }
                   const Texts oks{ok_of_old, "OK\n", "OK " + ok_proof(key, fresh, "QUIT") + "\n"};
                   return {oks.at((index - 1) % oks.size())};
                 });
  ASSERT_TRUE(daemon.bound());
  const std::string host = "127.0.0.1:" + std::to_string(port_ + 1);
  const ClientRun unconfirmed = run_client({"--key-file=" + key_path, "suspend", host});
  EXPECT_EQ(unconfirmed.status, 3);
  EXPECT_EQ(unconfirmed.out, host + ": command not confirmed\n");
  received = daemon.received();
  const std::string command = "SUSPEND " + keys.keys.front().id + " " + fresh + " " +
                              command_proof(key, fresh, "SUSPEND") + "\n";
  EXPECT_EQ(received, (Texts{received.at(0), command, command, command}));
  expect_one_sender(daemon);
}

// The nonce of a keyed EHLO.
std::string nonce_of(const std::string& ehlo) { return ehlo.substr(ehlo.size() - 33, 32); }

// A REFUSED counts only with the proof of this command's challenge and the status it names.
// A forger's KEYED 2 ahead of the daemon's START, and REFUSEDs made up, for another
// challenge, under another key or with another status, all leave the host suspended; a
// proven one is heard even when the OK before it was lost.
TEST_F(LostDatagrams, OnlyARefusalProvenForTheCommandCountsAndAKeyedNoticeWaitsForTheStart) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  KeySet keys;
  ASSERT_EQ(read_key_file(key_path, keys, true), "");
  const Key& key = keys.keys.front().key;
  Key other;
  other.bytes.fill(7);
  const std::string challenge(32, 'e');
  const std::string for_status_2 = refused_datagram(key, challenge, 2);
  const Texts forged{
      "REFUSED 1 " + std::string(64, 'c') + "\n",
      refused_datagram(key, std::string(32, 'f'), 1),
      refused_datagram(other, challenge, 1),
      "REFUSED 1 " + for_status_2.substr(10),
      "REFUSED 1\n",
  };
  StandIn forger(port_, [&](std::size_t, const std::string& text) -> Answer {
    if (text.starts_with("EHLO ")) {
      return {"KEYED 2\n", false, {start_datagram(key, nonce_of(text), challenge)}};
    }
    return {ok_datagram(key, challenge, "SUSPEND"), false, forged};
  });
  ASSERT_TRUE(forger.bound());
  const ClientRun suspended = run_client({"--key-file", key_path, "suspend", kHost});
  EXPECT_EQ(suspended.status, 0) << suspended.err;
  EXPECT_EQ(suspended.out, kHost + ": suspended\n");
  EXPECT_EQ(forger.received().size(), 2U) << "one EHLO, one command";

  StandIn daemon(static_cast<std::uint16_t>(port_ + 1),
                 [&](std::size_t, const std::string& text) -> Answer {
                   if (text.starts_with("EHLO ")) {
                     return {start_datagram(key, nonce_of(text), challenge)};
                   }
                   return {refused_datagram(key, challenge, 1)};  // its OK was lost
                 });
  ASSERT_TRUE(daemon.bound());
  const std::string host = "127.0.0.1:" + std::to_string(port_ + 1);
  const ClientRun refused = run_client({"--key-file", key_path, "suspend", host});
  EXPECT_EQ(refused.status, 5);
  EXPECT_EQ(refused.out, host + ": refused by the host (systemctl exit 1)\n");
}

// A daemon from before the relay proves its START and answers a WAKE with nothing: after
// every copy of the WAKE, the client says so, not "no answer".
TEST_F(LostDatagrams, ADaemonThatAnswersNoWakeIsSaidToHaveNoRelay) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  KeySet keys;
  ASSERT_EQ(read_key_file(key_path, keys, true), "");
  const Key& key = keys.keys.front().key;
  StandIn old(port_, [&](std::size_t, const std::string& text) -> Answer {
    if (text.starts_with("EHLO ")) {
      return {start_datagram(key, nonce_of(text), std::string(32, 'e'))};
    }
    return {};
  });
  ASSERT_TRUE(old.bound());
  const ClientRun run =
      run_client({"--key-file", key_path, "wake", "--via", kHost, "nas=00:11:22:33:44:55"});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(run.out,
            "nas: the daemon on " + kHost + " does not relay wakes (it is older than the relay)\n");
  const Texts received = old.received();
  ASSERT_EQ(received.size(), 4U) << "one EHLO, the WAKE three times";
  EXPECT_TRUE(received[1].starts_with("WAKE 001122334455 ")) << received[1];
  EXPECT_EQ(received[2], received[1]);
  EXPECT_EQ(received[3], received[1]);
}

// --confirm: a host that goes silent once it has answered OK is reported suspended after a
// run of unanswered probes, each a keyed EHLO with a nonce of its own.
TEST_F(LostDatagrams, ConfirmedSuspendIsReportedOnceTheHostStopsAnsweringProbes) {
  const std::string key_path = (dir_ / "keys").string();
  ASSERT_EQ(write_new_key_file(key_path), "");
  KeySet keys;
  ASSERT_EQ(read_key_file(key_path, keys, true), "");
  const Key& key = keys.keys.front().key;
  const std::string challenge(32, 'e');
  std::atomic<bool> asleep{false};
  StandIn sleeper(port_, [&](std::size_t, const std::string& text) -> Answer {
    if (asleep) {
      return {};
    }
    if (text.starts_with("EHLO ")) {
      return {start_datagram(key, nonce_of(text), challenge)};
    }
    asleep = true;
    return {ok_datagram(key, challenge, "SUSPEND")};
  });
  ASSERT_TRUE(sleeper.bound());
  const ClientRun run = run_client({"--key-file", key_path, "--confirm", "suspend", kHost});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kHost + ": suspended\n");
  EXPECT_GE(run.took, 2500ms) << "a second for a refusal, then two seconds of silence";
  const Texts received = sleeper.received();
  ASSERT_GE(received.size(), 6U);
  EXPECT_TRUE(received[1].starts_with("SUSPEND ")) << received[1];
  std::vector<std::string> nonces{nonce_of(received[0])};
  for (std::size_t i = 2; i < received.size(); ++i) {
    EXPECT_TRUE(received[i].starts_with("EHLO " + keys.keys.front().id + " ")) << received[i];
    nonces.push_back(nonce_of(received[i]));
  }
  std::sort(nonces.begin(), nonces.end());
  EXPECT_EQ(std::adjacent_find(nonces.begin(), nonces.end()), nonces.end())
      << "every probe has a nonce of its own";
  expect_one_sender(sleeper);
}

// A name whose first address has nothing on the port: the kernel's ICMP says so at once, and
// the client asks the name's next address on the same socket, whose earlier error must not
// count against it.
TEST_F(LostDatagrams, ANameWhoseFirstAddressHasNoDaemonIsAskedAtItsNextAtOnce) {
  // The test's mount namespace is its own: its /etc/hosts names two addresses for one name.
  const std::string hosts = (dir_ / "hosts").string();
  std::ofstream(hosts) << "127.0.0.2 twice.test\n127.0.0.3 twice.test\n";
  ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  ASSERT_EQ(getaddrinfo("twice.test", nullptr, &hints, &found), 0);
  const auto first = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  if (first != inet_addr("127.0.0.2")) {
    GTEST_SKIP() << "the resolver puts 127.0.0.3 first";
  }
  // Bound to 127.0.0.3 only, so that 127.0.0.2 has nothing on the port.
  StandIn stand_in(
      port_,
      [](std::size_t, const std::string& text) -> Answer {
        return text == "EHLO\n" ? Answer{"START\n"} : as_owner(text);
      },
      "127.0.0.3");
  ASSERT_TRUE(stand_in.bound());
  const ClientRun run = run_client({"suspend", "twice.test:9999"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "twice.test:9999: suspended\n");
  EXPECT_LT(run.took, 1s) << "the first address was given up on at once, not after 4 s";
  EXPECT_EQ(stand_in.received(), (Texts{"EHLO\n", "SUSPEND\n"}));
}

}  // namespace
}  // namespace lmrtest

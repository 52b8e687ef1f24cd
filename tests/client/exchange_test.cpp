// One host's exchange, with the time passed in: its timing, the replies it takes as proven,
// and what it reports of hosts modelled by what they do. The end-to-end tests can only see
// this as a whole.
#include "client/exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "client/hearing.h"
#include "key/keyed_wire.h"
#include "support/worked_example.h"

namespace {

using namespace std::chrono_literals;

const Clock::time_point t0 = Clock::time_point{} + 1000s;

// Runs the exchange's timer at every 50 ms from `from` up to `to` and collects what it sends.
std::vector<Send> tick(Exchange& exchange, Clock::time_point from, Clock::time_point to) {
  std::vector<Send> sent;
  for (Clock::time_point now = from; now <= to; now += 50ms) {
    const Send send = on_timer(exchange, now);
    if (send != Send::kNothing) {
      sent.push_back(send);
    }
  }
  return sent;
}

TEST(Exchange, SilentHostGetsFourEhlosASecondApartThenNoAnswer) {
  Exchange exchange = start_exchange(t0, 10s);
  EXPECT_EQ(tick(exchange, t0, t0 + 3950ms), std::vector<Send>(4, Send::kEhlo));
  EXPECT_EQ(exchange.step, Step::kGreeting);
  EXPECT_EQ(next_timer(exchange), t0 + 4s);
  EXPECT_EQ(on_timer(exchange, t0 + 4s), Send::kNothing);
  EXPECT_EQ(exchange.result, Result::kNoAnswer);
}

TEST(Exchange, StartAfterTheTimeLimitSendsNoCommand) {
  Exchange exchange = start_exchange(t0, 1500ms);
  EXPECT_EQ(tick(exchange, t0, t0 + 1450ms).size(), 2U);
  // The loop read the clock late: the START is there, but the limit has passed.
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 1600ms), Send::kNothing);
  on_timer(exchange, t0 + 1600ms);
  EXPECT_EQ(exchange.result, Result::kNoAnswer);
}

TEST(Exchange, TimeLimitCutsEveryWaitShort) {
  Exchange silent = start_exchange(t0, 1500ms);
  EXPECT_EQ(tick(silent, t0, t0 + 1450ms).size(), 2U);
  EXPECT_EQ(next_timer(silent), t0 + 1500ms);
  on_timer(silent, t0 + 1500ms);
  EXPECT_EQ(silent.result, Result::kNoAnswer);

  Exchange locked = start_exchange(t0, 1500ms);
  on_timer(locked, t0);
  on_reply(locked, Reply::kLocked, t0 + 1ms);
  EXPECT_EQ(tick(locked, t0 + 50ms, t0 + 1450ms), std::vector<Send>{Send::kEhlo});
  on_reply(locked, Reply::kLocked, t0 + 1200ms);
  on_timer(locked, t0 + 1500ms);
  EXPECT_EQ(locked.result, Result::kLocked);
}

TEST(Exchange, LockedWaitsASecondAndAsksAgainWithoutGuessing) {
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  for (int round = 0; round < 3; ++round) {
    const Clock::time_point at = t0 + round * 1s + 10ms;
    EXPECT_EQ(on_reply(exchange, Reply::kLocked, at), Send::kNothing);
    EXPECT_EQ(exchange.step, Step::kWaitingForLock);
    EXPECT_EQ(on_timer(exchange, at + 999ms), Send::kNothing);
    EXPECT_EQ(on_timer(exchange, at + 1s), Send::kEhlo) << round;
  }
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 3100ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 3101ms), Send::kNothing);
  EXPECT_EQ(exchange.result, Result::kDone);
}

// A forged or replayed reply is as if it had never come: only the START that answers this
// client's nonce, and the OK of the word it sent with the challenge it answered, are proven.
TEST(KeyedExchange, TheClientTakesOnlyRepliesProvenForItsNonceAndCommand) {
  const Key key = example_key();
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  const Heard started = proven_reply(start, key, kNonce, "", "SUSPEND");
  EXPECT_EQ(started.reply, Reply::kKeyedStart);
  EXPECT_EQ(started.challenge, kChallenge) << "the challenge the command must answer";
  EXPECT_EQ(proven_reply(ok, key, kNonce, kChallenge, "SUSPEND").reply, Reply::kKeyedOk);
  // A REFUSED counts only for a SUSPEND, on its own challenge, and brings its status along;
  // so do RUNNING and SLEEPING.
  const std::string refused = refused_datagram(key, kChallenge, 143);
  const Heard refusal = proven_reply(refused, key, kNonce, kChallenge, "SUSPEND");
  EXPECT_EQ(refusal.reply, Reply::kRefused);
  EXPECT_EQ(refusal.sleep_status, 143);
  const std::string running = running_datagram(key, kChallenge);
  const std::string sleeping = sleeping_datagram(key, kChallenge);
  EXPECT_EQ(proven_reply(running, key, kNonce, kChallenge, "SUSPEND").reply, Reply::kRunning);
  EXPECT_EQ(proven_reply(sleeping, key, kNonce, kChallenge, "SUSPEND").reply, Reply::kSleeping);
  // An INHIBITED ends a SUSPEND as refused, with who and why, whatever REFUSED follows it.
  const std::string inhibited = inhibited_datagram(key, kChallenge, "backup: Backup in progress");
  const Heard held = proven_reply(inhibited, key, kNonce, kChallenge, "SUSPEND");
  EXPECT_EQ(held.reply, Reply::kInhibited);
  EXPECT_EQ(proven_reply(inhibited, key, kNonce, kChallenge, "QUIT").reply, Reply::kOther);
  Exchange exchange = start_exchange(t0, 10s, Plan{Task::kCommand, true, true});
  on_timer(exchange, t0);
  on_reply(exchange, Reply::kKeyedStart, t0 + 1ms);
  on_reply(exchange, Reply::kKeyedOk, t0 + 2ms);
  on_reply(exchange, held.reply, t0 + 3ms, held.sleep_status, held.inhibitor);
  on_reply(exchange, Reply::kRefused, t0 + 4ms, 2);
  EXPECT_EQ(exchange.result, Result::kRefused);
  EXPECT_EQ(exchange.inhibitor, "backup: Backup in progress");
  EXPECT_EQ(exchange.sleep_status, 1) << "the status of its REFUSED";
  // While --confirm probes, only a START proven for a probe's nonce shows the host awake.
  const std::vector<std::string> probes{std::string(32, 'e'), std::string(32, 'f')};
  EXPECT_EQ(
      probe_reply(start_datagram(key, probes[1], kChallenge), key, probes, kChallenge, "SUSPEND")
          .reply,
      Reply::kKeyedStart);
  EXPECT_EQ(probe_reply(start, key, probes, kChallenge, "SUSPEND").reply, Reply::kOther)
      << "the START for the command's own EHLO is old news";
  EXPECT_EQ(probe_reply("START " + kChallenge + " " + std::string(64, 'e') + "\n", key, probes,
                        kChallenge, "SUSPEND")
                .reply,
            Reply::kOther);

  std::string upper = start;
  std::transform(upper.begin() + 6, upper.end(), upper.begin() + 6, ::toupper);
  Key other;
  const std::string other_nonce(32, 'a');
  const std::string other_challenge(32, 'b');
  struct Forgery {
    std::string datagram, nonce, challenge, word;
    const Key* key;
  };
  for (const Forgery& f : std::vector<Forgery>{
           {start, other_nonce, "", "SUSPEND", &key},  // recorded from another exchange
           {start, kNonce, "", "SUSPEND", &other},     // made with another key
           {upper, kNonce, "", "SUSPEND", &key},
           {"START " + kChallenge + (" " + kSuspendOk) + "\n", kNonce, "", "SUSPEND", &key},
           {"START\n", kNonce, "", "SUSPEND", &key},
           {ok, kNonce, other_challenge, "SUSPEND", &key},  // an earlier challenge's OK
           {ok, kNonce, kChallenge, "QUIT", &key},          // the other word's
           {ok, kNonce, "", "SUSPEND", &key},               // before any command
           {"OK " + kSuspendProof + "\n", kNonce, kChallenge, "SUSPEND", &key},
           {"OK\n", kNonce, kChallenge, "SUSPEND", &key},
           {"LOCKED\n", kNonce, kChallenge, "SUSPEND", &key},
           {"END\n", kNonce, kChallenge, "SUSPEND", &key},
           {refused, kNonce, kChallenge, "QUIT", &key},          // a QUIT has no sleep
           {refused, kNonce, other_challenge, "SUSPEND", &key},  // another SUSPEND's
           {refused, kNonce, kChallenge, "SUSPEND", &other},     // made with another key
           {running, kNonce, kChallenge, "QUIT", &key},
           {running, kNonce, other_challenge, "SUSPEND", &key},
           {sleeping, kNonce, kChallenge, "QUIT", &key},
           {sleeping, kNonce, other_challenge, "SUSPEND", &key},
           {sleeping, kNonce, kChallenge, "SUSPEND", &other},
           {"SLEEPING " + kSuspendOk + "\n", kNonce, kChallenge, "SUSPEND", &key},  // an OK's proof
       }) {
    EXPECT_EQ(proven_reply(f.datagram, *f.key, f.nonce, f.challenge, f.word).reply, Reply::kOther)
        << f.datagram << " for " << f.nonce << "/" << f.challenge << "/" << f.word;
  }
}

// A relay's RELAYED and DENIED count only for a WAKE, on its own challenge, under the key.
TEST(KeyedExchange, TheRelaysRepliesCountOnlyForAWakeOnItsChallenge) {
  const Key key = example_key();
  Key other;
  const std::string wake = wake_word("001122334455");
  const std::string relayed = relayed_datagram(key, kChallenge, 3);
  const Heard heard = proven_reply(relayed, key, kNonce, kChallenge, wake);
  EXPECT_EQ(heard.reply, Reply::kRelayed);
  EXPECT_EQ(heard.sleep_status, 3) << "the count of networks";
  EXPECT_EQ(
      proven_reply(denied_datagram(key, kChallenge, "key"), key, kNonce, kChallenge, wake).reply,
      Reply::kDeniedKey);
  EXPECT_EQ(
      proven_reply(denied_datagram(key, kChallenge, "rate"), key, kNonce, kChallenge, wake).reply,
      Reply::kDeniedRate);
  for (const std::string& word : {std::string("SUSPEND"), std::string("QUIT")}) {
    EXPECT_EQ(proven_reply(relayed, key, kNonce, kChallenge, word).reply, Reply::kOther) << word;
  }
  EXPECT_EQ(proven_reply(relayed, key, kNonce, std::string(32, 'b'), wake).reply, Reply::kOther);
  EXPECT_EQ(proven_reply(relayed, other, kNonce, kChallenge, wake).reply, Reply::kOther);
  EXPECT_EQ(
      proven_reply(denied_datagram(other, kChallenge, "key"), key, kNonce, kChallenge, wake).reply,
      Reply::kOther);
}

// What the client takes depends on where its exchange stands: before the command, the START
// for its EHLO's nonce; once --confirm probes, only a START for a probe.
TEST(KeyedExchange, OnceConfirmingOnlyAStartForAProbeIsHeard) {
  const Key key = example_key();
  Proving proving;
  proving.word = "SUSPEND";
  proving.nonce = std::string(32, 'a');
  proving.challenge = std::string(32, 'c');
  proving.probes = {std::string(32, 'e')};
  const std::string greeted = start_datagram(key, proving.nonce, std::string(32, 'b'));
  const std::string probed = start_datagram(key, proving.probes[0], std::string(32, 'd'));
  Exchange exchange = start_exchange(t0, 10s, {Task::kCommand, true, true, true});
  EXPECT_EQ(on_timer(exchange, t0), Send::kEhlo);
  EXPECT_EQ(hear(exchange, greeted, &key, proving).reply, Reply::kKeyedStart);
  EXPECT_EQ(hear(exchange, probed, &key, proving).reply, Reply::kOther);
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedStart, t0 + 1ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedOk, t0 + 2ms), Send::kNothing);
  EXPECT_EQ(on_timer(exchange, t0 + 2ms + kRefusalWait), Send::kProbe);
  EXPECT_EQ(hear(exchange, probed, &key, proving).reply, Reply::kKeyedStart);
  EXPECT_EQ(hear(exchange, greeted, &key, proving).reply, Reply::kOther) << "old news";
}

// Copies of a keyed command are carried out once, so it goes again while no proven OK comes;
// with a key, nothing but proven replies moves the exchange.
TEST(KeyedExchange, CommandGoesThreeTimesASecondApartAndUnprovenRepliesAreIgnored) {
  Exchange exchange = start_exchange(t0, 10s, {.keyed = true});
  EXPECT_EQ(on_timer(exchange, t0), Send::kEhlo);
  for (const Reply ignored : {Reply::kStart, Reply::kLocked, Reply::kEnd, Reply::kKeyed, Reply::kOk,
                              Reply::kKeyedOk, Reply::kOther}) {
    EXPECT_EQ(on_reply(exchange, ignored, t0 + 10ms), Send::kNothing);
    EXPECT_EQ(exchange.step, Step::kGreeting);
  }
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedStart, t0 + 20ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedStart, t0 + 30ms), Send::kNothing);
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 40ms), Send::kNothing);
  EXPECT_EQ(tick(exchange, t0 + 50ms, t0 + 3050ms),
            std::vector<Send>(kKeyedCommandTries - 1, Send::kCommand));
  EXPECT_EQ(exchange.result, Result::kUnconfirmed);

  Exchange keyless = start_exchange(t0, 10s);
  on_timer(keyless, t0);
  EXPECT_EQ(on_reply(keyless, Reply::kKeyedStart, t0 + 10ms), Send::kNothing);
  EXPECT_EQ(on_reply(keyless, Reply::kKeyed, t0 + 20ms), Send::kNothing);
  EXPECT_EQ(keyless.result, Result::kNeedsKey);
}

}  // namespace

namespace {

using namespace std::chrono_literals;

const Clock::time_point s0 = Clock::time_point{} + 5000s;

// A host as an exchange meets it. Its daemon answers each datagram a millisecond later, with
// Reply values: proofs are proven_reply's business, tested above. The truth of each row is
// what the host is and does, and the exchange must report that truth.
struct Host {
  bool listening = true;  // a daemon is bound to the port; else the kernel answers ICMP
  bool keyed = true;      // the daemon holds keys
  bool knows_key = true;  // ... and the client's among them
  bool sleeps = true;     // a successful sleep command puts the host to sleep for good
  int sleep_status = 0;   // the sleep command's exit status
  Clock::duration command_takes = 100ms;
  // A keyed daemon that knows RUNNING and SLEEPING: it says RUNNING with its OK, tells the
  // command's sender SLEEPING or REFUSED once the sleep command ends, keeps answering
  // meanwhile, and answers each copy of the command with the OK and the outcome so far. One
  // from before these words answers nothing while the command runs, and tells only REFUSED.
  bool tells_outcome = true;
  bool loses_ok = false;       // the first OK is lost on the way
  bool loses_outcome = false;  // the SLEEPING or REFUSED told once the command ends is lost
  Clock::duration up_after{};  // the host is down (silent) until then
  bool forged_notice = false;  // a forger answers each EHLO with KEYED 2 ahead of the daemon
};

// What came of one exchange with a host.
struct Outcome {
  Result result = Result::kPending;
  Clock::duration took{};
  int carried_out = 0;
  int commands = 0;
  int probes = 0;
  int sleep_status = 0;
};

class HostModel {
 public:
  HostModel(const Host& host, const Plan& plan) : host_(host), plan_(plan) {}

  // The daemon's answers to what the client sent at now.
  void receive(Send send, Clock::time_point now) {
    if (send == Send::kNothing || now < s0 + host_.up_after || now >= asleep_) {
      return;
    }
    if (!host_.listening) {
      answer(Reply::kUnreachable, now);
      return;
    }
    // A daemon that tells the outcome answers while its sleep command runs; others take each
    // datagram once it is done. Neither answers once the host sleeps.
    const Clock::time_point at = tells() ? now : std::max(now, busy_until_);
    if (at >= asleep_) {
      return;
    }
    if (send == Send::kCommand) {
      command(at);
      return;
    }
    // An EHLO or a probe. Without keys a keyed EHLO (status, wake --wait, a keyed client) is
    // stray data; a keyed daemon answers KEYED 2 to a key it does not hold or to a plain EHLO.
    const bool keyed_ehlo = plan_.keyed || plan_.task != Task::kCommand;
    if (host_.forged_notice) {
      answer(Reply::kKeyed, at);
    }
    if (!host_.keyed) {
      answer(keyed_ehlo ? Reply::kOther : Reply::kStart, at);
    } else if (plan_.keyed && host_.knows_key) {
      answer(Reply::kKeyedStart, at);
    } else {
      answer(Reply::kKeyed, at);
    }
  }

  bool idle() const { return replies_.empty(); }
  Clock::time_point next_time() const { return replies_.begin()->first; }
  std::pair<Reply, int> pop() {
    const auto reply = replies_.begin()->second;
    replies_.erase(replies_.begin());
    return reply;
  }
  int carried_out() const { return carried_out_; }

 private:
  bool tells() const { return host_.keyed && host_.tells_outcome && plan_.keyed; }

  void answer(Reply reply, Clock::time_point at, int status = 0) {
    replies_.emplace(at + 1ms, std::make_pair(reply, status));
  }

  // The first proven command is carried out; copies get the same OK, and from a daemon that
  // tells the outcome, what the sleep command has come to by then.
  void command(Clock::time_point at) {
    const bool first = received_++ == 0;
    if (!(host_.loses_ok && first)) {
      answer(plan_.keyed ? Reply::kKeyedOk : Reply::kOk, at);
    }
    if (!first) {
      if (plan_.suspend && tells()) {
        answer(at < busy_until_          ? Reply::kRunning
               : host_.sleep_status != 0 ? Reply::kRefused
                                         : Reply::kSleeping,
               at, host_.sleep_status);
      }
      return;
    }
    carried_out_ = 1;
    if (!plan_.suspend) {
      return;
    }
    busy_until_ = at + host_.command_takes;
    if (tells()) {
      answer(Reply::kRunning, at);
    }
    const bool told = plan_.keyed && !host_.loses_outcome;
    if (host_.sleep_status != 0) {
      if (told) {
        answer(Reply::kRefused, busy_until_, host_.sleep_status);
      }
      return;
    }
    if (told && tells()) {
      answer(Reply::kSleeping, busy_until_);
    }
    if (host_.sleeps) {
      asleep_ = busy_until_;
    }
  }

  Host host_;
  Plan plan_;
  Clock::time_point busy_until_{};
  Clock::time_point asleep_ = Clock::time_point::max();
  int received_ = 0;  // commands, copies included
  int carried_out_ = 0;
  std::multimap<Clock::time_point, std::pair<Reply, int>> replies_;
};

Outcome run(const Plan& plan, const Host& host, Clock::duration limit = 10s) {
  Exchange exchange =
      start_exchange(s0, std::chrono::duration_cast<std::chrono::milliseconds>(limit), plan);
  HostModel model(host, plan);
  Outcome outcome;
  const auto sends = [&](Send send, Clock::time_point now) {
    outcome.commands += send == Send::kCommand ? 1 : 0;
    outcome.probes += send == Send::kProbe ? 1 : 0;
    model.receive(send, now);
  };
  Clock::time_point now = s0;
  while (exchange.step != Step::kFinished) {
    if (!model.idle() && model.next_time() <= next_timer(exchange)) {
      now = model.next_time();
      const auto [reply, status] = model.pop();
      sends(on_reply(exchange, reply, now, status), now);
    } else {
      now = next_timer(exchange);
      sends(on_timer(exchange, now), now);
    }
  }
  outcome.result = exchange.result;
  outcome.took = exchange.finished - s0;
  outcome.carried_out = model.carried_out();
  outcome.sleep_status = exchange.sleep_status;
  return outcome;
}

constexpr Plan kKeyedSuspend{Task::kCommand, true, true, false};
constexpr Plan kConfirmedSuspend{Task::kCommand, true, true, true};

// How a keyed SUSPEND's sleep command ends, as the daemon tells it: refused whenever it fails
// within the time limit, suspended as soon as the daemon says that it succeeded; a daemon
// from before these words is taken as before.
TEST(Refusal, ASleepCommandThatFailsWithinTheLimitIsRefusedAndSuccessIsReportedWhenTold) {
  Host refusing;
  refusing.sleep_status = 1;
  Outcome outcome = run(kKeyedSuspend, refusing);
  EXPECT_EQ(outcome.result, Result::kRefused);
  EXPECT_EQ(outcome.sleep_status, 1);
  EXPECT_EQ(outcome.carried_out, 1);

  // A command that fails late, long after a second, plain and with --confirm alike.
  refusing.command_takes = 4s;
  for (const Plan& plan : {kKeyedSuspend, kConfirmedSuspend}) {
    const Outcome late = run(plan, refusing);
    EXPECT_EQ(late.result, Result::kRefused) << plan.confirm;
    EXPECT_GE(late.took, 4s);
    EXPECT_LT(late.took, 4s + 10ms);
    EXPECT_EQ(late.carried_out, 1);
  }
  // Its REFUSED lost (or told to whoever sent our command first): a copy asks for it again.
  refusing.loses_outcome = true;
  const Outcome asked = run(kKeyedSuspend, refusing);
  EXPECT_EQ(asked.result, Result::kRefused);
  EXPECT_LT(asked.took, 4s + kResendInterval + 10ms);
  EXPECT_EQ(asked.carried_out, 1);

  // SLEEPING is the answer when it comes: at once, with no wait for a refusal, or after 4 s.
  Host quick;
  quick.command_takes = 0ms;
  const Outcome slept = run(kKeyedSuspend, quick);
  EXPECT_EQ(slept.result, Result::kDone);
  EXPECT_LT(slept.took, 10ms);
  Host slow;
  slow.command_takes = 4s;
  const Outcome slept_late = run(kKeyedSuspend, slow);
  EXPECT_EQ(slept_late.result, Result::kDone);
  EXPECT_GE(slept_late.took, 4s);
  EXPECT_LT(slept_late.took, 4s + 10ms);
  // With the OK lost, the RUNNING and SLEEPING after it show that the command was taken.
  quick.loses_ok = true;
  const Outcome no_ok = run(kKeyedSuspend, quick);
  EXPECT_EQ(no_ok.result, Result::kDone);
  EXPECT_EQ(no_ok.commands, 1);
  EXPECT_LT(no_ok.took, 10ms);

  // A command still running at the time limit: how it ends is not known, and a copy went
  // each second to ask.
  Host endless;
  endless.command_takes = 1h;
  for (const Plan& plan : {kKeyedSuspend, kConfirmedSuspend}) {
    const Outcome unknown = run(plan, endless);
    EXPECT_EQ(unknown.result, Result::kUnconfirmed) << plan.confirm;
    EXPECT_EQ(unknown.took, 10s);
    EXPECT_EQ(unknown.commands, 10) << "the command, then a copy each second from the first on";
    EXPECT_EQ(unknown.carried_out, 1);
  }

  // A daemon from before RUNNING: a host that sleeps is reported once the wait is over, not
  // before, for the refusal may come; a command that fails within the wait is heard.
  Host old;
  old.tells_outcome = false;
  const Outcome old_slept = run(kKeyedSuspend, old);
  EXPECT_EQ(old_slept.result, Result::kDone);
  EXPECT_GE(old_slept.took, kRefusalWait);
  EXPECT_LT(old_slept.took, kRefusalWait + 100ms);
  EXPECT_EQ(old_slept.commands, 1);
  old.sleep_status = 1;
  old.command_takes = 900ms;
  EXPECT_EQ(run(kKeyedSuspend, old).result, Result::kRefused);

  // Keyless, and for QUIT, there is no refusal to wait for.
  Host keyless;
  keyless.keyed = false;
  keyless.sleep_status = 1;
  const Outcome plain = run({Task::kCommand, false, true, false}, keyless);
  EXPECT_EQ(plain.result, Result::kDone);
  EXPECT_LT(plain.took, 100ms);
  const Outcome quit = run({Task::kCommand, true, false, false}, endless);
  EXPECT_EQ(quit.result, Result::kDone);
  EXPECT_LT(quit.took, 100ms);
}

TEST(Confirm, SuspendedOnlyOnceTheHostStopsAnsweringProbes) {
  Host old;
  old.tells_outcome = false;
  for (const Host& host : {Host{}, old}) {
    const Outcome slept = run(kConfirmedSuspend, host);
    EXPECT_EQ(slept.result, Result::kDone);
    EXPECT_EQ(slept.probes, kConfirmProbes);
    // A daemon from before SLEEPING gives no word: the probes start after the refusal wait.
    EXPECT_GE(slept.took, (host.tells_outcome ? host.command_takes : kRefusalWait) +
                              kConfirmProbes * kProbeInterval);
  }
  // Told SLEEPING after 4 s, it probes from then on.
  Host slow;
  slow.command_takes = 4s;
  const Outcome slept_late = run(kConfirmedSuspend, slow);
  EXPECT_EQ(slept_late.result, Result::kDone);
  EXPECT_EQ(slept_late.probes, kConfirmProbes);
  EXPECT_GE(slept_late.took, 4s + kConfirmProbes * kProbeInterval);

  // A host that stays up is not taken for asleep, however long its sleep command ran: it
  // did not sleep. Only a daemon from before SLEEPING, deaf for longer than the refusal wait
  // and the probes together (the manual says so), cannot be told from a sleeper.
  Host awake;
  awake.sleeps = false;
  Host old_awake = awake;
  old_awake.tells_outcome = false;
  for (const auto takes : {0ms, 100ms, 1500ms, 2900ms, 3100ms, 4000ms}) {
    awake.command_takes = takes;
    old_awake.command_takes = takes;
    const Outcome outcome = run(kConfirmedSuspend, awake, 8s);
    EXPECT_EQ(outcome.result, Result::kDidNotSleep) << takes.count();
    EXPECT_EQ(outcome.carried_out, 1);
    EXPECT_EQ(run(kConfirmedSuspend, old_awake, 8s).result,
              takes < kRefusalWait + kConfirmProbes * kProbeInterval ? Result::kDidNotSleep
                                                                     : Result::kDone)
        << takes.count();
  }
  Host refusing;
  refusing.sleep_status = 3;
  EXPECT_EQ(run(kConfirmedSuspend, refusing).result, Result::kRefused);
  // A time limit that ends the wait or the probes leaves the sleep unconfirmed.
  EXPECT_EQ(run(kConfirmedSuspend, Host{}, 1s).result, Result::kDidNotSleep);
  EXPECT_EQ(run(kConfirmedSuspend, old, 1s).result, Result::kDidNotSleep);
}

TEST(KeyNotKnown, AKeyedNoticeIsTheAnswerOnlyIfNoProvenStartFollowsWithinASecond) {
  Host stranger;
  stranger.knows_key = false;
  for (const Task task : {Task::kCommand, Task::kStatus, Task::kAwait}) {
    const Outcome outcome = run({task, true, true, false}, stranger);
    EXPECT_EQ(outcome.result, Result::kKeyNotKnown);
    EXPECT_EQ(outcome.commands, 0);
    EXPECT_LE(outcome.took, kResendInterval);
  }
  Host forged;
  forged.forged_notice = true;
  EXPECT_EQ(run(kKeyedSuspend, forged).result, Result::kDone);
  EXPECT_EQ(run({Task::kStatus, true, false, false}, forged).result, Result::kDone);
}

TEST(NoDaemon, AnIcmpPortUnreachableEndsAskingAtOnceButNotWaitingForAWake) {
  Host empty;
  empty.listening = false;
  for (const Plan& plan :
       {Plan{Task::kCommand, false, true, false}, kKeyedSuspend, Plan{Task::kStatus}}) {
    const Outcome outcome = run(plan, empty);
    EXPECT_EQ(outcome.result, Result::kNoDaemon);
    EXPECT_LT(outcome.took, 10ms);
  }
  // A host that is starting answers for its kernel before its daemon runs.
  const Outcome booting = run({Task::kAwait, true, false, false}, empty, 5s);
  EXPECT_EQ(booting.result, Result::kNoDaemon);
  EXPECT_EQ(booting.took, 5s);
}

TEST(Status, AwakeNeedsAKeyOrSilentAndNeverACommand) {
  struct Row {
    Plan plan;
    Host host;
    Result result;
  };
  Host keyless;
  keyless.keyed = false;
  Host down;
  down.up_after = 1h;
  for (const Row& row : std::vector<Row>{
           {{Task::kStatus, true}, Host{}, Result::kDone},
           {{Task::kStatus, false}, Host{}, Result::kNeedsKey},
           {{Task::kStatus, true}, keyless, Result::kNoAnswer},
           {{Task::kStatus, false}, keyless, Result::kNoAnswer},
           {{Task::kStatus, true}, down, Result::kNoAnswer},
       }) {
    const Outcome outcome = run(row.plan, row.host);
    EXPECT_EQ(outcome.result, row.result) << row.plan.keyed << row.host.keyed;
    EXPECT_EQ(outcome.commands + outcome.carried_out, 0);
    EXPECT_LE(outcome.took, kEhloTries * kResendInterval);
  }
}

TEST(WakeWait, AwakeWhenTheDaemonAnswersAfterItBootsElseNoAnswerAtTheLimit) {
  Host booting;
  booting.up_after = 7200ms;
  const Outcome keyed = run({Task::kAwait, true}, booting, 60s);
  EXPECT_EQ(keyed.result, Result::kDone);
  EXPECT_GT(keyed.took, 7200ms);
  EXPECT_LE(keyed.took, 7200ms + kResendInterval + 1ms);
  // Without a key, the daemon's KEYED 2 is all it can say, and it says that it is up.
  EXPECT_EQ(run({Task::kAwait, false}, booting, 60s).result, Result::kDone);
  const Outcome late = run({Task::kAwait, true}, booting, 5s);
  EXPECT_EQ(late.result, Result::kNoAnswer);
  EXPECT_EQ(late.took, 5s);
}

// A relay as an exchange meets it: its daemon answers a millisecond later, each EHLO with a
// START for a new challenge and each WAKE on the latest one. The truth of each row is what
// the relay is and does, and the exchange must report that truth.
struct Relay {
  bool answers = true;         // a daemon listens at all
  bool relays = true;          // ... and knows WAKE; one from before answers it with nothing
  bool may_wake = true;        // the key file lets the client's key wake
  int networks = 1;            // how many broadcast addresses the packet goes to
  Clock::duration busy_for{};  // the relay's rate is used up until then: DENIED rate
  bool loses_ok = false;       // the first OK is lost
  bool loses_relayed = false;  // the first RELAYED is lost
};

struct Relayed {
  Result result = Result::kPending;
  RelayRefusal refusal = RelayRefusal::kNoNetwork;
  int carried_out = 0;  // challenges spent: magic packets sent
  int commands = 0;
  Clock::duration took{};
};

Relayed relay(const Relay& relay, Clock::duration limit = 10s) {
  Exchange exchange = start_exchange(
      s0, std::chrono::duration_cast<std::chrono::milliseconds>(limit), Plan{Task::kRelay, true});
  std::multimap<Clock::time_point, std::pair<Reply, int>> replies;
  int challenge = 0;
  std::map<int, bool> spent;  // the challenges carried out
  int oks = 0;
  int relayeds = 0;
  Relayed outcome;
  const auto answer = [&](Reply reply, Clock::time_point now, int count = 0) {
    replies.emplace(now + 1ms, std::make_pair(reply, count));
  };
  const auto receive = [&](Send send, Clock::time_point now) {
    if (send == Send::kNothing || !relay.answers) {
      return;
    }
    if (send != Send::kCommand) {
      answer(Reply::kKeyedStart, now, ++challenge);
      return;
    }
    ++outcome.commands;
    if (!relay.relays) {
      return;
    }
    // A denied WAKE spends nothing; a copy of one carried out is answered again.
    if (!spent[challenge]) {
      if (!relay.may_wake || now < s0 + relay.busy_for) {
        answer(relay.may_wake ? Reply::kDeniedRate : Reply::kDeniedKey, now);
        return;
      }
      spent[challenge] = true;
      ++outcome.carried_out;
    }
    if (!(relay.loses_ok && oks++ == 0)) {
      answer(Reply::kKeyedOk, now);
    }
    if (!(relay.loses_relayed && relayeds++ == 0)) {
      answer(Reply::kRelayed, now, relay.networks);
    }
  };
  while (exchange.step != Step::kFinished) {
    if (!replies.empty() && replies.begin()->first <= next_timer(exchange)) {
      const auto [at, heard] = *replies.begin();
      replies.erase(replies.begin());
      receive(on_reply(exchange, heard.first, at, heard.second), at);
    } else {
      const Clock::time_point now = next_timer(exchange);
      receive(on_timer(exchange, now), now);
    }
  }
  outcome.result = exchange.result;
  outcome.refusal = exchange.refusal;
  outcome.took = exchange.finished - s0;
  return outcome;
}

TEST(Relay, EachWayARelayAnswersIsReportedAndThePacketSentOnceAtMost) {
  const auto with = [](auto change) {
    Relay relay;
    change(relay);
    return relay;
  };
  struct Row {
    const char* name;
    Relay relay;
    Result result;
    RelayRefusal refusal;
    int carried_out;
    Clock::duration at_most;
  };
  const auto none = RelayRefusal::kNoNetwork;
  for (const Row& row : std::vector<Row>{
           {"sent", Relay{}, Result::kDone, none, 1, 10ms},
           {"no network", with([](Relay& r) { r.networks = 0; }), Result::kNotRelayed, none, 1,
            10ms},
           {"key may not wake", with([](Relay& r) { r.may_wake = false; }), Result::kNotRelayed,
            RelayRefusal::kKey, 0, 10ms},
           {"busy a while", with([](Relay& r) { r.busy_for = 2500ms; }), Result::kDone, none, 1,
            4s},
           {"busy throughout", with([](Relay& r) { r.busy_for = 1h; }), Result::kNotRelayed,
            RelayRefusal::kRate, 0, 10s},
           {"OK lost", with([](Relay& r) { r.loses_ok = true; }), Result::kDone, none, 1, 10ms},
           {"RELAYED lost", with([](Relay& r) { r.loses_relayed = true; }), Result::kDone, none, 1,
            1100ms},
           {"both lost", with([](Relay& r) {
              r.loses_ok = true;
              r.loses_relayed = true;
            }),
            Result::kDone, none, 1, 1100ms},
           {"from before the relay", with([](Relay& r) { r.relays = false; }), Result::kNoRelay,
            none, 0, 4s},
           {"silent", with([](Relay& r) { r.answers = false; }), Result::kNoAnswer, none, 0, 5s},
       }) {
    const Relayed outcome = relay(row.relay);
    EXPECT_EQ(outcome.result, row.result) << row.name;
    if (row.result == Result::kNotRelayed) {
      EXPECT_EQ(outcome.refusal, row.refusal) << row.name;
    }
    EXPECT_EQ(outcome.carried_out, row.carried_out) << row.name;
    EXPECT_LE(outcome.took, row.at_most) << row.name;
  }
  // A relay from before WAKE is given up on only after every copy went unanswered.
  EXPECT_EQ(relay(with([](Relay& r) { r.relays = false; })).commands, kKeyedCommandTries);
}

}  // namespace

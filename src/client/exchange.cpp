#include "client/exchange.h"

#include <algorithm>

namespace {

void finish(Exchange& exchange, Result result, Clock::time_point now) {
  exchange.step = Step::kFinished;
  exchange.result = result;
  exchange.finished = now;
}

void wait_for_lock(Exchange& exchange, Clock::time_point now) {
  exchange.step = Step::kWaitingForLock;
  exchange.next = now + kLockedRetry;
}

// While this holds, the exchange still asks for a START: nothing but EHLO has gone out.
bool awaiting_start(const Exchange& exchange) {
  return exchange.step == Step::kGreeting || exchange.step == Step::kWaitingForLock;
}

// What the time limit makes of an exchange that has not finished.
Result at_deadline(const Exchange& exchange) {
  switch (exchange.step) {
  case Step::kCommanded:
    // Only a command sent may have been carried out.
    return Result::kUnconfirmed;
  case Step::kListening:
    // The daemon said that its sleep command runs and not how it ended: the host may sleep
    // or not, and the client cannot say which.
    if (exchange.told_running) {
      return Result::kUnconfirmed;
    }
    // A daemon from before RUNNING proved its OK and no REFUSED came in the time there was;
    // with --confirm the host was never seen to stop answering.
    return exchange.plan.confirm ? Result::kDidNotSleep : Result::kDone;
  case Step::kConfirming:
    return Result::kDidNotSleep;
  case Step::kRelaying:
    // The relay took the WAKE and did not say where its packet went: it may have gone.
    return Result::kUnconfirmed;
  case Step::kGreeting:
  case Step::kWaitingForLock:
  case Step::kFinished:
    break;
  }
  // Before the command, the host was held by a session (ours whose START was lost, or
  // another client's), did not know our key, had no daemon, or was silent; or, asking again
  // for a WAKE, the relay was too busy to take it.
  if (exchange.refusal == RelayRefusal::kRate) {
    return Result::kNotRelayed;
  }
  if (exchange.heard_keyed) {
    return Result::kKeyNotKnown;
  }
  if (exchange.heard_locked) {
    return Result::kLocked;
  }
  return exchange.heard_unreachable ? Result::kNoDaemon : Result::kNoAnswer;
}

Send greet(Exchange& exchange, Clock::time_point now) {
  // A daemon that holds our key answers START, which a KEYED 2 (anyone can send one) has had
  // until this resend to be followed by.
  if (exchange.heard_keyed) {
    finish(exchange, Result::kKeyNotKnown, now);
    return Send::kNothing;
  }
  // wake --wait asks until the host's daemon is up, or the time limit.
  if (exchange.plan.task != Task::kAwait && exchange.ehlos >= kEhloTries) {
    finish(exchange, Result::kNoAnswer, now);
    return Send::kNothing;
  }
  ++exchange.ehlos;
  exchange.next = now + kResendInterval;
  return Send::kEhlo;
}

// The next probe of --confirm, after counting whether the one before it was answered.
Send probe(Exchange& exchange, Clock::time_point now) {
  exchange.silent_probes = exchange.answered ? 0 : exchange.silent_probes + 1;
  if (exchange.silent_probes >= kConfirmProbes) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  exchange.answered = false;
  exchange.next = now + kProbeInterval;
  return Send::kProbe;
}

// The sleep command is over and did not fail: the daemon said SLEEPING, or is one from before
// that word and stayed silent through the refusal wait. Without --confirm that is the answer;
// with it, the host must now be seen to stop answering.
Send after_sleep_command(Exchange& exchange, Clock::time_point now) {
  if (!exchange.plan.confirm) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  exchange.step = Step::kConfirming;
  exchange.answered = true;
  return probe(exchange, now);
}

Send on_start(Exchange& exchange, Clock::time_point now) {
  if (exchange.step == Step::kConfirming) {
    exchange.answered = true;
    return Send::kNothing;
  }
  // Without a key, only the socket that opened a session is told START, so the session is
  // ours; with one, the START proves that it answers our nonce. The command goes out on the
  // first. One that arrives after the time limit is let go: a command sent now could suspend
  // the host after the client has given it up.
  if (!awaiting_start(exchange) || now >= exchange.deadline) {
    return Send::kNothing;
  }
  if (exchange.plan.task != Task::kCommand && exchange.plan.task != Task::kRelay) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  exchange.step = Step::kCommanded;
  exchange.commands = 1;
  exchange.next = now + (exchange.plan.keyed ? kResendInterval : kCommandWait);
  return Send::kCommand;
}

Send on_ok(Exchange& exchange, Clock::time_point now) {
  // Only the owner's command is answered OK; with a key, only our command's proof holds.
  if (exchange.step != Step::kCommanded) {
    return Send::kNothing;
  }
  // The daemon runs the sleep command after its OK: a keyed SUSPEND listens for how it ends.
  if (exchange.plan.keyed && exchange.plan.suspend) {
    exchange.step = Step::kListening;
    exchange.next = now + kRefusalWait;
    return Send::kNothing;
  }
  // The relay sends its RELAYED after the packet: a lost one is asked for again.
  if (exchange.plan.task == Task::kRelay) {
    exchange.step = Step::kRelaying;
    exchange.next = now + kResendInterval;
    return Send::kNothing;
  }
  finish(exchange, Result::kDone, now);
  return Send::kNothing;
}

// RELAYED and DENIED are proven for our WAKE's challenge: a RELAYED also shows that the WAKE
// was taken when its OK was lost; a DENIED, that nothing was carried out.
Send on_relay(Exchange& exchange, Reply reply, Clock::time_point now, int count) {
  if (exchange.plan.task != Task::kRelay || exchange.commands == 0) {
    return Send::kNothing;
  }
  if (reply == Reply::kRelayed && count > 0) {
    finish(exchange, Result::kDone, now);
    return Send::kNothing;
  }
  if (reply != Reply::kDeniedRate) {
    exchange.refusal = reply == Reply::kRelayed ? RelayRefusal::kNoNetwork : RelayRefusal::kKey;
    finish(exchange, Result::kNotRelayed, now);
    return Send::kNothing;
  }
  // The relay spent nothing and has room again within a second. It is asked with a fresh
  // EHLO, so that the challenge the WAKE answers is good however long the relay stays busy;
  // a DENIED for a copy sent before is already answered so.
  if (exchange.step == Step::kCommanded) {
    exchange.refusal = RelayRefusal::kRate;
    exchange.step = Step::kGreeting;
    exchange.ehlos = 0;
    exchange.next = now + kResendInterval;
  }
  return Send::kNothing;
}

// RUNNING, SLEEPING, REFUSED and INHIBITED are proven for our SUSPEND's challenge: each also
// shows that the command was taken when its OK was lost.
Send on_outcome(Exchange& exchange, Reply reply, Clock::time_point now, int sleep_status,
                std::string_view inhibitor) {
  if (!exchange.plan.suspend || awaiting_start(exchange)) {
    return Send::kNothing;
  }
  if (reply == Reply::kRefused || reply == Reply::kInhibited) {
    // An INHIBITED comes before its REFUSED, which says less: the first one heard ends it.
    exchange.sleep_status = sleep_status;
    exchange.inhibitor = inhibitor;
    finish(exchange, Result::kRefused, now);
    return Send::kNothing;
  }
  // Once --confirm probes, the daemon has already said that its command succeeded, or is one
  // from before these words; a RUNNING or SLEEPING now is a late copy.
  if (exchange.step == Step::kConfirming) {
    return Send::kNothing;
  }
  (void)on_ok(exchange, now);
  if (reply == Reply::kRunning) {
    exchange.told_running = true;
    return Send::kNothing;
  }
  return after_sleep_command(exchange, now);
}

// KEYED 2 and ICMP port unreachable prove nothing, but they can only make a host fail.
void on_notice(Exchange& exchange, Reply reply, Clock::time_point now) {
  if (reply == Reply::kUnreachable && exchange.step == Step::kConfirming) {
    // The host's kernel answered: it is not asleep.
    exchange.answered = true;
    return;
  }
  if (!awaiting_start(exchange)) {
    return;
  }
  if (reply == Reply::kUnreachable) {
    // A host that is starting may not run its daemon yet: wake --wait waits on.
    if (exchange.plan.task == Task::kAwait) {
      exchange.heard_unreachable = true;
    } else {
      finish(exchange, Result::kNoDaemon, now);
    }
    return;
  }
  // A client without a key never sends a command that a keyed daemon would refuse; for
  // wake --wait the notice shows that the daemon is up. With a key, a proven START may still
  // come (greet decides).
  if (exchange.plan.keyed) {
    exchange.heard_keyed = true;
  } else {
    finish(exchange, exchange.plan.task == Task::kAwait ? Result::kDone : Result::kNeedsKey, now);
  }
}

// Whether a reply can mean anything to the exchange: with a key only proven replies and the
// notices that can only make the host fail; without one, a keyed reply is not for us, and
// only a keyless command speaks the plain protocol.
bool counts(const Exchange& exchange, Reply reply) {
  switch (reply) {
  case Reply::kKeyed:
  case Reply::kUnreachable:
    return true;
  case Reply::kKeyedStart:
  case Reply::kKeyedOk:
  case Reply::kRefused:
  case Reply::kRunning:
  case Reply::kSleeping:
  case Reply::kInhibited:
  case Reply::kRelayed:
  case Reply::kDeniedKey:
  case Reply::kDeniedRate:
    return exchange.plan.keyed;
  case Reply::kOther:
    return false;
  case Reply::kStart:
  case Reply::kLocked:
  case Reply::kOk:
  case Reply::kEnd:
    break;
  }
  return !exchange.plan.keyed && exchange.plan.task == Task::kCommand;
}

}  // namespace

Exchange start_exchange(Clock::time_point now, std::chrono::milliseconds time_limit, Plan plan) {
  Exchange exchange;
  exchange.plan = plan;
  exchange.started = now;
  exchange.next = now;
  exchange.deadline = now + time_limit;
  return exchange;
}

Clock::time_point next_timer(const Exchange& exchange) {
  return std::min(exchange.next, exchange.deadline);
}

Send on_timer(Exchange& exchange, Clock::time_point now) {
  if (exchange.step == Step::kFinished) {
    return Send::kNothing;
  }
  if (now >= exchange.deadline) {
    finish(exchange, at_deadline(exchange), now);
    return Send::kNothing;
  }
  if (now < exchange.next) {
    return Send::kNothing;
  }
  switch (exchange.step) {
  case Step::kGreeting:
    return greet(exchange, now);
  case Step::kWaitingForLock:
    exchange.step = Step::kGreeting;
    exchange.ehlos = 1;
    exchange.next = now + kResendInterval;
    return Send::kEhlo;
  case Step::kCommanded:
    // Copies of a keyed command are carried out once, so it may go again while no OK comes.
    if (exchange.plan.keyed && exchange.commands < kKeyedCommandTries) {
      ++exchange.commands;
      exchange.next = now + kResendInterval;
      return Send::kCommand;
    }
    // A daemon that proved its START and then answered no copy of a WAKE is one from before
    // the relay, unless it already told that it was too busy to relay.
    finish(exchange,
           exchange.plan.task == Task::kRelay && exchange.refusal != RelayRefusal::kRate
               ? Result::kNoRelay
               : Result::kUnconfirmed,
           now);
    return Send::kNothing;
  case Step::kListening:
    // A daemon that said RUNNING answers each copy of the command with its OK and how the
    // sleep command has come out so far: a SLEEPING or REFUSED that was lost, or that went to
    // whoever sent our command first, is asked for again.
    if (exchange.told_running) {
      ++exchange.commands;
      exchange.next = now + kResendInterval;
      return Send::kCommand;
    }
    // No word came: the daemon is from before RUNNING and answers nothing while its sleep
    // command runs, so only now does silence begin to mean sleep.
    return after_sleep_command(exchange, now);
  case Step::kConfirming:
    return probe(exchange, now);
  case Step::kRelaying:
    // Each copy of a WAKE taken is answered with its OK and RELAYED again.
    ++exchange.commands;
    exchange.next = now + kResendInterval;
    return Send::kCommand;
  case Step::kFinished:
    break;
  }
  return Send::kNothing;
}

Send on_reply(Exchange& exchange, Reply reply, Clock::time_point now, int sleep_status,
              std::string_view inhibitor) {
  if (exchange.step == Step::kFinished || !counts(exchange, reply)) {
    return Send::kNothing;
  }
  switch (reply) {
  case Reply::kStart:
  case Reply::kKeyedStart:
    return on_start(exchange, now);
  case Reply::kLocked:
    // A session holds the daemon: another client's, or ours if the START of one of our
    // EHLOs was lost. Either way the command waits for a START; guessing could carry it out
    // in a session that then reports nothing, or twice.
    if (exchange.step == Step::kGreeting) {
      exchange.heard_locked = true;
      wait_for_lock(exchange, now);
    }
    return Send::kNothing;
  case Reply::kOk:
  case Reply::kKeyedOk:
    return on_ok(exchange, now);
  case Reply::kEnd:
    // END goes only to a session's owner: before the command, that is our own session whose
    // START was lost, and the daemon is free again now.
    if (awaiting_start(exchange)) {
      exchange.step = Step::kWaitingForLock;
      exchange.next = now;
    }
    return Send::kNothing;
  case Reply::kRefused:
  case Reply::kRunning:
  case Reply::kSleeping:
  case Reply::kInhibited:
    return on_outcome(exchange, reply, now, sleep_status, inhibitor);
  case Reply::kRelayed:
  case Reply::kDeniedKey:
  case Reply::kDeniedRate:
    return on_relay(exchange, reply, now, sleep_status);
  case Reply::kKeyed:
  case Reply::kUnreachable:
    on_notice(exchange, reply, now);
    return Send::kNothing;
  case Reply::kOther:
    break;
  }
  return Send::kNothing;
}

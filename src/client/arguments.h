// The client's command line: what to do, to which hosts or machines, and within what time.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/values.h"
#include "key/key.h"

/// What the command line asks the client to do.
enum class Command { kHelp, kSuspend, kQuit, kStatus, kWake, kKeygen };

/// One daemon to talk to.
struct Target {
  std::string argument;  // the HOST word as given; its result line starts with it
  std::string name;      // the name or address to resolve: the word without its ":PORT"
  std::uint16_t port = 0;
};

/// One machine to wake.
struct Sleeper {
  std::string argument;  // the MAC word as given
  std::string host;      // the HOST word of HOST=MAC; empty for a bare MAC
  Mac mac{};
};

/// Everything one command line asks for.
struct Arguments {
  Command command = Command::kHelp;
  std::vector<Target> targets;    // suspend, quit and status; wake --wait: the HOST of each
                                  // HOST=MAC, in the order of sleepers
  std::vector<Sleeper> sleepers;  // wake
  std::chrono::milliseconds time_limit{10000};  // wake --wait: 60 s unless -t
  Target relay;  // wake --via: the daemon asked to send the magic packets; empty name: none
  std::chrono::milliseconds relay_time_limit{10000};  // wake --via: for each relay exchange
  bool wait = false;                                  // wake: wait for each HOST's daemon to answer
  bool confirm = false;    // keyed suspend: report it only once the host stops answering
  in_addr wake_address{};  // 255.255.255.255 unless -b names another
  std::uint16_t wake_port = 0;
  std::string key_file;     // suspend, quit, status, wake --wait and --via: the keys that prove
                            // each exchange; keygen: where to write a new one
  std::string keygen_host;  // keygen: the host the new key is for; empty: a file of one key
  std::string keygen_name;  // keygen: this machine's name in the host's key file; empty: its own
};

/// The key of keys for target: the one named as its HOST word was written, else the one named
/// for its name alone (media:9999 finds the key made for media), else the default key; null
/// when there is none of these.
const NamedKey* key_for(const KeySet& keys, const Target& target);

/// Reads the command line after argv[0] into arguments. Returns an empty text when the
/// client should run (or print its help, as arguments.command then says), otherwise the
/// one-line reason the command line is refused. Resets getopt, so it may be called again.
std::string parse_arguments(int argc, char* argv[], Arguments& arguments);

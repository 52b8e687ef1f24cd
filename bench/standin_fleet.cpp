// One call of the client to a fleet larger than real daemons allow on one machine: a stand-in
// (bench/standin.h) answers at 127.0.X.Y for every host, with the daemon's own turn and key
// room, and counts what each address carried out. Keyless first, then keyed as a controller
// holds its keys: a key of its own for each address, the client's file with all of them, named
// by the host word. The client's open-file limit is the benchmark's own or the one chosen.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "client_call.h"
#include "fleet.h"
#include "key/key.h"
#include "key/key_file.h"
#include "net/protocol.h"
#include "standin.h"

namespace lmrbench {
namespace {

// A key for each host, named by its address: the client's key file, written to path, and
// each address's own key for the stand-in, in the same order.
std::vector<KeySet> make_keys(const std::vector<std::string>& hosts, const std::string& path) {
  std::string text;
  for (const std::string& host : hosts) {
    // Two nonces of 32 hex digits from the kernel's random source make a key of 64.
    text += new_nonce() + new_nonce() + " " + host + "\n";
  }
  write_private_file(path, text);
  // Read as the client reads it: among 10 000 keys, two may share a key id (8 hex digits), which
  // only a daemon holding both would mind.
  KeySet all;
  if (const std::string error = read_key_file(path, all, false, kMostClientKeyFileBytes);
      !error.empty()) {
    fail(error);
  }
  std::vector<KeySet> own(all.keys.size());
  for (std::size_t i = 0; i < all.keys.size(); ++i) {
    own[i].keys.push_back(std::move(all.keys[i]));
  }
  return own;
}

// Each address carried out exactly one SUSPEND in the call; returns how many datagrams the
// stand-in received in all.
std::uint64_t check_standin(const StandIn& standin, const std::vector<std::string>& hosts,
                            const std::string& name) {
  std::uint64_t datagrams = 0;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    if (standin.suspended()[i] != 1) {
      fail("the " + name + " stand-in at " + hosts[i] + " carried out " +
           std::to_string(standin.suspended()[i]) + " SUSPENDs in one call");
    }
    datagrams += standin.received()[i];
  }
  return datagrams;
}

// Makes setup.calls + 1 calls to the stand-in, keyless or keyed, checking each.
std::vector<Call> time_calls(const StandinSetup& setup, StandIn& standin,
                             const std::vector<std::string>& hosts, bool keyed) {
  const std::string name = keyed ? "keyed" : "keyless";
  std::vector<std::string> words{setup.client_path};
  if (keyed) {
    const std::string key_file = setup.work_dir + "/standin-client.keys";
    standin.use_keys(make_keys(hosts, key_file));
    words.push_back("--key-file=" + key_file);
  }
  words.emplace_back("suspend");
  words.insert(words.end(), hosts.begin(), hosts.end());
  const std::string error_path = setup.work_dir + "/standin-" + name + ".stderr";
  std::vector<Call> calls;
  for (int call = 0; call <= setup.calls; ++call) {
    standin.start();
    calls.push_back(call_client(words, error_path, setup.nofile));
    standin.stop();
    check_suspended(calls.back(), hosts, name, error_path);
    const std::uint64_t datagrams = check_standin(standin, hosts, name);
    (void)std::fprintf(stderr,
                       "fleet-standin: %s call %d: first line %.3f s, last line %.3f s, exit "
                       "%.3f s, CPU %.3f s, CPUs busy %.0f %%, %.3f datagrams per host\n",
                       name.c_str(), call + 1, calls.back().first_line, calls.back().last_line,
                       calls.back().exit, calls.back().cpu, calls.back().busy,
                       static_cast<double>(datagrams) / static_cast<double>(hosts.size()));
  }
  return calls;
}

std::string limit_text(const StandinSetup& setup) {
  if (setup.nofile != 0) {
    return "a hard limit of " + std::to_string(setup.nofile) + " open files";
  }
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  return "the default limit (hard " + std::to_string(limit.rlim_max) + " open files)";
}

void print_standin(const StandinSetup& setup, const std::vector<Call>& keyless,
                   const std::vector<Call>& keyed) {
  std::printf(
      "\nfleet-standin: one `lomarind suspend` of %d hosts, 127.0.1.1-%s port %d, answered by "
      "one stand-in;\nthe client under %s\n%-34s %10s %10s %8s %8s\n",
      setup.hosts, standin_address(static_cast<std::size_t>(setup.hosts) - 1).c_str(),
      protocol::kDefaultPort, limit_text(setup).c_str(), "seconds from the client's start",
      "first call", "median", "min", "max");
  print_rows(keyless, keyed);
  std::printf(
      "median and range of %d calls each, after a first call reported on its own; every call\n"
      "checked: each host's line says suspended, exit status 0, each address carried out one\n"
      "SUSPEND. Keyed, each host holds its socket until the stand-in proves that the sleep\n"
      "command succeeded (SLEEPING, right after the OK: nothing runs).\n",
      setup.calls);
}

}  // namespace

void measure_standin_fleet(const StandinSetup& setup) {
  make_room_for(setup.hosts);
  std::vector<std::string> hosts(static_cast<std::size_t>(setup.hosts));
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    hosts[i] = standin_address(i);
  }
  StandIn standin(static_cast<std::uint16_t>(protocol::kDefaultPort),
                  static_cast<std::size_t>(setup.hosts));
  const std::vector<Call> keyless = time_calls(setup, standin, hosts, false);
  const std::vector<Call> keyed = time_calls(setup, standin, hosts, true);
  print_standin(setup, keyless, keyed);
}

}  // namespace lmrbench

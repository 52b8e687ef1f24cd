// A private world for tests and benchmarks: own network and mount namespaces, a /dev
// whose log socket the caller binds, and systemctl replaced by a recording fake.
#pragma once

#include <string>

namespace lmrtest {

/// Moves the calling (single-threaded) process into a new mount namespace and, when
/// private_network is set, a new network namespace with loopback up. Gives it a small private /dev
/// (null, zero, full, random, urandom, tty; console is null) and bind-mounts fake_systemctl over
/// the host's systemctl. Returns an empty text on success, otherwise why it could not.
std::string enter_sandbox(const std::string& fake_systemctl, bool private_network = true);

}  // namespace lmrtest

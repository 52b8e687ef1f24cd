#include "support/sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace lmrtest {
namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    return failure("socket");
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string error;
  if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
    error = failure("SIOCGIFFLAGS lo");
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) {
      error = failure("SIOCSIFFLAGS lo, which needs CAP_NET_ADMIN");
    }
  }
  close(fd);
  return error;
}

std::string bind_file(const std::string& source, const std::string& target) {
  const int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd == -1) {
    return failure("create " + target);
  }
  close(fd);
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == -1) {
    return failure("bind " + source + " on " + target);
  }
  return {};
}

// The host's /dev is shared with the machine; tests must never create files in it, so a
// tmpfs covers it and only the few devices a daemon and a shell need are bound back.
std::string private_dev() {
  std::array<char, 32> aside_template{};
  std::strncpy(aside_template.data(), "/tmp/lmr-dev-XXXXXX", aside_template.size() - 1);
  const char* aside = mkdtemp(aside_template.data());
  if (aside == nullptr) {
    return failure("mkdtemp");
  }
  const std::string dir = aside;
  std::string error;
  if (mount("/dev", aside, nullptr, MS_BIND | MS_REC, nullptr) == -1) {
    error = failure("bind /dev aside");
  } else if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755,size=1m") == -1) {
    error = failure("tmpfs on /dev");
  } else {
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
      error = bind_file(dir + "/" + name, std::string("/dev/") + name);
      if (!error.empty()) {
        break;
      }
    }
    // With no log socket, LOG_CONS writes to the console: let that go nowhere.
    if (error.empty()) {
      error = bind_file(dir + "/null", "/dev/console");
    }
    if (error.empty()) {
      for (const auto& [target, name] : {std::pair{"/proc/self/fd", "/dev/fd"},
                                         {"/proc/self/fd/0", "/dev/stdin"},
                                         {"/proc/self/fd/1", "/dev/stdout"},
                                         {"/proc/self/fd/2", "/dev/stderr"}}) {
        if (symlink(target, name) == -1) {
          error = failure(std::string("symlink ") + name);
          break;
        }
      }
    }
  }
  umount2(aside, MNT_DETACH);
  rmdir(aside);
  return error;
}

}  // namespace

std::string enter_sandbox(const std::string& fake_systemctl, bool private_network) {
  if (unshare(CLONE_NEWNS | (private_network ? CLONE_NEWNET : 0)) == -1) {
    return failure("unshare of mount and network namespaces, which needs root");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
    return failure("make / private");
  }
  if (auto error = private_network ? bring_loopback_up() : std::string(); !error.empty()) {
    return error;
  }
  if (auto error = private_dev(); !error.empty()) {
    return error;
  }
  // Whatever PATH a test gives the daemon, the real systemctl stays out of reach.
  for (const char* real : {"/usr/bin/systemctl", "/bin/systemctl", "/usr/sbin/systemctl"}) {
    std::error_code ignored;
    if (std::filesystem::exists(real, ignored) &&
        mount(fake_systemctl.c_str(), real, nullptr, MS_BIND, nullptr) == -1 && errno != EBUSY) {
      return failure(std::string("bind fake systemctl over ") + real);
    }
  }
  return {};
}

}  // namespace lmrtest

// lmr-no-fork COMMAND [ARGS...]: runs COMMAND with process creation refused. A seccomp filter
// makes fork, vfork, clone and clone3 fail with EAGAIN, as they do when a system is out of
// processes, so tests can see how the daemon copes without waiting for a real shortage.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr sock_filter statement(std::uint16_t code, std::uint32_t k) {
  return sock_filter{code, 0, 0, k};
}
constexpr sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t if_true,
                           std::uint8_t if_false) {
  return sock_filter{code, if_true, if_false, k};
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    static_cast<void>(std::fputs("usage: lmr-no-fork COMMAND [ARGS...]\n", stderr));
    return 2;
  }
  constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | (EAGAIN & SECCOMP_RET_DATA);
  const std::array filter = {
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 4, 0),
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 3, 0),
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_fork, 2, 0),
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_vfork, 1, 0),
      statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      statement(BPF_RET | BPF_K, kRefuse),
  };
  const sock_fprog program{
      static_cast<unsigned short>(filter.size()),
      const_cast<sock_filter*>(filter.data())};  // NOLINT: the API is not const
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == -1) {
    std::perror("lmr-no-fork: seccomp");
    return 2;
  }
  execvp(argv[1], argv + 1);
  std::perror("lmr-no-fork: exec");
  return 127;
}

#include "support/unprivileged.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <vector>

std::string InChild(const std::function<std::string()>& body) {
  constexpr size_t kSize = 4096;
  auto* shared = static_cast<char*>(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (shared == MAP_FAILED) return "!no shared memory";
  std::snprintf(shared, kSize, "!child gave nothing back");
  const bool failedBefore = ::testing::Test::HasFailure();
  const pid_t pid = fork();
  if (pid == 0) {  // _exit: nothing buffered is written twice
    alarm(60);     // a child stuck that long is ended
    const std::string out = body();
    // A check that failed in the child is not the parent's failure unless its answer says so.
    const bool failed = !failedBefore && ::testing::Test::HasFailure();
    std::snprintf(shared, kSize, "%s%s", failed ? "!a check failed in the child: " : "", out.c_str());
    _exit(0);
  }
  int status = 0;
  std::string out = "!no child";
  if (pid > 0) out = waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? shared : "!child ended by a signal";
  munmap(shared, kSize);
  return out;
}

bool DropRoot() { return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && setuid(0) != 0; }

std::string AsNobody(const std::function<std::string()>& body) {
  return InChild([&] { return DropRoot() ? body() : "!root kept"; });
}

bool RefuseCall(long nr, int error, int socketType) {
  const auto refuse = static_cast<uint32_t>(SECCOMP_RET_ERRNO | error);
  std::vector<sock_filter> code{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 4)};
  if (socketType >= 0) {  // the type's low bits; SOCK_CLOEXEC and SOCK_NONBLOCK sit above them
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])));
    code.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(socketType), 0, 1));
  } else {
    code.back().jf = 1;
  }
  code.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
  code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

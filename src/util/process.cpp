#include "util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/stop.h"

extern char** environ;

namespace {

// What a process that is still running reports as its exit status.
constexpr int kStillActive = 259;

// The interpreter of a script that is not executable itself.
constexpr char kShell[] = "/bin/sh";

// Starts `argv` (argv[0] is the file to run) with stdin, stdout and stderr on
// /dev/null and default signal handling. Returns 0 or the errno of the start.
int Spawn(const std::string& file, const std::vector<std::string>& args, pid_t& pid) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const int rc = posix_spawn(&pid, file.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

Failure StartFailure(const std::u16string& program, int err) {
  const int32_t number = err == ENOENT || err == ENOTDIR ? ErrNo::FileNotFound : ErrNo::ProcessStart;
  std::u16string description = ErrorDescription(number);
  description += u" ";
  description += program;
  description += u" (";
  description += FromUtf8(std::strerror(err));
  description += u")";
  return VkError(number, description).failure();
}

std::u16string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return FromUtf8(buf);
}

std::u16string Uid(uid_t uid) { return FromUtf8(std::to_string(uid)); }

// Why another user could change what sits at dir: it must belong to root or
// this user, and group or others may write it only when it is sticky and
// root's (/tmp), where nobody renames another's entries. Empty: trusted.
std::u16string UntrustedDirectory(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return {};  // the start reports what is missing
  const std::u16string name = u"フォルダ " + FromUtf8(dir);
  if (st.st_uid != 0 && st.st_uid != ::geteuid())
    return name + u" の所有者 uid " + Uid(st.st_uid) + u" は実行ユーザでも root でもありません";
  if (!(st.st_mode & (S_IWGRP | S_IWOTH))) return {};
  if (!(st.st_mode & S_ISVTX))
    return name + u" はモード " + Octal(st.st_mode) +
           (st.st_mode & S_IWOTH ? u" で他のユーザが書き込め、スティッキービットがありません"
                                 : u" でグループが書き込めます");
  if (st.st_uid != 0) return name + u" はモード " + Octal(st.st_mode) + u" で他のユーザが書き込め、root のものではありません";
  return {};
}

// Why another user could have changed the file, judged as sshd's strict
// modes judge the files it trusts: the file must belong to this user or root
// and be writable by neither group nor others, and every directory from the
// one that holds it up to /, along the path as given and along its real
// path, must pass UntrustedDirectory. Then nobody else can rename anything on
// the way between this check and the start. Empty: trusted.
std::u16string UntrustedReason(const std::string& path) {
  std::error_code ec;
  std::vector<std::filesystem::path> files{std::filesystem::absolute(path, ec).lexically_normal()};
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    if (files.front() != real) files.emplace_back(real);
    std::free(real);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};  // the start reports it
  if (st.st_uid != 0 && st.st_uid != ::geteuid())
    return u"所有者 uid " + Uid(st.st_uid) + u" は実行ユーザでも root でもありません";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return u"モード " + Octal(st.st_mode) + u" でグループか他のユーザが書き込めます";
  for (const std::filesystem::path& file : files) {
    for (std::filesystem::path dir = file.parent_path();; dir = dir.parent_path()) {
      if (const std::u16string why = UntrustedDirectory(dir.string()); !why.empty()) return why;
      if (dir == dir.root_path() || dir.empty()) break;
    }
  }
  return {};
}

// Starts the program directly when it is an executable file; a file that is
// not executable, or that the kernel cannot run (ENOEXEC: a script without a
// "#!" line), runs under /bin/sh, the way a batch file runs under its
// interpreter. No shell ever parses the arguments, so a typed host can never
// become a command. Throws VkError.
pid_t Start(const std::u16string& program, const std::vector<std::u16string>& args) {
  const std::string path = ToUtf8(program);
  std::vector<std::string> argv{path};
  for (const std::u16string& a : args) argv.push_back(ToUtf8(a));

  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw VkError(StartFailure(program, errno));
  if (!S_ISREG(st.st_mode)) throw VkError(StartFailure(program, S_ISDIR(st.st_mode) ? EISDIR : EACCES));
  if (const std::u16string why = UntrustedReason(path); !why.empty())
    throw VkError(ErrNo::UntrustedFile, ErrorDescription(ErrNo::UntrustedFile) + u" " + program + u" (" + why + u")");

  pid_t pid = -1;
  int rc = ENOEXEC;
  if (::access(path.c_str(), X_OK) == 0) rc = Spawn(path, argv, pid);
  if (rc == ENOEXEC) {
    if (::access(path.c_str(), R_OK) != 0) throw VkError(StartFailure(program, errno));
    argv.insert(argv.begin(), kShell);
    rc = Spawn(kShell, argv, pid);
  }
  if (rc != 0) throw VkError(StartFailure(program, rc));
  return pid;
}

// Children still running when their wait gave up. One thread reaps them
// all, each by its own pid (a wait for any child would take statuses that
// belong to others), so no zombie stays behind and a hung script left every
// minute adds no thread. The thread sleeps while there is none to reap.
class Reaper {
 public:
  // Never destroyed: the thread may still run while the process exits.
  static Reaper& Get() {
    static Reaper* reaper = new Reaper;
    return *reaper;
  }

  void Add(pid_t pid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pids.push_back(pid);
    if (!m_started) {
      try {
        std::thread([this] { Run(); }).detach();
        m_started = true;
      } catch (const std::system_error&) {
        // No thread to be had now: the child waits in the list for the next try.
      }
    }
    m_wake.notify_one();
  }

 private:
  // How often children still running are looked at again.
  static constexpr std::chrono::milliseconds kPoll{100};

  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [this] { return !m_pids.empty(); });
      std::erase_if(m_pids, [](pid_t pid) {
        int ws = 0;
        const pid_t r = ::waitpid(pid, &ws, WNOHANG);
        return r == pid || (r < 0 && errno != EINTR);
      });
      if (!m_pids.empty()) m_wake.wait_for(lock, kPoll);
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<pid_t> m_pids;
  bool m_started = false;
};

// The start pause runs the message loop at least this often.
constexpr int kPauseSliceMs = 25;

}  // namespace

void ShellWait(const std::u16string& program, const std::vector<std::u16string>& args, int32_t pollLimit,
               const ShellWaitOptions& options) {
  int32_t remaining = pollLimit >= 1 ? pollLimit : -1;  // -1: no limit

  pid_t pid = -1;
  try {
    pid = Start(program, args);
  } catch (...) {
    ReportError(BuildErrorReport(u"SYSTEM-ERROR： ShellWaitERR： ", CurrentFailure(), NumberForm::Bare,
                                 ReportLayout::C));
  }

  DoEvents();
  // The pause lets the window answer (a stop among other things) every
  // slice; a stop ends it.
  for (int left = std::max(options.startPauseMs, 0); left > 0 && !StopRequested();) {
    const int slice = std::min(left, kPauseSliceMs);
    SleepMs(slice);
    left -= slice;
    if (left > 0) DoEvents();
  }
  if (pid <= 0) return;  // nothing started: nothing to wait for

  int status = 0;  // a failed read leaves it as it is
  bool ended = false;
  for (;;) {
    if (!ended) {
      int ws = 0;
      const pid_t r = ::waitpid(pid, &ws, WNOHANG);
      if (r == pid) {
        ended = true;
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 0x100 + WTERMSIG(ws);
      } else if (r == 0) {
        status = kStillActive;
      }
    }
    DoEvents();
    if (status == 0 || StopRequested()) break;  // a stopped run waits no longer; the reaper ends it
    if (remaining >= 1) {
      DoEvents();
      SleepMs(options.pollSleepMs);
      --remaining;
    } else if (remaining == 0) {
      break;
    }
  }
  if (!ended) Reaper::Get().Add(pid);
}

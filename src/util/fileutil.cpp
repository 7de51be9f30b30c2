#include "util/fileutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "util/codepage.h"
#include "util/errreport.h"
#include "util/log.h"

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A file ReadFileBytes will not read: one error-log line, the reader goes on
// as for a file it cannot read.
bool Refuse(const std::u16string& path, std::u16string_view why, bool* refused) {
  WriteErrorLog(u"ReadFileBytesERR: " + path + u" (" + std::u16string(why) + u")");
  if (refused) *refused = true;
  return false;
}

}  // namespace

bool UniqueFd::close() {
  if (m_fd < 0) return true;
  const int r = ::close(m_fd);
  m_fd = -1;
  return r == 0;
}

// Writes never follow a link in the file's place; reads may (a settings
// file kept elsewhere and linked).
int OpenFlags(int flags) {
  const bool writes = (flags & O_ACCMODE) != O_RDONLY;
  return flags | O_NONBLOCK | O_CLOEXEC | (writes ? O_NOFOLLOW : 0);
}

UniqueFd OpenExistingAt(int dirFd, const std::string& path, int flags, struct stat& st, int& error,
                        unsigned createMode) {
  UniqueFd fd(::openat(dirFd, path.c_str(), OpenFlags(flags), static_cast<mode_t>(createMode)));
  error = 0;
  if (!fd.ok()) {
    // O_NOFOLLOW refuses a link with ELOOP: what is there is no regular file.
    error = errno == ELOOP && (flags & O_ACCMODE) != O_RDONLY ? kNotRegularFile : errno;
  } else if (::fstat(fd.get(), &st) != 0) {
    error = errno;
    fd.reset(-1);
  } else if (!S_ISREG(st.st_mode)) {
    error = kNotRegularFile;
    fd.reset(-1);
  }
  return fd;
}

UniqueFd OpenExisting(const std::string& path, int flags, struct stat& st, int& error, unsigned createMode) {
  return OpenExistingAt(AT_FDCWD, path, flags, st, error, createMode);
}

std::u16string FileErrorText(int error) {
  if (error == kNotRegularFile) return u"not a regular file";
  return FromUtf8(std::generic_category().message(error));
}

bool FileExists(const std::u16string& path) {
  struct stat st;
  return ::lstat(ToUtf8(path).c_str(), &st) == 0;
}

int64_t FileLength(const std::u16string& path) {
  struct stat st;
  if (::stat(ToUtf8(path).c_str(), &st) != 0)
    throw VkError(errno == ENOENT || errno == ENOTDIR ? ErrNo::FileNotFound : ErrNo::FileAccess);
  return static_cast<int64_t>(st.st_size);
}

void KillFile(const std::u16string& path) {
  if (::unlink(ToUtf8(path).c_str()) != 0)
    throw VkError(errno == ENOENT || errno == ENOTDIR ? ErrNo::FileNotFound : ErrNo::FileAccess);
}

bool ReadFileBytes(const std::u16string& path, std::vector<uint8_t>& bytes, bool* refused) {
  if (refused) *refused = false;
  if (!FileExists(path)) return false;
  struct stat st;
  int error = 0;
  UniqueFd fd = OpenExisting(ToUtf8(path), O_RDONLY, st, error);
  if (error == kNotRegularFile) return Refuse(path, FileErrorText(error), refused);
  if (!fd.ok()) return false;
  static constexpr char16_t kTooLarge[] = u"larger than 16 MiB";
  if (st.st_size > kMaxReadBytes) return Refuse(path, kTooLarge, refused);
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    // A file still growing is held to the same limit.
    if (data.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxReadBytes))
      return Refuse(path, kTooLarge, refused);
    data.insert(data.end(), buf, buf + n);
  }
  // A file of fewer than 2 bytes holds nothing this program wrote.
  if (data.size() < 2) return false;
  bytes = std::move(data);
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::u16string& text, bool* refused) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, bytes, refused)) return false;
  text = FromAnsi(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return true;
}

namespace {

std::function<void(RewriteStep)>& RewriteStepHook() {
  static std::function<void(RewriteStep)> hook;
  return hook;
}

void Reached(RewriteStep step) {
  if (RewriteStepHook()) RewriteStepHook()(step);
}

// A name beside `path` that nothing else uses: the path, a tag, the process
// and a counter. The file is created here (O_EXCL), so it is ours.
UniqueFd CreateBeside(const std::string& path, const char* tag, unsigned mode, std::string& name) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = path + tag + std::to_string(::getpid()) + "." + std::to_string(counter++);
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (fd.ok() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

bool SyncAndClose(UniqueFd& fd) {
  const bool synced = ::fsync(fd.get()) == 0;
  return fd.close() && synced;
}

// The new content in a temporary file beside the target, synced; "" when
// it could not be written (nothing is left behind then).
std::string WriteNewBeside(const std::string& target, const std::vector<uint8_t>& bytes, std::optional<unsigned> mode) {
  std::string name;
  UniqueFd out = CreateBeside(target, ".new.", mode.value_or(0666), name);
  if (!out.ok()) return "";
  const bool ok = (!mode || ::fchmod(out.get(), *mode) == 0) && WriteAll(out.get(), bytes.data(), bytes.size()) &&
                  SyncAndClose(out);
  if (!ok) {
    ::unlink(name.c_str());
    return "";
  }
  return name;
}

// A copy of the old file under a temporary name, for a file system that
// will not link; the copy keeps its mode.
bool CopyBeside(const std::string& from, const std::string& backup, std::string& name) {
  struct stat st;
  int error = 0;
  UniqueFd in = OpenExisting(from, O_RDONLY, st, error);
  if (!in.ok()) return false;
  UniqueFd out = CreateBeside(backup, ".", st.st_mode & 07777, name);
  if (!out.ok()) return false;
  bool ok = ::fchmod(out.get(), st.st_mode & 07777) == 0;
  uint8_t buf[65536];
  while (ok) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = WriteAll(out.get(), buf, static_cast<size_t>(n));
  }
  if (!(ok && SyncAndClose(out))) {
    ::unlink(name.c_str());
    return false;
  }
  return true;
}

// The old file becomes the backup without ever leaving its own name: a hard
// link (or a copy) under a temporary name, renamed over path + ".bak".
bool ReplaceBackup(const std::string& target, const std::string& backup) {
  std::string name;
  bool made = false;
  for (int attempt = 0; attempt < 100 && !made; ++attempt) {
    static std::atomic<unsigned> counter{0};
    name = backup + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    made = ::link(target.c_str(), name.c_str()) == 0;
    if (!made && errno != EEXIST) break;
  }
  if (!made && !CopyBeside(target, backup, name)) return false;
  Reached(RewriteStep::BackupLinked);
  if (::rename(name.c_str(), backup.c_str()) != 0) {
    ::unlink(name.c_str());
    return false;
  }
  Reached(RewriteStep::BackupReplaced);
  return true;
}

// The renames are durable once the directory that holds them is synced.
void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.ok()) ::fsync(fd.get());
}

}  // namespace

void SetRewriteStepHook(std::function<void(RewriteStep)> hook) { RewriteStepHook() = std::move(hook); }

// A restore only ever uses what this call found: an older ".bak" beside a
// missing file is never brought back (stale content must not return), and
// it is replaced only once the new content is safely written.
bool WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes, std::optional<unsigned> mode) {
  // The callers never pass so little; refuse before touching anything, so
  // that a write bound to fail costs neither the file nor an older backup.
  if (bytes.size() < 2) return false;
  const std::string target = ToUtf8(path);
  const std::string backup = ToUtf8(path + u".bak");

  const bool existed = FileExists(path);
  if (existed) {
    struct stat st;
    int error = 0;
    if (!OpenExisting(target, O_RDONLY, st, error).ok()) return false;
    // The new file keeps the old one's mode.
    if (!mode) mode = st.st_mode & 07777;
  }
  const std::string fresh = WriteNewBeside(target, bytes, mode);
  if (fresh.empty()) return false;
  Reached(RewriteStep::NewFileSynced);
  if ((existed && !ReplaceBackup(target, backup)) || ::rename(fresh.c_str(), target.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return false;
  }
  Reached(RewriteStep::NewFileInPlace);
  SyncDirectoryOf(target);
  return true;
}

bool WriteWholeFile(const std::u16string& path, const std::u16string& text, std::optional<unsigned> mode) {
  const std::string ansi = ToAnsi(text);
  return WriteFileBytes(path, std::vector<uint8_t>(ansi.begin(), ansi.end()), mode);
}

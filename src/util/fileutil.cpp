#include "util/fileutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

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

// The previous file is renamed to path + ".bak" (one step, no space needed)
// and the new content goes into a fresh file. When that fails, the backup is
// renamed back in place of the failed file and is gone afterwards; after
// success it stays. A restore only ever uses the backup taken by this call:
// an older ".bak" found beside a missing file is never brought back (stale
// content must not return), and a backup that could not be taken leaves the
// original untouched.
bool WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes, std::optional<unsigned> mode) {
  // The callers never pass so little; refuse before touching anything, so
  // that a write bound to fail costs neither the file nor an older backup.
  if (bytes.size() < 2) return false;
  const std::string target = ToUtf8(path);
  const std::string backup = ToUtf8(path + u".bak");

  bool backedUp = false;
  if (FileExists(path)) {
    struct stat st;
    int error = 0;
    if (!OpenExisting(target, O_RDONLY, st, error).ok()) return false;
    // Read before the old file moves aside: the new one keeps its mode.
    if (!mode) mode = st.st_mode & 07777;
    if (::rename(target.c_str(), backup.c_str()) != 0) return false;
    backedUp = true;
  }

  bool ok = false;
  {
    // O_EXCL: the file written is the one created here, nothing else.
    UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0666)));
    if (!out.ok()) {
      if (backedUp) ::rename(backup.c_str(), target.c_str());
      return false;
    }
    ok = (!mode || ::fchmod(out.get(), *mode) == 0) && WriteAll(out.get(), bytes.data(), bytes.size());
    if (!out.close()) ok = false;
  }
  if (ok) return true;

  // Puts the previous content back over the failed file and removes the
  // backup in one step; without a backup, no half-written new file stays.
  if (!backedUp || ::rename(backup.c_str(), target.c_str()) != 0) ::unlink(target.c_str());
  return false;
}

bool WriteWholeFile(const std::u16string& path, const std::u16string& text, std::optional<unsigned> mode) {
  const std::string ansi = ToAnsi(text);
  return WriteFileBytes(path, std::vector<uint8_t>(ansi.begin(), ansi.end()), mode);
}

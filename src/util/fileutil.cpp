#include "util/fileutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "util/codepage.h"
#include "util/errreport.h"

namespace {

// Closes a descriptor on every way out of a scope.
class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  bool ok() const { return m_fd >= 0; }
  // Closes now; false when the close reports an error (data not written).
  bool close() {
    if (m_fd < 0) return true;
    const int r = ::close(m_fd);
    m_fd = -1;
    return r == 0;
  }

 private:
  int m_fd;
};

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

// Copies `from` over `to` (replacing it), giving the copy `mode`. A failed
// copy leaves no partial `to` behind.
bool CopyFile(const std::string& from, const std::string& to, unsigned mode) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return false;
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  bool ok = out.ok() && ::fchmod(out.get(), mode) == 0;
  uint8_t buf[65536];
  while (ok) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = WriteAll(out.get(), buf, static_cast<size_t>(n));
  }
  if (!out.close()) ok = false;
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

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

bool ReadFileBytes(const std::u16string& path, std::vector<uint8_t>& bytes) {
  if (!FileExists(path)) return false;
  Fd fd(::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    data.insert(data.end(), buf, buf + n);
  }
  // A file of fewer than 2 bytes holds nothing this program wrote.
  if (data.size() < 2) return false;
  bytes = std::move(data);
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::u16string& text) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, bytes)) return false;
  text = FromAnsi(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return true;
}

// The previous content is first copied to path + ".bak" and the file deleted;
// the new content goes into a fresh file. When that fails, the backup is put
// back in place of the failed file and is gone afterwards; after success it
// stays. A restore only ever uses the backup taken by this call: an older
// ".bak" found beside a missing file is never brought back, and a backup
// copy that itself failed leaves the original untouched.
bool WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes, unsigned mode) {
  // The callers never pass so little; refuse before touching anything.
  if (bytes.size() < 2) return false;
  const std::string target = ToUtf8(path);
  const std::string backup = ToUtf8(path + u".bak");

  bool backedUp = false;
  if (FileExists(path)) {
    if (!CopyFile(target, backup, mode)) return false;
    backedUp = true;
    if (::unlink(target.c_str()) != 0) {
      ::unlink(backup.c_str());  // the original is still in place
      return false;
    }
  }

  bool ok = false;
  {
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (out.ok()) {
      ok = ::fchmod(out.get(), mode) == 0 && WriteAll(out.get(), bytes.data(), bytes.size());
      if (!out.close()) ok = false;
    }
  }
  if (ok) return true;

  if (backedUp) {
    // Puts the previous content back and removes the backup in one step.
    if (::rename(backup.c_str(), target.c_str()) != 0 && CopyFile(backup, target, mode)) ::unlink(backup.c_str());
  } else {
    ::unlink(target.c_str());  // no half-written new file
  }
  return false;
}

bool WriteWholeFile(const std::u16string& path, const std::u16string& text, unsigned mode) {
  const std::string ansi = ToAnsi(text);
  return WriteFileBytes(path, std::vector<uint8_t>(ansi.begin(), ansi.end()), mode);
}

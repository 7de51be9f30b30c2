#pragma once
// Whole-file access. Text goes through the CP932 code page (codepage.h), with
// no byte-order mark and no line-end translation. Paths are UTF-16 texts,
// stored on disk as UTF-8 names.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// ReadFileBytes refuses a larger file: no settings file or target list comes
// near it, and a file of any size must not exhaust memory.
inline constexpr int64_t kMaxReadBytes = 16 * 1024 * 1024;

// False for a missing file and for a file of fewer than 2 bytes; reports
// nothing. False as well for a file it refuses: anything but a regular file
// (a FIFO would hold the open for good) and a file over kMaxReadBytes; a
// refusal writes one error-log line naming the file and why, and sets
// `*refused`.
bool ReadFileBytes(const std::u16string& path, std::vector<uint8_t>& bytes, bool* refused = nullptr);
// As ReadFileBytes, decoded; `text` is left unchanged on failure.
bool ReadWholeFile(const std::u16string& path, std::u16string& text, bool* refused = nullptr);

// Replaces the whole file, keeping the previous content as path + ".bak".
// The new content goes to a temporary file beside it and is synced; the old
// file is hard-linked (copied where links fail) and renamed over ".bak";
// the new file is renamed into place and the directory synced. At every
// moment a whole file stands under the path, and a failed write leaves the
// file and its ".bak" as they were. Data of fewer than 2 bytes fails, and
// anything but a regular file under the path is left alone (false). The new
// file keeps the permission bits of the one it replaces; a file that did not
// exist gets what the umask gives. `mode`, when given, is forced instead.
bool WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes,
                    std::optional<unsigned> mode = std::nullopt);
bool WriteWholeFile(const std::u16string& path, const std::u16string& text,
                    std::optional<unsigned> mode = std::nullopt);

// The points between the steps of a whole-file rewrite, for tests that
// interrupt a rewrite there (a process killed between two steps).
enum class RewriteStep {
  NewFileSynced,    // the temporary file holds the new content, synced
  BackupLinked,     // the old file is linked (or copied) under a temporary name
  BackupReplaced,   // that name is renamed over ".bak"
  NewFileInPlace,   // the new file is renamed over the old one
};
void SetRewriteStepHook(std::function<void(RewriteStep)> hook);

// True when a file (or anything) exists under the path.
bool FileExists(const std::u16string& path);
// Size in bytes; throws VkError with ErrNo::FileNotFound for a missing file
// and ErrNo::FileAccess for other failures.
int64_t FileLength(const std::u16string& path);
// Deletes a file; throws VkError (FileNotFound when missing).
void KillFile(const std::u16string& path);

// Closes a descriptor on every way out of a scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.m_fd);
      other.m_fd = -1;
    }
    return *this;
  }
  int get() const { return m_fd; }
  bool ok() const { return m_fd >= 0; }
  void reset(int fd) {
    close();
    m_fd = fd;
  }
  // Closes now; false when the close reports an error (data not written).
  bool close();

 private:
  int m_fd;
};

// OpenExisting's error for anything but a regular file.
inline constexpr int kNotRegularFile = -1;

// Opens a file that may already exist (flags as for open(2); with O_CREAT a
// missing one is created with `createMode`, less the umask). O_NONBLOCK is
// added, so a FIFO or device in the file's place cannot hold the program,
// and only a regular file is kept: otherwise the result is not ok() and
// `error` holds errno or kNotRegularFile. A file opened for writing is never
// reached through a symbolic link (O_NOFOLLOW; a link, dangling or not, is
// not a regular file): where others may plant links, a write must not land
// in, or create, the file a link names. `st` describes the file opened.
UniqueFd OpenExisting(const std::string& path, int flags, struct stat& st, int& error, unsigned createMode = 0666);
// The same, with path relative to the directory open as dirFd (AT_FDCWD: the
// working directory).
UniqueFd OpenExistingAt(int dirFd, const std::string& path, int flags, struct stat& st, int& error,
                        unsigned createMode = 0666);

// The reason for an OpenExisting or system error: "not a regular file", or
// the system's text.
std::u16string FileErrorText(int error);

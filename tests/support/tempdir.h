#pragma once
// A temporary directory that the test owns and removes again.
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::u16string path16() const;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::u16string file16(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for tests (raw bytes, no code page).
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

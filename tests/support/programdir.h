#pragma once
// Points the program's location at a temporary directory for the length of
// a test, so logs and files land there, and records the message boxes and
// message-loop turns that the code under test asks for.
#include <vector>

#include "support/tempdir.h"

class ProgramInTempDir {
 public:
  explicit ProgramInTempDir(std::u16string name = u"vktest");
  ~ProgramInTempDir();

  const TempDir& dir() const { return dir_; }
  // Full path of a file beside the "program".
  std::string file(const std::string& name) const { return dir_.file(name); }
  // Content of a file beside the program, decoded from CP932 ("" when missing).
  std::u16string readText(const std::string& name) const;
  // The error log's current file, decoded.
  std::u16string errorLog() const;

  std::vector<std::u16string> boxes;  // texts of the message boxes shown
  int doEvents = 0;                   // message-loop turns asked for

 private:
  TempDir dir_;
  std::u16string name_;
};

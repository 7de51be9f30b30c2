#pragma once
// Collects every text handed to ReportError while it lives: the program's
// files go to a temporary directory, and the message-box hook (raised by the
// settings flag) records each report instead of showing it.
#include <string>
#include <vector>

#include "support/tempdir.h"

class ReportCapture {
 public:
  ReportCapture();
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  const std::vector<std::u16string>& reports() const { return m_reports; }
  // All reports joined by "\n" (for failure messages).
  std::string Dump() const;
  void Clear() { m_reports.clear(); }
  const TempDir& dir() const { return m_dir; }

 private:
  TempDir m_dir;
  std::vector<std::u16string> m_reports;
};

#pragma once
// Result lines, status line and lamps of the main window.
//
// The rules live here, on a small view interface, so that they are tested
// without a window; the main window implements the view and forwards to a
// ResultReport.
#include <cstdint>
#include <string>
#include <vector>

// Fill colour of a lamp: an RGB value, or the system colour for greyed text
// (which only the window knows).
struct LampColour {
  bool greyedText = true;
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;

  static LampColour Rgb(uint8_t r, uint8_t g, uint8_t b) { return LampColour{false, r, g, b}; }
  static LampColour GreyedText() { return LampColour{}; }
  bool operator==(const LampColour&) const = default;
};

// Number of service check boxes and lamps: PING, NetBIOS, SMTP, POP, FTP, HTTP.
inline constexpr int kServiceCount = 6;

// What the report needs from the window.
class ResultView {
 public:
  virtual ~ResultView() = default;
  virtual void AppendResultItem(const std::u16string& item) = 0;  // at the end, no scrolling
  virtual void ClearResultItems() = 0;
  virtual std::vector<std::u16string> ResultItems() const = 0;    // exact texts, CRs included
  virtual void SetLampColour(int index, const LampColour& colour) = 0;  // ignores unknown indexes
  virtual void SetStatusCaption(const std::u16string& caption) = 0;
  virtual void RepaintNow() = 0;  // the whole window, at once
};

// The list items that AddResultLine makes of one text: pieces at LF, trailing
// blanks removed (a CR before the LF stays), the prefix in front of the first
// piece, empty items dropped, TABs shown as four blanks.
std::vector<std::u16string> SplitResultItems(const std::u16string& text, const std::u16string& prefix);

// "## " + word (left-aligned, at least 5) + " チャレンジ ## " + " port：" + port (right-aligned, at least 4).
std::u16string ServiceHeaderText(const std::u16string& port, const std::u16string& serviceWord);

// The result block of one check.
std::u16string CheckResultBlock(const std::u16string& target, bool verdict, const std::u16string& message);

// The lamp colour for a check's verdict and its section's service flag.
LampColour ServiceLampColour(int index, bool verdict, bool serviceFlag);

class ResultReport {
 public:
  explicit ResultReport(ResultView& view) : m_view(view) {}

  // Adds the text to the result list (stamped unless noTimestamp) and, unless
  // noLog, to the run log.
  void AddResultLine(const std::u16string& text, bool noTimestamp = false, bool noLog = false);
  // No time stamp, logged.
  void AddResultText(const std::u16string& text);
  // An empty line, then the stamped header of one port.
  void PutServiceHeader(const std::u16string& port, const std::u16string& serviceWord);
  // Lowers both flags on a failed check, writes the block and colours the lamp.
  void PutCheckResult(const std::u16string& target, int16_t index, bool verdict, bool& serviceFlag,
                      bool& overallVerdict, const std::u16string& message);
  void SetServiceLamp(int16_t index, bool verdict, bool serviceFlag);
  // "hh:nn" + two blanks + text in the status line; repaints and lets events run.
  void ShowStatusMessage(const std::u16string& text);
  // Every item followed by CR LF.
  std::u16string GetResultText() const;
  void ClearResults();

 private:
  ResultView& m_view;
};

#include "diag/resultreport.h"

#include "app/appstate.h"
#include "util/clock.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

// The list box shows a TAB as this many blanks.
constexpr std::u16string_view kTabAsBlanks = u"    ";

std::u16string TabsToBlanks(const std::u16string& item) {
  std::u16string out;
  out.reserve(item.size());
  for (char16_t c : item) {
    if (c == u'\t')
      out += kTabAsBlanks;
    else
      out += c;
  }
  return out;
}

std::u16string PadRight(std::u16string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), u' ');
  return text;
}

std::u16string PadLeft(const std::u16string& text, size_t width) {
  if (text.size() >= width) return text;
  return std::u16string(width - text.size(), u' ') + text;
}

}  // namespace

std::vector<std::u16string> SplitResultItems(const std::u16string& text, const std::u16string& prefix) {
  std::vector<std::u16string> items;
  std::u16string pending = prefix;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find(u'\n', pos);
    size_t end = lf == std::u16string::npos ? text.size() : lf;
    size_t cut = end;
    while (cut > pos && text[cut - 1] == u' ') --cut;
    pending.append(text, pos, cut - pos);
    if (!pending.empty()) {
      items.push_back(TabsToBlanks(pending));
      pending.clear();
    }
    pos = end + 1;
  }
  return items;
}

std::u16string ServiceHeaderText(const std::u16string& port, const std::u16string& serviceWord) {
  return u"## " + PadRight(serviceWord, 5) + u" チャレンジ ## " + u" port：" + PadLeft(port, 4);
}

std::u16string CheckResultBlock(const std::u16string& target, bool verdict, const std::u16string& message) {
  if (verdict) return u"---- " + target + u" -- 【正常】  " + u"\r\n" + message;
  if (!message.empty()) return u"---- " + target + u" -- 【異常】  " + u"\r\n" + message;
  return u"---- " + target + u" -- ［応答なし］  ";
}

LampColour ServiceLampColour(int index, bool verdict, bool serviceFlag) {
  if (verdict && serviceFlag) {
    // PING and NetBIOS light a slightly different green than the TCP services.
    return index == 0 || index == 1 ? LampColour::Rgb(80, 255, 128) : LampColour::Rgb(128, 255, 128);
  }
  if (verdict || serviceFlag) return LampColour::Rgb(255, 192, 128);
  return LampColour::GreyedText();
}

void ResultReport::AddResultLine(const std::u16string& text, bool noTimestamp, bool noLog) {
  const std::u16string prefix = noTimestamp ? std::u16string() : TimeStamp() + u" * ";
  // The log line is on disk before its items can be shown.
  if (text != u"\r\n" && !xNullTrim(text).empty() && !noLog) WriteLog(ProgramName(), text);
  for (const std::u16string& item : SplitResultItems(text, prefix)) m_view.AppendResultItem(item);
  // Lines come in quick succession during a run: one repaint for those of
  // the last few milliseconds, not one per line.
  DoEventsIfDue();
}

void ResultReport::AddResultText(const std::u16string& text) { AddResultLine(text, true, false); }

void ResultReport::PutServiceHeader(const std::u16string& port, const std::u16string& serviceWord) {
  AddResultText(u"\r\n");
  AddResultLine(ServiceHeaderText(port, serviceWord), false, false);
}

void ResultReport::PutCheckResult(const std::u16string& target, int16_t index, bool verdict, bool& serviceFlag,
                                  bool& overallVerdict, const std::u16string& message) {
  if (!verdict) {
    serviceFlag = false;
    overallVerdict = false;
  }
  AddResultText(CheckResultBlock(target, verdict, message));
  SetServiceLamp(index, verdict, serviceFlag);
}

void ResultReport::SetServiceLamp(int16_t index, bool verdict, bool serviceFlag) {
  m_view.SetLampColour(index, ServiceLampColour(index, verdict, serviceFlag));
}

void ResultReport::ShowStatusMessage(const std::u16string& text) {
  m_view.SetStatusCaption(TimeHHNN() + u"  " + text);
  m_view.RepaintNow();
  DoEvents();
}

std::u16string ResultReport::GetResultText() const {
  std::u16string all;
  for (const std::u16string& item : m_view.ResultItems()) {
    all += item;
    all += u"\r\n";
  }
  return all;
}

void ResultReport::ClearResults() { m_view.ClearResultItems(); }

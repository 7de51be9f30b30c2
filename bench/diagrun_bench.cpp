// Wall time of a whole diagnosis run (all six checks) against loopback peers,
// and of its four TCP sections alone; prints medians over repeated runs.
//   build/bench/diagrun_bench host smtp pop ftp http smbport [runs]
// The result lines go to a list in memory and the run log to a temporary
// directory, as in the program, minus the window.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "diag/diagrun.h"
#include "diag/targetlist.h"
#include "net/smbshares.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

namespace {

class HeadlessWindow : public DiagWindow, public ResultView {
 public:
  explicit HeadlessWindow(std::u16string host) : m_host(std::move(host)) {}
  void AppendResultItem(const std::u16string& item) override { m_items.push_back(item); }
  void ClearResultItems() override { m_items.clear(); }
  std::vector<std::u16string> ResultItems() const override { return m_items; }
  void SetLampColour(int, const LampColour&) override {}
  void SetStatusCaption(const std::u16string&) override {}
  void RepaintNow() override {}

  ResultReport& Report() override { return m_report; }
  bool SetTargetHost() override { return true; }
  std::u16string GetHostAddr() const override { return m_host; }
  std::u16string GetCurrentHostName() const override { return m_host; }
  void PutCurrentTargetHostInfo(bool output) override {
    m_report.AddResultLine(TargetHostInfoLine(0, -1, m_host), false, !output);
  }
  void PutCurrentTimeoutInfo() override {}
  int ChkServiceValue(int index) const override { return index >= m_first ? 1 : 0; }
  void SetWindowEnabled(bool) override {}
  void ShowHourglass() override {}
  void RestoreMousePointer() override {}
  void SetRunFlag(bool) override {}
  bool IsClosing() const override { return false; }
  int16_t MinuteCounter() const override { return 0; }
  void SetMinuteCounter(int16_t) override {}
  void SetErrorText(const std::u16string&) override {}
  bool IsBusy() const override { return false; }
  void Post(std::function<void()>) override {}

  void TickFrom(int first) { m_first = first; }
  bool Passed() const {
    for (auto& i : m_items)
      if (i.find(u"【異常】") != std::u16string::npos || i.find(u"［応答なし］") != std::u16string::npos) return false;
    return true;
  }

 private:
  std::u16string m_host;
  std::vector<std::u16string> m_items;
  ResultReport m_report{*this};
  int m_first = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  IgnoreSigPipe();
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s host smtp pop ftp http smbport [runs]\n", argv[0]);
    return 2;
  }
  char dir[] = "/tmp/velkor-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  SetProgramLocation(FromUtf8(dir), u"velkor");
  SystemSettings.SmtpPort = FromUtf8(argv[2]);
  SystemSettings.PopPort = FromUtf8(argv[3]);
  SystemSettings.FtpPort = FromUtf8(argv[4]);
  SystemSettings.HttpPort = FromUtf8(argv[5]);
  SystemSettings.UserName = u"velkorbench";
  SystemSettings.Password = u"unused";
  SetSmbPort(static_cast<uint16_t>(std::atoi(argv[6])));
  const int runs = argc > 7 ? std::max(1, std::atoi(argv[7])) : 30;

  HeadlessWindow window(FromUtf8(argv[1]));
  DiagRunner runner(window);
  auto time = [&](int firstTicked) {
    window.TickFrom(firstTicked);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
      const auto start = std::chrono::steady_clock::now();
      runner.CmdDiag_Click();
      const auto end = std::chrono::steady_clock::now();
      if (!window.Passed()) {
        std::fprintf(stderr, "a check failed; are the peers running?\n");
        std::exit(1);
      }
      ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    return Median(ms);
  };
  const double whole = time(0);
  const double tcp = time(2);
  std::printf("diagrun_bench %s: %d runs, whole run (6 checks) median %.1f ms, four TCP sections median %.1f ms\n",
              argv[1], runs, whole, tcp);
  std::filesystem::remove_all(dir);
  return 0;
}

// Wall time of a whole diagnosis run (all six checks) against loopback peers,
// and of its four TCP sections alone; prints medians over repeated runs.
//   build/bench/diagrun_bench host smtp pop ftp http smbport [runs]
// The result lines go to a list in memory and the run log to a temporary
// directory, as in the program, minus the window.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "diag/diagrun.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "net/smbshares.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

namespace {

// No check failed in the last run.
bool Passed(const std::vector<std::u16string>& items) {
  for (auto& i : items)
    if (i.find(u"【異常】") != std::u16string::npos || i.find(u"［応答なし］") != std::u16string::npos) return false;
  return true;
}

// Ticks every section from `first` on.
std::array<bool, kServiceCount> TickedFrom(int first) {
  std::array<bool, kServiceCount> ticked{};
  for (int i = first; i < kServiceCount; ++i) ticked[static_cast<size_t>(i)] = true;
  return ticked;
}

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

  HeadlessWindow window(FromUtf8(argv[1]), FromUtf8(argv[1]), TickedFrom(0));
  DiagRunner runner(window);
  auto time = [&](int firstTicked) {
    window.SetTicked(TickedFrom(firstTicked));
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
      const auto start = std::chrono::steady_clock::now();
      runner.CmdDiag_Click();
      const auto end = std::chrono::steady_clock::now();
      if (!Passed(window.ResultItems())) {
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

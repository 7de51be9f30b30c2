// Times NetShareList (brief form, as a run asks for it) against an SMB server
// and prints the median, the fastest and the slowest of the runs.
//   build/bench/shares_bench host port [runs]
// With the test suite's server: tests/peers/smb_start.sh DIR, then the port
// is in DIR/port; tests/peers/smb_stop.sh DIR stops it again.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/shares.h"
#include "net/smbshares.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

int main(int argc, char** argv) {
  IgnoreSigPipe();
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s host port [runs]\n", argv[0]);
    return 2;
  }
  const std::string host = argv[1];
  SetSmbPort(static_cast<uint16_t>(std::atoi(argv[2])));
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
  std::vector<double> ms;
  size_t lines = 0;
  for (int i = 0; i < runs; ++i) {
    std::u16string listing;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = NetShareList(FromUtf8(host), listing, true);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
      std::fprintf(stderr, "share listing of %s:%s failed%s%s\n", host.c_str(), argv[2], listing.empty() ? "" : ": ",
                   ToUtf8(listing).c_str());
      return 1;
    }
    lines = static_cast<size_t>(std::count(listing.begin(), listing.end(), u'\n'));
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("shares_bench %s:%s: %d runs, %zu shares, median %.3f ms, min %.3f ms, max %.3f ms\n", host.c_str(),
              argv[2], runs, lines, ms[ms.size() / 2], ms.front(), ms.back());
  return 0;
}

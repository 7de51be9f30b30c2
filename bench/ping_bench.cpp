// Times PingCheck against a live host (default 127.0.0.1; needs root or
// CAP_NET_RAW, or a ping_group_range that admits the user) and prints the
// median, the fastest and the slowest of the runs.
//   build/bench/ping_bench [host] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/ping.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

int main(int argc, char** argv) {
  IgnoreSigPipe();
  const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    bool alive = false;
    std::u16string message, dump;
    const auto start = std::chrono::steady_clock::now();
    const int status = PingCheck(FromUtf8(host), alive, message, dump);
    const auto end = std::chrono::steady_clock::now();
    if (status != 0) {
      std::fprintf(stderr, "ping %s: status %d %s\n", host.c_str(), status, ToUtf8(message).c_str());
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("ping_bench %s: %d runs, median %.3f ms, min %.3f ms, max %.3f ms\n", host.c_str(), runs,
              ms[ms.size() / 2], ms.front(), ms.back());
  return 0;
}

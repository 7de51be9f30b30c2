#include "check/checkprocess.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// Whoever takes it first writes the output: the run, or the time bound.
std::atomic<bool> g_outputTaken{false};

}  // namespace

bool WriteStandardOutput(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void FinishCheckProcess(const std::string& text, CheckExit status) {
  if (!g_outputTaken.exchange(true)) {
    WriteStandardOutput(text);
    _exit(static_cast<int>(status));
  }
  // The time bound has written its line and is ending the process.
  for (;;) pause();
}

void StartCheckTimeBound(double seconds, std::string text) {
  std::thread([seconds, text = std::move(text)] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (g_outputTaken.exchange(true)) return;  // the run's output is on its way
    WriteStandardOutput(text);
    _exit(static_cast<int>(CheckExit::Unknown));
  }).detach();
}

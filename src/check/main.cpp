// velkor-check: velkor's diagnosis of one host as a monitoring plugin.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "check/checkrun.h"
#include "check/smbclientondemand.h"

namespace {

// Whoever takes it first writes the output: the run, or the time bound.
std::atomic<bool> g_outputTaken{false};

void WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void Finish(const CheckOutcome& outcome) {
  if (!g_outputTaken.exchange(true)) {
    WriteAll(outcome.text);
    _exit(static_cast<int>(outcome.status));
  }
  // The time bound has written its line and is ending the process.
  for (;;) pause();
}

// --max-time: whatever a peer or a lookup does, the command ends with
// UNKNOWN once the bound has passed. _exit: threads still waiting on a peer
// must not hold the process.
void StartTimeBound(const CheckRequest::Seconds& bound, bool json) {
  std::thread([bound, json] {
    std::this_thread::sleep_for(std::chrono::duration<double>(bound.value));
    if (g_outputTaken.exchange(true)) return;  // the run's output is on its way
    WriteAll(TimedOutLine(bound.text, json));
    _exit(static_cast<int>(CheckExit::Unknown));
  }).detach();
}

// Schedulers mix standard error into the plugin output: nothing may reach
// it, not even a library's own complaint.
void SilenceStandardError() {
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  dup2(fd, STDERR_FILENO);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  SilenceStandardError();
  signal(SIGPIPE, SIG_IGN);  // a reader that went away ends no write with a signal
  const ParsedCommandLine parsed = ParseCheckCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.request) Finish(BadInputOutcome(parsed.error));
  if (parsed.request->action == CheckRequest::Action::Run) StartTimeBound(parsed.request->maxTime, parsed.request->json);
  Finish(RunCheckCommand(*parsed.request, CheckHooks{SmbClientLoadFailure}));
}

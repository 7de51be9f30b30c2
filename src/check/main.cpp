// velkor-check: velkor's diagnosis of one host as a monitoring plugin, or of
// every host of a target list.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "check/checkprocess.h"
#include "check/checkrun.h"
#include "check/checksweep.h"
#include "check/smbclientondemand.h"

namespace {

// Schedulers mix standard error into the plugin output: nothing may reach
// it, not even a library's own complaint. A sweep on a terminal keeps a copy
// of it for its progress; the answer is that copy, or -1.
int SilenceStandardError() {
  const int progress = isatty(STDERR_FILENO) ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return progress;
  dup2(fd, STDERR_FILENO);
  close(fd);
  return progress;
}

}  // namespace

int main(int argc, char** argv) {
  const int terminal = SilenceStandardError();
  signal(SIGPIPE, SIG_IGN);  // a reader that went away ends no write with a signal
  const ParsedCommandLine parsed = ParseCheckCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.request) {
    const CheckOutcome bad = BadInputOutcome(parsed.error);
    FinishCheckProcess(bad.text, bad.status);
  }
  const CheckRequest& request = *parsed.request;
  CheckHooks hooks{SmbClientLoadFailure};
  if (request.targetList) {
    hooks.progressFd = terminal;
  } else {
    if (terminal >= 0) close(terminal);
    if (request.action == CheckRequest::Action::Run) {
      const CheckOutcome timedOut{CheckExit::Unknown, TimedOutLine(request.maxTime.text)};
      StartCheckTimeBound(request.maxTime.value, request.json ? OneHostJson(request, {timedOut, std::nullopt},
                                                                            request.maxTime.value)
                                                              : timedOut.text);
    }
  }
  const CheckOutcome outcome = RunCheckCommand(request, hooks);
  FinishCheckProcess(outcome.text, outcome.status);
}

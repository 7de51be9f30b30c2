#include "util/sigpipe.h"

#include <signal.h>

void IgnoreSigPipe() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

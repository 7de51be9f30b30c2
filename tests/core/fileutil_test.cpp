// Whole-file writes and reads are cases of the program files' scenarios (errreport_log_test, files-scenarios.cases).
#include <gtest/gtest.h>

#include <csignal>

// Every test program, like the program and the benches, ignores SIGPIPE: a write to a reader that has gone
// fails with EPIPE instead of ending the process (library threads write without MSG_NOSIGNAL).
TEST(IgnoreSigPipe, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

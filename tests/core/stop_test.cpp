// The operator's stop ends every wait of a run at once, whatever the wait is
// bounded by; a stopped session reports nothing (the run writes its stop line).
#include "util/stop.h"

#include <netdb.h>
#include <gtest/gtest.h>

#include <atomic>

#include "app/appstate.h"
#include "net/cmdsession.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/process.h"
#include "util/xcommon.h"

TEST(Stop, EveryWaitEndsAtOnceAndTheSessionReportsNothing) {
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  std::vector<std::u16string> boxes;
  SetMessageBoxHook([&](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  SetSessionOptions({});  // the real 30 s
  // A listener whose queue is full: the kernel drops further connection requests, so a connect waits.
  const SilentPort full;
  // A resolver that knows a name of two addresses (::1 refuses, 127.0.0.1 is the full listener), and answers any
  // other name only when the test is over.
  std::atomic<bool> released{false};
  SetHostAddressLookup([&](const std::string& name) {
    if (name == "two.example") return AddressLookupAnswer{{*ParseHostAddress("::1"), *ParseHostAddress("127.0.0.1")}, 0};
    for (int i = 0; i < 500 && !released; ++i) SleepMs(10);
    return AddressLookupAnswer{{}, EAI_AGAIN};
  });
  for (const Case& c : LoadCases("run-stop.cases", {{"FULL", std::to_string(full.port())}})) {
    CASE_TRACE(c);
    boxes.clear();
    ClearStop();
    ScriptServer peer(PeerSteps(c));
    const std::vector<std::string> wait = c.words("waits for");
    std::u16string host = FromUtf8(wait.at(1)), port = ToU16(wait.size() > 2 ? std::stoi(wait[2]) : peer.port());
    std::u16string greeting, reply, code, transcript;
    int32_t socket = -1;
    const int64_t start = MonotonicMs(), stopAt = start + c.number("stop after");
    SetDoEventsHook([&] {
      if (MonotonicMs() >= stopAt) RequestStop();
    });
    // Each wait gives true only when it ended with its result.
    bool ended = true;
    if (wait[0] == "lookup") {
      ended = GetIPAddress(host) != 0;
    } else if (wait[0] == "script") {  // the pause is longer than the stop's second, so only the stop can end it
      ShellWait(u"/bin/sleep", {u"20"}, 5000, ShellWaitOptions{.startPauseMs = std::stoi(wait[1])});
      ended = false;
    } else if (wait[0] == "tls") {
      ended = SmtpCheck(host, port, transcript, TlsMode::Implicit);
    } else {
      // Quiet, as the probes open; a command needs its connection first.
      const bool opened = WinSockManager(host, port, socket, greeting, false, wait[0] == "open");
      ended = wait[0] == "open" ? opened : !opened || WinSockCmdSend(socket, 0, u"HELO me\r\n", reply, code);
      if (opened) WinSockClose(socket);
    }
    EXPECT_FALSE(ended);
    const int64_t end = MonotonicMs();
    SetDoEventsHook(nullptr);
    EXPECT_GE(end - start, c.number("stop after") - 10) << "the wait itself did not end early";
    EXPECT_LT(end - stopAt, 1000) << "the 100 ms figure is the benchmark's";
    if (!c.has("may report")) {
      EXPECT_EQ(boxes, std::vector<std::u16string>{});
    }
  }
  ClearStop();
  released = true;
  SetHostAddressLookup(nullptr);
  SleepMs(150);  // the abandoned lookup's worker ends
}

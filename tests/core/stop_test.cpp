// The operator's stop ends every wait of a run at once, whatever the wait is
// bounded by; a stopped session reports nothing (the run writes its stop line).
#include "util/stop.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>

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

namespace {

TEST(Stop, EveryWaitEndsAtOnceAndTheSessionReportsNothing) {
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  std::vector<std::u16string> boxes;
  SetMessageBoxHook([&](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  SetSessionOptions({});  // the real 30 s
  uint16_t silentPort = 0, fullPort = 0;
  const int silent = ListenOnLoopback(8, &silentPort);
  // A listener whose queue is full: the kernel drops further connection requests, so a connect waits.
  const int full = ListenOnLoopback(0, &fullPort);
  const sockaddr_in to{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  SleepMs(50);
  WriteBytes(prog.file("sleeper"), "#!/bin/sh\nsleep 20\n");
  chmod(prog.file("sleeper").c_str(), 0755);
  auto open = [](std::u16string host, uint16_t port) {
    std::u16string portText = ToU16(port), greeting;
    int32_t socket = -1;
    const bool ok = WinSockManager(host, portText, socket, greeting, false, true);  // quiet, as the probes open
    if (ok) WinSockClose(socket);
    return ok;
  };
  // The pause is longer than the stop's second here, so that only the stop can end it.
  auto script = [&](int pauseMs) {
    return ShellWait(FromUtf8(prog.file("sleeper")), {}, 5000, ShellWaitOptions{.startPauseMs = pauseMs}), false;
  };
  // Each wait, false when it ended without its result.
  const std::map<std::string, std::function<bool()>> waits = {
      {"connect to a listener whose queue is full", [&] { return open(u"127.0.0.1", fullPort); }},
      {"greeting from a peer that accepts and never speaks", [&] { return open(u"127.0.0.1", silentPort); }},
      {"reply to a command the peer never answers", [&] {
         ScriptServer peer({"220 hi\r\n", kLine, Wait(60000)});
         std::u16string host = u"127.0.0.1", port = ToU16(peer.port()), greeting, reply, code;
         int32_t socket = -1;
         if (!WinSockManager(host, port, socket, greeting, false, false)) return true;
         const bool ok = WinSockCmdSend(socket, 0, u"HELO me\r\n", reply, code);
         WinSockClose(socket);
         return ok;
       }},
      {"TLS handshake with a silent peer", [&] {
         ScriptServer peer({Wait(60000)});
         std::u16string host = u"127.0.0.1", port = ToU16(peer.port()), transcript;
         return SmtpCheck(host, port, transcript, TlsMode::Implicit);
       }},
      {"connect to each address of a name", [&] { return open(u"two.example", fullPort); }},
      {"name lookup that never answers", [&] { return GetIPAddress(u"slow.example") != 0; }},
      {"error script's start pause", [&] { return script(5000); }},
      {"error script that sleeps", [&] { return script(500); }},
  };
  // A resolver that knows a name of two addresses (::1 refuses, 127.0.0.1 is the full listener), and answers any
  // other name only when the test is over.
  std::atomic<bool> released{false};
  SetHostAddressLookup([&](const std::string& name) {
    if (name == "two.example") return AddressLookupAnswer{{*ParseHostAddress("::1"), *ParseHostAddress("127.0.0.1")}, 0};
    for (int i = 0; i < 500 && !released; ++i) SleepMs(10);
    return AddressLookupAnswer{{}, EAI_AGAIN};
  });
  for (const Case& c : LoadCases("run-stop.cases")) {
    CASE_TRACE(c);
    boxes.clear();
    ClearStop();
    const int64_t start = MonotonicMs(), stopAt = start + c.number("stop after");
    SetDoEventsHook([&] {
      if (MonotonicMs() >= stopAt) RequestStop();
    });
    EXPECT_FALSE(waits.at(c.name)());
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
  for (int fd : fillers) close(fd);
  close(full);
  close(silent);
}

}  // namespace

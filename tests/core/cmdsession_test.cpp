// The TCP session (open, one command, its reply) and the four service probes
// on it, against scripted peers on 127.0.0.1. The scenarios are cases in
// tests/data/session-*.cases; the engine here runs them.
#include "net/cmdsession.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include "app/appstate.h"
#include "net/failphrase.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/shares.h"
#include "net/smbshares.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

using enum ProbeKind;
using enum TlsMode;

// The values of key joined, or each of them, as UTF-16.
std::u16string Joined(const Case& c, const std::string& key) {
  std::string text;
  for (const std::string& value : c.all(key)) text += value;
  return FromUtf8(text);
}
std::vector<std::u16string> Each(const Case& c, const std::string& key) {
  std::vector<std::u16string> texts;
  for (const std::string& value : c.all(key)) texts.push_back(FromUtf8(value));
  return texts;
}

// The text, or its prefix where the wanted one ends in "…".
std::u16string Prefix(const std::u16string& got, const std::u16string& want) { return CutToPrefixes({got}, {want})[0]; }

// Open descriptors, less the share listing's configuration file, which the first listing of the process opens once
// and keeps.
int OpenDescriptors() {
  return std::count_if(std::filesystem::directory_iterator("/proc/self/fd"), {}, [](const auto& entry) {
    std::error_code ec;
    return std::filesystem::read_symlink(entry.path(), ec).string().find("velkor-smb.conf") == std::string::npos;
  });
}

// A field of /proc/self/status, in kB: the resident memory, and its peak since the last write to clear_refs.
int64_t StatusKb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field + ":")) return std::stoll(line.substr(field.size() + 1));
  return 0;
}

// The case's waits: seconds= micros= wait= cap=, over the program's defaults; none given: 5 s and 5 s.
SessionOptions OptionsOf(const Case& c) {
  if (!c.has("session")) return SessionOptions{.timeoutSeconds = 5, .replyWaitLimitMs = 5000};
  SessionOptions options;
  for (const std::string& word : c.words("session")) {
    const std::string key = word.substr(0, word.find('='));
    const long value = std::stol(word.substr(key.size() + 1));
    if (key == "seconds") options.timeoutSeconds = static_cast<int32_t>(value);
    else if (key == "micros") options.timeoutMicros = static_cast<int32_t>(value);
    else if (key == "wait") options.replyWaitLimitMs = value;
    else if (key == "cap") options.replyCapBytes = static_cast<size_t>(value);
    else ADD_FAILURE() << "unknown session option " << word;
  }
  return options;
}

// Every case of the files (tests/data/session-{open,command,probes}.cases) against its scripted peer: opening a session and one
// command on it (the verdicts, the greeting, the reply and its code), or a probe (its verdict and transcript), each
// case within its waits, with its reports and failure phrase, what the peer received (never the password) and the
// name its TLS asked for; the message loop never frozen, memory bounded however much the peer sends, nothing left
// open whatever way it failed, an exception (a report that throws, memory running out) included. Reports come as
// message boxes; the resolver knows mx.example alone. SIGPIPE keeps its default action: a send to a peer that has
// reset the connection must not end the process, whatever the program sets at start.
void RunCases(std::initializer_list<const char*> files) {
  std::signal(SIGPIPE, SIG_DFL);
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  const SilentPort full;  // its queue filled: a connect there is never answered
  const auto Shares = static_cast<ProbeKind>(-1);  // the share listing, its listing the transcript
  const std::map<std::string, ProbeKind> kinds = {
      {"smtp", Smtp}, {"pop", Pop}, {"ftp", Ftp}, {"http", Http}, {"shares", Shares}};
  const std::map<std::string, TlsMode> modes = {{"plain", None}, {"t", StartTls}, {"s", Implicit}};
  CaseVars vars;
  for (const int number : {0, 10038, 10040, 10049, 10054, 10060, 10061})  // as ${E10060}: as the reports carry it
    vars["E" + std::to_string(number)] = ToUtf8(SocketErrorText(number));
  // The certificates of tests/data/session-certs.cases, and their dates as the logs write them.
  const int64_t now = EpochNow();
  std::map<std::string, TestCert> made;
  std::map<std::string, TlsPeer> certs;
  for (const Case& k : LoadCases("session-certs.cases")) {
    const std::time_t from = now + k.number("from"), until = now + k.number("until");
    const TestCert* issuer = k.has("issuer") ? &made.at(k.get("issuer")) : nullptr;
    made[k.name] = k.has("like") ? made.at(k.get("like"))
                                 : MakeTestCert(k.get("cn"), k.get("san"), from, until, issuer, k.has("authority"));
    certs[k.name] = {made[k.name].certPem, made[k.name].keyPem, static_cast<int>(k.number("only"))};
    for (const auto& [name, t] : {std::pair{" from", from}, {" until", until}}) {
      char local[32];
      std::strftime(local, sizeof local, "%Y/%m/%d %H:%M:%S", std::localtime(&t));
      vars[k.name + name] = local;
    }
  }
  WriteBytes(prog.file("ca.pem"), made.at("ca").certPem);
  const std::string secret = "s3cr3t-Pa55";
  const std::u16string password = FromUtf8(secret);
  const TrustedCa trusted(prog.file("ca.pem"));
  SetHostResolver([](const std::string& name) { return name == "mx.example" ? htonl(INADDR_LOOPBACK) : 0u; });
  SetSmbListBoundMs(600);
  for (const char* file : files) {
    for (const Case& c : LoadCases(file, vars)) {
      CASE_TRACE(c);
      const int descriptors = OpenDescriptors();
      std::ofstream("/proc/self/clear_refs") << "5";  // the peak resident memory starts again from here
      const int64_t residentKb = StatusKb("VmRSS");
      {
        ScriptServer peer(PeerSteps(c), certs.at(c.get("cert", "mx")));
        const std::string fault = c.get("fault");
        prog.boxes.clear();
        SetMessageBoxHook([&prog](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
        SetSessionOptions(OptionsOf(c));
        const int64_t start = MonotonicMs();
        int64_t last = start, longest = 0, passes = 0;
        SetDoEventsHook([&, watchdog = c.has("watchdog"), ticks = 0]() mutable {
          ++passes;
          longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs()));
          if (watchdog && RecvWaiting && ++ticks > 3) RecvTimedOut = true;
        });
        if (c.has("renew-ca")) WriteBytes(prog.file("ca.pem"), made.at("renewed").certPem);
        if (fault == "report-throws") SetMessageBoxHook([](auto&, auto&) { throw std::runtime_error("report"); });
        if (fault == "out-of-memory") SetDoEventsHook([] { throw std::bad_alloc(); });
        if (c.has("probe")) {
          const std::u16string host = FromUtf8(c.get("host", " 127.0.0.1 ")), want = Joined(c, "shows");
          const TlsMode mode = modes.at(c.get("mode", "plain"));
          std::u16string transcript = u"untouched";
          const ProbeKind kind = kinds.at(c.get("probe"));
          if (kind == Shares) {
            SetSmbPort(peer.port());
            EXPECT_EQ(NetShareList(u"127.0.0.1", transcript, true), c.get("ok") == "yes");
          } else if (fault == "out-of-memory") {
            EXPECT_THROW(RunProbe(kind, host, peer.port(), u"probe", u"", transcript, mode), std::bad_alloc);
          } else {
            EXPECT_EQ(RunProbe(kind, host, peer.port(), u"probe", password, transcript, mode), c.get("ok") == "yes");
          }
          EXPECT_EQ(Prefix(transcript, want), want);
        } else {
          std::u16string host = FromUtf8(c.get("host", "127.0.0.1")), port = FromUtf8(c.get("port", "#"));
          std::u16string greeting = u"old", reply = u"previous", code = u"old";
          if (const size_t at = port.find_first_of(u"#%"); at != std::u16string::npos)
            port.replace(at, 1, PortText(port[at] == u'#' ? peer.port() : full.port()));
          const bool opens = c.get("opens", "yes") == "yes", quiet = c.has("quiet"), http = c.number("no") == 95;
          const std::u16string want = FromUtf8(c.get("reply"));
          int32_t socket = static_cast<int32_t>(c.number("socket", -1));
          // The report swallows its own failure (it never throws); memory running out does throw. A socket number
          // given: no session, the command goes to it.
          if (fault == "out-of-memory") {
            EXPECT_THROW(WinSockManager(host, port, socket, greeting, http, quiet), std::bad_alloc);
          } else if (!c.has("socket")) {
            EXPECT_EQ(WinSockManager(host, port, socket, greeting, http, quiet), opens);
          }
          EXPECT_EQ(greeting, FromUtf8(c.get("greeting")));
          if (c.has("cmd")) {
            const int16_t no = static_cast<int16_t>(c.number("no"));
            EXPECT_EQ(WinSockCmdSend(socket, no, FromAnsi(c.get("cmd")), reply, code), c.get("ok") == "yes");
            EXPECT_EQ(Prefix(reply, want), want);
            EXPECT_EQ(code, FromUtf8(c.get("code")));
          }
          if (opens) WinSockClose(socket);
        }
        EXPECT_EQ(c.has("reason") ? FailurePhrase(LastFailReason()) : "", c.get("reason"));  // where a case gives it
        // A case's "ms" bounds are far from what a loaded machine needs and far below the waits a fault would make:
        // the quick sessions' waits are 5 s, the default bound 2.5 s beyond a case's own waits. The loop runs every
        // 25 ms; a gap of 450 ms still shows a wait that stands still for one of the 600 ms waits.
        const std::vector<std::string> ms = c.has("ms") ? c.words("ms") : std::vector<std::string>{"0", "2500"};
        EXPECT_GE(MonotonicMs() - start, std::stoll(ms.at(0)));
        EXPECT_LT(MonotonicMs() - start, std::stoll(ms.at(1)));
        EXPECT_LE(longest, 450);  // the window never freezes
        // Nor does it pay for a pass per byte or per piece of a fast peer: a pass once 10 ms have gone by, and one
        // at the end of each wait's slices.
        EXPECT_LE(passes, 4 + (MonotonicMs() - start) / kDoEventsDueMs);
        EXPECT_FALSE(RecvWaiting);
        EXPECT_EQ(CutToPrefixes(prog.boxes, Each(c, "report")), Each(c, "report"));
        EXPECT_EQ(ws::WSACleanup(), -1);
        for (int i = 0; i < 200 && SmbListingStuck(); ++i) SleepMs(50);  // the listing given up ends by itself
        // What the peer received, read where it was reached (the read waits for the peer to end).
        const std::string sent = c.has("probe") || c.has("cmd") ? peer.Received() : "";
        if (c.has("probe")) {
          EXPECT_EQ(Prefix(FromUtf8(sent), Joined(c, "sent")), Joined(c, "sent"));
        } else {
          EXPECT_EQ(sent, c.get("sent", c.get("cmd")));
        }
        EXPECT_EQ(sent.find(secret), std::string::npos);  // the password is never sent
        EXPECT_EQ(peer.Sni(), c.get("sni"));
        // Ephemeral ports lie above 32767, where a signed 16-bit port would overflow.
        EXPECT_GT(peer.port(), 32767);
      }
      EXPECT_LT((StatusKb("VmHWM") - residentKb) / 1024, 32);
      EXPECT_EQ(OpenDescriptors(), descriptors);
    }
  }
  SetSmbPort(kSmbDefaultPort);
  SetSmbListBoundMs(kSmbListBoundMs);
}

// Two tests, so that the opening and the probes run side by side.
TEST(CmdSession, OpeningAndOneCommand) { RunCases({"session-open.cases", "session-command.cases"}); }
TEST(CmdSession, Probes) { RunCases({"session-probes.cases"}); }

}  // namespace

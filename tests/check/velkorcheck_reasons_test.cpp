// Why a check failed or warned: one row per reason, from a scripted peer, a
// real one, a closed or silent port or the resolver hook, through
// velkor-check's text line, its status line, its JSON (one host) and, for the
// failures inside TLS, the window's block. Names are answered by the core's
// resolver hook, so no lookup leaves the machine.
// velkor-fixtures: tcp_peers
#include <netdb.h>
#include <openssl/ssl.h>
#include <sched.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "check/checkjson.h"
#include "check/checkrun.h"
#include "check/checksweep.h"
#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "support/casefile.h"
#include "support/scriptserver.h"
#include "support/checkpeers.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Port(uint16_t p) { return std::to_string(p); }

// Seconds as "#": they differ from run to run.
std::string Masked(const std::string& text) {
  static const std::regex seconds(R"([0-9]+\.[0-9]{6})");
  return std::regex_replace(text, seconds, "#");
}

// The resolver hook (dual.test in IPv4-first order): no name is ever looked up for real.
AddressLookupAnswer Names(const std::string& name) {
  const HostAddress four = *ParseHostAddress("127.0.0.1"), six = *ParseHostAddress("::1");
  if (name == "flaky.example") return {{}, EAI_AGAIN};
  if (name == "slow.example") std::this_thread::sleep_for(std::chrono::milliseconds(400));
  if (name == "slow.example" || name == "v4only.test") return {{four}, 0};
  if (name == "dual.test") return {{four, six}, 0};
  if (name == "v6only.test") return {{six}, 0};
  if (name != "nosuch.example") ADD_FAILURE() << "asked for " << name;
  return {{}, EAI_NONAME};
}

// Each reason, run with -v and with --json; the cases are in tests/data/reasons-check.cases. Each test runs in a
// process of its own, so the hooks set here stay.
TEST(VelkorCheckReasons, EveryReasonInTheLineTheStatusLineAndTheJson) {
  SetHostAddressLookup(Names);
  const TcpPeers peers = LoadTcpPeers();
  const int64_t now = EpochNow();
  const TestCert cert = MakeTestCert("mx.example", "DNS:mx.example,IP:127.0.0.1", now - 3600, now + 400 * 86400);
  const TlsPeer tls{cert.certPem, cert.keyPem, TLS1_2_VERSION};
  const Greeters closed(false, false);  // nothing listens at its port on either family
  const SilentPort silent;
  const CaseVars vars = {{"CLOSED", Port(closed.port())}, {"SILENT", Port(silent.port())},
                         {"SMTP_PEER", Port(peers.smtp)}, {"HTTP_PEER", Port(peers.http)}};
  SetSmbPort(closed.port());
  for (const Case& c : LoadCases("reasons-check.cases", vars)) {
    CASE_TRACE(c);
    if (c.has("real") && !peers.available) continue;
    for (const bool json : {false, true}) {
      const std::vector<std::string> steps = PeerSteps(c);
      std::optional<ScriptServer> server;
      if (!steps.empty()) server.emplace(steps, tls);
      auto filled = [&](std::string text) {  // PORT: the scripted peer's
        for (size_t at; server && (at = text.find("PORT")) != std::string::npos;)
          text.replace(at, 4, Port(server->port()));
        return text;
      };
      std::vector<std::string> args = Words(filled(c.get("args")));
      if (std::find(args.begin(), args.end(), "-H") == args.end()) args.insert(args.begin(), {"-H", "127.0.0.1"});
      args.push_back(json ? "--json" : "-v");
      const CheckOutcome out = CheckCommand(args);
      SCOPED_TRACE(out.text);
      EXPECT_EQ(out.status, c.get("status") == "WARNING" ? CheckExit::Warning : CheckExit::Critical);
      if (json) {
        const std::vector<std::string> lines = Lines(out.text);
        ASSERT_EQ(lines.size(), 1u);  // one object, nothing else
        EXPECT_THAT(lines[0], HasSubstr("\"reason\":" + JsonString(c.get("reason")) + ","));
        EXPECT_THAT(lines[0], HasSubstr("\"line\":null,\"host\":"));
        if (c.has("address")) {
          EXPECT_EQ(JsonValues(lines[0], "address"), std::vector<std::string>{c.get("address")});
        }
        continue;
      }
      const std::vector<std::string> lines = Lines(Masked(out.text)), says = c.all("says");
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[0].substr(0, lines[0].find(" | ")), filled(says.at(0)));
      EXPECT_EQ(lines[1], filled(says.at(1)));
      // The window keeps its own texts; a failure inside TLS ends its block with the TLS line.
      EXPECT_THAT(out.text, Not(HasSubstr(c.get("reason") + "\n---- ")));
      if (c.has("window")) {
        const std::string words = c.get("window");
        EXPECT_THAT(out.text, HasSubstr("\nTLS エラー： " + (words.empty() ? "" : words + "\n")));
      } else {
        EXPECT_THAT(out.text, Not(HasSubstr("TLS エラー")));
      }
    }
  }
  SetSmbPort(kSmbDefaultPort);

  // A resolver that does not answer in time.
  SetResolveTimeoutMs(100);
  const CheckOutcome slow = CheckCommand({"-H", "slow.example", "--smtp", "25"});
  EXPECT_THAT(Lines(slow.text).at(1), HasSubstr(": name lookup failed (no answer)"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the abandoned lookup ends
  SetResolveTimeoutMs(30000);

  // A real status passing by its class.
  if (peers.available) {
    const CheckOutcome passes =
        CheckCommand(Words("-H 127.0.0.1 --http " + Port(peers.http) + " --expect-status 2xx,200"));
    EXPECT_EQ(passes.status, CheckExit::Ok) << passes.text;
    EXPECT_THAT(Lines(passes.text).at(1), HasSubstr(": HTTP/1.1 200 OK"));
  }

  // A network that cannot be reached, in a namespace with its loopback down.
  const std::string unreachable = Masked(InChild([] {
    return unshare(CLONE_NEWNET) == 0 ? CheckCommand({"-H", "127.0.0.1", "--smtp", "25"}).text : "no network namespace";
  }));
  if (unreachable == "no network namespace") GTEST_SKIP() << "SKIPPED LOUDLY: no network namespace (needs root)";
  EXPECT_EQ(Lines(unreachable).at(1), "SMTP 25: CRITICAL - failed in # s: network unreachable");
}

// The built command through the shell; its standard output and exit status.
Ran RunBuilt(const std::string& args) { return RunShell(std::string(VELKOR_CHECK_BINARY) + " " + args + " 2>/dev/null"); }

// A sweep's summary: its groups, each host with a warning and its reasons, the list's line numbers, and the jq lines
// of the manual run on the real output; the cases are in tests/data/reasons-sweep.cases.
TEST(VelkorCheckSweepReasons, GroupsLineNumbersAndTheManualsJq) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  const Greeters closed(false, false);
  TempDir dir;
  const CaseVars vars = {{"CLOSED", Port(closed.port())}, {"SMTP_PEER", Port(peers.smtp)},
                         {"HTTPS", Port(peers.https)}, {"HTTPS_OTHER", Port(peers.httpsOther)}, {"DIR", dir.path()}};
  for (const Case& c : LoadCases("reasons-sweep.cases", vars)) {
    CASE_TRACE(c);
    std::string list, out;
    for (const std::string& value : c.all("list")) list += value;
    for (const std::string& value : c.all("out")) out += value;
    WriteBytes(dir.file("list.ini"), list);
    const Ran ran = RunBuilt("--target-list " + dir.file("list.ini") + " " + c.get("more"));
    EXPECT_EQ(ran.status, c.number("status")) << ran.out;
    EXPECT_THAT(ran.out.substr(0, ran.out.find('\n')), HasSubstr(c.get("first-has")));
    if (c.has("out")) {
      EXPECT_EQ(ran.out, out);
    } else {
      EXPECT_EQ(Lines(ran.out).back(), c.get("last"));
    }
  }
}

// --json for one host is one object whichever way the command ends, its own
// time bound included.
TEST(VelkorCheckOneHostJson, TheTimeBoundAnswersInJsonToo) {
  ScriptServer silent({Wait(3000)});
  const Ran ran = RunBuilt("-H 127.0.0.1 --smtp " + Port(silent.port()) + " -t 5 --max-time 0.5 --json");
  EXPECT_EQ(ran.status, 3);
  ASSERT_EQ(Lines(ran.out).size(), 1u) << ran.out;
  EXPECT_THAT(ran.out, HasSubstr("{\"line\":null,\"host\":\"127.0.0.1\",\"entry\":\"127.0.0.1\",\"verdict\":\"UNKNOWN\","
                                 "\"exit\":3,\"text\":\"timed out after 0.5 s\""));
}

// The summary from the hosts' statuses and the notes their processes left: the warning reasons of a host, and at
// most ten entries a group; the summaries are cases in tests/data/reasons-summary.cases.
TEST(VelkorCheckSweepReasons, SummaryGroupsFromTheNotesOfTheHosts) {
  // What a host's process writes after its block, and the sweep takes off again: a check over the warning time, one
  // whose certificate is not verified.
  CheckRunResult warned{CheckOutcome{CheckExit::Warning, "..."}, CheckRunReport{}};
  CheckRecord slow;
  slow.passed = true;
  slow.seconds = 3;
  CheckRecord cert = slow;
  cert.seconds = 0;
  cert.tls = TlsMode::Implicit;
  cert.tlsFound = TlsFindings{};
  cert.tlsFound->handshake = true;
  cert.tlsFound->nameMatches = true;
  warned.run->checks = {slow, cert, slow};
  CheckRequest request;
  request.warning = CheckSeconds{"2", 2};
  std::string output = "w1 WARNING - ...\n" + SweepNote(warned, request);
  SweepHost noted{20, u"w1", {}};
  TakeSweepNote(output, noted);
  EXPECT_EQ(output, "w1 WARNING - ...\n");
  EXPECT_EQ(noted.warnings, "over the warning time of 2 s, certificate not verified");
  // A block without a note stays whole.
  std::string plain = "h1 CRITICAL - 1 of 1 checks failed\n";
  SweepHost h1{1, u"h1", {}};
  TakeSweepNote(plain, h1);
  EXPECT_EQ(plain, "h1 CRITICAL - 1 of 1 checks failed\n");
  EXPECT_EQ(h1.warnings, "");

  const std::map<std::string, CheckExit> states = {
      {"OK", CheckExit::Ok}, {"WARNING", CheckExit::Warning}, {"CRITICAL", CheckExit::Critical},
      {"UNKNOWN", CheckExit::Unknown}};
  for (const Case& c : LoadCases("reasons-summary.cases")) {
    CASE_TRACE(c);
    std::vector<SweepHost> hosts;
    std::vector<CheckExit> statuses;
    for (const std::string& word : c.words("hosts")) {
      const std::string state = word.substr(word.find(':') + 1);
      hosts.push_back(SweepHost{hosts.size() + 1, FromUtf8(word.substr(0, word.find(':'))), {}});
      if (state == "WARNING") hosts.back().warnings = noted.warnings;
      statuses.push_back(states.at(state));
    }
    const CheckOutcome out = SweepSummary(hosts, statuses, 1, request);
    EXPECT_EQ(out.status, states.at(c.get("status")));
    EXPECT_EQ(out.text, c.get("text"));
  }
}

}  // namespace

// Why a check failed or warned: one row per reason, from a real or a
// scripted peer, through velkor-check's text line, its status line, its JSON
// (one host) and, for the failures inside TLS, the window's block. Names are
// answered by the core's resolver hook, so no lookup leaves the machine.
// velkor-fixtures: tcp_peers
#include <netdb.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "check/checkjson.h"
#include "check/checkrun.h"
#include "check/checksweep.h"
#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "support/testcert.h"
#include "util/codepage.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Port(uint16_t p) { return std::to_string(p); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Seconds as "#": they differ from run to run.
std::string Masked(const std::string& text) {
  static const std::regex seconds(R"([0-9]+\.[0-9]{6})");
  return std::regex_replace(text, seconds, "#");
}

// The answers of the resolver hook: no name is ever looked up for real.
LookupAnswer Answer(const std::string& name) {
  if (name == "nosuch.example") return {0, EAI_NONAME};
  if (name == "flaky.example") return {0, EAI_AGAIN};
  if (name == "slow.example") {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    return {htonl(INADDR_LOOPBACK), 0};
  }
  ADD_FAILURE() << "asked for " << name;
  return {0, EAI_FAIL};
}

// A port on 127.0.0.1 whose listener takes no more connections: the next
// connect is never answered.
struct FullBacklog {
  FullBacklog() {
    listener = ListenOnLoopback(0, &port);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int& fd : fillers) {
      fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~FullBacklog() {
    for (int fd : fillers) close(fd);
    close(listener);
  }
  int listener = -1;
  uint16_t port = 0;
  int fillers[4] = {-1, -1, -1, -1};
};

// velkor-check in a child process of its own network namespace, whose
// loopback is down: every connect meets an unreachable network.
// The command in a network namespace of its own, loopback down: every address is unreachable.
std::string InEmptyNetwork(const std::vector<std::string>& args) {
  return InChild([&] { return unshare(CLONE_NEWNET) == 0 ? CheckCommand(args).text : "no network namespace"; });
}

class VelkorCheckReasons : public ::testing::Test {
 protected:
  void SetUp() override { SetHostLookup(Answer); }
  void TearDown() override {
    SetHostLookup(nullptr);
    SetResolveTimeoutMs(30000);
  }
};

TEST_F(VelkorCheckReasons, EveryReasonInTheLineTheStatusLineAndTheJson) {
  const TcpPeers peers = LoadTcpPeers();
  const int64_t now = EpochNow();
  const TestCert cert = MakeTestCert("mx.example", "DNS:mx.example,IP:127.0.0.1", now - 3600, now + 400 * 86400);
  const TlsPeer tls{cert.certPem, cert.keyPem};
  const std::string longLine(100, 'x');
  uint16_t closed = 0;
  close(ListenOnLoopback(1, &closed));
  FullBacklog full;
  const std::string ehloTls = "250-hi\r\n250 STARTTLS\r\n";

  struct Row {
    std::string name;
    std::vector<std::string> peer;  // a scripted peer; empty: the port is given in args
    std::vector<std::string> args;  // "PORT" stands for the scripted peer's port
    std::string check;              // the check's name in its lines
    std::string reason;
    bool tlsErrorLine = false;      // the window's block ends with "TLS エラー： "
    CheckExit state = CheckExit::Critical;
  };
  const std::vector<Row> rows = {
      {"unknown name", {"220 hi\r\n"}, {"-H", "nosuch.example", "--smtp", "PORT"}, "SMTP PORT", "name not found"},
      {"resolver failure", {"220 hi\r\n"}, {"-H", "flaky.example", "--smtp", "PORT"}, "SMTP PORT",
       "name lookup failed (Temporary failure in name resolution)"},
      {"refused", {}, {"-H", "127.0.0.1", "--smtp", Port(closed)}, "SMTP " + Port(closed), "connection refused"},
      {"ping of an unknown name", {}, {"-H", "nosuch.example", "--ping"}, "PING", "name not found"},
      {"shares of an unknown name", {}, {"-H", "nosuch.example", "--shares"}, "SHARES", "name not found"},
      {"no SMB server", {}, {"-H", "127.0.0.1", "--shares"}, "SHARES", "no share list"},
      {"connect unanswered", {}, {"-H", "127.0.0.1", "--ftp", Port(full.port), "-t", "0.3"}, "FTP " + Port(full.port),
       "connect timed out after 0.3 s"},
      {"silent after the connect", {Wait(3000)}, {"-H", "127.0.0.1", "--pop", "PORT", "-t", "0.3"}, "POP PORT",
       "no greeting within 0.3 s"},
      {"closed before the greeting", {kClose}, {"-H", "127.0.0.1", "--ftp", "PORT"}, "FTP PORT",
       "connection closed by the peer before the greeting"},
      {"closed after a command", {"220 hi\r\n", kLine, kClose}, {"-H", "127.0.0.1", "--smtp", "PORT"}, "SMTP PORT",
       "connection closed by the peer after EHLO"},
      {"reset after a command", {"+OK hi\r\n", kLine, kReset}, {"-H", "127.0.0.1", "--pop", "PORT"}, "POP PORT",
       "connection reset by the peer after USER"},
      {"silent after a command", {"220 hi\r\n", kLine, Wait(3000)}, {"-H", "127.0.0.1", "--smtp", "PORT", "-t", "0.3"},
       "SMTP PORT", "no reply to EHLO within 0.3 s"},
      {"refused HELO after EHLO, long line cut",
       {"220 hi\r\n", kLine, "502 no\r\n", kLine, "554 " + longLine + "\r\n", kLine, "221 bye\r\n"},
       {"-H", "127.0.0.1", "--smtp", "PORT"}, "SMTP PORT",
       "unexpected reply 554 to HELO: \"554 " + longLine.substr(0, 76) + "...\""},
      {"unexpected greeting", {"554 no service | here\r\n"}, {"-H", "127.0.0.1", "--smtp", "PORT"}, "SMTP PORT",
       "unexpected greeting 554 \"554 no service ¦ here\""},
      {"not HTTP", {kLine, "SSH-2.0-OpenSSH_9.2\r\n", kClose}, {"-H", "127.0.0.1", "--http", "PORT"}, "HTTP PORT",
       "not an HTTP reply: \"SSH-2.0-OpenSSH_9.2\""},
      {"no STARTTLS", {"220 hi\r\n", kLine, "250 hi\r\n", kLine, "221 bye\r\n"}, {"-H", "127.0.0.1", "--smtp", "PORTt"},
       "SMTP PORTt", "STARTTLS not offered", true},
      {"STLS refused", {"+OK hi\r\n", kLine, "-ERR not now\r\n", kLine, "+OK bye\r\n"},
       {"-H", "127.0.0.1", "--pop", "PORTt"}, "POP PORTt", "STLS refused: \"-ERR not now\"", true},
      {"AUTH TLS refused", {"220 hi\r\n", kLine, "502 no TLS here\r\n", kLine, "221 bye\r\n"},
       {"-H", "127.0.0.1", "--ftp", "PORTt"}, "FTP PORTt", "AUTH TLS refused: \"502 no TLS here\"", true},
      {"closed inside the handshake", {"220 hi\r\n", kLine, ehloTls, kLine, "220 go ahead\r\n", kClose},
       {"-H", "127.0.0.1", "--smtp", "PORTt"}, "SMTP PORTt", "connection closed by the peer during the TLS handshake",
       true},
      {"closed after the upgrade", {"220 hi\r\n", kLine, ehloTls, kLine, "220 go ahead\r\n", kTls, kClose},
       {"-H", "127.0.0.1", "--smtp", "PORTt", "--no-verify"}, "SMTP PORTt",
       "connection closed by the peer after the upgrade to TLS",
       true},
      {"closed after the handshake", {kTls, kClose}, {"-H", "127.0.0.1", "--pop", "PORTs", "--no-verify"}, "POP PORTs",
       "connection closed by the peer after the TLS handshake", true},
      {"handshake failure", {"220 plain text, no TLS here at all\r\n", kClose}, {"-H", "127.0.0.1", "--smtp", "PORTs"},
       "SMTP PORTs", "TLS handshake failed (wrong version number)", true},
      {"status outside the list", {kLine, "HTTP/1.1 500 Internal Server Error\r\n\r\n", kClose},
       {"-H", "127.0.0.1", "--http", "PORT", "--expect-status", "200,3xx"}, "HTTP PORT",
       "status 500 Internal Server Error, expected 200,3xx"},
      {"certificate not trusted", {kTls, "220 hi\r\n", kLine, "250 hi\r\n", kLine, "221 bye\r\n"},
       {"-H", "127.0.0.1", "--smtp", "PORTs"}, "SMTP PORTs", "certificate not verified", false, CheckExit::Warning},
      {"over the warning time", {Wait(200), "220 hi\r\n", kLine, "250 hi\r\n", kLine, "221 bye\r\n"},
       {"-H", "127.0.0.1", "--smtp", "PORT", "-w", "0.1"}, "SMTP PORT", "over the warning time of 0.1 s", false,
       CheckExit::Warning},
  };
  SetSmbPort(closed);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool json : {false, true}) {
      std::optional<ScriptServer> server;
      if (!row.peer.empty()) server.emplace(row.peer, tls);
      const std::string port = server ? Port(server->port()) : "";
      auto put = [&](std::string text) {
        for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, port);
        return text;
      };
      std::vector<std::string> args;
      for (const std::string& a : row.args) args.push_back(put(a));
      args.push_back(json ? "--json" : "-v");
      const CheckOutcome out = CheckCommand(args);
      SCOPED_TRACE(out.text);
      EXPECT_EQ(out.status, row.state);
      const std::string name = put(row.check);
      if (json) {
        const std::vector<std::string> lines = Lines(out.text);
        ASSERT_EQ(lines.size(), 1u);  // one object, nothing else
        EXPECT_THAT(lines[0], HasSubstr("\"reason\":" + JsonString(row.reason) + ","));
        EXPECT_THAT(lines[0], HasSubstr("\"line\":null,\"host\":"));
        continue;
      }
      const std::vector<std::string> lines = Lines(Masked(out.text));
      ASSERT_GE(lines.size(), 2u);
      if (row.state == CheckExit::Critical) {
        EXPECT_EQ(lines[0].substr(0, lines[0].find(" | ")),
                  "VELKOR CRITICAL - 1 of 1 checks failed: " + name + " (" + row.reason + ")");
        EXPECT_EQ(lines[1], name + ": CRITICAL - failed in # s: " + row.reason);
      } else {
        EXPECT_THAT(lines[0], HasSubstr("VELKOR WARNING - 1 of 1 checks "));
        EXPECT_THAT(lines[0], HasSubstr(row.reason));
        EXPECT_THAT(lines[1], HasSubstr(name + ": WARNING - passed in # s, " + row.reason + ": 220 hi"));
      }
      // The window keeps its own texts; a failure inside TLS ends its block with the TLS line.
      EXPECT_THAT(out.text, Not(HasSubstr(row.reason + "\n---- ")));
      if (row.tlsErrorLine) {
        EXPECT_THAT(out.text, HasSubstr("\nTLS エラー： "));
        // The two closes the TLS line used to miss.
        if (row.reason.ends_with("after the upgrade to TLS")) {
          EXPECT_THAT(out.text, HasSubstr("\nTLS エラー： TLS への切り替えの直後に接続が閉じられました\n"));
        }
        if (row.reason.ends_with("after the TLS handshake")) {
          EXPECT_THAT(out.text, HasSubstr("\nTLS エラー： ハンドシェイクの直後に接続が閉じられました\n"));
        }
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

  // A real peer: the SMTP server asked for POP.
  if (peers.available) {
    const CheckOutcome pop = CheckCommand({"-H", "127.0.0.1", "--pop", Port(peers.smtp)});
    EXPECT_THAT(Lines(pop.text).at(1),
                HasSubstr(": unexpected greeting 220 \"220 velkor-peer.localdomain ESMTP Postfix\""));
    // A real status against the list, and the same one passing by its class.
    const CheckOutcome status =
        CheckCommand({"-H", "127.0.0.1", "--http", Port(peers.http), "--expect-status", "500,404"});
    EXPECT_THAT(Lines(status.text).at(1), HasSubstr(": status 200 OK, expected 500,404"));
    const CheckOutcome passes = CheckCommand({"-H", "127.0.0.1", "--http", Port(peers.http), "--expect-status", "2xx,200"});
    EXPECT_EQ(passes.status, CheckExit::Ok) << passes.text;
    EXPECT_THAT(Lines(passes.text).at(1), HasSubstr(": HTTP/1.1 200 OK"));
  }

  // A network that cannot be reached, in a namespace with its loopback down.
  const std::string unreachable = Masked(InEmptyNetwork({"-H", "127.0.0.1", "--smtp", "25"}));
  if (unreachable == "no network namespace") GTEST_SKIP() << "SKIPPED LOUDLY: no network namespace (needs root)";
  EXPECT_EQ(Lines(unreachable).at(1), "SMTP 25: CRITICAL - failed in # s: network unreachable");
}

// The built command through the shell; its standard output and exit status.
struct Ran {
  std::string out;
  int status = -1;
};
Ran RunBuilt(const std::string& args) {
  Ran run;
  FILE* p = popen((std::string(VELKOR_CHECK_BINARY) + " " + args + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return run;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int st = pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

// A sweep's summary: its groups by what put the hosts there, each host
// with a warning and its reasons, the list's line numbers, and the jq lines
// of the manual run on the real output.
TEST(VelkorCheckSweepReasons, GroupsLineNumbersAndTheManualsJq) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  uint16_t closed = 0;
  close(ListenOnLoopback(1, &closed));
  TempDir dir;
  const std::string c = Port(closed), https = Port(peers.https), other = Port(peers.httpsOther);
  const std::string failing = "127.0.0.1:" + c + ":x:x:x", web = "127.0.0.1:-:-:-:" + https + "s",
                    named = "127.0.0.1:-:-:-:" + other + "s";

  // Certificate warnings only: "with a warning", each host with its reasons.
  WriteBytes(dir.file("web.ini"), "# web servers\r\n" + web + "\r\n\r\n  # another\r\n" + named + "\r\n");
  const Ran warned = RunBuilt("--target-list " + dir.file("web.ini"));
  EXPECT_EQ(warned.status, 1) << warned.out;
  EXPECT_EQ(Lines(warned.out).back(), "VELKOR SWEEP WARNING - 2 of 2 hosts with a warning: " + web +
                                          " (certificate not verified), " + named +
                                          " (certificate not verified, certificate name does not match)");

  // Thirty failing entries: ten of them named, then how many more.
  std::string list, ten;
  for (int i = 1; i <= 30; ++i) {
    const std::string entry = "127.0.0." + std::to_string(i) + ":" + c + ":x:x:x";
    list += entry + "\n";
    if (i <= 10) ten += (ten.empty() ? "" : ", ") + entry;
  }
  WriteBytes(dir.file("thirty.ini"), list);
  const Ran thirty = RunBuilt("--target-list " + dir.file("thirty.ini") + " -j 8");
  EXPECT_EQ(thirty.status, 2);
  EXPECT_EQ(Lines(thirty.out).back(), "VELKOR SWEEP CRITICAL - 30 of 30 hosts failed: " + ten + " and 20 more");
  EXPECT_THAT(Lines(thirty.out).at(0), HasSubstr("SMTP " + c + " (connection refused)"));

  // A list with comments and blank lines, as text, as JSON and through jq.
  WriteBytes(dir.file("mixed.ini"), "# mail\n127.0.0.1:" + Port(peers.smtp) + ":x:x:x\n\n" + failing +
                                        "\n# web\n" + web + "  # the portal\n");
  const Ran text = RunBuilt("--target-list " + dir.file("mixed.ini"));
  EXPECT_EQ(Lines(text.out).back(), "VELKOR SWEEP CRITICAL - 1 of 3 hosts failed: " + failing +
                                        "; 1 of 3 hosts with a warning: " + web + " (certificate not verified)");
  const std::string json = dir.file("out.json");
  const Ran object = RunBuilt("--target-list " + dir.file("mixed.ini") + " --json > " + json);
  EXPECT_EQ(object.status, 2);
  const Ran entries = RunBuilt("--target-list " + dir.file("mixed.ini") +
                               " --json | jq -r 'select(.entry and .exit > 0) | .entry'");
  EXPECT_EQ(entries.out, failing + "\n" + web + "\n");
  const Ran reasons = RunBuilt("--target-list " + dir.file("mixed.ini") +
                               " --json | jq -r 'select(.entry) | .line as $l | .checks[] | select(.reason) | "
                               "\"\\($l) \\(.service) \\(.port): \\(.reason)\"'");
  EXPECT_EQ(reasons.out, "4 SMTP " + c + ": connection refused\n6 HTTP " + https + ": certificate not verified\n");
  // The summary object is no host: the line numbers are those of the file.
  const Ran lines = RunBuilt("--target-list " + dir.file("mixed.ini") + " --json | jq -c '[.line]'");
  EXPECT_EQ(lines.out, "[2]\n[4]\n[6]\n[null]\n");
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

// The summary from the hosts' statuses and the notes their processes left:
// the warning reasons of each host, and at most ten entries a group.
TEST(VelkorCheckSweepReasons, SummaryGroupsFromTheNotesOfTheHosts) {
  std::vector<SweepHost> hosts;
  std::vector<CheckExit> statuses;
  for (int i = 1; i <= 13; ++i) {
    hosts.push_back(SweepHost{static_cast<size_t>(i), u"h" + FromUtf8(std::to_string(i)), {}});
    statuses.push_back(i <= 12 ? CheckExit::Critical : CheckExit::Unknown);
  }
  // What a host's process writes after its block, and the sweep takes off again.
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
  hosts.push_back(SweepHost{20, u"w1", {}});
  statuses.push_back(CheckExit::Warning);
  TakeSweepNote(output, hosts.back());
  EXPECT_EQ(output, "w1 WARNING - ...\n");
  EXPECT_EQ(hosts.back().warnings, "over the warning time of 2 s, certificate not verified");
  // A block without a note stays whole.
  std::string plain = "h1 CRITICAL - 1 of 1 checks failed\n";
  TakeSweepNote(plain, hosts.front());
  EXPECT_EQ(plain, "h1 CRITICAL - 1 of 1 checks failed\n");
  EXPECT_EQ(hosts.front().warnings, "");

  const CheckOutcome out = SweepSummary(hosts, statuses, 1, request);
  EXPECT_EQ(out.status, CheckExit::Critical);
  EXPECT_EQ(out.text, "VELKOR SWEEP CRITICAL - 12 of 14 hosts failed: h1, h2, h3, h4, h5, h6, h7, h8, h9, h10 and 2 more; "
                      "1 of 14 hosts with a warning: w1 (over the warning time of 2 s, certificate not verified); "
                      "1 of 14 hosts unknown: h13\n");
}

}  // namespace

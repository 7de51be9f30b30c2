// Why a check failed or warned, and IPv6 for the TCP checks. velkor-check's answers come from one engine over the
// cases of tests/data/reasons-*.cases and ipv6-check*.cases: a command line run in this process, through the built
// command or in a network namespace, against a scripted peer, a real one, a closed or silent port; its exit, lines,
// JSON and the window's TLS line. Reasons: one row per reason, through the text line, the status line and the JSON;
// the notes a sweep's hosts leave for its summary (the summary's groups: check-sweep-summary.cases, run by
// velkorcheck_test). IPv6 through velkor-check: the real peers on ::1 reached by -H
// bare and bracketed, -E and -4/-6, a sweep's bracketed entries, --each-address, the JSON "address", the input
// rules, Happy Eyeballs meeting an IPv6 path that an nft rule silently drops, and a network that cannot be
// reached (the namespace's loopback taken away). IPv6 through the core
// (tests/data/ipv6-*.cases): the host forms and what resolution answers for each, the socket layer's IPv6 sockets,
// the session's connect to one or several addresses, and the probes' own IPv6 texts (the HTTPS Host field, no SNI
// for an address, the IP SAN). Names come from the test's resolver hook, or, in a network namespace with only its
// loopback, from libnss-wrapper's hosts file through the system resolver: no lookup leaves the machine.
// velkor-fixtures: tcp_peers
#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <regex>
#include <set>
#include <utility>

#include "app/appstate.h"
#include "check/checkjson.h"
#include "check/checkrun.h"
#include "net/cmdsession.h"
#include "net/failphrase.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/smbshares.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/casefile.h"
#include "support/checkpeers.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

using ::testing::HasSubstr;
using Texts = std::vector<std::string>;

std::string Port(uint16_t p) { return std::to_string(p); }

HostAddress Addr(const std::string& text) { return *ParseHostAddress(text); }

// The enumerator a case names in key, given the enumeration's names in declaration order (the first is the
// default); a name not among them gives a value past the last, which no answer equals.
template <typename E>
E Named(const Case& c, const std::string& key, const std::vector<std::string>& names) {
  return static_cast<E>(std::find(names.begin(), names.end(), c.get(key, names[0])) - names.begin());
}
AddressFamily FamilyOf(const Case& c) { return Named<AddressFamily>(c, "family", {"Any", "V4", "V6"}); }

class Ipv6 : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_DFL);
    SettingsMsgBoxFlag = true;
    // A resolver that knows a few names, never leaves the process and counts what it is asked.
    SetHostAddressLookup([this](const std::string& name) -> AddressLookupAnswer {
      ++lookups;
      if (name == "slow.example") SleepMs(400);  // past the time-out a test sets for it
      if (name == "dual.test") return {{Addr("::1"), Addr("127.0.0.1")}, 0};
      if (name == "v4first.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
      if (name == "v6only.test") return {{Addr("::1")}, 0};
      if (name == "v4only.test" || name == "slow.example") return {{Addr("127.0.0.1")}, 0};
      if (name == "flaky.example") return {{}, EAI_AGAIN};
      static const std::set<std::string> notFound = {"nowhere.test", "nosuch.example", "mail.example", "mail",
                                                     "mail::25",     "mail::x",        "[::1"};
      if (!notFound.count(name)) ADD_FAILURE() << "asked for " << name;
      return {{}, EAI_NONAME};
    });
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
    SetDoEventsHook([this] { longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs())); });
  }
  void TearDown() override {
    SetHostAddressLookup({});
    SetSessionOptions(SessionOptions{});
    SetDoEventsHook(nullptr);
    SetMessageBoxHook(nullptr);
  }
  ProgramInTempDir prog;
  int lookups = 0;
  int64_t last = 0, longest = 0;
};
using VelkorCheckIpv6 = Ipv6;
using VelkorCheckReasons = Ipv6;

TEST_F(Ipv6, HostFormsResolveToTheirAddresses) {
  for (const Case& c : LoadCases("ipv6-host-forms.cases")) {
    CASE_TRACE(c);
    lookups = 0;
    const std::vector<std::string> pin = c.words("pin");
    if (!pin.empty()) PinHostAddress(FromUtf8(pin[0]), Addr(pin[1]), pin.size() > 2);
    if (c.has("old-hook"))
      SetHostResolver([](const std::string& name) { return name == "old.test" ? htonl(INADDR_LOOPBACK) : 0u; });
    const std::u16string host = FromUtf8(c.get("host"));
    const ResolvedHost r = ResolveHostAddresses(host, FamilyOf(c));
    UnpinHostAddress();
    const LookupStatus status =
        Named<LookupStatus>(c, "status", {"Address", "Found", "NotFound", "Failed", "NoAddress"});
    std::u16string addresses;
    for (const HostAddress& a : r.addresses) addresses += (addresses.empty() ? u"" : u" ") + HostAddressText(a);
    EXPECT_EQ(addresses, FromUtf8(c.get("addresses")));
    EXPECT_EQ(r.outcome.status, status);
    EXPECT_EQ(r.outcome.error, c.number("error"));
    EXPECT_EQ(LastLookupOutcome().status, status);
    EXPECT_EQ(r.narrowed, c.get("narrowed") == "yes");
    const std::optional<HostAddress> single = SingleCheckAddress(r.addresses);
    EXPECT_EQ(single ? HostAddressText(*single) : u"", FromUtf8(c.get("single")));
    EXPECT_EQ(lookups, c.number("lookups"));
    EXPECT_EQ(HostPortText(host, FromUtf8(c.get("port", "25"))), FromUtf8(c.get("with-port")));
    EXPECT_EQ(IsIpv6AddressText(host), c.get("ipv6") == "yes");
    EXPECT_EQ(c.has("ipv4") ? GetIPAddressText(host) : u"", FromUtf8(c.get("ipv4")));
    EXPECT_EQ(LastLookupOutcome().status, status);
  }
}

TEST_F(Ipv6, SocketLayerSpeaksIpv6) {
  ws::WSAData data;
  ASSERT_EQ(ws::WSAStartup(ws::kVersion11, &data), 0);
  ScriptServer peer({{"send", "hi"}}, {}, true);
  const Greeters closed(false, false);
  const CaseVars ports = {{"PEER", std::to_string(peer.port())}, {"CLOSED", std::to_string(closed.port())}};
  for (const Case& c : LoadCases("ipv6-sockets.cases", ports)) {
    CASE_TRACE(c);
    const ws::SOCKET s = ws::socket(c.get("socket") == "inet6" ? ws::kAfInet6 : ws::kAfInet, ws::kSockStream, 0);
    ASSERT_GE(s, 0);
    ws::SockAddrIn6 to;
    to.sin6_port = ws::HostToNetShort(std::stoi(c.words("to")[1]));
    inet_pton(AF_INET6, c.words("to")[0].c_str(), to.sin6_addr);
    EXPECT_EQ(ws::connect(s, &to, c.number("length")), c.number("error") == 0 ? 0 : -1);
    EXPECT_EQ(ws::WSAGetLastError(), c.number("error"));
    ws::closesocket(s);
  }
  ws::WSACleanup();
}

// Besides each case's own figures: a silent IPv6 address costs the delay, not the connect's time-out, and the
// window never freezes meanwhile; a failed connect shows the window's two texts. (IPv6 alone waiting its time-out:
// velkor-check's nft test.)
TEST_F(Ipv6, SessionConnectsToEveryForm) {
  for (const Case& c : LoadCases("ipv6-session.cases")) {
    CASE_TRACE(c);
    prog.boxes.clear();
    const std::string six = c.get("six");
    const Greeters peer(six == "greets", c.get("four") == "greets");
    std::optional<SilentPort> silent;
    if (six == "silent") silent.emplace(true, peer.port());
    const int64_t delay = c.number("delay", 60000);
    SetSessionOptions(SessionOptions{.timeoutSeconds = 1, .family = FamilyOf(c), .nextAddressDelayMs = delay});
    ClearFailReason();
    std::u16string host = FromUtf8(c.get("host")), portText = PortText(peer.port()), greeting;
    int32_t socket = -1;
    const bool ok = !c.has("fail");
    const int64_t start = MonotonicMs();
    longest = 0, last = start;
    EXPECT_EQ(WinSockManager(host, portText, socket, greeting, false, false), ok);
    EXPECT_GE(MonotonicMs() - start, six == "silent" ? std::min<int64_t>(delay, 1000) - 5 : 0);
    EXPECT_LT(longest, 500) << "the window never freezes (a blocked wait would take the whole second)";
    EXPECT_EQ(greeting, FromUtf8(c.get("greeting")));
    EXPECT_EQ(LastConnectAddress(), FromUtf8(c.get("address")));
    EXPECT_EQ(FailurePhrase(LastFailReason()), c.get("fail"));
    std::string tried;
    for (const AddressTried& t : LastAddressesTried())
      tried += ToUtf8(t.address) + ": " + FailurePhrase(t.reason) + "; ";
    EXPECT_EQ(tried, c.get("tried"));
    if (ok) WinSockClose(socket);
    std::vector<std::u16string> boxes;
    if (!ok) boxes = {u"WinSockManager: connect() error: -1", u"WinSockManager: " + SocketErrorText(c.number("error"))};
    EXPECT_EQ(prog.boxes, boxes) << "none, or the window's two texts of a failed connect";
    EXPECT_EQ(ws::WSACleanup(), -1) << "the library stopped once";
  }
}

// The probes on an IPv6 address, their own texts for it; the cases are in tests/data/ipv6-probes.cases.
TEST_F(Ipv6, ProbesOnAnIpv6Address) {
  const int64_t now = EpochNow();
  SetSessionOptions(SessionOptions{.timeoutSeconds = 2, .replyWaitLimitMs = 2000});
  for (const Case& c : LoadCases("ipv6-probes.cases")) {
    CASE_TRACE(c);
    const TestCert cert = MakeTestCert("six.example", c.get("san", "DNS:six.example"), now - 3600, now + 30 * 86400);
    ScriptServer peer(PeerSteps(c), {cert.certPem, cert.keyPem}, true);
    prog.boxes.clear();
    std::u16string transcript;
    TlsFindings found;
    const ProbeKind kind = Named<ProbeKind>(c, "probe", {"Smtp", "Pop", "Ftp", "Http"});
    const TlsMode tls = c.has("tls") ? TlsMode::Implicit : TlsMode::None;
    EXPECT_EQ(RunProbe(kind, u"::1", peer.port(), u"", u"", transcript, tls, &found), !c.has("box"));
    EXPECT_EQ(peer.Received(), c.get("sent"));
    EXPECT_EQ(peer.Sni(), "") << "no SNI for an address";
    EXPECT_EQ(found.nameMatches, c.get("name") == "yes");
    EXPECT_THAT(ToUtf8(transcript), HasSubstr(c.get("has")));
    const std::string box = prog.boxes.empty() ? "" : ToUtf8(prog.boxes.back());
    EXPECT_EQ(box, c.has("box") ? c.get("box") + Port(peer.port()) : "");
  }
}

// Seconds as "#": they differ from run to run.
std::string Masked(const std::string& text) {
  static const std::regex seconds(R"([0-9]+\.[0-9]{6})");
  return std::regex_replace(text, seconds, "#");
}

// One command line of a case (fields in tests/data/ipv6-check.cases and reasons-check.cases) and what it answers;
// with a reason or addresses, the command line once more with --json in place of -v. A case with peer steps runs
// against a scripted peer of its own each time, PORT standing for its port. It runs in this process, or with env
// (variables for it, "" for none) as the built command through the shell: its standard output and exit status.
void RunCheckCase(const Case& c, const std::string& list, const std::optional<std::string>& env = {},
                  const TlsPeer& tls = {}) {
  CASE_TRACE(c);
  if (c.get("root") == "yes" && geteuid() != 0) return;
  if (c.has("list")) {
    std::string lines;
    for (const std::string& line : c.all("list")) lines += line + "\n";
    WriteBytes(list, lines);
  }
  for (const bool json : {false, true}) {
    if (json && !c.has("reason") && !c.has("addresses")) return;
    const PeerScript steps = PeerSteps(c);
    std::optional<ScriptServer> server;
    if (!steps.empty()) server.emplace(steps, tls);
    auto filled = [&](std::string text) {
      for (size_t at; server && (at = text.find("PORT")) != std::string::npos;)
        text.replace(at, 4, Port(server->port()));
      return text;
    };
    Texts args, says;
    for (const std::string& word : c.words("args")) args.push_back(filled(word));
    for (const std::string& line : c.all("says")) says.push_back(filled(line));
    if (json) std::erase(args, "-v");
    if (json && std::find(args.begin(), args.end(), "--json") == args.end()) args.push_back("--json");
    const int64_t start = MonotonicMs();
    CheckOutcome o;
    if (env) {
      std::string line;
      for (const std::string& arg : args) line += " " + arg;
      const Ran ran = RunShell(*env + VELKOR_CHECK_BINARY + line + " 2>/dev/null");
      o = CheckOutcome{static_cast<CheckExit>(ran.status), ran.out};
    } else {  // a sweep writes its hosts' lines straight to standard output: those lines, then the summary
      testing::internal::CaptureStdout();
      o = CheckCommand(args);
      o.text = testing::internal::GetCapturedStdout() + o.text;
    }
    SCOPED_TRACE(o.text);
    EXPECT_EQ(static_cast<int>(o.status), c.number("exit"));
    if (json) {
      EXPECT_EQ(c.has("addresses") ? JsonValues(o.text, "address") : Texts{}, c.words("addresses"));
      if (!c.has("reason")) continue;
      EXPECT_EQ(Lines(o.text).size(), 1u) << "one object, nothing else";
      const std::string reason = c.get("reason") == "null" ? "null" : JsonString(c.get("reason"));
      EXPECT_THAT(o.text, HasSubstr("\"reason\":" + reason + ","));
      EXPECT_THAT(o.text, HasSubstr("\"line\":null,\"host\":"));
      continue;
    }
    EXPECT_GE(MonotonicMs() - start, c.number("took-from"));
    EXPECT_LT(MonotonicMs() - start, c.number("took-under", 3600000));
    EXPECT_EQ(c.has("answer") ? o.text : "", c.get("answer"));
    size_t at = 0;
    for (const std::string& text : c.all("has")) {
      EXPECT_THAT(o.text.substr(at), HasSubstr(text)) << "in order after " << at << " bytes";
      at = std::min(o.text.find(text, at), o.text.size());
    }
    for (const std::string& text : c.all("hasnot")) EXPECT_THAT(o.text, ::testing::Not(HasSubstr(text)));
    EXPECT_EQ(c.has("lines") ? static_cast<long>(Lines(o.text).size()) : 0, c.number("lines"));
    EXPECT_EQ(c.has("last") ? Lines(o.text).back() : "", c.get("last"));
    EXPECT_THAT(o.text.substr(0, o.text.find('\n')), HasSubstr(c.get("first-has")));
    EXPECT_EQ(c.has("hosts") ? JsonValues(o.text, "host") : Texts{}, c.words("hosts"));
    // The status line up to its figures, then the check's lines.
    Texts shown = Lines(Masked(o.text));
    shown.resize(says.size());
    if (!shown.empty()) shown[0] = shown[0].substr(0, shown[0].find(" | "));
    EXPECT_EQ(shown, says);
    // The window keeps its own texts; a failure inside TLS ends its block with the TLS line, and only such a one.
    const std::string window = c.get("window");
    EXPECT_EQ(o.text.find("TLS エラー") != std::string::npos, c.has("window"));
    EXPECT_THAT(o.text, HasSubstr(c.has("window") ? "\nTLS エラー： " + (window.empty() ? "" : window + "\n") : ""));
    if (c.has("reason")) {
      EXPECT_THAT(o.text, ::testing::Not(HasSubstr(c.get("reason") + "\n---- ")));
    }
  }
}

TEST_F(VelkorCheckIpv6, RealPeersOnIpv6ThroughEveryHostForm) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
  const TrustedCa ca(peers.caFile);
  const CaseVars ports = {{"SMTP", Port(peers.smtp)}, {"SMTPS", Port(peers.smtps)}, {"POP", Port(peers.pop)},
                          {"POP3S", Port(peers.pop3s)}, {"FTP", Port(peers.ftp)},   {"FTPS", Port(peers.ftps)},
                          {"HTTP", Port(peers.http)},   {"HTTPS", Port(peers.https)}};
  for (const Case& c : LoadCases("ipv6-check-peers.cases", ports)) RunCheckCase(c, "");
}

TEST_F(VelkorCheckIpv6, BracketsFamiliesSweepsAndEachAddress) {
  const Greeters fourOnly(false, true), both(true, true);
  TempDir dir;
  const std::string list = dir.file("VKRTARGET.INI");
  const CaseVars vars = {{"PORT", Port(fourOnly.port())}, {"BOTH", Port(both.port())}, {"LIST", list}};
  for (const Case& c : LoadCases("ipv6-check.cases", vars)) RunCheckCase(c, list);
}

// The nft rule and the loopback taken away need root and a network namespace, hence a child; its failures are
// written there, and it answers whether it had any.
TEST_F(VelkorCheckIpv6, SystemResolverAndADroppedIpv6PathInANamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root for a network namespace and nft";
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  if (access(wrapper, R_OK) != 0) GTEST_SKIP() << "SKIPPED: libnss-wrapper is not installed (scripts/install-deps --test)";
  TempDir dir;
  WriteBytes(dir.file("hosts"), "127.0.0.1 dual.test\n::1 dual.test\n::1 six.test\n");
  // No deep binding of the real modules, which AddressSanitizer refuses to dlopen.
  const std::string env = "LD_PRELOAD=" + std::string(wrapper) + " NSS_WRAPPER_DISABLE_DEEPBIND=1 " +
                          "NSS_WRAPPER_HOSTS=" + dir.file("hosts") + " NSS_WRAPPER_PASSWD=/etc/passwd " +
                          "NSS_WRAPPER_GROUP=/etc/group ";
  const std::string result = InChild([&]() -> std::string {
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) return "no network namespace";
    const Greeters peer(true, true);
    for (const Case& c : LoadCases("ipv6-check-namespace.cases", {{"PORT", Port(peer.port())}})) {
      if (c.has("before") && std::system(c.get("before").c_str()) != 0) return "failed: " + c.get("before");
      RunCheckCase(c, "", env);
    }
    fflush(stdout);
    return HasFailure() ? "failed" : "passed";
  });
  EXPECT_EQ(result, "passed") << "the child's failures are above";
}

// Each reason, run with -v and with --json; the cases are in tests/data/reasons-check.cases. Each test runs in a
// process of its own, so the hooks set here stay.
TEST_F(VelkorCheckReasons, EveryReasonInTheLineTheStatusLineAndTheJson) {
  const TcpPeers peers = LoadTcpPeers();
  const int64_t now = EpochNow();
  const TestCert cert = MakeTestCert("mx.example", "DNS:mx.example,IP:127.0.0.1", now - 3600, now + 400 * 86400);
  const Greeters closed(false, false);  // nothing listens at its port on either family
  const SilentPort silent;
  const CaseVars vars = {{"CLOSED", Port(closed.port())}, {"SILENT", Port(silent.port())},
                         {"SMTP_PEER", Port(peers.smtp)}, {"HTTP_PEER", Port(peers.http)}};
  SetSmbPort(closed.port());
  const TlsPeer tls{cert.certPem, cert.keyPem, TLS1_2_VERSION};
  for (const Case& c : LoadCases("reasons-check.cases", vars)) {
    SetResolveTimeoutMs(c.number("resolve-ms", 30000));
    if (!c.has("real") || peers.available) RunCheckCase(c, "", std::nullopt, tls);
  }
  SleepMs(400);  // the lookup the last case abandoned ends
}

// A sweep's summary: its groups, each host with a warning and its reasons, the list's line numbers, and the jq lines
// of the manual run on the real output; and one host's --json at its time bound. The cases are in
// tests/data/reasons-sweep.cases.
TEST(VelkorCheckSweepReasons, GroupsLineNumbersAndTheManualsJq) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  const Greeters closed(false, false);
  ScriptServer waiting(PeerScript{{"wait", "3000"}});
  const PeerScript slowSmtp = {{"wait", "50"}, {"send", "220 hi\r\n"}, {"line", ""}, {"send", "250 hi\r\n"},
                               {"line", ""},   {"send", "221 bye\r\n"}};
  ScriptServer slow(slowSmtp), slower(slowSmtp);
  TempDir dir;
  const CaseVars vars = {{"CLOSED", Port(closed.port())},   {"SMTP_PEER", Port(peers.smtp)},
                         {"HTTPS", Port(peers.https)},      {"HTTPS_OTHER", Port(peers.httpsOther)},
                         {"WAITING", Port(waiting.port())}, {"DIR", dir.path()},
                         {"LIST", dir.file("list.ini")},    {"SLOW", Port(slow.port())},
                         {"SLOWER", Port(slower.port())}};
  for (const Case& c : LoadCases("reasons-sweep.cases", vars)) RunCheckCase(c, dir.file("list.ini"), "");
}

}  // namespace

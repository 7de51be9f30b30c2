// IPv6 for the TCP checks, through the core and through what velkor-check adds. The core: the host forms and what
// resolution answers for each, the socket layer's IPv6 sockets, the session's connect to one or several addresses
// (Happy Eyeballs), and the probes' own IPv6 texts (the HTTPS Host field, no SNI for an address, the IP SAN).
// velkor-check: the real peers on ::1 reached by -H bare and bracketed, -E and -4/-6, a sweep's bracketed entries,
// --each-address, the JSON "address" and the input rules (the reasons of the families are rows of
// velkorcheck_reasons_test). The cases are in tests/data/ipv6-*.cases. Peers are scripted on ::1 and 127.0.0.1;
// names come from the test's resolver hook, or, in a network namespace with only its loopback, from libnss-wrapper's
// hosts file through the system resolver: no lookup leaves the machine. Happy Eyeballs meets an IPv6 path that an
// nft rule silently drops.
// velkor-fixtures: tcp_peers
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>

#include "app/appstate.h"
#include "check/checkrun.h"
#include "net/cmdsession.h"
#include "net/failphrase.h"
#include "net/hostaddr.h"
#include "net/probes.h"
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
using ::testing::Not;
using Texts = std::vector<std::string>;

std::string Port(uint16_t p) { return std::to_string(p); }

HostAddress Addr(const std::string& text) { return *ParseHostAddress(text); }

std::u16string Texts16(const std::vector<HostAddress>& list) {
  std::u16string t;
  for (const HostAddress& a : list) t += (t.empty() ? u"" : u" ") + HostAddressText(a);
  return t;
}

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
      if (name == "dual.test") return {{Addr("::1"), Addr("127.0.0.1")}, 0};
      if (name == "v4first.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
      if (name == "v6only.test") return {{Addr("::1")}, 0};
      if (name == "v4only.test") return {{Addr("127.0.0.1")}, 0};
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

TEST_F(Ipv6, HostFormsResolveToTheirAddresses) {
  for (const Case& c : LoadCases("ipv6-host-forms.cases")) {
    CASE_TRACE(c);
    lookups = 0;
    const std::vector<std::string> pin = c.words("pin");
    if (!pin.empty()) PinHostAddress(FromUtf8(pin[0]), Addr(pin[1]), pin.size() > 2);
    const std::u16string host = FromUtf8(c.get("host"));
    const ResolvedHost r = ResolveHostAddresses(host, FamilyOf(c));
    UnpinHostAddress();
    const LookupStatus status =
        Named<LookupStatus>(c, "status", {"Address", "Found", "NotFound", "Failed", "NoAddress"});
    EXPECT_EQ(Texts16(r.addresses), FromUtf8(c.get("addresses")));
    EXPECT_EQ(r.outcome.status, status);
    EXPECT_EQ(r.outcome.error, c.number("error"));
    EXPECT_EQ(LastLookupOutcome().status, status);
    EXPECT_EQ(r.narrowed, c.get("narrowed") == "yes");
    const std::optional<HostAddress> single = SingleCheckAddress(r.addresses);
    EXPECT_EQ(single ? HostAddressText(*single) : u"", FromUtf8(c.get("single")));
    EXPECT_EQ(lookups, c.number("lookups"));
    if (!c.has("ipv4")) continue;
    EXPECT_EQ(GetIPAddressText(host), FromUtf8(c.get("ipv4")));
    EXPECT_EQ(LastLookupOutcome().status, status);
  }
  EXPECT_EQ(Texts16(ResolveHostAddresses(u"dual.test").addresses), u"::1 127.0.0.1");  // the pin is gone
  // The old IPv4 hook still serves both.
  SetHostResolver([](const std::string& name) { return name == "old.test" ? htonl(INADDR_LOOPBACK) : 0u; });
  EXPECT_EQ(GetIPAddressText(u"old.test"), u"127.0.0.1");
  EXPECT_EQ(Texts16(ResolveHostAddresses(u"old.test").addresses), u"127.0.0.1");
}

TEST_F(Ipv6, HostAndPortTogether) {
  for (const Case& c : LoadCases("ipv6-host-port.cases")) {
    CASE_TRACE(c);
    EXPECT_EQ(HostPortText(FromUtf8(c.get("host")), FromUtf8(c.get("port"))), FromUtf8(c.get("text")));
    EXPECT_EQ(IsIpv6AddressText(FromUtf8(c.get("host"))), c.get("ipv6") == "yes");
  }
}

TEST_F(Ipv6, SocketLayerSpeaksIpv6) {
  ws::WSAData data;
  ASSERT_EQ(ws::WSAStartup(ws::kVersion11, &data), 0);
  ScriptServer peer({"hi"}, {}, true);
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
    if (ok) {
      WinSockClose(socket);
      EXPECT_TRUE(prog.boxes.empty());
    } else {
      EXPECT_EQ(prog.boxes, (std::vector<std::u16string>{u"WinSockManager: connect() error: -1",
                                                          u"WinSockManager: " + SocketErrorText(c.number("error"))}));
    }
    EXPECT_EQ(ws::WSACleanup(), -1) << "the library stopped once";
  }
}

// The probes on an IPv6 address: HTTPS names it in brackets in Host and
// sends no SNI; an IP SAN of ::1 covers it; the window's connect report
// writes host and port with brackets.
TEST_F(Ipv6, ProbesOnAnIpv6Address) {
  const int64_t now = EpochNow();
  const TestCert cert = MakeTestCert("six.example", "DNS:six.example,IP:::1", now - 3600, now + 30 * 86400);
  ScriptServer https({kTls, kLine, Wait(50), "HTTP/1.0 200 OK\r\nServer: six\r\n\r\n"}, {cert.certPem, cert.keyPem},
                     true);
  SetSessionOptions(SessionOptions{.timeoutSeconds = 2, .replyWaitLimitMs = 2000});
  std::u16string transcript;
  TlsFindings found;
  EXPECT_TRUE(RunProbe(ProbeKind::Http, u"::1", https.port(), u"", u"", transcript, TlsMode::Implicit, &found));
  const std::string sent = https.Received();
  EXPECT_EQ(sent.substr(0, sent.find("\r\n\r\n") + 4), "GET / HTTP/1.0\r\nHost: [::1]\r\n\r\n");
  EXPECT_EQ(https.Sni(), "") << "no SNI for an address";
  EXPECT_TRUE(found.nameMatches) << "the IP SAN ::1 covers the address";
  EXPECT_NE(transcript.find(u"名前： six.example, ::1"), std::u16string::npos) << ToUtf8(transcript);

  const TestCert other = MakeTestCert("six.example", "DNS:six.example,IP:127.0.0.1", now - 3600, now + 30 * 86400);
  ScriptServer wrongName({kTls, kLine, "HTTP/1.0 200 OK\r\n\r\n"}, {other.certPem, other.keyPem}, true);
  EXPECT_TRUE(RunProbe(ProbeKind::Http, u"::1", wrongName.port(), u"", u"", transcript, TlsMode::Implicit, &found));
  EXPECT_FALSE(found.nameMatches) << "127.0.0.1 is not ::1";

  ScriptServer wrongGreeting({"500 not yet\r\n"}, {}, true);
  prog.boxes.clear();
  EXPECT_FALSE(RunProbe(ProbeKind::Smtp, u"::1", wrongGreeting.port(), u"", u"", transcript));
  EXPECT_EQ(prog.boxes.back(),
            u"Connect　サーバにコネクトできません。 [SMTP] [::1]:" + PortText(wrongGreeting.port()));
}

// A sweep writes its hosts' lines straight to standard output: those lines, then the summary.
CheckOutcome Swept(const std::vector<std::string>& args) {
  TempDir dir;
  const int saved = dup(STDOUT_FILENO), file = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
  fflush(stdout);
  dup2(file, STDOUT_FILENO);
  const CheckOutcome o = CheckCommand(args);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved), close(file);
  return {o.status, ReadBytes(dir.file("out")) + o.text};
}

using Runner = std::function<CheckOutcome(const Texts& args)>;

// One command line of a case (fields in tests/data/ipv6-check.cases) and what it answers.
void RunCheckCase(const Case& c, const std::string& list, const Runner& run = Swept) {
  CASE_TRACE(c);
  if (c.get("root") == "yes" && geteuid() != 0) return;
  if (c.has("list")) {
    std::string lines;
    for (const std::string& line : c.all("list")) lines += line + "\n";
    WriteBytes(list, lines);
  }
  Texts args = c.words("args");
  const int64_t start = MonotonicMs();
  const CheckOutcome o = run(args);
  EXPECT_GE(MonotonicMs() - start, c.number("took-from"));
  EXPECT_LT(MonotonicMs() - start, c.number("took-under", 3600000));
  EXPECT_EQ(static_cast<int>(o.status), c.number("exit")) << o.text;
  EXPECT_EQ(c.has("line") ? o.text : "", c.get("line"));
  size_t at = 0;
  for (const std::string& text : c.all("has")) {
    EXPECT_THAT(o.text.substr(at), HasSubstr(text)) << "in order after " << at << " bytes of " << o.text;
    at = std::min(o.text.find(text, at), o.text.size());
  }
  for (const std::string& text : c.all("hasnot")) EXPECT_THAT(o.text, Not(HasSubstr(text)));
  EXPECT_EQ(c.has("lines") ? static_cast<long>(Lines(o.text).size()) : 0, c.number("lines")) << o.text;
  EXPECT_EQ(c.has("hosts") ? JsonValues(o.text, "host") : Texts{}, c.words("hosts"));
  if (!c.has("addresses")) return;
  if (std::find(args.begin(), args.end(), "--json") == args.end()) args.push_back("--json");
  const std::string json = run(args).text;
  EXPECT_EQ(JsonValues(json, "address"), c.words("addresses")) << json;
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

// The nft rule needs root and a network namespace, hence a child; its failures are written there, and it answers
// whether it had any.
TEST_F(VelkorCheckIpv6, SystemResolverAndADroppedIpv6PathInANamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root for a network namespace and nft";
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  if (access(wrapper, R_OK) != 0) GTEST_SKIP() << "SKIPPED: libnss-wrapper is not installed (scripts/install-deps --test)";
  TempDir dir;
  WriteBytes(dir.file("hosts"), "127.0.0.1 dual.test\n::1 dual.test\n::1 six.test\n");
  // No deep binding of the real modules, which AddressSanitizer refuses to dlopen.
  const std::string command = "LD_PRELOAD=" + std::string(wrapper) + " NSS_WRAPPER_DISABLE_DEEPBIND=1 " +
                              "NSS_WRAPPER_HOSTS=" + dir.file("hosts") + " NSS_WRAPPER_PASSWD=/etc/passwd " +
                              "NSS_WRAPPER_GROUP=/etc/group " + VELKOR_CHECK_BINARY;
  const Runner viaSystemResolver = [&](const Texts& args) {
    std::string line = command;
    for (const std::string& arg : args) line += " " + arg;
    const Ran ran = RunShell(line);
    return CheckOutcome{static_cast<CheckExit>(ran.status), ran.out};
  };
  const std::string result = InChild([&]() -> std::string {
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) return "no network namespace";
    const Greeters peer(true, true);
    const std::string port = Port(peer.port());
    bool dropped = false;
    for (const Case& c : LoadCases("ipv6-check-namespace.cases", {{"PORT", port}})) {
      const std::string rule = "nft add table inet velkor && nft add chain inet velkor in "
                               "'{ type filter hook input priority 0; }' && nft add rule inet velkor in "
                               "ip6 daddr ::1 tcp dport " + port + " drop";
      if (c.has("dropped") && !std::exchange(dropped, true) && std::system(rule.c_str()) != 0) return "no nft rule";
      RunCheckCase(c, "", viaSystemResolver);
    }
    fflush(stdout);
    return HasFailure() ? "failed" : "passed";
  });
  EXPECT_EQ(result, "passed") << "the child's failures are above";
}

}  // namespace

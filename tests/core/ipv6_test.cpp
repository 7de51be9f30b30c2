// IPv6 for the TCP checks: the host forms and what resolution answers for
// each, the socket layer's IPv6 sockets, the session's connect to one or
// several addresses (Happy Eyeballs), and the probes' own IPv6 texts (the
// HTTPS Host field, no SNI for an address, the IP SAN). Peers are scripted
// on ::1 and 127.0.0.1; names come from a fake resolver. velkor-check's own
// IPv6 texts are in tests/check.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <csignal>
#include <optional>

#include "app/appstate.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/checkpeers.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Texts = std::vector<std::u16string>;
using enum AddressFamily;
using enum LookupStatus;

HostAddress Addr(const char* text) { return *ParseHostAddress(text); }

std::u16string Texts16(const std::vector<HostAddress>& list) {
  std::u16string t;
  for (const HostAddress& a : list) t += (t.empty() ? u"" : u" ") + HostAddressText(a);
  return t;
}

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

// Every host form: what each family filter answers, how the lookup went, and the one address PING and the share
// listing take of it. GetIPAddress keeps its IPv4 contract: it answers as the V4 filter does, no 32-bit value ever
// standing for an IPv6 address. --each-address's pin: the pinned name answers its one address without a lookup (the
// family filter still applies), other hosts as ever; "narrowed" tells the share listing that the SMB library, given
// the name, could reach an address left out.
TEST_F(Ipv6, HostFormsResolveToTheirAddresses) {
  const struct {
    const char16_t* host;
    AddressFamily family;
    const char16_t* addresses;
    LookupStatus status;
    int error;
    bool narrowed;
    const char16_t* single;  // SingleCheckAddress
    const char16_t* pinHost = u"";  // "": no pin
    const char* pinned = "::1";
    bool sole = false;
  } rows[] = {
      {u"::1", Any, u"::1", Address, 0, false, u"::1"},
      {u"[::1]", Any, u"::1", Address, 0, false, u"::1"},
      {u"2001:DB8:0:0::25", Any, u"2001:db8::25", Address, 0, false, u"2001:db8::25"},
      {u"127.1", Any, u"127.0.0.1", Address, 0, false, u"127.0.0.1"},  // the dotted forms GetIPAddress reads
      {u"dual.test", Any, u"::1 127.0.0.1", Found, 0, false, u"127.0.0.1"},  // PING: IPv4 first, as ever
      {u"v4first.test", Any, u"127.0.0.1 ::1", Found, 0, false, u"127.0.0.1"},
      {u"v6only.test", Any, u"::1", Found, 0, false, u"::1"},
      {u"dual.test", V4, u"127.0.0.1", Found, 0, true, u"127.0.0.1"},
      {u"v4first.test", V4, u"127.0.0.1", Found, 0, true, u"127.0.0.1"},
      {u"dual.test", V6, u"::1", Found, 0, true, u"::1"},
      {u"v6only.test", V6, u"::1", Found, 0, false, u"::1"},
      {u"v4only.test", V6, u"", NoAddress, 6, true, u""},
      {u"v6only.test", V4, u"", NoAddress, 4, true, u""},
      {u"::1", V4, u"", NoAddress, 4, true, u""},
      {u"::ffff:127.0.0.1", V4, u"", NoAddress, 4, true, u""},
      {u"127.0.0.1", V6, u"", NoAddress, 6, true, u""},
      {u"nowhere.test", Any, u"", NotFound, EAI_NONAME, false, u""},
      {u"[::1", Any, u"", NotFound, EAI_NONAME, false, u""},  // an unclosed bracket is no address
      {u"mail::25", Any, u"", NotFound, EAI_NONAME, false, u""},
      {u"a::c", Any, u"a::c", Address, 0, false, u"a::c"},  // bare, it is an address (in an entry, the host a)
      {u"dual.test", Any, u"::1", Found, 0, true, u"::1", u"dual.test"},
      {u"dual.test", Any, u"127.0.0.1", Found, 0, true, u"127.0.0.1", u"dual.test", "127.0.0.1"},
      {u"dual.test", V4, u"", NoAddress, 4, true, u"", u"dual.test"},
      {u"v6only.test", Any, u"::1", Found, 0, false, u"::1", u"v6only.test", "::1", true},
      {u"v4only.test", Any, u"127.0.0.1", Found, 0, false, u"127.0.0.1", u"dual.test"},  // another host
      {u"nowhere.test", Any, u"::1", Found, 0, false, u"::1", u"nowhere.test", "::1", true},  // no lookup asked
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.host) + " pinned " + Narrow(row.pinHost));
    lookups = 0;
    if (*row.pinHost) PinHostAddress(row.pinHost, Addr(row.pinned), row.sole);
    const ResolvedHost r = ResolveHostAddresses(row.host, row.family);
    UnpinHostAddress();
    EXPECT_EQ(Texts16(r.addresses), row.addresses);
    EXPECT_EQ(r.outcome.status, row.status);
    EXPECT_EQ(r.outcome.error, row.error);
    EXPECT_EQ(LastLookupOutcome().status, row.status);
    EXPECT_EQ(r.narrowed, row.narrowed);
    const std::optional<HostAddress> single = SingleCheckAddress(r.addresses);
    EXPECT_EQ(single ? HostAddressText(*single) : u"", row.single);
    const bool pinned = std::u16string_view(row.pinHost) == row.host;
    EXPECT_EQ(lookups, ParseHostAddress(Narrow(row.host)) || row.status == Address || pinned ? 0 : 1);
    if (row.family != V4 || *row.pinHost) continue;
    EXPECT_EQ(GetIPAddressText(row.host), *row.addresses ? row.addresses : u"0.0.0.0");
    EXPECT_EQ(LastLookupOutcome().status, row.status);
  }
  EXPECT_EQ(Texts16(ResolveHostAddresses(u"dual.test").addresses), u"::1 127.0.0.1");  // the pin is gone
  // The old IPv4 hook still serves both.
  SetHostResolver([](const std::string& name) { return name == "old.test" ? htonl(INADDR_LOOPBACK) : 0u; });
  EXPECT_EQ(GetIPAddressText(u"old.test"), u"127.0.0.1");
  EXPECT_EQ(Texts16(ResolveHostAddresses(u"old.test").addresses), u"127.0.0.1");
}

TEST_F(Ipv6, HostAndPortTogether) {
  EXPECT_EQ(HostPortText(u"::1", u"25"), u"[::1]:25");
  EXPECT_EQ(HostPortText(u"2001:db8::25", u"587"), u"[2001:db8::25]:587");
  EXPECT_EQ(HostPortText(u"127.0.0.1", u"25"), u"127.0.0.1:25");
  EXPECT_EQ(HostPortText(u"mail.example", u"25"), u"mail.example:25");
  EXPECT_EQ(HostPortText(u"mail::x", u"25"), u"mail::x:25") << "no address: as written";
  EXPECT_FALSE(IsIpv6AddressText(u"127.0.0.1"));
  EXPECT_FALSE(IsIpv6AddressText(u"[::1"));
}

// AF_INET6 sockets through the same layer, with the same errors: a refused
// connect, the unspecified address never tried, a family or a length that
// does not fit the socket.
TEST_F(Ipv6, SocketLayerSpeaksIpv6) {
  ws::WSAData data;
  ASSERT_EQ(ws::WSAStartup(ws::kVersion11, &data), 0);
  ScriptServer peer({"hi"}, {}, true);
  const Greeters closed(false, false);
  const struct {
    const char* name;
    int family;
    const char* address;
    uint16_t port;
    int length;
    int want;  // 0: connected
  } rows[] = {
      {"a peer on ::1", ws::kAfInet6, "::1", peer.port(), sizeof(ws::SockAddrIn6), 0},
      {"nothing listens", ws::kAfInet6, "::1", closed.port(), sizeof(ws::SockAddrIn6), ws::err::ConnRefused},
      {"the unspecified address", ws::kAfInet6, "::", peer.port(), sizeof(ws::SockAddrIn6), ws::err::AddrNotAvail},
      {"its IPv4-mapped form", ws::kAfInet6, "::ffff:0.0.0.0", peer.port(), sizeof(ws::SockAddrIn6),
       ws::err::AddrNotAvail},
      {"an IPv4 socket", ws::kAfInet, "::1", peer.port(), sizeof(ws::SockAddrIn6), ws::err::AfNoSupport},
      {"too short for an IPv6 address", ws::kAfInet, "::1", peer.port(), 16, ws::err::Fault},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const ws::SOCKET s = ws::socket(row.family, ws::kSockStream, 0);
    ASSERT_GE(s, 0);
    ws::SockAddrIn6 to;
    to.sin6_port = ws::HostToNetShort(row.port);
    inet_pton(AF_INET6, row.address, to.sin6_addr);
    EXPECT_EQ(ws::connect(s, &to, row.length), row.want == 0 ? 0 : -1);
    EXPECT_EQ(ws::WSAGetLastError(), row.want);
    ws::closesocket(s);
  }
  ws::WSACleanup();
}

// The session connects to each form of host: the greeting comes from the
// peer the address names, the address used is noted, and a host whose every
// address fails names each one with its reason while the window's texts name
// the last attempt's socket error. Happy Eyeballs: an IPv6 address that
// swallows the SYN costs the delay, not the connect's time-out (one second,
// for all addresses together), and the window never freezes meanwhile; a
// delay longer than the time-out leaves IPv4 untried, and a failed address
// hands over at once. (IPv6 alone waiting its time-out: velkor-check's nft test.)
TEST_F(Ipv6, SessionConnectsToEveryForm) {
  enum Six { Refuses, Greets, Silent };
  constexpr int64_t kLong = 60000;
  const struct {
    const char* name;
    const char16_t* host;
    Six six;
    bool four;  // 127.0.0.1 greets at the port ("220 four"; ::1 "220 six"), or refuses
    AddressFamily family;
    int64_t delay;  // SessionOptions::nextAddressDelayMs
    const char16_t* address;
    FailKind kind = FailKind::None;
    const char16_t* tried = u"";
    int lastError = 0;
  } rows[] = {
      {"IPv6 address", u"::1", Greets, false, Any, kLong, u"::1"},
      {"dual-stack name: IPv6 first", u"dual.test", Greets, true, Any, kLong, u"::1"},
      {"IPv6 first whatever the resolver's order", u"v4first.test", Greets, true, Any, kLong, u"::1"},
      {"IPv6 refused: IPv4 at once", u"dual.test", Refuses, true, Any, kLong, u"127.0.0.1"},
      {"IPv6 silent: IPv4 after the delay", u"dual.test", Silent, true, Any, 250, u"127.0.0.1"},
      {"IPv6 silent: IPv4 after a shorter delay", u"dual.test", Silent, true, Any, 60, u"127.0.0.1"},
      {"IPv6 silent, a delay longer than the time-out", u"dual.test", Silent, true, Any, kLong, u"::1",
       FailKind::ConnectTimedOut, u"", ws::err::TimedOut},
      {"-4", u"dual.test", Greets, true, V4, kLong, u"127.0.0.1"},
      {"IPv6-only name", u"v6only.test", Greets, false, Any, kLong, u"::1"},
      {"-6 with an IPv4-only name", u"v4only.test", Refuses, true, V6, kLong, u"", FailKind::NoAddressOfFamily, u"",
       ws::err::AddrNotAvail},
      {"every address refused", u"dual.test", Refuses, false, Any, kLong, u"127.0.0.1", FailKind::EveryAddressFailed,
       u"::1 Refused, 127.0.0.1 Refused", ws::err::ConnRefused},
      {"one IPv6 address refused", u"::1", Refuses, false, Any, kLong, u"::1", FailKind::Refused, u"",
       ws::err::ConnRefused},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    prog.boxes.clear();
    const Greeters peer(row.six == Greets, row.four);
    std::optional<SilentPort> silent;
    if (row.six == Silent) silent.emplace(true, peer.port());
    SetSessionOptions(SessionOptions{.timeoutSeconds = 1, .family = row.family, .nextAddressDelayMs = row.delay});
    ClearFailReason();
    std::u16string host = row.host, portText = PortText(peer.port()), greeting;
    int32_t socket = -1;
    const bool ok = row.kind == FailKind::None;
    const int64_t start = MonotonicMs();
    longest = 0, last = start;
    EXPECT_EQ(WinSockManager(host, portText, socket, greeting, false, false), ok);
    EXPECT_GE(MonotonicMs() - start, row.six == Silent ? std::min<int64_t>(row.delay, 1000) - 5 : 0);
    EXPECT_LT(longest, 500) << "the window never freezes (a blocked wait would take the whole second)";
    EXPECT_EQ(greeting, !ok ? u"" : row.address == std::u16string(u"::1") ? u"220 six\r\n" : u"220 four\r\n");
    EXPECT_EQ(LastConnectAddress(), row.address);
    EXPECT_EQ(LastFailReason().kind, row.kind);
    std::u16string tried;
    for (const AddressTried& t : LastAddressesTried())
      tried += (tried.empty() ? u"" : u", ") + t.address + (t.reason.kind == FailKind::Refused ? u" Refused" : u" ?");
    EXPECT_EQ(tried, row.tried);
    if (ok) {
      WinSockClose(socket);
      EXPECT_TRUE(prog.boxes.empty());
    } else {
      EXPECT_EQ(prog.boxes, (Texts{u"WinSockManager: connect() error: -1",
                                   u"WinSockManager: " + SocketErrorText(row.lastError)}));
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

}  // namespace

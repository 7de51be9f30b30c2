// IPv6 for the TCP checks: the host forms and what resolution answers for
// each, the socket layer's IPv6 sockets, the session's connect to one or
// several addresses (Happy Eyeballs), and the probes' own IPv6 texts (the
// HTTPS Host field, no SNI for an address, the IP SAN). Peers are scripted
// on ::1 and 127.0.0.1; names come from a fake resolver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>
#include <thread>

#include "app/appstate.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Texts = std::vector<std::u16string>;

HostAddress Addr(const char* text) { return *ParseHostAddress(text); }

// A resolver that knows a few names and never leaves the process.
void FakeNames() {
  SetHostAddressLookup([](const std::string& name) -> AddressLookupAnswer {
    if (name == "dual.test") return {{Addr("::1"), Addr("127.0.0.1")}, 0};
    if (name == "v4first.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
    if (name == "v6only.test") return {{Addr("::1")}, 0};
    if (name == "v4only.test") return {{Addr("127.0.0.1")}, 0};
    if (name == "two6.test") return {{Addr("::1"), Addr("::1")}, 0};
    return {{}, EAI_NONAME};
  });
}

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
    FakeNames();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
    SetDoEventsHook([this] {
      longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs()));
    });
    last = MonotonicMs();
  }
  void TearDown() override {
    SetHostAddressLookup({});
    SetSessionOptions(SessionOptions{});
    SetDoEventsHook(nullptr);
    SetMessageBoxHook(nullptr);
  }
  ProgramInTempDir prog;
  int64_t last = 0, longest = 0;
};

// Every host form: what each family filter answers, and how the lookup went.
TEST_F(Ipv6, HostFormsResolveToTheirAddresses) {
  struct Row {
    const char16_t* host;
    AddressFamily family;
    const char16_t* addresses;
    LookupStatus status;
    int error = 0;
  };
  using enum AddressFamily;
  const Row rows[] = {
      {u"::1", Any, u"::1", LookupStatus::Address},
      {u"[::1]", Any, u"::1", LookupStatus::Address},
      {u"2001:DB8:0:0::25", Any, u"2001:db8::25", LookupStatus::Address},
      {u"127.1", Any, u"127.0.0.1", LookupStatus::Address},  // the dotted forms GetIPAddress reads
      {u"dual.test", Any, u"::1 127.0.0.1", LookupStatus::Found},
      {u"dual.test", V4, u"127.0.0.1", LookupStatus::Found},
      {u"dual.test", V6, u"::1", LookupStatus::Found},
      {u"v4only.test", V6, u"", LookupStatus::NoAddress, 6},
      {u"v6only.test", V4, u"", LookupStatus::NoAddress, 4},
      {u"::1", V4, u"", LookupStatus::NoAddress, 4},
      {u"127.0.0.1", V6, u"", LookupStatus::NoAddress, 6},
      {u"nowhere.test", Any, u"", LookupStatus::NotFound, EAI_NONAME},
      {u"[::1", Any, u"", LookupStatus::NotFound, EAI_NONAME},  // an unclosed bracket is no address
      {u"mail::25", Any, u"", LookupStatus::NotFound, EAI_NONAME},
      {u"a::c", Any, u"a::c", LookupStatus::Address},  // bare, it is an address (in an entry, the host a)
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.host));
    const ResolvedHost r = ResolveHostAddresses(row.host, row.family);
    EXPECT_EQ(Texts16(r.addresses), row.addresses);
    EXPECT_EQ(r.outcome.status, row.status);
    EXPECT_EQ(r.outcome.error, row.error);
    EXPECT_EQ(LastLookupOutcome().status, row.status);
  }
}

// What PING and the share listing take of a host, and --each-address's pin: the pinned name answers its one address
// without a lookup (the family filter still applies), other hosts as ever; "narrowed" tells the share listing that
// the SMB library, given the name, could reach an address left out.
TEST_F(Ipv6, PinsNarrowingAndTheSingleAddress) {
  using enum AddressFamily;
  const struct {
    const char16_t* pinHost;  // "" no pin
    const char* pinned;
    bool sole;
    const char16_t* host;
    AddressFamily family;
    const char16_t* addresses;
    bool narrowed;
    const char16_t* single;  // SingleCheckAddress
  } rows[] = {
      {u"", "::1", true, u"dual.test", Any, u"::1 127.0.0.1", false, u"127.0.0.1"},  // IPv4 first, as ever
      {u"", "::1", true, u"v4first.test", Any, u"127.0.0.1 ::1", false, u"127.0.0.1"},
      {u"", "::1", true, u"v6only.test", Any, u"::1", false, u"::1"},
      {u"", "::1", true, u"dual.test", V6, u"::1", true, u"::1"},
      {u"", "::1", true, u"v6only.test", V6, u"::1", false, u"::1"},
      {u"", "::1", true, u"v6only.test", V4, u"", true, u""},
      {u"", "::1", true, u"::1", Any, u"::1", false, u"::1"},
      {u"dual.test", "::1", false, u"dual.test", Any, u"::1", true, u"::1"},
      {u"dual.test", "127.0.0.1", false, u"dual.test", Any, u"127.0.0.1", true, u"127.0.0.1"},
      {u"dual.test", "::1", false, u"dual.test", V4, u"", true, u""},
      {u"v6only.test", "::1", true, u"v6only.test", Any, u"::1", false, u"::1"},
      {u"dual.test", "::1", false, u"v4only.test", Any, u"127.0.0.1", false, u"127.0.0.1"},  // another host
      {u"nowhere.test", "::1", true, u"nowhere.test", Any, u"::1", false, u"::1"},  // no lookup asked
  };
  int lookups = 0;  // outlives the loop: the hook below serves the last lookup too
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.pinHost) + " " + row.pinned + " " + Narrow(row.host));
    lookups = 0;
    SetHostAddressLookup([&](const std::string& name) -> AddressLookupAnswer {
      ++lookups;
      if (name == "dual.test") return {{Addr("::1"), Addr("127.0.0.1")}, 0};
      if (name == "v4first.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
      if (name == "v6only.test") return {{Addr("::1")}, 0};
      if (name == "v4only.test") return {{Addr("127.0.0.1")}, 0};
      return {{}, EAI_NONAME};
    });
    if (*row.pinHost) PinHostAddress(row.pinHost, Addr(row.pinned), row.sole);
    const ResolvedHost r = ResolveHostAddresses(row.host, row.family);
    UnpinHostAddress();
    EXPECT_EQ(Texts16(r.addresses), row.addresses);
    EXPECT_EQ(r.narrowed, row.narrowed);
    const std::optional<HostAddress> single = SingleCheckAddress(r.addresses);
    EXPECT_EQ(single ? HostAddressText(*single) : u"", row.single);
    const bool pinned = *row.pinHost && std::u16string(row.pinHost) == row.host;
    EXPECT_EQ(lookups, pinned || IsIpv6AddressText(row.host) ? 0 : 1);
  }
  EXPECT_EQ(Texts16(ResolveHostAddresses(u"dual.test").addresses), u"::1 127.0.0.1");  // the pin is gone
}

// GetIPAddress keeps its IPv4 contract: no 32-bit value ever stands for an IPv6 address.
TEST_F(Ipv6, GetIPAddressAnswersIpv4Only) {
  const struct {
    const char16_t* host;
    const char16_t* text;
    LookupStatus status;
  } rows[] = {
      {u"dual.test", u"127.0.0.1", LookupStatus::Found},
      {u"v4first.test", u"127.0.0.1", LookupStatus::Found},
      {u"v6only.test", u"0.0.0.0", LookupStatus::NoAddress},
      {u"::1", u"0.0.0.0", LookupStatus::NoAddress},
      {u"::ffff:127.0.0.1", u"0.0.0.0", LookupStatus::NoAddress},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.host));
    EXPECT_EQ(GetIPAddressText(row.host), row.text);
    EXPECT_EQ(LastLookupOutcome().status, row.status);
  }
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
// connect, the unspecified address never tried, a family that does not fit
// the socket.
TEST_F(Ipv6, SocketLayerSpeaksIpv6) {
  ws::WSAData data;
  ASSERT_EQ(ws::WSAStartup(ws::kVersion11, &data), 0);
  ScriptServer peer({"hi"}, {}, true);
  uint16_t closed = 0;
  ::close(ListenOnLoopback(1, &closed, true));
  struct Row {
    const char* name;
    const char* address;
    uint16_t port;
    int want;  // 0: connected
  } rows[] = {
      {"a peer on ::1", "::1", peer.port(), 0},
      {"nothing listens", "::1", closed, ws::err::ConnRefused},
      {"the unspecified address", "::", peer.port(), ws::err::AddrNotAvail},
      {"its IPv4-mapped form", "::ffff:0.0.0.0", peer.port(), ws::err::AddrNotAvail},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ws::SOCKET s = ws::socket(ws::kAfInet6, ws::kSockStream, 0);
    ASSERT_GE(s, 0);
    ws::SockAddrIn6 to;
    to.sin6_port = ws::HostToNetShort(row.port);
    inet_pton(AF_INET6, row.address, to.sin6_addr);
    EXPECT_EQ(ws::connect(s, &to, sizeof to), row.want == 0 ? 0 : -1);
    EXPECT_EQ(ws::WSAGetLastError(), row.want);
    ws::closesocket(s);
  }
  const ws::SOCKET v4 = ws::socket(ws::kAfInet, ws::kSockStream, 0);
  ws::SockAddrIn6 to;
  to.sin6_port = ws::HostToNetShort(peer.port());
  to.sin6_addr[15] = 1;
  EXPECT_EQ(ws::connect(v4, &to, sizeof to), -1);
  EXPECT_EQ(ws::WSAGetLastError(), ws::err::AfNoSupport);
  EXPECT_EQ(ws::connect(v4, &to, 16), -1) << "too short for an IPv6 address";
  EXPECT_EQ(ws::WSAGetLastError(), ws::err::Fault);
  ws::closesocket(v4);
  ws::WSACleanup();
}

// The session connects to each form of host: the greeting comes from the
// peer the address names, the address used is noted, and a host whose every
// address fails names each one with its reason while the window's texts name
// the last attempt's socket error.
TEST_F(Ipv6, SessionConnectsToEveryForm) {
  // Two peers on one port number: a greeting on ::1, another on 127.0.0.1
  // (or nothing listening there).
  uint16_t port = 0;
  const int holder = ListenOnLoopback(1, &port, true);
  ::close(holder);
  struct Row {
    const char* name;
    std::u16string host;
    bool v6Peer, v4Peer;
    AddressFamily family;
    bool ok;
    std::u16string greeting, address;
    FailKind kind = FailKind::None;
    std::u16string tried = u"";
    int lastError = 0;
  };
  using enum AddressFamily;
  const Row rows[] = {
      {"IPv6 address", u"::1", true, false, Any, true, u"220 six\r\n", u"::1"},
      {"dual-stack name: IPv6 first", u"dual.test", true, true, Any, true, u"220 six\r\n", u"::1"},
      {"IPv6 first whatever the resolver's order", u"v4first.test", true, true, Any, true, u"220 six\r\n", u"::1"},
      {"IPv6 refused: IPv4 at once", u"dual.test", false, true, Any, true, u"220 four\r\n", u"127.0.0.1"},
      {"-4", u"dual.test", true, true, V4, true, u"220 four\r\n", u"127.0.0.1"},
      {"IPv6-only name", u"v6only.test", true, false, Any, true, u"220 six\r\n", u"::1"},
      {"-6 with an IPv4-only name", u"v4only.test", false, true, V6, false, u"", u"", FailKind::NoAddressOfFamily,
       u"", ws::err::AddrNotAvail},
      {"every address refused", u"dual.test", false, false, Any, false, u"", u"127.0.0.1",
       FailKind::EveryAddressFailed, u"::1 Refused, 127.0.0.1 Refused", ws::err::ConnRefused},
      {"one IPv6 address refused", u"::1", false, false, Any, false, u"", u"::1", FailKind::Refused, u"",
       ws::err::ConnRefused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    prog.boxes.clear();
    int listen6 = -1, listen4 = -1;
    // ScriptServer picks its own port; both families share one here, so the
    // peers are plain listeners answering with a greeting from a thread.
    std::vector<std::thread> peers;
    auto serve = [&](bool v6, const char* greeting) {
      uint16_t got = 0;
      const int fd = ListenOnLoopback(4, &got, v6, port);
      ASSERT_EQ(got, port);
      (v6 ? listen6 : listen4) = fd;
      peers.emplace_back([fd, greeting] {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c < 0) return;
        ::send(c, greeting, strlen(greeting), MSG_NOSIGNAL);
        char buf[64];
        while (::recv(c, buf, sizeof buf, 0) > 0) {
        }
        ::close(c);
      });
    };
    if (row.v6Peer) serve(true, "220 six\r\n");
    if (row.v4Peer) serve(false, "220 four\r\n");
    SetSessionOptions(SessionOptions{.timeoutSeconds = 2, .family = row.family});
    ClearFailReason();
    std::u16string host = row.host, portText = PortText(port), greeting;
    int32_t socket = -1;
    const int64_t start = MonotonicMs();
    EXPECT_EQ(WinSockManager(host, portText, socket, greeting, false, false), row.ok);
    EXPECT_LT(MonotonicMs() - start, 1000);
    EXPECT_EQ(greeting, row.greeting);
    EXPECT_EQ(LastConnectAddress(), row.address);
    EXPECT_EQ(LastFailReason().kind, row.kind);
    std::u16string tried;
    for (const AddressTried& t : LastAddressesTried())
      tried += (tried.empty() ? u"" : u", ") + t.address + (t.reason.kind == FailKind::Refused ? u" Refused" : u" ?");
    EXPECT_EQ(tried, row.tried);
    if (row.ok) {
      WinSockClose(socket);
      EXPECT_TRUE(prog.boxes.empty());
    } else {
      EXPECT_EQ(prog.boxes, (Texts{u"WinSockManager: connect() error: -1",
                                   u"WinSockManager: " + SocketErrorText(row.lastError)}));
    }
    EXPECT_EQ(ws::WSACleanup(), -1) << "the library stopped once";
    for (int fd : {listen6, listen4})
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR), ::close(fd);
    for (std::thread& t : peers) t.join();
  }
}

// Happy Eyeballs: an IPv6 address that swallows the SYN (a listener whose
// queue is full) costs the delay, not the connect's time-out; the IPv4
// address answers. The delay is a parameter.
TEST_F(Ipv6, SilentIpv6PathCostsTheDelayOnly) {
  uint16_t port = 0;
  const int full = ListenOnLoopback(0, &port, true);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = in6addr_loopback;
  const int fillers[] = {::socket(AF_INET6, SOCK_STREAM, 0), ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0)};
  for (int f : fillers) ::connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  uint16_t same = 0;
  const int v4 = ListenOnLoopback(4, &same, false, port);
  ASSERT_EQ(same, port);
  for (int64_t delay : {250, 60}) {
    SCOPED_TRACE(delay);
    SetSessionOptions(SessionOptions{.timeoutSeconds = 5, .nextAddressDelayMs = delay});
    std::u16string host = u"dual.test", portText = PortText(port), greeting;
    int32_t socket = -1;
    const int64_t start = MonotonicMs();
    longest = 0, last = start;
    EXPECT_TRUE(WinSockManager(host, portText, socket, greeting, true, false));
    const int64_t took = MonotonicMs() - start;
    EXPECT_GE(took, delay - 5);
    EXPECT_LT(took, delay + 400);
    EXPECT_LE(longest, 150) << "the window never freezes";
    EXPECT_EQ(LastConnectAddress(), u"127.0.0.1");
    WinSockClose(socket);
    const int c = ::accept(v4, nullptr, nullptr);
    ::close(c);
  }
  // With IPv6 alone the same path ends at the connect's time-out.
  SetSessionOptions(SessionOptions{.timeoutSeconds = 0, .timeoutMicros = 300000, .family = AddressFamily::V6});
  std::u16string host = u"dual.test", portText = PortText(port), greeting;
  int32_t socket = -1;
  ClearFailReason();
  EXPECT_FALSE(WinSockManager(host, portText, socket, greeting, true, true));
  EXPECT_EQ(LastFailReason().kind, FailKind::ConnectTimedOut);
  for (int fd : {fillers[0], fillers[1], full, v4}) ::close(fd);
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

// IPv6 for the TCP checks: the host forms and what resolution answers for each, the socket layer's IPv6 sockets,
// the session's connect to one or several addresses (Happy Eyeballs), and the probes' own IPv6 texts (the HTTPS
// Host field, no SNI for an address, the IP SAN). The cases are in tests/data/ipv6-*.cases (ipv6-check* aside).
// Peers are scripted on ::1 and 127.0.0.1; names come from a fake resolver. velkor-check's own IPv6 texts are in
// tests/check.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <csignal>
#include <optional>

#include "app/appstate.h"
#include "net/cmdsession.h"
#include "net/failphrase.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/checkpeers.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

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

}  // namespace

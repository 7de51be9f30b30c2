// The socket layer under the sessions: the library contract, error numbers
// and their texts, host addresses (the cases: tests/data/winsock-*.cases).
#include "net/winsock.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <memory>
#include <utility>

#include "net/hostaddr.h"
#include "net/sockerr.h"
#include "support/casefile.h"
#include "support/scriptserver.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

TEST(WinSock, ErrorNumbersAndTheirTexts) {
  for (const Case& c : LoadCases("winsock-errno.cases")) {
    CASE_TRACE(c);
    EXPECT_EQ(ws::ErrnoToWsa(c.number("errno")), c.number("wsa"));
  }
  std::map<int32_t, Case> known;
  for (const Case& c : LoadCases("winsock-error-texts.cases")) known.emplace(c.number("number"), c);
  for (int32_t n = -1; n <= 32767; ++n) {
    const std::u16string text = SocketErrorText(n);
    if (!known.count(n)) {
      ASSERT_EQ(text, u"その他のエラー: " + ToU16(n));
      continue;
    }
    const Case& c = known.at(n);
    CASE_TRACE(c);
    const std::u16string indent(c.number("indent", 5), u' ');
    const std::u16string head = u"     意味 : " + FromUtf8(c.get("meaning")) + u"\r\n" + indent + u"説明 : ";
    ASSERT_EQ(text.substr(0, head.size()), head);
    const std::u16string rest = text.substr(head.size());
    const size_t end = rest.find_last_not_of(u' ') + 1, blanks = rest.size() - end;
    EXPECT_TRUE(end >= 30 && end <= 550 && rest[0] != u' ' && rest[end - 1] == u'。' && blanks >= 2 && blanks <= 6 &&
                rest.find_first_of(u"\r\n") == std::u16string::npos)
        << ToUtf8(rest);
  }
  EXPECT_EQ(SocketErrorText(65536 + 10060), SocketErrorText(10060));  // the low 16 bits count
}

// The library's contract around its sends: no socket before it starts; it offers version 1.1 only (the caller
// decides) and counts its clean-ups. A send larger than the socket's buffers, to a peer that starts reading only
// after 100 ms: the layer waits for room as often as it takes and sends every byte; to a peer that never reads, it
// ends at the send time-out.
TEST(WinSock, StartsAtVersionOneOneAndSendWaitsForRoomUntilAllIsSentOrItsTimeOut) {
  ws::WSAData data;
  EXPECT_EQ(ws::socket(ws::kAfInet, ws::kSockStream, 0), -1);
  EXPECT_EQ(ws::WSAGetLastError(), 10093);       // not started
  ASSERT_EQ(ws::WSAStartup(0x0202, &data), 0);  // offers 1.1 only; the caller decides
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(ws::WSAStartup(0x0001, &data), 10092);
  const std::string big(16 << 20, 'x');
  for (const bool reads : {true, false}) {
    uint16_t port = 0;
    const int listener = ListenOnLoopback(1, &port);  // never accepted from: the peer that never reads
    std::thread reader([&] {
      if (!reads) return;
      SleepMs(100);
      const int fd = accept(listener, nullptr, nullptr);
      for (char buf[65536]; recv(fd, buf, sizeof buf, 0) > 0;) {
      }
      close(fd);
    });
    const ws::SOCKET s = ws::socket(ws::kAfInet, ws::kSockStream, 0);
    const int32_t timeout = 1000;
    ws::setsockopt(s, ws::kSolSocket, ws::kSoSndTimeo, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    const ws::SockAddrIn to{ws::kAfInet, htons(port), static_cast<int32_t>(htonl(INADDR_LOOPBACK)), {}};
    EXPECT_EQ(ws::connect(s, &to, sizeof to), 0);
    EXPECT_EQ(ws::send(s, big.data(), static_cast<int>(big.size()), 0), reads ? static_cast<int>(big.size()) : -1);
    EXPECT_EQ(ws::WSAGetLastError(), reads ? 0 : 10060) << reads;
    ws::closesocket(s);
    reader.join();
    close(listener);
  }
  EXPECT_EQ(ws::WSACleanup(), 0);
  EXPECT_EQ(ws::WSACleanup(), -1);
}

TEST(HostAddr, StalledLookupThenDottedTextsAndNames) {
  auto release = std::make_shared<std::atomic<bool>>(false);  // outlives the abandoned worker
  auto calls = std::make_shared<std::atomic<int>>(0);
  SetHostResolver([release, calls](const std::string&) {
    for (++*calls; !*release;) SleepMs(5);
    return inet_addr("10.9.9.9");
  });
  SetResolveTimeoutMs(300);
  int64_t last = MonotonicMs(), longest = 0;
  SetDoEventsHook([&] { longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs())); });
  int64_t start = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"stuck.example"), 0);
  EXPECT_GE(MonotonicMs() - start, 290);
  EXPECT_LT(MonotonicMs() - start, 1500);
  EXPECT_LE(longest, 200);  // the message loop kept running: a wait that stood still would show its 300 ms
  // While that worker is stuck, the next name gives 0 at once, well before a wait of its own would end; dotted
  // addresses still parse.
  SetResolveTimeoutMs(3000);
  start = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"other.example"), 0);
  EXPECT_LT(MonotonicMs() - start, 1000);
  EXPECT_EQ(GetIPAddress(u"127.0.0.1"), 16777343);  // network byte order read as a signed number
  EXPECT_EQ(GetIPAddress(u"10.0.0.200"), static_cast<int32_t>(0xC800000Au));
  EXPECT_EQ(*calls, 1);
  *release = true;
  SetDoEventsHook({});

  // Once it has answered (into its own data) lookups work again, here with a resolver that knows two names.
  std::vector<std::string> asked;
  SetHostResolver([&asked](const std::string& name) {
    asked.push_back(name);
    return name == "mailhost" ? inet_addr("192.0.2.77") : name == "255.255.255.255" ? inet_addr("10.1.2.3") : 0u;
  });
  // However long the released worker takes to finish on a loaded machine.
  for (int i = 0; i < 500 && GetIPAddressText(u"mailhost") != u"192.0.2.77"; ++i) SleepMs(10);
  for (const Case& c : LoadCases("winsock-dotted.cases")) {
    CASE_TRACE(c);
    asked.clear();
    const std::u16string host = FromUtf8(c.get("host"));
    EXPECT_EQ(GetIPAddressText(host), FromUtf8(c.get("text")));
    EXPECT_EQ(asked, c.has("lookup") ? std::vector<std::string>{ToAnsi(host)} : std::vector<std::string>{});
  }
  SetHostResolver({});
  EXPECT_EQ(GetIPAddressText(u"localhost"), u"127.0.0.1");  // the system resolver reads the hosts file
}

}  // namespace

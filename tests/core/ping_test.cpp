#include "net/ping.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <vector>

#include "net/hostaddr.h"
#include "net/icmpsocket.h"
#include "support/netns.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

uint32_t Addr(const char* dotted) { return inet_addr(dotted); }

// An IPv4 header (ihl words, options zero) from src to dst, then the ICMP bytes.
std::vector<uint8_t> Datagram(const char* src, const char* dst, std::vector<uint8_t> icmp, int ihlWords = 5) {
  std::vector<uint8_t> d(static_cast<size_t>(ihlWords) * 4, 0);
  d[0] = static_cast<uint8_t>(0x40 | ihlWords);
  d[8] = 64;
  d[9] = 1;
  uint32_t s = Addr(src), t = Addr(dst);
  std::memcpy(&d[12], &s, 4);
  std::memcpy(&d[16], &t, 4);
  d.insert(d.end(), icmp.begin(), icmp.end());
  return d;
}

std::vector<uint8_t> Echo(uint8_t type, uint16_t id, uint16_t seq) {
  std::vector<uint8_t> m = {type, 0, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(seq >> 8),
                            static_cast<uint8_t>(seq)};
  for (uint8_t b = 0x20; b <= 0x2B; ++b) m.push_back(b);
  return m;
}

// An ICMP error of the given type quoting an echo request from src to dst.
std::vector<uint8_t> ErrorQuoting(uint8_t type, const char* src, const char* dst, uint16_t id, uint16_t seq) {
  std::vector<uint8_t> m = {type, 1, 0, 0, 0, 0, 0, 0};
  auto quoted = Datagram(src, dst, Echo(8, id, seq));
  m.insert(m.end(), quoted.begin(), quoted.end());
  return m;
}

// Outcome of one PingCheck, as a child process reports it through a pipe.
struct PingOutcome {
  int status = -100;
  bool alive = false;
  std::u16string message;
  std::u16string dump;
  int64_t elapsedMs = 0;
  int doEvents = 0;
  int64_t longestGapMs = 0;
};

std::string Encode(const PingOutcome& o) {
  std::ostringstream s;
  s << o.status << '\n' << o.alive << '\n' << o.elapsedMs << '\n' << o.doEvents << '\n' << o.longestGapMs << '\n'
    << ToUtf8(o.message) << '\n' << ToUtf8(xReplaceString(o.dump, u"\r\n", u"|"));
  return s.str();
}

PingOutcome Decode(const std::string& text) {
  PingOutcome o;
  std::istringstream s(text);
  std::string message, dump;
  if (!(s >> o.status >> o.alive >> o.elapsedMs >> o.doEvents >> o.longestGapMs)) {
    o.message = FromUtf8(text);  // the child's complaint
    return o;
  }
  s.ignore(1);
  std::getline(s, message);
  std::getline(s, dump);
  o.message = FromUtf8(message);
  o.dump = xReplaceString(FromUtf8(dump), u"|", u"\r\n");
  return o;
}

// Runs PingCheck here, counting message-loop turns and the longest time
// between two of them.
PingOutcome Ping(const std::u16string& host, const PingOptions& options = {}) {
  PingOutcome o;
  int64_t last = MonotonicMs();
  SetDoEventsHook([&] {
    const int64_t now = MonotonicMs();
    o.longestGapMs = std::max(o.longestGapMs, now - last);
    last = now;
    ++o.doEvents;
  });
  o.message = u"(untouched)";
  o.dump = u"(untouched)";
  const int64_t start = MonotonicMs();
  o.status = PingCheck(host, o.alive, o.message, o.dump, options);
  o.elapsedMs = MonotonicMs() - start;
  o.longestGapMs = std::max(o.longestGapMs, MonotonicMs() - last);
  SetDoEventsHook(nullptr);
  return o;
}

PingOutcome PingInChild(const std::string& netns, bool dropToNobody, const std::u16string& host,
                        const PingOptions& options = {}) {
  return Decode(RunInChild(netns, dropToNobody, [&] { return Encode(Ping(host, options)); }));
}

// Loopback-only namespace: 127.0.0.3 stays silent, 127.0.0.4 answers with
// "host unreachable".
const char kRules[] =
    "table inet velkor {\n"
    "  chain input {\n"
    "    type filter hook input priority 0; policy accept;\n"
    "    ip daddr 127.0.0.3 icmp type echo-request drop\n"
    "    ip daddr 127.0.0.4 icmp type echo-request reject with icmp type host-unreachable\n"
    "  }\n"
    "}\n";

// The same with iptables, where nft is not to be had.
const char kIptablesRules[] =
    "iptables -A INPUT -d 127.0.0.3 -p icmp --icmp-type echo-request -j DROP && "
    "iptables -A INPUT -d 127.0.0.4 -p icmp --icmp-type echo-request -j REJECT --reject-with icmp-host-unreachable";

class PingNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
    ASSERT_TRUE(ns.ok()) << "cannot create a network namespace";
    ASSERT_TRUE(ns.LoadNftRules(kRules) || ns.Exec(kIptablesRules)) << "neither nft nor iptables took the rules";
  }
  NetNamespace ns;
};

}  // namespace

TEST(IcmpCheckSum, FixedRequestAndRfcExample) {
  std::vector<uint8_t> request = Echo(8, 0, 0);
  uint8_t sum[2];
  IcmpCheckSum(request, 20, sum);
  EXPECT_EQ(sum[0], 0x19);
  EXPECT_EQ(sum[1], 0x1B);

  // RFC 1071's example: the one's complement sum of these words is DDF2.
  const std::vector<uint8_t> rfc = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  IcmpCheckSum(rfc, 8, sum);
  EXPECT_EQ(sum[0], 0x22);
  EXPECT_EQ(sum[1], 0x0D);

  // A message with its checksum in place sums to zero.
  request[2] = 0x19;
  request[3] = 0x1B;
  IcmpCheckSum(request, 20, sum);
  EXPECT_EQ(sum[0], 0);
  EXPECT_EQ(sum[1], 0);

  // An odd length pairs the last byte with a zero, whatever follows it.
  const std::vector<uint8_t> odd = {0x12, 0x34, 0x56, 0xFF};
  IcmpCheckSum(odd, 3, sum);
  EXPECT_EQ(sum[0], static_cast<uint8_t>(~(0x12 + 0x56)));
  EXPECT_EQ(sum[1], static_cast<uint8_t>(~0x34));

  // Carries fold back in: FFFF + 0001 = 1 0000 -> 0001 -> FFFE.
  const std::vector<uint8_t> carry = {0xFF, 0xFF, 0x00, 0x01};
  IcmpCheckSum(carry, 4, sum);
  EXPECT_EQ(sum[0], 0xFF);
  EXPECT_EQ(sum[1], 0xFE);
}

TEST(IcmpAnswersRequest, OnlyDatagramsAnsweringOurRequest) {
  const uint32_t target = Addr("127.0.0.9");
  const auto reply = Datagram("127.0.0.9", "127.0.0.1", Echo(0, 0, 0));
  EXPECT_TRUE(IcmpAnswersRequest(reply, target, target, false));
  // Our own request, read back on loopback.
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.1", "127.0.0.9", Echo(8, 0, 0)), Addr("127.0.0.1"), target, false));
  // A reply from another host, or to another program's request.
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.8", "127.0.0.1", Echo(0, 0, 0)), Addr("127.0.0.8"), target, false));
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.9", "127.0.0.1", Echo(0, 0x4242, 0)), target, target, false));
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.9", "127.0.0.1", Echo(0, 0, 7)), target, target, false));
  // On the datagram path the kernel has put its own identifier in.
  EXPECT_TRUE(IcmpAnswersRequest(Datagram("127.0.0.9", "127.0.0.1", Echo(0, 0x4242, 0)), target, target, true));
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.8", "127.0.0.1", Echo(0, 0x4242, 0)), Addr("127.0.0.8"), target, true));
  // Header options: the ICMP message starts after 24 bytes, not 20.
  EXPECT_TRUE(IcmpAnswersRequest(Datagram("127.0.0.9", "127.0.0.1", Echo(0, 0, 0), 6), target, target, false));
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("127.0.0.9", "127.0.0.1", Echo(8, 0, 0), 6), target, target, false));
}

TEST(IcmpAnswersRequest, ErrorsMustQuoteOurRequest) {
  const uint32_t target = Addr("10.1.2.3");
  const uint32_t router = Addr("10.0.0.1");
  const auto ours = Datagram("10.0.0.1", "10.0.0.5", ErrorQuoting(3, "10.0.0.5", "10.1.2.3", 0, 0));
  EXPECT_TRUE(IcmpAnswersRequest(ours, router, target, false));
  EXPECT_TRUE(IcmpAnswersRequest(Datagram("10.0.0.1", "10.0.0.5", ErrorQuoting(11, "10.0.0.5", "10.1.2.3", 0, 0)),
                                 router, target, false));
  // Quoting a request to another host, or another program's request.
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("10.0.0.1", "10.0.0.5", ErrorQuoting(3, "10.0.0.5", "10.1.2.4", 0, 0)),
                                  router, target, false));
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("10.0.0.1", "10.0.0.5", ErrorQuoting(3, "10.0.0.5", "10.1.2.3", 0x99, 0)),
                                  router, target, false));
  // A redirect is advice, not an answer.
  EXPECT_FALSE(IcmpAnswersRequest(Datagram("10.0.0.1", "10.0.0.5", ErrorQuoting(5, "10.0.0.5", "10.1.2.3", 0, 0)),
                                  router, target, false));
  // Cut short before the quoted ICMP header.
  std::vector<uint8_t> cut(ours.begin(), ours.begin() + 20 + 8 + 20 + 4);
  EXPECT_FALSE(IcmpAnswersRequest(cut, router, target, false));
  // Not IPv4, or a header length below 20 bytes.
  auto bad = ours;
  bad[0] = 0x65;
  EXPECT_FALSE(IcmpAnswersRequest(bad, router, target, false));
  bad[0] = 0x44;
  EXPECT_FALSE(IcmpAnswersRequest(bad, router, target, false));
}

TEST(PingCheck, LiveLoopbackHost) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the raw ICMP socket needs root";
  ProgramInTempDir program;
  const PingOutcome o = Ping(u"127.0.0.1");
  // On loopback the raw socket reads our own request back first; it must be
  // passed over, not reported as "Received something...".
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.alive);
  EXPECT_EQ(o.message, u"Target is alive.  40 bytes received.  (127.0.0.1)");
  EXPECT_LT(o.elapsedMs, 500);
  const std::u16string request =
      u"request:\r\n"
      u"0800191B 00000000 20212223 24252627 28292A2B 00000000 00000000 00000000 \r\n"
      u"00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
      u"00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
      u"00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000\r\n"
      u"reply:  \r\n";
  ASSERT_EQ(o.dump.substr(0, request.size()), request);
  // The reply: IPv4 header from 127.0.0.1 (45 ..., protocol 1), then our
  // echo coming back as type 0 with the same payload; zeros after 40 bytes.
  const std::u16string reply = o.dump.substr(request.size());
  EXPECT_EQ(reply.substr(0, 2), u"45");
  EXPECT_EQ(reply.substr(27, 8), u"7F000001");  // source address, bytes 12..15
  EXPECT_EQ(reply.substr(45, 26), u"0000211B 00000000 20212223");
  EXPECT_EQ(reply.substr(72, 28), u"\r\n24252627 28292A2B 00000000");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(PingCheck, UnknownHostIsNeverSentTo) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the raw ICMP socket needs root";
  NetNamespace ns;
  ASSERT_TRUE(ns.ok());
  // In a namespace of our own, watch everything ICMP while pinging address 0
  // (the text 0.0.0.0 and a name the resolver does not know).
  const std::string seen = RunInChild(ns.name(), false, [] {
    IcmpSocket sniff;
    if (!sniff.Open() || sniff.SetNonBlocking(true) != 0) return std::string("no sniffer");
    SetHostResolver([](const std::string&) { return 0u; });
    std::string out;
    for (const char16_t* host : {u"0.0.0.0", u"no-such-host.invalid"}) {
      bool alive = true;
      std::u16string message, dump = u"(untouched)";
      const int status = PingCheck(host, alive, message, dump);
      out += std::to_string(status) + " " + ToUtf8(message) + " " + ToUtf8(dump) + (alive ? " alive" : "") + "\n";
    }
    sniff.WaitReadable(200);
    uint8_t buf[128];
    uint32_t from;
    int packets = 0;
    while (sniff.RecvFrom(buf, from) > 0) ++packets;
    return out + "packets " + std::to_string(packets);
  });
  EXPECT_EQ(seen,
            "-3 send packet error. (untouched)\n"
            "-3 send packet error. (untouched)\n"
            "packets 0");
}

TEST_F(PingNamespace, SilentHostTimesOutAfterAboutASecondWithTheLoopRunning) {
  const PingOutcome o = PingInChild(ns.name(), false, u"127.0.0.3");
  EXPECT_EQ(o.status, 10) << ToUtf8(o.message);
  EXPECT_FALSE(o.alive);
  EXPECT_EQ(o.message, u"Timeout !");
  EXPECT_EQ(o.dump, u"(untouched)");
  EXPECT_GE(o.elapsedMs, 950);
  EXPECT_LE(o.elapsedMs, 1500);
  EXPECT_GE(o.doEvents, 10);
  EXPECT_LE(o.longestGapMs, 150);  // pieces of 50 ms, with room for a loaded machine
}

TEST_F(PingNamespace, PollsAndSliceAreParameters) {
  const PingOutcome o = PingInChild(ns.name(), false, u"127.0.0.3", PingOptions{3, 20});
  EXPECT_EQ(o.status, 10);
  EXPECT_GE(o.elapsedMs, 55);
  EXPECT_LE(o.elapsedMs, 400);
}

TEST_F(PingNamespace, UnreachableHostOnTheRawPath) {
  const PingOutcome o = PingInChild(ns.name(), false, u"127.0.0.4");
  EXPECT_EQ(o.status, 1) << ToUtf8(o.message);
  EXPECT_FALSE(o.alive);
  EXPECT_EQ(o.message, u"Destination unreachable !  (127.0.0.4)");
  EXPECT_EQ(o.dump, u"(untouched)");
  EXPECT_LT(o.elapsedMs, 500);
}

TEST_F(PingNamespace, ForeignTrafficIsPassedOver) {
  // While we ping the silent host, another program pings a live and an
  // unreachable host with its own identifier: its replies and the errors
  // quoting its requests all reach our raw socket and must not be taken.
  const std::string result = RunInChild(ns.name(), false, [] {
    std::atomic<bool> stop{false};
    std::thread other([&] {
      const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
      std::vector<uint8_t> m = Echo(8, 0x4242, 1);
      uint8_t sum[2];
      IcmpCheckSum(m, static_cast<int16_t>(m.size()), sum);
      m[2] = sum[0];
      m[3] = sum[1];
      while (!stop) {
        for (const char* to : {"127.0.0.1", "127.0.0.4"}) {
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_addr.s_addr = inet_addr(to);
          sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
      close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const PingOutcome o = Ping(u"127.0.0.3");
    stop = true;
    other.join();
    return Encode(o);
  });
  const PingOutcome o = Decode(result);
  EXPECT_EQ(o.status, 10) << ToUtf8(o.message) << "\n" << ToUtf8(o.dump);
  EXPECT_EQ(o.message, u"Timeout !");
}

TEST_F(PingNamespace, DatagramFallbackWithoutRoot) {
  ASSERT_TRUE(ns.OpenPingGroupRange());
  // The socket layer itself: refused raw, the datagram socket instead.
  const std::string kind = RunInChild(ns.name(), true, [] {
    IcmpSocket s;
    if (!s.Open()) return std::string("refused ") + std::to_string(s.LastError());
    return std::string(s.Kind() == IcmpSocketKind::Datagram ? "datagram" : "raw");
  });
  EXPECT_EQ(kind, "datagram");

  // An error from the error queue comes back as the datagram a raw socket
  // reads: outer header, ICMP error, quoted header to the target, our request.
  const std::string error = RunInChild(ns.name(), true, [] {
    IcmpSocket s;
    std::vector<uint8_t> m = Echo(8, 0, 0);
    if (!s.Open() || s.SetNonBlocking(true) != 0 || s.SendTo(m, inet_addr("127.0.0.4")) != 20) return std::string("send");
    uint8_t d[128] = {};
    uint32_t from = 0;
    int n = -1;
    for (int i = 0; i < 20 && n < 0; ++i) {
      s.WaitReadable(50);
      n = s.RecvFrom(d, from);
    }
    std::ostringstream out;
    out << n << " v" << (d[0] >> 4) << " ihl" << (d[0] & 15) << " p" << int(d[9]) << " t" << int(d[20]) << " c"
        << int(d[21]) << " q" << (d[28] >> 4) << " qdst" << int(d[44]) << "." << int(d[47]) << " qt" << int(d[48])
        << " pay" << int(d[56]) << " sum" << int(d[22] | d[23]);
    uint8_t sum[2];
    IcmpCheckSum(std::span<const uint8_t>(d + 20, static_cast<size_t>(n - 20)), static_cast<int16_t>(n - 20), sum);
    out << " ok" << int(sum[0] | sum[1]) << " len" << (d[2] * 256 + d[3]);
    return out.str();
  });
  EXPECT_EQ(error.substr(0, error.find(" sum")), "68 v4 ihl5 p1 t3 c1 q4 qdst127.4 qt8 pay32");
  EXPECT_EQ(error.substr(error.find(" ok")), " ok0 len68");

  const PingOutcome live = PingInChild(ns.name(), true, u"127.0.0.1");
  EXPECT_EQ(live.status, 0) << ToUtf8(live.message);
  EXPECT_TRUE(live.alive);
  EXPECT_EQ(live.message, u"Target is alive.  40 bytes received.  (127.0.0.1)");
  // The reply reads as on the raw path: an IPv4 header put in front, type 0
  // at offset 20, the payload after the (rewritten) identifier.
  const size_t at = live.dump.find(u"reply:  \r\n");
  ASSERT_NE(at, std::u16string::npos);
  const std::u16string reply = live.dump.substr(at + 10);
  EXPECT_EQ(reply.substr(0, 2), u"45");
  EXPECT_EQ(reply.substr(27, 8), u"7F000001");
  EXPECT_EQ(reply.substr(45, 2), u"00");
  EXPECT_EQ(reply.substr(63, 8), u"20212223");
  EXPECT_EQ(reply.substr(74, 17), u"24252627 28292A2B");

  const PingOutcome unreachable = PingInChild(ns.name(), true, u"127.0.0.4");
  EXPECT_EQ(unreachable.status, 1) << ToUtf8(unreachable.message);
  EXPECT_EQ(unreachable.message, u"Destination unreachable !  (127.0.0.4)");
  EXPECT_LT(unreachable.elapsedMs, 500);

  const PingOutcome silent = PingInChild(ns.name(), true, u"127.0.0.3", PingOptions{5, 40});
  EXPECT_EQ(silent.status, 10) << ToUtf8(silent.message);
  EXPECT_GE(silent.elapsedMs, 190);
}

TEST_F(PingNamespace, NoIcmpSocketAtAllWithoutRootOrGroupRange) {
  // A fresh namespace lets no group open datagram ICMP sockets.
  const PingOutcome o = PingInChild(ns.name(), true, u"127.0.0.1");
  EXPECT_EQ(o.status, -1);
  EXPECT_EQ(o.message, u"socket open error.");
  EXPECT_EQ(o.dump, u"(untouched)");
}

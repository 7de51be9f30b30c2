#include "net/ping.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "net/cmdsession.h"
#include "net/hostaddr.h"
#include "net/icmphelper.h"
#include "net/icmpsocket.h"
#include "net/ip6literal.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Status = std::optional<int16_t>;

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

Ip6Address Six(const char* text) {
  Ip6Address a{};
  inet_pton(AF_INET6, text, a.data());
  return a;
}

// An IPv4 header of ihl words (at least five written; every byte 1 but version, length, protocol and destination,
// so options are NOPs) for protocol proto to dst, then body.
Bytes Ip(uint8_t proto, const char* dst, Bytes body, uint8_t ihl = 5, uint8_t version = 4) {
  Bytes d(std::max(ihl * 4u, 20u), 1);
  d[0] = static_cast<uint8_t>(version << 4 | ihl);
  d[9] = proto;
  inet_pton(AF_INET, dst, &d[16]);
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// An echo message of type (identifier and sequence low bytes) behind an IPv4 header.
Bytes Echo(uint8_t type, uint8_t id = 0, uint8_t seq = 0, uint8_t ihl = 5) {
  return Ip(1, "127.0.0.9", {type, 0, 0, 0, 0, id, 0, seq, 0x20, 0x21, 0x22, 0x23}, ihl);
}

// An ICMP error of type from 127.0.0.1 that quotes an echo request (identifier, sequence) in a packet of proto.
Bytes ErrorQuoting(uint8_t type, const char* quotedTarget, uint8_t id = 0, uint8_t seq = 0, uint8_t proto = 1) {
  Bytes icmp = {type, 0, 0, 0, 0, 0, 0, 0};
  const Bytes quoted = Ip(proto, quotedTarget, {8, 0, 0, 0, 0, id, 0, seq});
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  return Ip(1, "127.0.0.1", icmp);
}

// An ICMPv6 message as a raw ICMPv6 socket reads it: no IP header.
Bytes Echo6(uint8_t type, uint8_t id = 0, uint8_t seq = 0) { return {type, 0, 0, 0, 0, id, 0, seq, 0x20, 0x21, 0x22}; }

// An ICMPv6 error that quotes an IPv6 header to quotedTarget (nextHeader, version), then an echo request.
Bytes Error6Quoting(uint8_t type, const char* quotedTarget, uint8_t id = 0, uint8_t seq = 0, uint8_t nextHeader = 58,
                    uint8_t version = 6) {
  Bytes m = {type, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(version << 4), 0, 0, 0, 0, 8, nextHeader, 64};
  m.resize(m.size() + 16);
  const Ip6Address dst = Six(quotedTarget);
  m.insert(m.end(), dst.begin(), dst.end());
  m.insert(m.end(), {128, 0, 0, 0, 0, id, 0, seq});
  return m;
}

// A network namespace of the test's own: loopback only, so nothing leaves the machine; deleted again at the end.
struct NetNamespace {
  std::string name = "velkor-ping-" + std::to_string(getpid());
  ~NetNamespace() { Sh("ip netns del " + name); }
  bool Run(const std::string& command) const { return Sh("ip netns exec " + name + " " + command); }
  bool Enter() const {  // moves the calling thread into it
    const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0 && close(fd) == 0;
  }
};

// The n-th CPU this process may run on (from 0), or -1.
int AllowedCpu(int n) {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set) && n-- == 0) return cpu;
  return -1;
}

bool PinTo(int cpu) {  // the calling thread
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0) CPU_SET(cpu, &set);
  return cpu >= 0 && sched_setaffinity(0, sizeof set, &set) == 0;
}

// PingCheck in a child inside ns (on the given CPU where there is one), as root or as nobody, for the family, where
// six.test is 2001:db8::6, unreach.test 2001:db8::4 and every other name both ::1 and 127.0.0.1: "status[ alive]
// message\ndump", with a note where the message loop stood still for more than 500 ms: a wait that does not go in
// slices stands still for the whole one-second wait, while a busy machine may hold a slice up a few hundred ms.
std::string PingIn(const NetNamespace& ns, bool asNobody, const char* host, int cpu, AddressFamily family) {
  return InChild([&] {
    PinTo(cpu);
    SessionOptions options = GetSessionOptions();
    options.family = family;
    SetSessionOptions(options);
    SetHostAddressLookup([](const std::string& name) {
      auto a = [](const char* text) { return *ParseHostAddress(text); };
      if (name == "six.test") return AddressLookupAnswer{{a("2001:db8::6")}, 0};
      if (name == "unreach.test") return AddressLookupAnswer{{a("2001:db8::4")}, 0};
      return AddressLookupAnswer{{a("::1"), a("127.0.0.1")}, 0};
    });
    bool alive = false;
    std::u16string message = u"no namespace or root kept", dump = u"-";
    int64_t last = MonotonicMs(), gap = 0;
    SetDoEventsHook([&] { gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs(); });
    const int status = ns.Enter() && (!asNobody || DropRoot()) ? PingCheck(FromUtf8(host), alive, message, dump) : -100;
    return std::to_string(status) + (alive ? " alive " : " ") + ToUtf8(message) +
           (std::max(gap, MonotonicMs() - last) > 500 ? " STALLED" : "") + "\n" + ToUtf8(dump);
  });
}

// text with a '?' wherever pattern has one; a pattern ending in '*' matches any rest.
std::string Masked(std::string text, const std::string& pattern) {
  if (pattern.ends_with('*') && text.size() >= pattern.size()) text.replace(pattern.size() - 1, std::string::npos, "*");
  for (size_t i = 0; i < std::min(text.size(), pattern.size()); ++i) text[i] = pattern[i] == '?' ? '?' : text[i];
  return text;
}

// The request as dumped, from its first word on (IPv4 summed, IPv6 left to the kernel), then the reply's heading.
std::string Dumped(const std::string& first) {
  const std::string zeros = "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000";
  return "request:\r\n" + first + " 00000000 20212223 24252627 28292A2B 00000000 00000000 00000000 \r\n" + zeros +
         " \r\n" + zeros + " \r\n" + zeros + "\r\nreply:  \r\n";
}

enum As { kRoot, kNobodyInPingGroup, kNobodyWithHelper };

// The built helper with its capability beside the program, in a 0711 directory where nobody may reach it (the
// checkout is not theirs to enter). Once per program directory: a copy a helper still runs cannot be written over.
bool PlaceHelper(const ProgramInTempDir& program) {
  const std::string helper = "'" + program.file("velkor-icmp") + "'";
  return Sh("chmod 711 '" + program.dir().path() + "' && { [ -e " + helper + " ] || { cp " VELKOR_ICMP_HELPER " " +
            helper + " && setcap cap_net_raw+ep " + helper + "; }; }");
}

// Processes running the file at path (by their executable), as "pid pid ...".
std::string ProcessesOf(const std::string& path) {
  std::string pids;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path() / "exe", ec) == path && !ec) pids += e.path().filename().string() + " ";
  }
  return pids;
}

// One answer of the helper: "stage error [bytes]", "fd!" when a descriptor came along, "hangup" when it ended
// without one.
std::string HelperAnswer(int channel) {
  pollfd p{channel, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) return "silent";
  uint8_t data[512];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  iovec iov{data, sizeof data};
  msghdr msg{nullptr, 0, &iov, 1, control, sizeof control, 0};
  const ssize_t n = recvmsg(channel, &msg, MSG_CMSG_CLOEXEC);
  if (CMSG_FIRSTHDR(&msg)) return "fd!";
  if (n <= 0) return "hangup";
  if (static_cast<size_t>(n) < sizeof(IcmpHelperAnswer)) return "short " + std::to_string(n);
  IcmpHelperAnswer head;
  std::memcpy(&head, data, sizeof head);
  return std::to_string(head.stage) + " " + std::to_string(head.error) +
         (static_cast<size_t>(n) > sizeof head ? " " + std::to_string(n - sizeof head) : "");
}

}  // namespace

TEST(IcmpCheckSum, OnesComplementOfTheWordSum) {
  const struct { Bytes data; int16_t length; uint8_t high, low; } cases[] = {
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 8, 0x22, 0x0D},  // the RFC 1071 example: sum DDF2
      {{0x12, 0x34, 0x56, 0xFF}, 3, 0x97, 0xCB},  // an odd length pairs the last byte with zero
      {{0xFF, 0xFF, 0x00, 0x01}, 4, 0xFF, 0xFE},  // carries fold back in
  };
  for (const auto& c : cases) {
    uint8_t sum[2];
    IcmpCheckSum(c.data, c.length, sum);
    EXPECT_EQ((std::vector<int>{sum[0], sum[1]}), (std::vector<int>{c.high, c.low})) << "length " << c.length;
  }
}

// Every kind of message a socket may read for a request to 127.0.0.9 or 2001:db8::9, as a raw socket reads it (IPv4:
// header first; ICMPv6: the message alone) and as the datagram path hands it over (kernel-filtered): the root path's
// status, the helper's (it hands back only what answers the request, which the check then classifies: the same), and
// the datagram path's. ICMPv6 errors get their IPv4 counterparts' statuses: unreachable and packet too big (IPv4's
// "fragmentation needed") are 1, time exceeded and parameter problem 999; neighbour discovery is no answer.
TEST(IcmpReplyStatus, EveryKindThroughEveryPath) {
  const char *target = "127.0.0.9", *other = "127.0.0.8", *target6 = "2001:db8::9", *other6 = "2001:db8::8";
  Bytes truncated = ErrorQuoting(3, target), truncated6 = Error6Quoting(1, target6);
  truncated.pop_back();
  truncated6.pop_back();
  const struct { const char* kind; Bytes m; const char* from; Status raw, datagram; } rows[] = {
      {"echo reply", Echo(0), target, 0, 0},
      {"echo reply, header with options (its length is read)", Echo(0, 0, 0, 6), target, 0, 0},
      {"echo reply, the ICMP header alone", Ip(1, target, {0, 0, 0, 0, 0, 0, 0, 0}), target, 0, 0},
      {"echo reply, a byte short of the ICMP header", Ip(1, target, {0, 0, 0, 0, 0, 0, 0}), target, {}, {}},
      {"echo reply, a header length under five words", Echo(0, 0, 0, 4), target, {}, {}},
      {"echo reply from another host", Echo(0), other, {}, {}},
      {"echo reply, another identifier (the kernel's own on the datagram path)", Echo(0, 0x42), target, {}, 0},
      {"echo reply, another sequence", Echo(0, 0, 7), target, {}, 0},
      {"our own request on loopback", Echo(8), target, {}, {}},
      {"destination unreachable", ErrorQuoting(3, target), other, 1, 1},
      {"source quench", ErrorQuoting(4, target), other, 999, 999},
      {"time exceeded", ErrorQuoting(11, target), other, 999, 999},
      {"parameter problem", ErrorQuoting(12, target), other, 999, 999},
      {"redirect (advice, not an error)", ErrorQuoting(5, target), other, {}, {}},
      {"error about a request to another host", ErrorQuoting(3, other), other, {}, 1},
      {"error about another identifier", ErrorQuoting(3, target, 0x42), other, {}, 1},
      {"error about another sequence", ErrorQuoting(11, target, 0, 3), other, {}, 999},
      {"error about a UDP datagram", ErrorQuoting(3, target, 0, 0, 17), other, {}, 1},
      {"error quoting too little", truncated, other, {}, 1},
      {"not IPv4", Ip(1, target, {0, 0, 0, 0, 0, 0, 0, 0}, 5, 6), target, {}, {}},
      {"not ICMP", Ip(17, target, {0, 0, 0, 0, 0, 0, 0, 0}), target, {}, {}},
      {"v6 echo reply", Echo6(129), target6, 0, 0},
      {"v6 echo reply, the ICMPv6 header alone", {129, 0, 0, 0, 0, 0, 0, 0}, target6, 0, 0},
      {"v6 echo reply, a byte short of it", {129, 0, 0, 0, 0, 0, 0}, target6, {}, {}},
      {"v6 echo reply from another host", Echo6(129), other6, {}, {}},
      {"v6 echo reply, another identifier", Echo6(129, 0x42), target6, {}, 0},
      {"v6 echo reply, another sequence", Echo6(129, 0, 7), target6, {}, 0},
      {"v6 our own request on loopback", Echo6(128), target6, {}, {}},
      {"v6 neighbour solicitation", Echo6(135), target6, {}, {}},
      {"v6 router advert", Echo6(134), other6, {}, {}},
      {"v6 type 0, under the errors", Error6Quoting(0, target6), other6, {}, {}},
      {"v6 destination unreachable", Error6Quoting(1, target6), other6, 1, 1},
      {"v6 packet too big", Error6Quoting(2, target6), other6, 1, 1},
      {"v6 time exceeded", Error6Quoting(3, target6), other6, 999, 999},
      {"v6 parameter problem", Error6Quoting(4, target6), other6, 999, 999},
      {"v6 type 5, over the errors", Error6Quoting(5, target6), other6, {}, {}},
      {"v6 redirect (advice, not an error)", Error6Quoting(137, target6), other6, {}, {}},
      {"v6 error about a request to another host", Error6Quoting(1, other6), other6, {}, 1},
      {"v6 error about another identifier", Error6Quoting(1, target6, 0x42), other6, {}, 1},
      {"v6 error about another sequence", Error6Quoting(3, target6, 0, 3), other6, {}, 999},
      {"v6 error about a UDP datagram", Error6Quoting(1, target6, 0, 0, 17), other6, {}, 1},
      {"v6 error quoting no IPv6 header", Error6Quoting(1, target6, 0, 0, 58, 4), other6, {}, 1},
      {"v6 error quoting too little", truncated6, other6, {}, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.kind);
    Status helper, root, datagram;
    if (std::strchr(r.from, ':')) {
      const Ip6Address from = Six(r.from), to = Six(target6);
      root = Icmp6ReplyStatus(r.m, from, to, false);
      datagram = Icmp6ReplyStatus(r.m, from, to, true);
      if (IcmpHelperAnswers6(r.m.data(), r.m.size(), from.data(), to.data(), 0, 0)) helper = root;
    } else {
      const uint32_t from = inet_addr(r.from), to = inet_addr(target);
      root = IcmpReplyStatus(r.m, from, to, false);
      datagram = IcmpReplyStatus(r.m, from, to, true);
      if (IcmpHelperAnswers(r.m.data(), r.m.size(), from, to, 0, 0)) helper = root;
    }
    EXPECT_EQ(root, r.raw);
    EXPECT_EQ(helper, r.raw);
    EXPECT_EQ(datagram, r.datagram);
  }
}

// What counts as an IPv6 literal (and so goes over ICMPv6 and to the IPv6 share listing), and what stays on the
// IPv4 path: names and IPv4 addresses, exactly as before; then which addresses are one host.
TEST(Ip6Literal, BareOrBracketedAddressesOnly) {
  const struct { const char16_t* host; const char* address; } rows[] = {
      {u"::1", "::1"},
      {u"[::1]", "::1"},
      {u"2001:db8::25", "2001:db8::25"},
      {u"[2001:DB8:0:0:0:0:0:25]", "2001:db8::25"},
      {u"::ffff:127.0.0.1", "::ffff:127.0.0.1"},  // a literal, refused later as no one host
      // Names and IPv4 addresses; broken brackets; a zone (it would need an interface); nine groups; ":::";
      // full-width digits.
      {u"127.0.0.1", "none"}, {u"localhost", "none"}, {u"server.example", "none"}, {u"[::1", "none"},
      {u"::1]", "none"}, {u"[[::1]]", "none"}, {u"[]", "none"}, {u" ::1", "none"}, {u"fe80::1%eth0", "none"},
      {u"1:2:3:4:5:6:7:8:9", "none"}, {u"2001:db8:::25", "none"}, {u"１２::1", "none"},
  };
  for (const auto& r : rows) {
    const std::optional<Ip6Address> got = Ip6Literal(r.host);
    EXPECT_EQ(got ? ToUtf8(Ip6Text(*got)) : "none", r.address) << ToUtf8(r.host);
  }
  const struct { const char* address; bool one; } hosts[] = {
      {"::1", true},   {"2001:db8::25", true}, {"fe80::1", true},         {"::", false},
      {"ff02::1", false}, {"ff05::2", false},  {"::ffff:10.0.0.1", false},
  };
  for (const auto& h : hosts) {
    EXPECT_EQ(Ip6IsOneHost(Six(h.address)), h.one) << h.address;
    EXPECT_EQ(IcmpHelperIsOneHost6(Six(h.address).data()), h.one) << h.address;
  }
}

// A loopback-only namespace where 127.0.0.3 and 2001:db8::3 stay silent, 127.0.0.4 answers "host unreachable" and
// 2001:db8::4 "address unreachable", and the kernel's echo replies from 127.0.0.5, .6 and 2001:db8::5 are dropped.
// A hostile neighbour answers a request to .5 or 2001:db8::5 with a forged "time exceeded" quoting it, and one to .6
// with a flood of echo replies from 127.0.0.1 that carry its identifier (so that they reach the datagram socket too)
// until the row is over; meanwhile it sends, as another program would, the same request to 127.0.0.1 and 127.0.0.4:
// its replies and the errors quoting its requests reach our raw socket too and must be passed over. Through the raw
// socket (root), the datagram socket (nobody in ping_group_range, its errors rebuilt into the raw form) and the
// helper (nobody, no group): the same statuses, texts and dumps.
TEST(PingCheck, AnswersInANamespaceOfItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  ProgramInTempDir program;  // anything reported goes to a log of its own
  NetNamespace ns;
  const std::string helper = program.file("velkor-icmp"), n = " -n " + ns.name + " ";
  ASSERT_TRUE(Sh("ip netns add " + ns.name) && Sh("ip" + n + "link set lo up") &&
              Sh("for a in 3 4 5 6; do ip" + n + "addr add 2001:db8::$a/128 dev lo nodad || exit 1; done") &&
              ns.Run("nft 'add table inet v { chain c { type filter hook input priority 0; ip daddr 127.0.0.3 icmp "
                     "type echo-request drop; ip daddr 127.0.0.4 icmp type echo-request reject with icmp type "
                     "host-unreachable; ip6 daddr 2001:db8::3 icmpv6 type echo-request drop; ip6 daddr 2001:db8::4 "
                     "icmpv6 type echo-request reject with icmpv6 type addr-unreachable; }; chain o { type filter "
                     "hook output priority 0; ip saddr { 127.0.0.5, 127.0.0.6 } icmp type echo-reply drop; ip6 saddr "
                     "2001:db8::5 icmpv6 type echo-reply drop; }; }'"));
  std::atomic<bool> stop{false};
  // Odd while a row runs: the flood ends with its own row, even when the next one starts before it looks again.
  std::atomic<unsigned> row{0};
  // The flood goes flat out from a CPU of its own (up to three seconds), so that the replies keep coming faster
  // than the ping can take them, as from a fast link. Not at real-time priority: that starved the tests beside it.
  const int floodCpu = AllowedCpu(0), pingCpu = AllowedCpu(1);
  std::thread neighbour([&] {
    const int fd = ns.Enter() ? socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP) : -1;
    if (pingCpu >= 0) PinTo(floodCpu);
    auto sendTo = [&](const char* host, Bytes m) {
      uint8_t sum[2];
      IcmpCheckSum(m, static_cast<int16_t>(m.size()), sum);
      m[2] = sum[0], m[3] = sum[1];
      const sockaddr_in to{AF_INET, 0, {inet_addr(host)}, {}};
      sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    for (int64_t next = 0; fd >= 0 && !stop;) {
      if (MonotonicMs() >= next) {  // the other program's requests
        const Bytes request = {8, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29,
                               0x2A, 0x2B};
        sendTo("127.0.0.1", request);
        sendTo("127.0.0.4", request);
        next = MonotonicMs() + 30;
      }
      uint8_t d[1500];
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0 || recv(fd, d, sizeof d, 0) < 28 || d[0] != 0x45 || d[20] != 8) continue;
      if (d[19] == 5) {
        Bytes m = {11, 0, 0, 0, 0, 0, 0, 0};  // time exceeded: the request's header and first eight bytes
        sendTo("127.0.0.1", (m.insert(m.end(), d, d + 28), m));
      } else if (d[19] == 6) {
        const Bytes reply = {0, 0, 0, 0, d[24], d[25], d[26], d[27], 0x20, 0x21, 0x22, 0x23};
        const unsigned mine = row;
        for (const int64_t end = MonotonicMs() + 3000; mine % 2 && row == mine && MonotonicMs() < end;)
          sendTo("127.0.0.1", reply);
        while (recv(fd, d, sizeof d, 0) > 0) {
        }
      }
    }
    close(fd);
  });
  // Its ICMPv6 side: a raw socket bound to 2001:db8::5, so that only the requests to it come in.
  std::thread neighbour6([&] {
    const int fd = ns.Enter() ? socket(AF_INET6, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMPV6) : -1;
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    sockaddr_in6 five{AF_INET6, 0, 0, {}, 0}, from{};
    inet_pton(AF_INET6, "2001:db8::5", &five.sin6_addr);
    bind(fd, reinterpret_cast<const sockaddr*>(&five), sizeof five);
    for (pollfd p{fd, POLLIN, 0}; fd >= 0 && !stop;) {
      uint8_t m[1500];
      socklen_t length = sizeof from;
      ssize_t n;
      if (poll(&p, 1, 10) <= 0 || (n = recvfrom(fd, m, sizeof m, 0, reinterpret_cast<sockaddr*>(&from), &length)) < 8)
        continue;
      // Time exceeded: the request's IPv6 header (as it came) and the request behind an ICMPv6 header.
      Bytes e = {3, 0, 0, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, static_cast<uint8_t>(n), 58, 64};
      e.insert(e.end(), from.sin6_addr.s6_addr, from.sin6_addr.s6_addr + 16);
      e.insert(e.end(), five.sin6_addr.s6_addr, five.sin6_addr.s6_addr + 16);
      e.insert(e.end(), m, m + n);
      sendto(fd, e.data(), e.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    }
    close(fd);
  });
  // Nobody, with neither socket nor a helper.
  EXPECT_EQ(PingIn(ns, true, "127.0.0.1", pingCpu, AddressFamily::Any),
            "-1 socket open error.\r\nTo enable ICMP: setcap cap_net_raw+ep " + helper +
                " (as root), or add your group to net.ipv4.ping_group_range.\n-");
  const std::string alive = "0 alive Target is alive.  40 bytes received.  (127.0.0.1)\n" + Dumped("0800191B") +
                            "45000028 ???????? ??01???? 7F000001 7F000001 ";
  const std::string other = "999 Received something...\n" + Dumped("0800191B") +
                            "45000038 ???????? ??01???? 7F000001 7F000001 0B00???? 00000000 ";
  // A raw ICMPv6 socket delivers no IP header: the count is the 20-byte echo reply alone.
  const std::string alive6 = "0 alive Target is alive.  20 bytes received.  (::1)\n" + Dumped("80000000");
  // The neighbour's "time exceeded": the error, the quoted IPv6 header (the source is this host's choice), the
  // quoted request (the datagram socket's identifier is the kernel's).
  auto exceeded6 = [](const char* identifier) {
    return "999 Received something...\n" + Dumped("80000000") +
           "0300???? 00000000 60000000 00143A40 ???????? ???????? ???????? ???????? \r\n"
           "20010DB8 00000000 00000000 00000005 8000???? " + std::string(identifier) + " 20212223 24252627 \r\n"
           "28292A2B 00000000*";
  };
  const std::string timeout = "10 Timeout !\n-", unreachable6 = "1 Destination unreachable !  (2001:db8::4)\n-";
  const std::string unsent = "-3 send packet error.\n-";
  // Each host as root (raw socket); then, where a row gives the datagram socket's text ("=": the same), as nobody
  // in ping_group_range, and as nobody through the helper, whose answers give the raw socket's texts and dumps.
  using F = AddressFamily;
  const struct { const char* host; std::string raw, datagram = ""; F family = F::Any; } rows[] = {
      {"0.0.0.0", unsent},  // would reach this machine: never sent
      {"127.0.0.3", timeout, "="},
      {"127.0.0.4", "1 Destination unreachable !  (127.0.0.4)\n-", "="},
      {"127.0.0.1", alive + "0000211B 00000000 20212223 \r\n24252627 28292A2B 00000000*",
       alive + "0000???? ????0000 20212223 \r\n24252627 28292A2B 00000000*"},
      {"127.0.0.5", other + "45000028 \r\n???????? ??01???? 7F000001 7F000005 0800191B 00000000 00000000 00000000*",
       other + "4500001C \r\n???????? ??01???? 7F000001 7F000005 0800???? ????0000 00000000 00000000*"},
      {"127.0.0.6", timeout, "="},  // and the message loop kept running
      {"::1", alive6 + "8100???? 00000000 20212223 24252627 28292A2B 00000000*",
       alive6 + "8100???? ????0000 20212223 24252627 28292A2B 00000000*"},
      {"[::1]", alive6 + "8100???? 00000000 20212223 24252627 28292A2B 00000000*"},
      {"2001:db8::3", timeout, "="},
      {"[2001:db8::4]", unreachable6, "="},
      {"2001:db8::6", "0 alive Target is alive.  20 bytes received.  (2001:db8::6)\n" + Dumped("80000000") +
                          "8100???? 00000000 20212223*"},
      {"2001:db8::5", exceeded6("00000000"), exceeded6("????0000")},
      {"::", unsent},  // would reach this machine: never sent
      {"ff02::1", unsent},  // a group, not one host
      // A name at the address the lookup gives it: an IPv6-only name over ICMPv6, a dual-stack name at its IPv4
      // address as it always was, or its IPv6 one under the IPv6 family; IPv4 alone finds nothing to send to.
      {"six.test", "0 alive Target is alive.  20 bytes received.  (2001:db8::6)\n*"},
      {"unreach.test", unreachable6},
      {"dual.test", "0 alive Target is alive.  40 bytes received.  (127.0.0.1)\n*"},
      {"dual.test", "0 alive Target is alive.  20 bytes received.  (::1)\n*", "", F::V6},
      {"six.test", unsent, "", F::V4},
  };
  for (const As as : {kRoot, kNobodyInPingGroup, kNobodyWithHelper}) {
    if (as == kNobodyInPingGroup) {
      EXPECT_TRUE(ns.Run("sysctl -w net.ipv4.ping_group_range='0 2147483647'"));
    } else if (as == kNobodyWithHelper) {
      EXPECT_TRUE(PlaceHelper(program) && ns.Run("sysctl -w net.ipv4.ping_group_range='1 0'"));
      EXPECT_TRUE(ns.Run("sysctl -n net.ipv4.ping_group_range | grep -qx '1.0'"));  // no datagram socket
    }
    for (const auto& r : rows) {
      if (as != kRoot && r.datagram.empty()) continue;
      SCOPED_TRACE(std::string(r.host) + " as " + std::to_string(as));
      const std::string& expect = as == kNobodyInPingGroup && r.datagram != "=" ? r.datagram : r.raw;
      const int64_t start = MonotonicMs();
      ++row;
      EXPECT_EQ(Masked(PingIn(ns, as != kRoot, r.host, pingCpu, r.family), expect), expect);
      ++row;
      // An answer comes at once, a silence waits out the one-second wait: the bounds tell the two apart with room
      // for a busy machine (the speed itself is the benchmark's).
      const int64_t took = MonotonicMs() - start;
      EXPECT_GE(took, expect == timeout ? 950 : 0);
      EXPECT_LE(took, expect == timeout ? 5000 : 900);
    }
  }

  // The raw ICMPv6 socket lets in only echo replies and the errors that may quote a request: neighbour discovery,
  // router adverts, multicast listener reports and echo requests sent to this host never reach the reply wait.
  const std::string types = InChild([&] {
    IcmpSocket sock;
    if (!ns.Enter() || !sock.Open(AF_INET6) || sock.Kind() != IcmpSocketKind::Raw || sock.SetNonBlocking(true) != 0)
      return std::string("no raw socket");
    const int sender = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    const sockaddr_in6 to{AF_INET6, 0, 0, in6addr_loopback, 0};
    // Echo request (whose reply, 129, comes back), then router solicitation, router advert, neighbour
    // solicitation and advert, a listener report, a redirect, and an unreachable and a time exceeded.
    for (const uint8_t type : {128, 133, 134, 135, 136, 143, 137, 1, 3}) {
      const uint8_t m[56] = {type};
      sendto(sender, m, sizeof m, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    std::string seen;
    for (const int64_t end = MonotonicMs() + 300; MonotonicMs() < end;) {
      std::array<uint8_t, 128> buffer{};
      Ip6Address from{};
      if (sock.RecvFrom(buffer, from) > 0) seen += std::to_string(buffer[0]) + " ";
      else sock.WaitReadable(20);
    }
    return seen;
  });
  EXPECT_EQ(types, "129 1 3 ");

  // The check's process is killed while the helper waits for the silent host: the helper sees its caller hang up
  // and ends at once, long before its wait would have.
  EXPECT_TRUE(ns.Run("sysctl -w net.ipv4.ping_group_range='1 0'"));
  const pid_t caller = fork();
  if (caller == 0) {
    bool alive = false;
    std::u16string message, dump;
    if (ns.Enter() && DropRoot()) PingCheck(u"127.0.0.3", alive, message, dump, {100, 100});  // ten seconds
    _exit(0);
  }
  std::string running;
  for (const int64_t end = MonotonicMs() + 5000; running.empty() && MonotonicMs() < end; SleepMs(10))
    running = ProcessesOf(helper);
  EXPECT_FALSE(running.empty());
  SleepMs(200);  // in the middle of its wait
  EXPECT_EQ(kill(caller, SIGKILL), 0);
  waitpid(caller, nullptr, 0);
  const int64_t killed = MonotonicMs();
  while (!ProcessesOf(helper).empty() && MonotonicMs() - killed < 3000) SleepMs(10);
  EXPECT_EQ(ProcessesOf(helper), "");
  EXPECT_LT(MonotonicMs() - killed, 1000);
  stop = true;
  neighbour.join();
  neighbour6.join();
}

// A name is looked up once: the address shown is the one pinged, though a second lookup would give another. An
// unexpected failure in the middle of a ping (here the message loop, while the lookup waits) is reported, and the
// socket is closed all the same: one left open per failure would add up over months of monitoring.
TEST(PingCheck, OneLookupAndNoSocketLeftByAFailure) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (raw sockets)";
  ProgramInTempDir program;
  uint32_t next = inet_addr("127.0.0.1");
  SetHostResolver([&](const std::string&) { return std::exchange(next, inet_addr("127.0.0.2")); });
  bool alive = false;
  std::u16string message, dump;
  EXPECT_EQ(PingCheck(u"pinged.test", alive, message, dump), 0);
  EXPECT_EQ(ToUtf8(message), "Target is alive.  40 bytes received.  (127.0.0.1)");
  const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = descriptors();
  SetHostResolver([](const std::string&) { return SleepMs(200), 0u; });
  SetDoEventsHook([] { throw std::runtime_error("broken"); });
  EXPECT_EQ(PingCheck(u"pinged.test", alive, message, dump), 0);
  SetDoEventsHook(nullptr);
  SetHostResolver(nullptr);
  EXPECT_EQ(descriptors(), before);
  const std::u16string report = u"AppInitERR:エラー番号 : 7099 -- vktest でエラーが発生しました。 broken";
  EXPECT_EQ(program.errorLog().find(report), 25u) << ToUtf8(program.errorLog());  // after " stamp *** "
}

// Another user runs the helper by hand: it hands out no socket (on which IP_HDRINCL would forge any packet), sends
// only one echo request to one host with a payload of at most 256 bytes, hands back only its answer, and exits.
TEST(IcmpHelper, GivesNoSocketAndSendsOnlyOneEchoToOneHost) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (the helper's capability)";
  ProgramInTempDir program;
  ASSERT_TRUE(PlaceHelper(program));
  const std::string helper = program.file("velkor-icmp");
  // A request to address (its family but where one is given), waiting waitMs.
  auto request = [](const char* address, uint16_t payload = 12, uint8_t family = 0, uint32_t waitMs = 2000) {
    IcmpHelperRequest r{};
    const bool six = std::strchr(address, ':');
    r.family = family ? family : six ? kIcmpFamilyIPv6 : kIcmpFamilyIPv4;
    inet_pton(six ? AF_INET6 : AF_INET, address, r.address);
    r.identifier = 0x4242;
    r.sequence = 7;
    r.waitMs = waitMs;
    r.payloadLength = payload;
    return r;
  };
  const uint16_t most = kIcmpHelperMaxPayload;
  using Requests = std::vector<IcmpHelperRequest>;
  const struct { const char* what; uint8_t family; Requests requests; const char* answers; } rows[] = {
      {"one echo to 127.0.0.1", 4, {request("127.0.0.1")}, "1 0|2 0|3 0 40|hangup"},
      {"the largest payload", 4, {request("127.0.0.1", most)}, "1 0|2 0|3 0 284|hangup"},
      {"a longer wait than allowed: cut to the cap, not refused", 4,
       {request("127.0.0.1", 12, 0, kIcmpHelperMaxWaitMs + 1)}, "1 0|2 0|3 0 40|hangup"},
      {"a multicast group", 4, {request("224.0.0.1")}, "1 0|2 22|hangup"},
      {"the broadcast address", 4, {request("255.255.255.255")}, "1 0|2 22|hangup"},
      {"a payload over the bound", 4, {request("127.0.0.1", most + 1)}, "1 0|2 22|hangup"},
      {"another family than opened", 4, {request("127.0.0.1", 12, kIcmpFamilyIPv6)}, "1 0|2 22|hangup"},
      {"one echo to ::1 (the ICMPv6 message alone comes back)", 6, {request("::1")}, "1 0|2 0|3 0 20|hangup"},
      {"the largest IPv6 payload", 6, {request("::1", most)}, "1 0|2 0|3 0 264|hangup"},
      {"an IPv6 multicast group", 6, {request("ff02::1")}, "1 0|2 22|hangup"},
      {"the unspecified IPv6 address", 6, {request("::")}, "1 0|2 22|hangup"},
      {"an IPv4-mapped address", 6, {request("::ffff:127.0.0.1")}, "1 0|2 22|hangup"},
      {"an IPv6 payload over the bound", 6, {request("::1", most + 1)}, "1 0|2 22|hangup"},
      {"IPv4 on a socket opened for IPv6", 6, {request("127.0.0.1")}, "1 0|2 22|hangup"},
      {"a family it does not know", 5, {}, "1 97|hangup"},
  };
  for (const auto& row : rows) {
    const std::string got = AsNobody([&] {
      int channel[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) return std::string("no channel");
      const pid_t pid = fork();
      if (pid == 0) {  // started by hand as the caller would
        dup2(channel[1], 0);
        char* argv[] = {const_cast<char*>(helper.c_str()), nullptr};
        char* envp[] = {nullptr};
        execve(helper.c_str(), argv, envp);
        _exit(127);
      }
      close(channel[1]);
      const IcmpHelperOpen open{row.family};
      send(channel[0], &open, sizeof open, MSG_NOSIGNAL);
      std::string answers = HelperAnswer(channel[0]);
      for (const IcmpHelperRequest& r : row.requests) {
        send(channel[0], &r, sizeof r, MSG_NOSIGNAL);
        answers += "|" + HelperAnswer(channel[0]);
        if (answers.ends_with("|2 0")) answers += "|" + HelperAnswer(channel[0]);
      }
      answers += "|" + HelperAnswer(channel[0]);
      waitpid(pid, nullptr, 0);
      close(channel[0]);
      return answers;
    });
    EXPECT_EQ(got, row.answers) << row.what;
  }
}

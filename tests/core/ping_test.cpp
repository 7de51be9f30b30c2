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
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "net/cmdsession.h"
#include "net/failreason.h"
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

// An echo message (type, identifier and sequence low bytes) behind an IPv4 header of ihl words: version, length and
// protocol set, every other byte 1 (so options are NOPs).
std::vector<uint8_t> Echo(uint8_t type, uint8_t id, uint8_t seq, uint8_t ihl = 5) {
  std::vector<uint8_t> d(ihl * 4u, 1);
  d[0] = static_cast<uint8_t>(0x40 | ihl);
  d[9] = 1;
  d.insert(d.end(), {type, 0, 0, 0, 0, id, 0, seq, 0x20, 0x21, 0x22, 0x23});
  return d;
}

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A network namespace of the test's own: loopback only, so nothing leaves the machine; deleted again at the end.
struct NetNamespace {
  std::string name = "velkor-ping-" + std::to_string(getpid());
  ~NetNamespace() { Sh("ip netns del " + name); }
};

bool Enter(const NetNamespace& ns) {  // moves the calling thread into ns
  const int fd = open(("/run/netns/" + ns.name).c_str(), O_RDONLY | O_CLOEXEC);
  return fd >= 0 && setns(fd, CLONE_NEWNET) == 0 && close(fd) == 0;
}

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

// PingCheck in a child inside ns (on the given CPU where there is one), as root or as nobody: "status[ alive]
// message\ndump" ("-": untouched), with a note where the message loop stood still for more than 500 ms: a wait
// that does not go in slices stands still for the whole one-second wait, while a busy machine (a sanitized build,
// the helper started beside other tests) may hold a slice up a few hundred milliseconds.
std::string PingIn(const NetNamespace& ns, bool asNobody, const char* host, int cpu) {
  return InChild([&] {
    PinTo(cpu);
    bool alive = false;
    std::u16string message = u"no namespace or root kept", dump = u"-";
    int64_t last = MonotonicMs(), gap = 0;
    SetDoEventsHook([&] { gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs(); });
    const int status = Enter(ns) && (!asNobody || DropRoot()) ? PingCheck(FromUtf8(host), alive, message, dump) : -100;
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

const std::string kRequest =
    "request:\r\n"
    "0800191B 00000000 20212223 24252627 28292A2B 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000\r\n"
    "reply:  \r\n";
const std::string kAlive = "0 alive Target is alive.  40 bytes received.  (127.0.0.1)\n" + kRequest;
// A "time exceeded" quoting our request to 127.0.0.5: status 999 with both buffers dumped.
const std::string kOther = "999 Received something...\n" + kRequest;
enum As { kRoot, kNobody, kNobodyWithHelper, kNobodyInPingGroup };

// The built helper with its capability beside the program, in a 0711 directory where nobody may reach it (the
// checkout is not theirs to enter).
// Once per program directory: a copy that a helper of an earlier row still runs cannot be written over.
bool PlaceHelper(const ProgramInTempDir& program) {
  const std::string helper = "'" + program.file("velkor-icmp") + "'";
  return Sh("chmod 711 '" + program.dir().path() + "' && { [ -e " + helper + " ] || { cp " VELKOR_ICMP_HELPER " " +
            helper + " && setcap cap_net_raw+ep " + helper + "; }; }");
}

// A loopback-only namespace where echo requests to 127.0.0.3 are dropped (a silent host).
bool MakeSilentHostNamespace(const NetNamespace& ns) {
  return Sh("ip netns add " + ns.name) && Sh("ip -n " + ns.name + " link set lo up") &&
         Sh("ip netns exec " + ns.name +
            " nft 'add table inet v { chain c { type filter hook input priority 0; ip daddr 127.0.0.3 icmp type "
            "echo-request drop; }; }'");
}

// Processes running the file at path (by their executable), as "pid pid ...".
std::string ProcessesOf(const std::string& path) {
  std::string pids;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink(e.path() / "exe", ec);
    if (!ec && exe == path) pids += e.path().filename().string() + " ";
  }
  return pids;
}

// The helper started by hand as the caller would, its channel returned (-1 on failure).
int StartHelper(const std::string& path, pid_t& pid) {
  int channel[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) return -1;
  pid = fork();
  if (pid == 0) {
    dup2(channel[1], 0);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* envp[] = {nullptr};
    execve(path.c_str(), argv, envp);
    _exit(127);
  }
  close(channel[1]);
  return channel[0];
}

// One answer of the helper: "stage error [bytes]", "fd!" when a descriptor came along, "hangup" when it ended
// without one.
std::string HelperAnswer(int channel) {
  pollfd p{channel, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) return "silent";
  uint8_t data[256];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  iovec iov{data, sizeof data};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
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
  const struct { std::vector<uint8_t> data; int16_t length; uint8_t high, low; } cases[] = {
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

TEST(IcmpAnswersRequest, OnlyTheTargetsReplyToOurRequest) {
  const uint32_t target = inet_addr("127.0.0.9");
  const struct { std::vector<uint8_t> datagram; uint32_t from; bool kernelFiltered, answers; } cases[] = {
      {Echo(0, 0, 0, 6), target, false, true},  // the header length is read, not assumed
      {Echo(8, 0, 0), target, false, false},  // our own request, read back on loopback
      {Echo(0, 0x42, 0), target, false, false},  // another program's exchange
      {Echo(0, 0, 7), target, false, false},
      {Echo(0, 0x42, 0), target, true, true},  // the kernel's identifier on the datagram path
      {Echo(0, 0, 0), inet_addr("127.0.0.8"), true, false},  // another host
  };
  int row = 0;
  for (const auto& c : cases)
    EXPECT_EQ(IcmpAnswersRequest(c.datagram, c.from, target, c.kernelFiltered), c.answers) << "row " << row++;
}

// In a loopback-only namespace where 127.0.0.3 stays silent and 127.0.0.4 answers "host unreachable", as root (raw
// socket) and as nobody (datagram socket), while another program (another copy of this one) sends the same request
// to 127.0.0.1 and 127.0.0.4: its replies and the errors quoting its requests reach our raw socket too and must be
// passed over. The kernel's own replies from 127.0.0.5 and .6 are dropped; a hostile neighbour answers a request to
// .5 with a forged "time exceeded" quoting it, and one to .6 with a flood of echo replies from 127.0.0.1 that carry
// its identifier (so that they reach the datagram socket too) until the row is over.
TEST(PingCheck, AnswersInANamespaceOfItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  ProgramInTempDir program;  // anything reported goes to a log of its own
  NetNamespace ns;
  const std::string in = "ip netns exec " + ns.name + " ";
  ASSERT_TRUE(Sh("ip netns add " + ns.name) && Sh("ip -n " + ns.name + " link set lo up") &&
              Sh(in + "nft 'add table inet v { chain c { type filter hook input priority 0; ip daddr 127.0.0.3 icmp "
                      "type echo-request drop; ip daddr 127.0.0.4 icmp type echo-request reject with icmp type "
                      "host-unreachable; }; chain o { type filter hook output priority 0; ip saddr { 127.0.0.5, "
                      "127.0.0.6 } icmp type echo-reply drop; }; }'"));
  std::atomic<bool> stop{false}, rowOver{true};
  std::thread other([&] {
    const int fd = Enter(ns) ? socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) : -1;
    const uint8_t request[] = {8,    0,    0x19, 0x1B, 0,    0,    0,    0,    0x20, 0x21,
                               0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B};
    const sockaddr_in to1{AF_INET, 0, {inet_addr("127.0.0.1")}, {}}, to4{AF_INET, 0, {inet_addr("127.0.0.4")}, {}};
    for (; fd >= 0 && !stop; SleepMs(30)) {
      sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to1), sizeof to1);
      sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to4), sizeof to4);
    }
    close(fd);
  });
  // The flood goes flat out from a CPU of its own, ahead of everything else there (up to three seconds), so that
  // the replies keep coming faster than the ping can take them, as from a fast link.
  const int floodCpu = AllowedCpu(0), pingCpu = AllowedCpu(1);
  std::thread neighbour([&] {
    const int fd = Enter(ns) ? socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP) : -1;
    const bool ownCpu = pingCpu >= 0 && PinTo(floodCpu);
    const sockaddr_in to{AF_INET, 0, {inet_addr("127.0.0.1")}, {}};
    auto sendIcmp = [&](std::vector<uint8_t> m) {
      uint8_t sum[2];
      IcmpCheckSum(m, static_cast<int16_t>(m.size()), sum);
      m[2] = sum[0], m[3] = sum[1];
      sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    for (pollfd p{fd, POLLIN, 0}; fd >= 0 && !stop;) {
      uint8_t d[1500];
      if (poll(&p, 1, 10) <= 0 || recv(fd, d, sizeof d, 0) < 28 || d[0] != 0x45 || d[20] != 8) continue;
      if (d[19] == 5) {  // time exceeded: the request's header and first eight bytes behind an ICMP header
        std::vector<uint8_t> m = {11, 0, 0, 0, 0, 0, 0, 0};
        sendIcmp((m.insert(m.end(), d, d + 28), m));
      } else if (d[19] == 6) {
        const sched_param first{1}, normal{0};
        const bool ahead = ownCpu && sched_setscheduler(0, SCHED_FIFO, &first) == 0;
        const std::vector<uint8_t> reply = {0, 0, 0, 0, d[24], d[25], d[26], d[27], 0x20, 0x21, 0x22, 0x23};
        for (const int64_t end = MonotonicMs() + 3000; !rowOver && MonotonicMs() < end;) sendIcmp(reply);
        if (ahead) sched_setscheduler(0, SCHED_OTHER, &normal);
        while (recv(fd, d, sizeof d, 0) > 0) {
        }
      }
    }
    close(fd);
  });
  const struct { const char* host; As as; std::string expect; long minMs, maxMs; } cases[] = {
      {"127.0.0.1", kNobody, "-1 socket open error.\r\nTo enable ICMP: setcap cap_net_raw+ep " +
                                 program.file("velkor-icmp") + " (as root), or add your group to "
                                 "net.ipv4.ping_group_range.\n-", 0, 300},  // neither socket, nor a helper
      {"0.0.0.0", kRoot, "-3 send packet error.\n-", 0, 100},  // would reach this machine: never sent
      {"127.0.0.3", kRoot, "10 Timeout !\n-", 950, 1500},
      {"127.0.0.4", kRoot, "1 Destination unreachable !  (127.0.0.4)\n-", 0, 500},
      {"127.0.0.1", kRoot, kAlive + "45000028 ???????? ??01???? 7F000001 7F000001 0000211B 00000000 20212223 \r\n"
                                    "24252627 28292A2B 00000000*", 0, 500},
      {"127.0.0.1", kNobodyWithHelper, kAlive + "45000028 ???????? ??01???? 7F000001 7F000001 0000211B 00000000 "
                                                "20212223 \r\n24252627 28292A2B 00000000*", 0, 500},
      {"127.0.0.5", kRoot, kOther + "45000038 ???????? ??01???? 7F000001 7F000001 0B00???? 00000000 45000028 \r\n"
                                    "???????? ??01???? 7F000001 7F000005 0800191B 00000000 00000000 00000000*", 0, 500},
      {"127.0.0.6", kRoot, "10 Timeout !\n-", 950, 1500},  // and the message loop kept running
      {"127.0.0.4", kNobodyInPingGroup, "1 Destination unreachable !  (127.0.0.4)\n-", 0, 500},
      {"127.0.0.1", kNobodyInPingGroup, kAlive + "45000028 ???????? ??01???? 7F000001 7F000001 0000???? ????0000 "
                                                 "20212223 \r\n24252627 28292A2B 00000000*", 0, 500},
      {"127.0.0.5", kNobodyInPingGroup, kOther + "45000038 ???????? ??01???? 7F000001 7F000001 0B00???? 00000000 "
                                                 "4500001C \r\n???????? ??01???? 7F000001 7F000005 0800???? ????0000 "
                                                 "00000000 00000000*", 0, 500},
      {"127.0.0.6", kNobodyInPingGroup, "10 Timeout !\n-", 950, 1500},
      // Through the helper, the same answers give the same texts and dumps as on the root path.
      {"127.0.0.3", kNobodyWithHelper, "10 Timeout !\n-", 950, 1500},
      {"127.0.0.4", kNobodyWithHelper, "1 Destination unreachable !  (127.0.0.4)\n-", 0, 500},
      {"127.0.0.5", kNobodyWithHelper, kOther + "45000038 ???????? ??01???? 7F000001 7F000001 0B00???? 00000000 "
                                                "45000028 \r\n???????? ??01???? 7F000001 7F000005 0800191B 00000000 "
                                                "00000000 00000000*", 0, 500},
      {"127.0.0.6", kNobodyWithHelper, "10 Timeout !\n-", 950, 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " as " + std::to_string(c.as));
    if (c.as == kNobodyInPingGroup) Sh(in + "sysctl -w net.ipv4.ping_group_range='0 2147483647'");
    if (c.as == kNobodyWithHelper) {
      ASSERT_TRUE(PlaceHelper(program) && Sh(in + "sysctl -w net.ipv4.ping_group_range='1 0'"));
      ASSERT_TRUE(Sh(in + "sysctl -n net.ipv4.ping_group_range | grep -qx '1.0'"));  // no datagram socket
    }
    const int64_t start = MonotonicMs();
    rowOver = false;
    EXPECT_EQ(Masked(PingIn(ns, c.as != kRoot, c.host, pingCpu), c.expect), c.expect);
    rowOver = true;
    EXPECT_GE(MonotonicMs() - start, c.minMs);
    EXPECT_LE(MonotonicMs() - start, c.maxMs);
  }
  stop = true;
  other.join();
  neighbour.join();
}

// The IPv6 request as dumped: type 128, the checksum left to the kernel, the same payload as over IPv4.
const std::string kRequest6 =
    "request:\r\n"
    "80000000 00000000 20212223 24252627 28292A2B 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 \r\n"
    "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000\r\n"
    "reply:  \r\n";
// A raw ICMPv6 socket delivers no IP header: the count is the 20-byte echo reply alone.
const std::string kAlive6 = "0 alive Target is alive.  20 bytes received.  (::1)\n" + kRequest6;

// ICMPv6 in a loopback-only namespace where 2001:db8::3 stays silent (its echo requests dropped), 2001:db8::4
// answers "address unreachable", 2001:db8::6 answers, and the kernel's replies from 2001:db8::5 are dropped while a
// neighbour answers requests to it with a "time exceeded" quoting them: through the raw socket (root), the datagram
// socket (nobody in ping_group_range, its error rebuilt into the raw form) and the helper (nobody, no group), the
// same statuses and texts as over IPv4. Literals come bare or bracketed.
TEST(PingCheck, AnswersOverIcmpv6InANamespaceOfItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  ProgramInTempDir program;
  NetNamespace ns;
  const std::string in = "ip netns exec " + ns.name + " ";
  ASSERT_TRUE(Sh("ip netns add " + ns.name) && Sh("ip -n " + ns.name + " link set lo up") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::3/128 dev lo nodad") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::4/128 dev lo nodad") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::5/128 dev lo nodad") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::6/128 dev lo nodad") &&
              Sh(in + "nft 'add table inet v { chain c { type filter hook input priority 0; ip6 daddr 2001:db8::3 "
                      "icmpv6 type echo-request drop; ip6 daddr 2001:db8::4 icmpv6 type echo-request reject with "
                      "icmpv6 type addr-unreachable; }; chain o { type filter hook output priority 0; ip6 saddr "
                      "2001:db8::5 icmpv6 type echo-reply drop; }; }'"));
  std::atomic<bool> stop{false};
  std::thread neighbour([&] {
    const int fd = Enter(ns) ? socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6) : -1;
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
    const int on = 1;
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    for (pollfd p{fd, POLLIN, 0}; fd >= 0 && !stop;) {
      uint8_t m[1500];
      sockaddr_in6 from{};
      alignas(cmsghdr) char control[256];
      iovec iov{m, sizeof m};
      msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
      ssize_t n;
      if (poll(&p, 1, 10) <= 0 || (n = recvmsg(fd, &msg, 0)) < 8) continue;
      in6_pktinfo to{};
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) std::memcpy(&to, CMSG_DATA(c), sizeof to);
      if (to.ipi6_addr.s6_addr[15] != 5) continue;
      // Time exceeded: the request's IPv6 header (as it came) and the request behind an ICMPv6 header.
      std::vector<uint8_t> e = {3, 0, 0, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, static_cast<uint8_t>(n), 58, 64};
      e.insert(e.end(), from.sin6_addr.s6_addr, from.sin6_addr.s6_addr + 16);
      e.insert(e.end(), to.ipi6_addr.s6_addr, to.ipi6_addr.s6_addr + 16);
      e.insert(e.end(), m, m + n);
      sendto(fd, e.data(), e.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    }
    close(fd);
  });
  const std::string aliveRaw = kAlive6 + "8100???? 00000000 20212223 24252627 28292A2B 00000000*";
  // The neighbour's "time exceeded": the error, the quoted IPv6 header (the source is this host's choice), the
  // quoted request (the datagram socket's identifier is the kernel's).
  auto exceeded = [](const char* identifier) {
    return "999 Received something...\n" + kRequest6 +
           "0300???? 00000000 60000000 00143A40 ???????? ???????? ???????? ???????? \r\n"
           "20010DB8 00000000 00000000 00000005 8000???? " + std::string(identifier) + " 20212223 24252627 \r\n"
           "28292A2B 00000000*";
  };
  // An answer comes at once, a silence waits out the one-second wait: the bounds tell the two apart with room for
  // a busy machine (the speed itself is the benchmark's).
  const struct { const char* host; As as; std::string expect; long minMs, maxMs; } cases[] = {
      {"::1", kRoot, aliveRaw, 0, 900},
      {"[::1]", kRoot, aliveRaw, 0, 900},
      {"2001:db8::3", kRoot, "10 Timeout !\n-", 950, 5000},
      {"[2001:db8::4]", kRoot, "1 Destination unreachable !  (2001:db8::4)\n-", 0, 900},
      {"2001:db8::6", kRoot, "0 alive Target is alive.  20 bytes received.  (2001:db8::6)\n" + kRequest6 +
                                 "8100???? 00000000 20212223*", 0, 900},
      {"2001:db8::5", kRoot, exceeded("00000000"), 0, 900},
      {"::", kRoot, "-3 send packet error.\n-", 0, 900},  // would reach this machine: never sent
      {"ff02::1", kRoot, "-3 send packet error.\n-", 0, 900},  // a group, not one host
      {"::1", kNobodyInPingGroup, kAlive6 + "8100???? ????0000 20212223 24252627 28292A2B 00000000*", 0, 900},
      {"2001:db8::3", kNobodyInPingGroup, "10 Timeout !\n-", 950, 5000},
      {"2001:db8::4", kNobodyInPingGroup, "1 Destination unreachable !  (2001:db8::4)\n-", 0, 900},
      {"2001:db8::5", kNobodyInPingGroup, exceeded("????0000"), 0, 900},
      {"::1", kNobodyWithHelper, aliveRaw, 0, 900},
      {"2001:db8::3", kNobodyWithHelper, "10 Timeout !\n-", 950, 5000},
      {"2001:db8::4", kNobodyWithHelper, "1 Destination unreachable !  (2001:db8::4)\n-", 0, 900},
      {"2001:db8::5", kNobodyWithHelper, exceeded("00000000"), 0, 900},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " as " + std::to_string(c.as));
    if (c.as == kNobodyInPingGroup) Sh(in + "sysctl -w net.ipv4.ping_group_range='0 2147483647'");
    if (c.as == kNobodyWithHelper) {
      ASSERT_TRUE(PlaceHelper(program) && Sh(in + "sysctl -w net.ipv4.ping_group_range='1 0'"));
      ASSERT_TRUE(Sh(in + "sysctl -n net.ipv4.ping_group_range | grep -qx '1.0'"));  // no datagram socket
    }
    const int64_t start = MonotonicMs();
    EXPECT_EQ(Masked(PingIn(ns, c.as != kRoot, c.host, -1), c.expect), c.expect);
    EXPECT_GE(MonotonicMs() - start, c.minMs);
    EXPECT_LE(MonotonicMs() - start, c.maxMs);
  }
  stop = true;
  neighbour.join();
}

// A name is pinged at the address the resolver gives it: an IPv6-only name over ICMPv6 (an answering and an
// unreachable address), a dual-stack name at its IPv4 address as it always was, or at its IPv6 one when the family
// is IPv6 alone; the IPv4 family alone finds no address for an IPv6-only name and sends nothing.
TEST(PingCheck, NamesWhoseAddressesAreIpv6) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  ProgramInTempDir program;
  NetNamespace ns;
  ASSERT_TRUE(Sh("ip netns add " + ns.name) && Sh("ip -n " + ns.name + " link set lo up") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::4/128 dev lo nodad") &&
              Sh("ip -n " + ns.name + " addr add 2001:db8::6/128 dev lo nodad") &&
              Sh("ip netns exec " + ns.name + " nft 'add table inet v { chain c { type filter hook input priority 0; "
                 "ip6 daddr 2001:db8::4 icmpv6 type echo-request reject with icmpv6 type addr-unreachable; }; }'"));
  SetHostAddressLookup([](const std::string& name) {
    auto a = [](const char* text) { return *ParseHostAddress(text); };
    if (name == "six.test") return AddressLookupAnswer{{a("2001:db8::6")}, 0};
    if (name == "unreach.test") return AddressLookupAnswer{{a("2001:db8::4")}, 0};
    return AddressLookupAnswer{{a("::1"), a("127.0.0.1")}, 0};
  });
  const SessionOptions before = GetSessionOptions();
  const struct { const char* host; AddressFamily family; std::string expect; } cases[] = {
      {"six.test", AddressFamily::Any, "0 alive Target is alive.  20 bytes received.  (2001:db8::6)\n*"},
      {"unreach.test", AddressFamily::Any, "1 Destination unreachable !  (2001:db8::4)\n-"},
      {"dual.test", AddressFamily::Any, "0 alive Target is alive.  40 bytes received.  (127.0.0.1)\n*"},
      {"dual.test", AddressFamily::V6, "0 alive Target is alive.  20 bytes received.  (::1)\n*"},
      {"six.test", AddressFamily::V4, "-3 send packet error.\n-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " family " + std::to_string(static_cast<int>(c.family)));
    SessionOptions options = before;
    options.family = c.family;
    SetSessionOptions(options);
    EXPECT_EQ(Masked(PingIn(ns, false, c.host, -1), c.expect), c.expect);
  }
  SetSessionOptions(before);
  SetHostAddressLookup(nullptr);
}

// The raw ICMPv6 socket lets in only echo replies and the errors that may quote a request: neighbour discovery,
// router adverts, multicast listener reports and echo requests sent to this host never reach the reply wait.
TEST(IcmpSocket, Icmpv6RawSocketTakesOnlyRepliesAndErrors) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  NetNamespace ns;
  ASSERT_TRUE(Sh("ip netns add " + ns.name) && Sh("ip -n " + ns.name + " link set lo up"));
  const std::string got = InChild([&] {
    if (!Enter(ns)) return std::string("no namespace");
    IcmpSocket sock;
    if (!sock.Open(AF_INET6) || sock.Kind() != IcmpSocketKind::Raw || sock.SetNonBlocking(true) != 0)
      return std::string("no raw socket");
    const int other = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    // Echo request (whose reply, 129, comes back), then router solicitation, router advert, neighbour
    // solicitation and advert, a listener report, a redirect, and an unreachable and a time exceeded.
    for (const uint8_t type : {128, 133, 134, 135, 136, 143, 137, 1, 3}) {
      std::vector<uint8_t> m(56, 0);
      m[0] = type;
      sendto(other, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(other);
    std::string types;
    for (const int64_t end = MonotonicMs() + 300; MonotonicMs() < end;) {
      std::array<uint8_t, 128> buffer{};
      Ip6Address from{};
      if (sock.RecvFrom(buffer, from) > 0) types += std::to_string(buffer[0]) + " ";
      else sock.WaitReadable(20);
    }
    return types;
  });
  EXPECT_EQ(got, "129 1 3 ");
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

namespace {

// An IPv4 header (no options) for protocol proto to dst, then body.
std::vector<uint8_t> Ip(uint8_t proto, uint32_t dst, std::vector<uint8_t> body, uint8_t version = 4) {
  std::vector<uint8_t> d(20, 0);
  d[0] = static_cast<uint8_t>(version << 4 | 5);
  d[9] = proto;
  std::memcpy(&d[16], &dst, 4);
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// An ICMP error of type that quotes an echo request (identifier and sequence low bytes) to quotedTarget.
std::vector<uint8_t> ErrorQuoting(uint8_t type, uint32_t quotedTarget, uint8_t id = 0, uint8_t seq = 0,
                                  uint8_t proto = 1) {
  std::vector<uint8_t> icmp = {type, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> quoted = Ip(proto, quotedTarget, {8, 0, 0, 0, 0, id, 0, seq});
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  return Ip(1, inet_addr("127.0.0.1"), icmp);
}

}  // namespace

// Every kind of datagram a raw socket may read, through both paths: the root path classifies it as it comes, the
// helper hands back only what answers its request and the check classifies that. Same statuses, so the same texts.
TEST(IcmpHelperAnswers, ReplyKindsGetTheRootPathsStatuses) {
  const uint32_t target = inet_addr("127.0.0.9"), other = inet_addr("127.0.0.8");
  std::vector<uint8_t> truncated = ErrorQuoting(3, target);
  truncated.resize(truncated.size() - 1);
  const struct { const char* kind; std::vector<uint8_t> d; uint32_t from; std::optional<int16_t> status; } rows[] = {
      {"echo reply", Echo(0, 0, 0), target, 0},
      {"echo reply, header with options", Echo(0, 0, 0, 6), target, 0},
      {"echo reply from another host", Echo(0, 0, 0), other, std::nullopt},
      {"echo reply, another identifier", Echo(0, 0x42, 0), target, std::nullopt},
      {"echo reply, another sequence", Echo(0, 0, 7), target, std::nullopt},
      {"our own request on loopback", Echo(8, 0, 0), target, std::nullopt},
      {"destination unreachable", ErrorQuoting(3, target), other, 1},
      {"source quench", ErrorQuoting(4, target), other, 999},
      {"time exceeded", ErrorQuoting(11, target), other, 999},
      {"parameter problem", ErrorQuoting(12, target), other, 999},
      {"redirect (advice, not an error)", ErrorQuoting(5, target), other, std::nullopt},
      {"error about a request to another host", ErrorQuoting(3, other), other, std::nullopt},
      {"error about another identifier", ErrorQuoting(3, target, 0x42), other, std::nullopt},
      {"error about another sequence", ErrorQuoting(11, target, 0, 3), other, std::nullopt},
      {"error about a UDP datagram", ErrorQuoting(3, target, 0, 0, 17), other, std::nullopt},
      {"error quoting too little", truncated, other, std::nullopt},
      {"not IPv4", Ip(1, target, {0, 0, 0, 0, 0, 0, 0, 0}, 6), target, std::nullopt},
      {"not ICMP", Ip(17, target, {0, 0, 0, 0, 0, 0, 0, 0}), target, std::nullopt},
  };
  for (const auto& r : rows) {
    const std::optional<int16_t> root = IcmpReplyStatus(r.d, r.from, target, false);
    const std::optional<int16_t> helper = IcmpHelperAnswers(r.d.data(), r.d.size(), r.from, target, 0, 0)
                                              ? IcmpReplyStatus(r.d, r.from, target, false)
                                              : std::nullopt;
    EXPECT_EQ(root, r.status) << r.kind;
    EXPECT_EQ(helper, r.status) << r.kind;
  }
}

namespace {

Ip6Address Six(const char* text) {
  Ip6Address a{};
  inet_pton(AF_INET6, text, a.data());
  return a;
}

// An ICMPv6 message of type (identifier and sequence low bytes), as a raw ICMPv6 socket reads it: no IP header.
std::vector<uint8_t> Echo6(uint8_t type, uint8_t id = 0, uint8_t seq = 0) {
  return {type, 0, 0, 0, 0, id, 0, seq, 0x20, 0x21, 0x22, 0x23};
}

// An ICMPv6 error of type that quotes an IPv6 header to quotedTarget (next header nextHeader), then an echo request.
std::vector<uint8_t> Error6Quoting(uint8_t type, const char* quotedTarget, uint8_t id = 0, uint8_t seq = 0,
                                   uint8_t nextHeader = 58, uint8_t version = 6) {
  std::vector<uint8_t> m = {type, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> header(40, 0);
  header[0] = static_cast<uint8_t>(version << 4);
  header[5] = 8;
  header[6] = nextHeader;
  header[7] = 64;
  const Ip6Address dst = Six(quotedTarget);
  std::copy(dst.begin(), dst.end(), header.begin() + 24);
  m.insert(m.end(), header.begin(), header.end());
  m.insert(m.end(), {128, 0, 0, 0, 0, id, 0, seq});
  return m;
}

}  // namespace

// The ICMPv6 kinds, through the raw path (as the helper hands them back, and as the root path takes them) and the
// datagram path (kernel-filtered), with the statuses of their IPv4 counterparts: unreachable and packet too big
// (IPv4's "fragmentation needed") are "destination unreachable" (1), time exceeded and parameter problem "something
// else" (999); everything else, neighbour discovery included, is no answer.
TEST(IcmpHelperAnswers, Icmpv6ReplyKindsGetTheIpv4Statuses) {
  const Ip6Address target = Six("2001:db8::9"), other = Six("2001:db8::8");
  std::vector<uint8_t> truncated = Error6Quoting(1, "2001:db8::9");
  truncated.resize(truncated.size() - 1);
  using S = std::optional<int16_t>;
  const struct { const char* kind; std::vector<uint8_t> m; Ip6Address from; S raw, datagram; } rows[] = {
      {"echo reply", Echo6(129), target, 0, 0},
      {"echo reply from another host", Echo6(129), other, std::nullopt, std::nullopt},
      {"echo reply, another identifier (the kernel's own on the datagram path)", Echo6(129, 0x42), target,
       std::nullopt, 0},
      {"echo reply, another sequence", Echo6(129, 0, 7), target, std::nullopt, 0},
      {"our own request on loopback", Echo6(128), target, std::nullopt, std::nullopt},
      {"neighbour solicitation", Echo6(135), target, std::nullopt, std::nullopt},
      {"router advert", Echo6(134), other, std::nullopt, std::nullopt},
      {"a short echo reply", {129, 0, 0, 0, 0, 0, 0}, target, std::nullopt, std::nullopt},
      {"destination unreachable", Error6Quoting(1, "2001:db8::9"), other, 1, 1},
      {"packet too big (IPv4: unreachable, fragmentation needed)", Error6Quoting(2, "2001:db8::9"), other, 1, 1},
      {"time exceeded", Error6Quoting(3, "2001:db8::9"), other, 999, 999},
      {"parameter problem", Error6Quoting(4, "2001:db8::9"), other, 999, 999},
      {"redirect (advice, not an error)", Error6Quoting(137, "2001:db8::9"), other, std::nullopt, std::nullopt},
      {"error about a request to another host", Error6Quoting(1, "2001:db8::8"), other, std::nullopt, 1},
      {"error about another identifier", Error6Quoting(1, "2001:db8::9", 0x42), other, std::nullopt, 1},
      {"error about another sequence", Error6Quoting(3, "2001:db8::9", 0, 3), other, std::nullopt, 999},
      {"error about a UDP datagram", Error6Quoting(1, "2001:db8::9", 0, 0, 17), other, std::nullopt, 1},
      {"error quoting no IPv6 header", Error6Quoting(1, "2001:db8::9", 0, 0, 58, 4), other, std::nullopt, 1},
      {"error quoting too little", truncated, other, std::nullopt, 1},
  };
  for (const auto& r : rows) {
    const S helper = IcmpHelperAnswers6(r.m.data(), r.m.size(), r.from.data(), target.data(), 0, 0)
                         ? Icmp6ReplyStatus(r.m, r.from, target, false)
                         : std::nullopt;
    EXPECT_EQ(Icmp6ReplyStatus(r.m, r.from, target, false), r.raw) << r.kind;
    EXPECT_EQ(helper, r.raw) << r.kind;
    EXPECT_EQ(Icmp6ReplyStatus(r.m, r.from, target, true), r.datagram) << r.kind;
  }
}

// What counts as an IPv6 literal (and so goes over ICMPv6 and to the IPv6 share listing), and what stays on the
// IPv4 path: names and IPv4 addresses, exactly as before.
TEST(Ip6Literal, BareOrBracketedAddressesOnly) {
  const struct { const char16_t* host; const char* address; } rows[] = {
      {u"::1", "::1"},
      {u"[::1]", "::1"},
      {u"2001:db8::25", "2001:db8::25"},
      {u"[2001:DB8:0:0:0:0:0:25]", "2001:db8::25"},
      {u"::ffff:127.0.0.1", "::ffff:127.0.0.1"},  // a literal, refused later as no one host
      {u"127.0.0.1", nullptr},
      {u"localhost", nullptr},
      {u"server.example", nullptr},
      {u"[::1", nullptr},
      {u"::1]", nullptr},
      {u"[[::1]]", nullptr},
      {u"[]", nullptr},
      {u" ::1", nullptr},
      {u"fe80::1%eth0", nullptr},  // a zone would need an interface: not taken
      {u"1:2:3:4:5:6:7:8:9", nullptr},  // nine groups
      {u"2001:db8:::25", nullptr},
      {u"１２::1", nullptr},  // full-width digits
  };
  for (const auto& r : rows) {
    const std::optional<Ip6Address> got = Ip6Literal(r.host);
    EXPECT_EQ(got ? ToUtf8(Ip6Text(*got)) : "none", r.address ? r.address : "none") << ToUtf8(r.host);
  }
  const struct { const char* address; bool one; } hosts[] = {
      {"::1", true}, {"2001:db8::25", true}, {"fe80::1", true}, {"::", false}, {"ff02::1", false},
      {"ff05::2", false}, {"::ffff:10.0.0.1", false}};
  for (const auto& h : hosts) {
    EXPECT_EQ(Ip6IsOneHost(Six(h.address)), h.one) << h.address;
    EXPECT_EQ(IcmpHelperIsOneHost6(Six(h.address).data()), h.one) << h.address;
  }
}

// Another user runs the helper by hand: it hands out no socket (on which IP_HDRINCL would forge any packet), sends
// only one echo request to one host with a bounded payload, hands back only its answer, and then exits.
TEST(IcmpHelper, GivesNoSocketAndSendsOnlyOneEchoToOneHost) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (the helper's capability)";
  ProgramInTempDir program;
  ASSERT_TRUE(PlaceHelper(program));
  const std::string helper = program.file("velkor-icmp");
  auto request = [](const char* address, uint16_t payload, uint8_t family = kIcmpFamilyIPv4) {
    IcmpHelperRequest r{};
    r.family = family;
    const uint32_t a = inet_addr(address);
    std::memcpy(r.address, &a, 4);
    r.identifier = 0x4242;
    r.sequence = 7;
    r.waitMs = 2000;
    r.payloadLength = payload;
    return r;
  };
  auto request6 = [&](const char* address, uint16_t payload = 12) {
    IcmpHelperRequest r = request("127.0.0.1", payload, kIcmpFamilyIPv6);
    std::memset(r.address, 0, sizeof r.address);
    inet_pton(AF_INET6, address, r.address);
    return r;
  };
  const struct { const char* what; uint8_t family; std::vector<IcmpHelperRequest> requests; const char* answers; } rows[] = {
      {"one echo to 127.0.0.1", 4, {request("127.0.0.1", 12)}, "1 0|2 0|3 0 40|hangup"},
      {"a multicast group", 4, {request("224.0.0.1", 12)}, "1 0|2 22|hangup"},
      {"the broadcast address", 4, {request("255.255.255.255", 12)}, "1 0|2 22|hangup"},
      {"a payload over the bound", 4, {request("127.0.0.1", kIcmpHelperMaxPayload + 1)}, "1 0|2 22|hangup"},
      {"another family than opened", 4, {request("127.0.0.1", 12, kIcmpFamilyIPv6)}, "1 0|2 22|hangup"},
      {"one echo to ::1 (the ICMPv6 message alone comes back)", 6, {request6("::1")}, "1 0|2 0|3 0 20|hangup"},
      {"an IPv6 multicast group", 6, {request6("ff02::1")}, "1 0|2 22|hangup"},
      {"the unspecified IPv6 address", 6, {request6("::")}, "1 0|2 22|hangup"},
      {"an IPv4-mapped address", 6, {request6("::ffff:127.0.0.1")}, "1 0|2 22|hangup"},
      {"an IPv6 payload over the bound", 6, {request6("::1", kIcmpHelperMaxPayload + 1)}, "1 0|2 22|hangup"},
      {"IPv4 on a socket opened for IPv6", 6, {request("127.0.0.1", 12)}, "1 0|2 22|hangup"},
      {"a family it does not know", 5, {}, "1 97|hangup"},
  };
  for (const auto& row : rows) {
    const std::string got = AsNobody([&] {
      pid_t pid = -1;
      const int channel = StartHelper(helper, pid);
      const IcmpHelperOpen open{row.family};
      send(channel, &open, sizeof open, MSG_NOSIGNAL);
      std::string answers = HelperAnswer(channel);
      for (const IcmpHelperRequest& r : row.requests) {
        send(channel, &r, sizeof r, MSG_NOSIGNAL);
        answers += "|" + HelperAnswer(channel);
        if (answers.ends_with("|2 0")) answers += "|" + HelperAnswer(channel);
      }
      answers += "|" + HelperAnswer(channel);
      int status = 0;
      waitpid(pid, &status, 0);
      close(channel);
      return answers;
    });
    EXPECT_EQ(got, row.answers) << row.what;
  }
}

// The check's process is killed while the helper waits for a silent host: the helper sees its caller hang up and
// ends at once, long before its wait would have.
TEST(IcmpHelper, ACallerKilledMidWaitLeavesNoHelper) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, the capability)";
  HangGuard guard(60);
  ProgramInTempDir program;
  NetNamespace ns;
  ASSERT_TRUE(MakeSilentHostNamespace(ns));
  ASSERT_TRUE(PlaceHelper(program));
  const std::string helper = program.file("velkor-icmp");
  const pid_t caller = fork();
  if (caller == 0) {
    bool alive = false;
    std::u16string message, dump;
    if (Enter(ns) && DropRoot()) PingCheck(u"127.0.0.3", alive, message, dump, {100, 100});  // ten seconds
    _exit(0);
  }
  std::string running;
  for (const int64_t end = MonotonicMs() + 5000; running.empty() && MonotonicMs() < end; SleepMs(10))
    running = ProcessesOf(helper);
  ASSERT_FALSE(running.empty());
  SleepMs(200);  // in the middle of its wait
  ASSERT_EQ(kill(caller, SIGKILL), 0);
  waitpid(caller, nullptr, 0);
  const int64_t killed = MonotonicMs();
  while (!ProcessesOf(helper).empty() && MonotonicMs() - killed < 3000) SleepMs(10);
  EXPECT_EQ(ProcessesOf(helper), "");
  EXPECT_LT(MonotonicMs() - killed, 1000);
}

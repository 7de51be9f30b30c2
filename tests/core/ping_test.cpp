#include "net/ping.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/cmdsession.h"
#include "net/hostaddr.h"
#include "net/icmphelper.h"
#include "net/icmpsocket.h"
#include "net/ip6literal.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The bytes of a case's "bytes:" lines, written in hex (blanks between words are free).
Bytes HexBytes(const Case& c) {
  std::string hex;
  for (const std::string& line : c.all("bytes")) hex += line;
  std::erase(hex, ' ');
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// A network namespace of the test's own: loopback only, so nothing leaves the machine; deleted again at the end.
struct NetNamespace {
  std::string name = "velkor-ping-" + std::to_string(getpid());
  ~NetNamespace() { Sh("ip netns del " + name); }
  bool Enter() const {  // moves the calling thread into it
    const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0 && close(fd) == 0;
  }
};

// Pins the calling thread to the n-th CPU this process may run on (from 0), where it may run on two or more: the
// flood then has a CPU of its own, away from the ping's.
void PinToCpu(int n) {
  cpu_set_t set, one;
  CPU_ZERO(&one);
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) < 2) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set) && n-- == 0) CPU_SET(cpu, &one);
  sched_setaffinity(0, sizeof one, &one);
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
  for (const Case& c : LoadCases("icmp-checksum.cases")) {
    CASE_TRACE(c);
    uint8_t sum[2];
    IcmpCheckSum(HexBytes(c), static_cast<int16_t>(c.number("length")), sum);
    EXPECT_EQ(sum[0] << 8 | sum[1], std::stoi(c.get("sum"), nullptr, 16));
  }
}

// Every kind of message a socket may read for a request to 127.0.0.9 or 2001:db8::9, through the raw socket, the
// helper and the datagram socket.
TEST(IcmpReplyStatus, EveryKindThroughEveryPath) {
  const Ip6Address to6 = Ip6Literal(u"2001:db8::9").value();
  const uint32_t to = inet_addr("127.0.0.9");
  for (const Case& c : LoadCases("icmp-reply-status.cases")) {
    CASE_TRACE(c);
    const Bytes m = HexBytes(c);
    const std::string from = c.get("from");
    const std::optional<Ip6Address> from6 = Ip6Literal(FromUtf8(from));  // none: an IPv4 address
    const uint32_t from4 = inet_addr(from.c_str());
    const auto status = [&](bool datagram) {
      const std::optional<int16_t> s = from6 ? Icmp6ReplyStatus(m, *from6, to6, datagram)
                                             : IcmpReplyStatus(m, from4, to, datagram);
      return s ? std::to_string(*s) : "none";
    };
    const bool handed = from6 ? IcmpHelperAnswers6(m.data(), m.size(), from6->data(), to6.data(), 0, 0)
                              : IcmpHelperAnswers(m.data(), m.size(), from4, to, 0, 0);
    // Through the raw socket, the helper and the datagram socket.
    EXPECT_EQ(status(false) + " " + (handed ? status(false) : "none") + " " + status(true),
              c.get("raw") + " " + c.get("raw") + " " + c.get("datagram"));
  }
}

// Which hosts are IPv6 literals, and which literals are one host.
TEST(Ip6Literal, BareOrBracketedAddressesOnly) {
  for (const Case& c : LoadCases("icmp-ip6-literal.cases")) {
    CASE_TRACE(c);
    const std::optional<Ip6Address> got = Ip6Literal(FromUtf8(c.get("host")));
    EXPECT_EQ(got ? ToUtf8(Ip6Text(*got)) : "none", c.get("literal"));
    if (c.has("one-host")) {
      EXPECT_EQ(Ip6IsOneHost(got.value()), c.get("one-host") == "yes");
      EXPECT_EQ(IcmpHelperIsOneHost6(got.value().data()), c.get("one-host") == "yes");
    }
  }
}

// A loopback-only namespace where 127.0.0.3 and 2001:db8::3 stay silent, 127.0.0.4 answers "host unreachable" and
// 2001:db8::4 "address unreachable", and the kernel's echo replies from 127.0.0.5, .6 and 2001:db8::5 are dropped.
// A hostile neighbour answers a request to .5 or 2001:db8::5 with a forged "time exceeded" quoting it, and one to .6
// with a flood of echo replies from 127.0.0.1 that carry its identifier (so that they reach the datagram socket too)
// until the row is over; meanwhile it sends, as another program would, the same request to 127.0.0.1 and 127.0.0.4:
// its replies and the errors quoting its requests reach our raw socket too and must be passed over. Through the raw
// socket (root), the datagram socket (nobody in ping_group_range, its errors rebuilt into the raw form) and the
// helper (nobody, no group): the same statuses, texts and dumps. Run by hand by another user, the helper hands out no
// socket (on which IP_HDRINCL would forge any packet), sends only one echo request to one host with a payload of at
// most 256 bytes, hands back only its answer, and exits.
TEST(PingCheck, AnswersInANamespaceOfItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (network namespaces, raw sockets)";
  ProgramInTempDir program;  // anything reported goes to a log of its own
  NetNamespace ns;
  const std::string helper = program.file("velkor-icmp");
  // The helper's place beside the program, the helper as built, the program's directory and the namespace.
  const CaseVars vars{
      {"HELPER", helper}, {"BUILT", VELKOR_ICMP_HELPER}, {"DIR", program.dir().path()}, {"NS", ns.name}};
  const std::vector<Case> cases = LoadCases("icmp-namespace.cases", vars);
  for (const std::string& command : CasesOf(cases, "the namespace").at(0).all("run")) {
    ASSERT_TRUE(Sh(command)) << command;
  }
  std::atomic<bool> stop{false};
  // Odd while a row runs: the flood ends with its own row, even when the next one starts before it looks again.
  std::atomic<unsigned> row{0};
  // Its ICMPv6 side is a raw socket bound to 2001:db8::5, so that only what is sent there comes in; it answers the
  // echo requests (and not, among others, its own errors, which go there too).
  std::thread neighbour([&] {
    const bool in = ns.Enter();
    const int fd = in ? socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP) : -1;
    const int fd6 = in ? socket(AF_INET6, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMPV6) : -1;
    // The flood goes flat out from a CPU of its own (up to three seconds), so that the replies keep coming faster
    // than the ping can take them, as from a fast link. Not at real-time priority: that starved the tests beside it.
    PinToCpu(0);
    auto sendTo = [&](const char* host, Bytes m) {
      uint8_t sum[2];
      IcmpCheckSum(m, static_cast<int16_t>(m.size()), sum);
      m[2] = sum[0], m[3] = sum[1];
      const sockaddr_in to{AF_INET, 0, {inet_addr(host)}, {}};
      sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    sockaddr_in6 five{AF_INET6, 0, 0, {}, 0}, from{};
    inet_pton(AF_INET6, "2001:db8::5", &five.sin6_addr);
    bind(fd6, reinterpret_cast<const sockaddr*>(&five), sizeof five);
    // The other program's request: identifier and sequence 0, as the check's.
    const Bytes request = {8,    0,    0,    0,    0,    0,    0,    0,    0x20, 0x21,
                           0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B};
    for (int64_t next = 0; fd >= 0 && fd6 >= 0 && !stop;) {
      if (MonotonicMs() >= next) {
        for (const char* host : {"127.0.0.1", "127.0.0.4"}) sendTo(host, request);
        next = MonotonicMs() + 30;
      }
      uint8_t d[1500];
      pollfd p[] = {{fd, POLLIN, 0}, {fd6, POLLIN, 0}};
      if (poll(p, 2, 10) <= 0) continue;
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(fd6, d, sizeof d, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n >= 8 && d[0] == ICMP6_ECHO_REQUEST) {
        // Time exceeded: the request's IPv6 header (as it came) and the request behind an ICMPv6 header.
        Bytes e = {3, 0, 0, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, static_cast<uint8_t>(n), 58, 64};
        e.insert(e.end(), from.sin6_addr.s6_addr, from.sin6_addr.s6_addr + 16);
        e.insert(e.end(), five.sin6_addr.s6_addr, five.sin6_addr.s6_addr + 16);
        e.insert(e.end(), d, d + n);
        sendto(fd6, e.data(), e.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      }
      if (recv(fd, d, sizeof d, 0) < 28 || d[0] != 0x45 || d[20] != 8) continue;
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
    close(fd6);
  });
  // Each case runs as each user it names, the users in turn, each after its own commands.
  for (const Case& user : CasesOf(cases, "as ")) {
    const std::string as = user.name.substr(3);
    for (const std::string& command : user.all("run")) EXPECT_TRUE(Sh(command)) << command;
    for (const Case& c : cases) {
      if ((" " + c.get("as") + " ").find(" " + as + " ") == std::string::npos) continue;
      CASE_TRACE(c);
      SCOPED_TRACE("as " + as);
      std::string expect;  // the lines joined: one text written over several lines
      for (const std::string& line : c.all(as == "group" && c.has("group-says") ? "group-says" : "says")) {
        expect += line;
      }
      ++row;
      // PingCheck in a child inside the namespace, on a CPU other than the flood's, as root or as nobody, each
      // lookup answered with the case's next "lookup:" line: "status[ alive] message\ndump". Noted: where the
      // message loop stood still for more than 500 ms (a wait that does not go in slices stands still for the whole
      // one-second wait, while a busy machine may hold a slice up a few hundred ms), and where the answer came too
      // soon or too late (an answer comes at once, a silence waits out the one-second wait: the bounds tell the two
      // apart with room for a busy machine; the speed itself is the benchmark's).
      std::string got = InChild([&] {
        PinToCpu(1);
        SessionOptions options = GetSessionOptions();
        options.family = c.get("family") == "v4" ? AddressFamily::V4
                         : c.get("family") == "v6" ? AddressFamily::V6 : AddressFamily::Any;
        SetSessionOptions(options);
        size_t asked = 0;
        SetHostAddressLookup([&](const std::string&) {
          AddressLookupAnswer answer;
          std::istringstream words(asked < c.all("lookup").size() ? c.all("lookup")[asked++] : "");
          for (std::string word; words >> word;) answer.addresses.push_back(*ParseHostAddress(word));
          return answer;
        });
        bool alive = false;
        std::u16string message = u"no namespace or root kept", dump = u"-";
        const int64_t start = MonotonicMs();
        int64_t last = start, gap = 0;
        SetDoEventsHook([&] {
          gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs();
          if (c.has("killed after") && last - start >= c.number("killed after") && Sh("pidof " + helper)) {
            raise(SIGKILL);
          }
        });
        const bool in = ns.Enter() && (as == "root" || c.has("refuse") || DropRoot());
        if (in && c.has("refuse")) {  // root's raw socket refused with the case's error, as a security policy would
          IcmpSocket icmp;
          if (!RefuseCall(__NR_socket, static_cast<int>(c.number("refuse")), SOCK_RAW)) return std::string("no filter");
          if (!icmp.Open(AF_INET)) return "refused " + std::to_string(icmp.LastError());
          return std::string(icmp.Kind() == IcmpSocketKind::Datagram ? "datagram" : "another kind");
        }
        if (in && c.has("sends")) {  // ICMPv6 messages of the case's types sent to ::1, and those the raw socket reads
          IcmpSocket icmp;
          if (!icmp.Open(AF_INET6) || icmp.Kind() != IcmpSocketKind::Raw || icmp.SetNonBlocking(true) != 0)
            return std::string("no raw socket");
          const int sender = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
          const sockaddr_in6 to{AF_INET6, 0, 0, in6addr_loopback, 0};
          for (const std::string& type : c.words("sends")) {
            const uint8_t m[56] = {static_cast<uint8_t>(std::stoi(type))};
            sendto(sender, m, sizeof m, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
          }
          std::string seen = "read:";
          for (const int64_t end = MonotonicMs() + 300; MonotonicMs() < end;) {
            std::array<uint8_t, 128> buffer{};
            Ip6Address from{};
            if (icmp.RecvFrom(buffer, from) > 0) seen += " " + std::to_string(buffer[0]);
            else icmp.WaitReadable(20);
          }
          return seen;
        }
        if (in && c.has("open")) {  // instead of a ping: the helper run by hand as the check would, its answers
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
          const IcmpHelperOpen open{static_cast<uint8_t>(c.number("open"))};
          send(channel[0], &open, sizeof open, MSG_NOSIGNAL);
          std::string answer = HelperAnswer(channel[0]), answers = answer;
          if (c.has("to")) {
            const std::string to = c.get("to");
            IcmpHelperRequest r{};
            const bool six = to.find(':') != std::string::npos;
            r.family = static_cast<uint8_t>(c.number("request family", six ? kIcmpFamilyIPv6 : kIcmpFamilyIPv4));
            inet_pton(six ? AF_INET6 : AF_INET, to.c_str(), r.address);
            r.identifier = 0x4242;
            r.sequence = 7;
            r.waitMs = static_cast<uint32_t>(c.number("wait", 2000));
            r.payloadLength = static_cast<uint16_t>(c.number("payload", 12));
            send(channel[0], &r, sizeof r, MSG_NOSIGNAL);
          }
          while (answer != "hangup" && answer != "silent" && answer != "fd!") {
            answer = HelperAnswer(channel[0]);
            answers += "|" + answer;
          }
          waitpid(pid, nullptr, 0);
          close(channel[0]);
          return answers;
        }
        const PingOptions wait{static_cast<int>(c.number("polls", kPingPolls)), kPingPollSliceMs};
        const int status = in ? PingCheck(FromUtf8(c.get("host")), alive, message, dump, wait) : -100;
        const int64_t took = MonotonicMs() - start;
        const bool inTime = status == 10 ? took >= 950 && took <= 5000 : took <= 900;
        return std::to_string(status) + (alive ? " alive " : " ") + ToUtf8(message) +
               (std::max(gap, MonotonicMs() - last) > 500 ? " STALLED" : "") +
               (inTime ? "" : " after " + std::to_string(took) + " ms") + "\n" + ToUtf8(dump);
      });
      ++row;
      // '?' in the expected text matches any character, a final '*' any rest.
      if (expect.ends_with('*') && got.size() >= expect.size()) {
        got.replace(expect.size() - 1, std::string::npos, "*");
      }
      for (size_t i = 0; i < std::min(got.size(), expect.size()); ++i) got[i] = expect[i] == '?' ? '?' : got[i];
      EXPECT_EQ(got, expect);
      // The helper sees its killed caller hang up and ends at once, long before its wait would have.
      const int64_t killed = MonotonicMs();
      while (c.has("killed after") && Sh("pidof " + helper) && MonotonicMs() - killed < 3000) SleepMs(10);
      EXPECT_LT(MonotonicMs() - killed, 1000);
    }
  }
  stop = true;
  neighbour.join();
}

// An unexpected failure in the middle of a ping (here the message loop, while the lookup waits) is reported, and the
// socket is closed all the same: one left open per failure would add up over months of monitoring.
TEST(PingCheck, NoSocketLeftByAFailure) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: ICMP tests need root (raw sockets)";
  ProgramInTempDir program;
  bool alive = false;
  std::u16string message, dump;
  EXPECT_EQ(PingCheck(u"127.0.0.1", alive, message, dump), 0);  // whatever a first ping opens for good is open
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

// velkor-check over IPv6: the real peers on ::1 reached by every host form
// (-H bare and bracketed, -E and a sweep's bracketed entries, names of both
// families and IPv6-only names), -4 and -6, the reasons of a host without
// an address of the family or whose every address failed, the JSON
// "address", and the input rules. Names come from the core's resolver hook,
// or, in a network namespace with only its loopback, from libnss-wrapper's
// hosts file through the system resolver: no lookup leaves the machine.
// Happy Eyeballs meets an IPv6 path that an nft rule silently drops.
// velkor-fixtures: tcp_peers
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

#include "check/checkrun.h"
#include "net/hostaddr.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Port(uint16_t p) { return std::to_string(p); }

HostAddress Addr(const char* text) { return *ParseHostAddress(text); }

AddressLookupAnswer Names(const std::string& name) {
  if (name == "dual.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
  if (name == "v6only.test") return {{Addr("::1")}, 0};
  if (name == "v4only.test") return {{Addr("127.0.0.1")}, 0};
  return {{}, EAI_NONAME};
}

// Every "address" of a JSON answer, in order.
std::vector<std::string> Addresses(const std::string& json) {
  static const std::regex address(R"("address":("[^"]*"|null))");
  std::vector<std::string> all;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), address); it != std::sregex_iterator(); ++it)
    all.push_back((*it)[1]);
  return all;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class VelkorCheckIpv6 : public ::testing::Test {
 protected:
  void SetUp() override { SetHostAddressLookup(Names); }
  void TearDown() override { SetHostAddressLookup(nullptr); }
};

// One plain and one TLS peer per protocol on ::1, through each host form.
// Each check passes and says it used the address of the form's family.
TEST_F(VelkorCheckIpv6, RealPeersOnIpv6ThroughEveryHostForm) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
  const TrustedCa ca(peers.caFile);
  const std::string smtp = Port(peers.smtp) + "," + Port(peers.smtps) + "s";
  const std::string pop = Port(peers.pop) + "," + Port(peers.pop3s) + "s";
  const std::string ftp = Port(peers.ftp) + "," + Port(peers.ftps) + "s";
  const std::string http = Port(peers.http) + "," + Port(peers.https) + "s";
  const std::vector<std::string> ports = {"--smtp", smtp, "--pop", pop, "--ftp", ftp, "--http", http};
  const std::string entryPorts = smtp + ":" + pop + ":" + ftp + ":" + http;
  struct Row {
    std::vector<std::string> args;
    const char* address;
  };
  auto with = [&](std::vector<std::string> head) {
    head.insert(head.end(), ports.begin(), ports.end());
    return head;
  };
  const Row rows[] = {
      {with({"-H", "::1"}), "\"::1\""},
      {with({"-H", "[::1]"}), "\"::1\""},
      {{"-E", "[::1]:" + entryPorts}, "\"::1\""},
      {with({"-H", "dual.test", "--no-verify"}), "\"::1\""},  // IPv6 first whatever the resolver's order
      {with({"-H", "v6only.test", "--no-verify"}), "\"::1\""},
      {with({"-4", "-H", "dual.test", "--no-verify"}), "\"127.0.0.1\""},
      {with({"-6", "-H", "dual.test", "--no-verify"}), "\"::1\""},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = row.args;
    SCOPED_TRACE(args[0] + " " + args[1] + (args.size() > 2 ? " " + args[2] : ""));
    const CheckOutcome text = CheckCommand(args);
    EXPECT_EQ(text.status, CheckExit::Ok) << text.text;
    EXPECT_THAT(text.text, HasSubstr("8 of 8 checks passed"));
    args.push_back("--json");
    const CheckOutcome json = CheckCommand(args);
    EXPECT_EQ(Addresses(json.text), std::vector<std::string>(8, row.address)) << json.text;
  }
}

// The input rules: an unclosed bracket and -4 with -6 are bad input (one
// line, exit 3); unbracketed text keeps its meaning.
TEST_F(VelkorCheckIpv6, BracketsAndFamiliesOnTheCommandLine) {
  const struct {
    std::vector<std::string> args;
    CheckExit status;
    const char* line;
  } rows[] = {
      {{"-H", "[::1", "--smtp", "25"}, CheckExit::Unknown, "VELKOR UNKNOWN - -H: '[::1' has an unclosed bracket\n"},
      {{"-H", "[::1]:25", "--smtp", "25"}, CheckExit::Unknown,
       "VELKOR UNKNOWN - -H: '[::1]:25' is not an IPv6 address in brackets\n"},
      {{"-H", "[dual.test]", "--smtp", "25"}, CheckExit::Unknown,
       "VELKOR UNKNOWN - -H: '[dual.test]' is not an IPv6 address in brackets\n"},
      {{"-E", "[::1:25"}, CheckExit::Unknown, "VELKOR UNKNOWN - -E/--entry: '[::1:25' has an unclosed bracket\n"},
      {{"-E", "[::1]x:25"}, CheckExit::Unknown,
       "VELKOR UNKNOWN - -E/--entry: '[::1]x:25' has text between ']' and the next ':'\n"},
      {{"-4", "-6", "-H", "::1", "--smtp", "25"}, CheckExit::Unknown, "VELKOR UNKNOWN - -4 and -6 do not go together\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[1]);
    const CheckOutcome o = CheckCommand(row.args);
    EXPECT_EQ(o.status, row.status);
    EXPECT_EQ(o.text, row.line);
  }
  // "mail::25" is the host mail with POP on 25, as it always was: the name is looked up.
  const CheckOutcome o = CheckCommand({"-E", "mail::25"});
  EXPECT_THAT(o.text, HasSubstr("POP 25: CRITICAL - failed in "));
  EXPECT_THAT(o.text, HasSubstr(": name not found\n"));
}

// The reasons of the families: none of the family asked for, and every
// address failing, each named with its error, in the line, the status line and the JSON.
TEST_F(VelkorCheckIpv6, ReasonsOfTheFamilies) {
  uint16_t closed = 0;
  ::close(ListenOnLoopback(1, &closed, true));
  uint16_t alsoClosed = 0;
  ::close(ListenOnLoopback(1, &alsoClosed, false, closed));  // free on both families
  const std::string p = Port(closed);
  const struct {
    std::vector<std::string> args;
    std::string reason;
    const char* address;
  } rows[] = {
      {{"-6", "-H", "v4only.test", "--smtp", p}, "no IPv6 address", "null"},
      {{"-4", "-H", "v6only.test", "--smtp", p}, "no IPv4 address", "null"},
      {{"-4", "-H", "::1", "--smtp", p}, "no IPv4 address", "null"},
      {{"-H", "dual.test", "--smtp", p},
       "every address failed: ::1 (connection refused), 127.0.0.1 (connection refused)", "\"127.0.0.1\""},
      {{"-H", "::1", "--smtp", p}, "connection refused", "\"::1\""},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    SCOPED_TRACE(args[1] + " " + args[2]);
    const CheckOutcome o = CheckCommand(args);
    EXPECT_EQ(o.status, CheckExit::Critical);
    EXPECT_THAT(o.text, HasSubstr("1 of 1 checks failed: SMTP " + p + " (" + row.reason + ") |"));
    EXPECT_THAT(o.text, HasSubstr("SMTP " + p + ": CRITICAL - failed in "));
    EXPECT_THAT(o.text, HasSubstr(" s: " + row.reason + "\n"));
    args.push_back("--json");
    const CheckOutcome json = CheckCommand(args);
    EXPECT_THAT(json.text, HasSubstr("\"reason\":\"" + row.reason + "\""));
    EXPECT_EQ(Addresses(json.text), std::vector<std::string>{row.address});
  }
}

// A sweep of a list mixing IPv4, IPv6, dual-stack and IPv6-only hosts keeps
// the list's order, each host with its own address.
TEST_F(VelkorCheckIpv6, SweepOfMixedFamiliesKeepsItsOrder) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  TempDir dir;
  const std::string list = dir.path() + "/VKRTARGET.INI";
  const std::string h = Port(peers.http);
  const std::vector<std::string> entries = {"[::1]:-:-:-:" + h, "127.0.0.1:-:-:-:" + h, "dual.test:-:-:-:" + h,
                                            "v6only.test:-:-:-:" + h, "[::1]", "v4only.test:-:-:-:" + h};
  std::ofstream(list) << entries[0] << "\n" << entries[1] << "\n# a comment\n" << entries[2] << "\n" << entries[3]
                      << "\n" << entries[4] << ":-:-:-:" << h << "\n" << entries[5] << "\n";
  // The hosts' lines go straight to standard output as they come in.
  const std::string out = dir.path() + "/sweep.out";
  const int saved = dup(STDOUT_FILENO), file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  fflush(stdout);
  dup2(file, STDOUT_FILENO);
  const CheckOutcome o = CheckCommand({"--target-list", list, "-j", "4", "--json"});
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved), close(file);
  EXPECT_EQ(o.status, CheckExit::Ok) << o.text;
  std::ifstream written(out);
  const std::string text((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::istringstream in(text + o.text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 7u) << o.text;
  const char* hosts[] = {"::1", "127.0.0.1", "dual.test", "v6only.test", "::1", "v4only.test"};
  const char* used[] = {"::1", "127.0.0.1", "::1", "::1", "::1", "127.0.0.1"};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_THAT(lines[i], HasSubstr(std::string("\"host\":\"") + hosts[i] + "\""));
    EXPECT_EQ(Addresses(lines[i]), std::vector<std::string>{std::string("\"") + used[i] + "\""});
  }
}

// A child in a network namespace of its own with only its loopback up:
// runs fn there and answers what it gave back (InChild).
std::string InLoopbackOnlyNetwork(const std::function<std::string()>& fn) {
  return InChild([&] {
    return unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0 ? fn() : "no network namespace";
  });
}

// A greeting on both loopback addresses at one port, each saying which it is.
struct GreetingsOnBothFamilies {
  // withSix false: IPv4 alone, so that ::1 refuses at the port.
  explicit GreetingsOnBothFamilies(bool withSix = true) {
    six = ListenOnLoopback(8, &port, true);
    uint16_t same = 0;
    four = ListenOnLoopback(8, &same, false, port);
    if (!withSix) ::close(std::exchange(six, -1));
    for (int fd : {six, four})
      if (fd >= 0) threads.emplace_back([fd, six = this->six] {
        const char* greeting = fd == six ? "220 six\r\n" : "220 four\r\n";
        for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0;) {
          ::send(c, greeting, std::strlen(greeting), MSG_NOSIGNAL);
          // EHLO gets 250, QUIT 221 (each command comes in one piece).
          char buf[256];
          for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
            const bool quit = std::string(buf, static_cast<size_t>(n)).starts_with("QUIT");
            ::send(c, quit ? "221 bye\r\n" : "250 ok\r\n", 9 - (quit ? 0 : 1), MSG_NOSIGNAL);
            if (quit) break;
          }
          ::close(c);
        }
      });
  }
  ~GreetingsOnBothFamilies() {
    for (int fd : {six, four})
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& t : threads) t.join();
    for (int fd : {six, four})
      if (fd >= 0) ::close(fd);
  }
  int six = -1, four = -1;
  uint16_t port = 0;
  std::vector<std::thread> threads;
};

// The system resolver, answered by libnss-wrapper's hosts file: a dual-stack
// name goes to ::1 first, an IPv6-only name to ::1, -4 to 127.0.0.1; an
// unknown name is not found (no DNS to ask: the namespace has none).
TEST_F(VelkorCheckIpv6, NamesOfTheSystemResolverFromAHostsFile) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root for a network namespace";
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  if (access(wrapper, R_OK) != 0) GTEST_SKIP() << "SKIPPED: libnss-wrapper is not installed (scripts/install-deps --test)";
  TempDir dir;
  const std::string hosts = dir.path() + "/hosts";
  std::ofstream(hosts) << "127.0.0.1 dual.test\n::1 dual.test\n::1 six.test\n";
  const std::string result = InLoopbackOnlyNetwork([&] {
    GreetingsOnBothFamilies peer;
    std::string all;
    for (const char* args : {"-H dual.test", "-H six.test", "-4 -H dual.test", "-H nowhere.test"}) {
      // No deep binding of the real modules, which AddressSanitizer refuses to dlopen.
      const std::string command = "LD_PRELOAD=" + std::string(wrapper) + " NSS_WRAPPER_DISABLE_DEEPBIND=1 NSS_WRAPPER_HOSTS=" + hosts +
                                  " NSS_WRAPPER_PASSWD=/etc/passwd NSS_WRAPPER_GROUP=/etc/group " +
                                  VELKOR_CHECK_BINARY + " " + args + " --smtp " + Port(peer.port) + " --json";
      FILE* pipe = ::popen(command.c_str(), "r");
      if (!pipe) return std::string("no popen");
      char buf[4096];
      for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) all.append(buf, n);
      ::pclose(pipe);
    }
    return all;
  });
  EXPECT_EQ(Addresses(result), (std::vector<std::string>{"\"::1\"", "\"::1\"", "\"127.0.0.1\"", "null"})) << result;
  EXPECT_EQ(Count(result, "\"transcript\":\"220 six"), 2u) << result;
  EXPECT_EQ(Count(result, "\"transcript\":\"220 four"), 1u) << result;
  EXPECT_THAT(result, HasSubstr("\"reason\":\"name "));
}

// Happy Eyeballs: the IPv6 address of a dual-stack name is silently dropped
// (an nft rule in the namespace); IPv4 answers within a second, well inside
// the 10-second connect time-out. With -6 the same check waits its time-out.
TEST_F(VelkorCheckIpv6, DroppedIpv6PathCostsAQuarterOfASecond) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root for a network namespace and nft";
  const std::string result = InLoopbackOnlyNetwork([] {
    GreetingsOnBothFamilies peer;
    const std::string rule = "nft add table inet velkor && nft add chain inet velkor in "
                             "'{ type filter hook input priority 0; }' && nft add rule inet velkor in "
                             "ip6 daddr ::1 tcp dport " + Port(peer.port) + " drop";
    if (std::system(rule.c_str()) != 0) return std::string("no nft rule");
    SetHostAddressLookup(Names);
    auto timed = [&](std::vector<std::string> args) {
      const auto start = std::chrono::steady_clock::now();
      const CheckOutcome o = CheckCommand(args);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      return o.text + "took " + std::to_string(ms.count()) + " ms\n";
    };
    return timed({"-H", "dual.test", "--smtp", Port(peer.port), "--json"}) +
           timed({"-6", "-t", "0.5", "-H", "dual.test", "--smtp", Port(peer.port), "--json"});
  });
  std::smatch m;
  const std::regex took(R"(took ([0-9]+) ms)");
  std::vector<int> ms;
  for (auto it = std::sregex_iterator(result.begin(), result.end(), took); it != std::sregex_iterator(); ++it)
    ms.push_back(std::stoi((*it)[1]));
  ASSERT_EQ(ms.size(), 2u) << result;
  EXPECT_GE(ms[0], 240) << "IPv6 was tried first";
  EXPECT_LT(ms[0], 1000) << result;
  EXPECT_GE(ms[1], 490) << "IPv6 alone waits for its time-out";
  EXPECT_EQ(Addresses(result), (std::vector<std::string>{"\"127.0.0.1\"", "\"::1\""})) << result;
  EXPECT_THAT(result, HasSubstr("\"transcript\":\"220 four"));
  EXPECT_THAT(result, HasSubstr("\"reason\":\"connect timed out after 0.5 s\""));
}

// --each-address: a dual-stack name whose IPv6 side refuses while IPv4
// answers. Without the option the name passes (IPv4 wins the race); with it
// each address has its own line and label, and the status line names the
// refusing IPv6 address. -4/-6 keep one family; a name without addresses
// runs once, unlabelled, with the lookup's reason.
TEST_F(VelkorCheckIpv6, EachAddressNamesTheRefusingIpv6Side) {
  GreetingsOnBothFamilies peer(false);
  const std::string p = Port(peer.port);
  const std::string four = "SMTP " + p + " [127.0.0.1]: OK - passed in ";
  const std::string six = "SMTP " + p + " [::1]: CRITICAL - failed in ";
  const struct {
    std::vector<std::string> args;
    CheckExit status;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
    std::vector<std::string> addresses;  // the JSON's, in order
  } rows[] = {
      {{"-H", "dual.test"}, CheckExit::Ok, {"1 of 1 checks passed | 'smtp_" + p + "'="}, {"["}, {"\"127.0.0.1\""}},
      {{"--each-address", "-H", "dual.test"},
       CheckExit::Critical,
       {"VELKOR CRITICAL - 1 of 2 checks failed: SMTP " + p + " [::1] (connection refused) | 'smtp_" + p +
            "@[127.0.0.1]'=",
        " 'smtp_" + p + "@[::1]'=", four, six, " s: 220 four\n", " s: connection refused\n"},
       {},
       {"\"127.0.0.1\"", "\"::1\""}},
      {{"--each-address", "-6", "-H", "dual.test"}, CheckExit::Critical, {"1 of 1 checks failed: SMTP " + p + " [::1]", six},
       {"127.0.0.1"}, {"\"::1\""}},
      {{"--each-address", "-4", "-H", "dual.test"}, CheckExit::Ok, {"1 of 1 checks passed", four}, {"::1"},
       {"\"127.0.0.1\""}},
      {{"--each-address", "-H", "v4only.test"}, CheckExit::Ok, {four, "'smtp_" + p + "@[127.0.0.1]'="}, {"::1"},
       {"\"127.0.0.1\""}},
      {{"--each-address", "-H", "::1"}, CheckExit::Critical, {six}, {"127.0.0.1"}, {"\"::1\""}},
      {{"--each-address", "-H", "nowhere.test"}, CheckExit::Critical, {"SMTP " + p + ": CRITICAL - failed in ", "name not found"},
       {"["}, {"null"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--smtp", p});
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
    const CheckOutcome o = CheckCommand(args);
    EXPECT_EQ(o.status, row.status) << o.text;
    for (const std::string& text : row.has) EXPECT_THAT(o.text, HasSubstr(text));
    for (const std::string& text : row.hasNot) EXPECT_THAT(o.text, Not(HasSubstr(text)));
    args.push_back("--json");
    EXPECT_EQ(Addresses(CheckCommand(args).text), row.addresses);
  }
  // -v: each address's transcript comes under its address.
  const CheckOutcome v = CheckCommand({"--each-address", "-v", "-H", "dual.test", "--smtp", p});
  EXPECT_THAT(v.text, HasSubstr("Transcript:\n[127.0.0.1]\n"));
  EXPECT_THAT(v.text, HasSubstr("\n[::1]\n"));
  EXPECT_LT(v.text.find("220 four"), v.text.find("\n[::1]\n"));
}

// In a sweep --each-address applies to every entry: each host's JSON has a
// check per address, and the dual-stack host's status line names ::1.
TEST_F(VelkorCheckIpv6, EachAddressInASweepCoversEveryEntry) {
  GreetingsOnBothFamilies peer(false);
  const std::string p = Port(peer.port);
  TempDir dir;
  const std::string list = dir.path() + "/VKRTARGET.INI";
  std::ofstream(list) << "dual.test:" << p << ":-:-:-\nv4only.test:" << p << ":-:-:-\n";
  const std::string out = dir.path() + "/sweep.out";
  const int saved = dup(STDOUT_FILENO), file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  fflush(stdout);
  dup2(file, STDOUT_FILENO);
  const CheckOutcome json = CheckCommand({"--target-list", list, "-j", "2", "--json", "--each-address"});
  const CheckOutcome text = CheckCommand({"--target-list", list, "-j", "2", "--each-address"});
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved), close(file);
  EXPECT_EQ(json.status, CheckExit::Critical);
  EXPECT_EQ(text.status, CheckExit::Critical);
  std::ifstream written(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(written, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(Addresses(lines[0]), (std::vector<std::string>{"\"127.0.0.1\"", "\"::1\""})) << lines[0];
  EXPECT_EQ(Addresses(lines[1]), std::vector<std::string>{"\"127.0.0.1\""}) << lines[1];
  EXPECT_THAT(lines[2], HasSubstr("SMTP " + p + " [::1] (connection refused)"));
  EXPECT_THAT(lines[3], HasSubstr("1 of 1 checks passed"));
}

// PING and the share listing follow -4/-6 and --each-address too: an
// IPv6-only name has no IPv4 address for them; each address of a
// dual-stack name is pinged on its own line.
TEST_F(VelkorCheckIpv6, PingAndSharesFollowTheFamilyAndEachAddress) {
  CheckOutcome o = CheckCommand({"-4", "-H", "v6only.test", "--ping", "--shares"});
  EXPECT_EQ(o.status, CheckExit::Critical);
  EXPECT_THAT(o.text, HasSubstr("2 of 2 checks failed: PING (no IPv4 address), SHARES (no IPv4 address) |"));
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: PING of loopback needs a raw socket here";
  o = CheckCommand({"--each-address", "-H", "dual.test", "--ping", "--json"});
  EXPECT_EQ(o.status, CheckExit::Ok) << o.text;
  EXPECT_EQ(Addresses(o.text), (std::vector<std::string>{"\"127.0.0.1\"", "\"::1\""})) << o.text;
  o = CheckCommand({"--each-address", "-H", "dual.test", "--ping"});
  EXPECT_THAT(o.text, HasSubstr("'ping@[127.0.0.1]'="));
  EXPECT_THAT(o.text, HasSubstr("\nPING [::1]: OK - passed in "));
}

}  // namespace

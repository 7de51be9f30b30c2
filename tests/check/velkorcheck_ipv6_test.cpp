// velkor-check over IPv6, what it adds to the core's host forms (ipv6_test): the real peers on ::1 reached by -H
// bare and bracketed, -E and -4/-6, a sweep's bracketed entries, --each-address, the JSON "address" and the input
// rules (the reasons of the families are rows of velkorcheck_reasons_test). One engine runs the cases of
// tests/data/ipv6-check*.cases. Names come from the core's resolver hook, or, in a network namespace with only its
// loopback, from libnss-wrapper's hosts file through the system resolver: no lookup leaves the machine. Happy
// Eyeballs meets an IPv6 path that an nft rule silently drops.
// velkor-fixtures: tcp_peers
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>

#include "check/checkrun.h"
#include "net/hostaddr.h"
#include "support/casefile.h"
#include "support/checkpeers.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/unprivileged.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Texts = std::vector<std::string>;

std::string Port(uint16_t p) { return std::to_string(p); }

HostAddress Addr(const char* text) { return *ParseHostAddress(text); }

AddressLookupAnswer Names(const std::string& name) {
  if (name == "dual.test") return {{Addr("127.0.0.1"), Addr("::1")}, 0};
  if (name == "v6only.test") return {{Addr("::1")}, 0};
  if (name == "v4only.test") return {{Addr("127.0.0.1")}, 0};
  return {{}, EAI_NONAME};
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
  const auto start = std::chrono::steady_clock::now();
  const CheckOutcome o = run(args);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(took.count(), c.number("took-from"));
  EXPECT_LT(took.count(), c.number("took-under", 3600000));
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

class VelkorCheckIpv6 : public ::testing::Test {
 protected:
  void SetUp() override { SetHostAddressLookup(Names); }
};

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

// velkor-check over IPv6, what it adds to the core's host forms (ipv6_test):
// the real peers on ::1 reached by -H bare and bracketed, -E and -4/-6, a
// sweep's bracketed entries, --each-address, the JSON "address" and the input
// rules (the reasons of the families are rows of velkorcheck_reasons_test).
// Names come from the core's resolver hook, or, in a network namespace with
// only its loopback, from libnss-wrapper's hosts file through the system
// resolver: no lookup leaves the machine. Happy Eyeballs meets an IPv6 path
// that an nft rule silently drops.
// velkor-fixtures: tcp_peers
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "check/checkrun.h"
#include "net/hostaddr.h"
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

// The JSON's "address" values, in order.
Texts Addresses(const std::string& json) { return JsonValues(json, "address"); }

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

class VelkorCheckIpv6 : public ::testing::Test {
 protected:
  void SetUp() override { SetHostAddressLookup(Names); }
};

// One plain and one TLS peer per protocol on ::1, through each host form.
// Each check passes and says it used the address of the form's family.
// (A name's own order, IPv6 first, is the core's; the sweep below has it too.)
TEST_F(VelkorCheckIpv6, RealPeersOnIpv6ThroughEveryHostForm) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
  const TrustedCa ca(peers.caFile);
  auto both = [](uint16_t plain, uint16_t tls) { return Port(plain) + "," + Port(tls) + "s"; };
  const Texts ports = {both(peers.smtp, peers.smtps), both(peers.pop, peers.pop3s), both(peers.ftp, peers.ftps),
                       both(peers.http, peers.https)};
  auto with = [&](Texts head) {
    for (size_t i = 0; i < 4; ++i) head.insert(head.end(), {Texts{"--smtp", "--pop", "--ftp", "--http"}[i], ports[i]});
    return head;
  };
  const std::pair<Texts, std::string> rows[] = {
      {with({"-H", "::1"}), "::1"},
      {with({"-H", "[::1]"}), "::1"},
      {{"-E", "[::1]:" + ports[0] + ":" + ports[1] + ":" + ports[2] + ":" + ports[3]}, "::1"},
      {with({"-4", "-H", "dual.test", "--no-verify"}), "127.0.0.1"},
      {with({"-6", "-H", "dual.test", "--no-verify"}), "::1"},
  };
  for (auto [args, address] : rows) {
    SCOPED_TRACE(args[0] + " " + args[1]);  // the -E row has two words only
    const CheckOutcome text = CheckCommand(args);
    EXPECT_EQ(text.status, CheckExit::Ok) << text.text;
    EXPECT_THAT(text.text, HasSubstr("8 of 8 checks passed"));
    args.push_back("--json");
    const CheckOutcome json = CheckCommand(args);
    EXPECT_EQ(Addresses(json.text), Texts(8, address)) << json.text;
  }
}

// The input rules: an unclosed bracket and -4 with -6 are bad input (one
// line, exit 3); unbracketed text keeps its meaning.
TEST_F(VelkorCheckIpv6, BracketsAndFamiliesOnTheCommandLine) {
  const std::pair<std::string, std::string> rows[] = {
      {"-H [::1 --smtp 25", "-H: '[::1' has an unclosed bracket"},
      {"-H [::1]:25 --smtp 25", "-H: '[::1]:25' is not an IPv6 address in brackets"},
      {"-H [dual.test] --smtp 25", "-H: '[dual.test]' is not an IPv6 address in brackets"},
      {"-E [::1:25", "-E/--entry: '[::1:25' has an unclosed bracket"},
      {"-E [::1]x:25", "-E/--entry: '[::1]x:25' has text between ']' and the next ':'"},
      {"-4 -6 -H ::1 --smtp 25", "-4 and -6 do not go together"},
  };
  for (const auto& [args, line] : rows) {
    SCOPED_TRACE(args);
    const CheckOutcome o = CheckCommand(Words(args));
    EXPECT_EQ(o.status, CheckExit::Unknown);
    EXPECT_EQ(o.text, "VELKOR UNKNOWN - " + line + "\n");
  }
  // "mail::25" is the host mail with POP on 25, as it always was: the name is looked up.
  const CheckOutcome o = CheckCommand({"-E", "mail::25"});
  EXPECT_THAT(o.text, HasSubstr("POP 25: CRITICAL - failed in "));
  EXPECT_THAT(o.text, HasSubstr(": name not found\n"));
}

// A sweep of a list mixing IPv4, IPv6, dual-stack and IPv6-only hosts keeps
// the list's order, each host with its own address; with --each-address
// each entry has a check per address.
TEST_F(VelkorCheckIpv6, SweepOfMixedFamiliesKeepsItsOrder) {
  const Greeters peer(true, true);
  const std::string p = ":" + Port(peer.port()) + ":-:-:-";
  TempDir dir;
  WriteBytes(dir.file("VKRTARGET.INI"), "[::1]" + p + "\n127.0.0.1" + p + "\n# a comment\ndual.test" + p +
                                            "\nv6only.test" + p + "\n[::1]" + p + "\nv4only.test" + p + "\n");
  const Texts hosts = {"::1", "127.0.0.1", "dual.test", "v6only.test", "::1", "v4only.test"};
  const std::pair<std::string, std::vector<Texts>> rows[] = {
      {"", {{"::1"}, {"127.0.0.1"}, {"::1"}, {"::1"}, {"::1"}, {"127.0.0.1"}}},
      {"--each-address", {{"::1"}, {"127.0.0.1"}, {"127.0.0.1", "::1"}, {"::1"}, {"::1"}, {"127.0.0.1"}}},
  };
  for (const auto& [option, addresses] : rows) {
    SCOPED_TRACE(option);
    Texts args = {"--target-list", dir.file("VKRTARGET.INI"), "-j", "4", "--json"};
    if (!option.empty()) args.push_back(option);
    const CheckOutcome o = Swept(args);
    EXPECT_EQ(o.status, CheckExit::Ok) << o.text;
    const Texts lines = Lines(o.text);
    ASSERT_EQ(lines.size(), 7u) << o.text;
    for (size_t i = 0; i < 6; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(JsonValues(lines[i], "host"), Texts{hosts[i]});
      EXPECT_EQ(Addresses(lines[i]), addresses[i]);
    }
  }
}

// In a child in a network namespace of its own with only its loopback up, one greeter on both loopback addresses.
// First the system resolver, answered by libnss-wrapper's hosts file: a dual-stack name goes to ::1 first, an
// IPv6-only name to ::1, -4 to 127.0.0.1; an unknown name is not found (no DNS to ask: the namespace has none).
// Then Happy Eyeballs: the IPv6 address of a dual-stack name is silently dropped (an nft rule); IPv4 answers within
// a second, well inside the 10-second connect time-out. With -6 the same check waits its time-out.
TEST_F(VelkorCheckIpv6, SystemResolverAndADroppedIpv6PathInANamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root for a network namespace and nft";
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  if (access(wrapper, R_OK) != 0) GTEST_SKIP() << "SKIPPED: libnss-wrapper is not installed (scripts/install-deps --test)";
  TempDir dir;
  WriteBytes(dir.file("hosts"), "127.0.0.1 dual.test\n::1 dual.test\n::1 six.test\n");
  const std::string result = InChild([&] {
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) return std::string("no network namespace");
    const Greeters peer(true, true);
    const std::string port = Port(peer.port());
    std::string all;
    for (const char* args : {"-H dual.test", "-H six.test", "-4 -H dual.test", "-H nowhere.test"}) {
      // No deep binding of the real modules, which AddressSanitizer refuses to dlopen.
      const std::string command = "LD_PRELOAD=" + std::string(wrapper) + " NSS_WRAPPER_DISABLE_DEEPBIND=1 " +
                                  "NSS_WRAPPER_HOSTS=" + dir.file("hosts") + " NSS_WRAPPER_PASSWD=/etc/passwd " +
                                  "NSS_WRAPPER_GROUP=/etc/group " + VELKOR_CHECK_BINARY + " " + args + " --smtp " +
                                  port + " --json";
      all += RunShell(command).out;
    }
    const std::string rule = "nft add table inet velkor && nft add chain inet velkor in "
                             "'{ type filter hook input priority 0; }' && nft add rule inet velkor in "
                             "ip6 daddr ::1 tcp dport " + port + " drop";
    if (std::system(rule.c_str()) != 0) return all + "no nft rule";
    for (const std::string head : {"", "-6 -t 0.5 "}) {
      const auto start = std::chrono::steady_clock::now();
      all += CheckCommand(Words(head + "-H dual.test --smtp " + port + " --json")).text;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      all += "{\"took\":\"" + std::to_string(ms.count()) + "\"}\n";
    }
    return all;
  });
  EXPECT_EQ(Addresses(result), (Texts{"::1", "::1", "127.0.0.1", "null", "127.0.0.1", "::1"})) << result;
  const Texts transcripts = JsonValues(result, "transcript");
  ASSERT_EQ(transcripts.size(), 6u) << result;
  for (const size_t i : {0, 1, 2, 4}) EXPECT_TRUE(transcripts[i].starts_with(i < 2 ? "220 six" : "220 four")) << i;
  EXPECT_EQ(JsonValues(result, "reason")[3], "name not found");
  const Texts took = JsonValues(result, "took");
  ASSERT_EQ(took.size(), 2u) << result;
  EXPECT_GE(std::stoi(took[0]), 240) << "IPv6 was tried first";
  EXPECT_LT(std::stoi(took[0]), 1000) << result;
  EXPECT_GE(std::stoi(took[1]), 490) << "IPv6 alone waits for its time-out";
  EXPECT_THAT(result, HasSubstr("\"reason\":\"connect timed out after 0.5 s\""));
}

// --each-address: a dual-stack name whose IPv6 side refuses while IPv4
// answers. Without the option the name passes (IPv4 wins the race); with it
// each address has its own line and label, and the status line names the
// refusing IPv6 address. -4/-6 keep one family; a name without addresses
// runs once, unlabelled, with the lookup's reason. PING and the share
// listing follow the family and --each-address too.
TEST_F(VelkorCheckIpv6, EachAddressNamesTheRefusingIpv6Side) {
  const Greeters peer(false, true);
  const std::string p = Port(peer.port());
  const std::string four = "SMTP " + p + " [127.0.0.1]: OK - passed in ";
  const std::string six = "SMTP " + p + " [::1]: CRITICAL - failed in ";
  const struct {
    std::string args;
    CheckExit status;
    Texts has, hasNot;
    Texts addresses;  // the JSON's, in order
  } rows[] = {
      {"-H dual.test", CheckExit::Ok, {"1 of 1 checks passed | 'smtp_" + p + "'="}, {"["}, {"127.0.0.1"}},
      {"--each-address -H dual.test",
       CheckExit::Critical,
       {"VELKOR CRITICAL - 1 of 2 checks failed: SMTP " + p + " [::1] (connection refused) | 'smtp_" + p +
            "@[127.0.0.1]'=",
        " 'smtp_" + p + "@[::1]'=", four, six, " s: 220 four\n", " s: connection refused\n"},
       {},
       {"127.0.0.1", "::1"}},
      {"--each-address -6 -H dual.test", CheckExit::Critical, {"1 of 1 checks failed: SMTP " + p + " [::1]", six},
       {"127.0.0.1"}, {"::1"}},
      {"--each-address -4 -H dual.test", CheckExit::Ok, {"1 of 1 checks passed", four}, {"::1"}, {"127.0.0.1"}},
      {"--each-address -H v4only.test", CheckExit::Ok, {four, "'smtp_" + p + "@[127.0.0.1]'="}, {"::1"}, {"127.0.0.1"}},
      {"--each-address -H ::1", CheckExit::Critical, {six}, {"127.0.0.1"}, {"::1"}},
      {"--each-address -H nowhere.test", CheckExit::Critical,
       {"SMTP " + p + ": CRITICAL - failed in ", "name not found"}, {"["}, {"null"}},
      {"-4 -H v6only.test --ping --shares", CheckExit::Critical,
       {"2 of 2 checks failed: PING (no IPv4 address), SHARES (no IPv4 address) |"}, {}, {"null", "null"}},
      {"--each-address -H dual.test --ping", CheckExit::Ok, {"'ping@[127.0.0.1]'=", "\nPING [::1]: OK - passed in "},
       {}, {"127.0.0.1", "::1"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const bool ping = row.args.find("--ping") != std::string::npos;
    if (ping && geteuid() != 0) continue;  // PING of loopback needs a raw socket here
    Texts args = Words(ping ? row.args : row.args + " --smtp " + p);
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

}  // namespace

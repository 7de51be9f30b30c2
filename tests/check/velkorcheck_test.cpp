// velkor-check: its command line and bad input, its output against the
// real peers and hostile scripted ones, and the built command as a process
// (time bound, standard output only, libraries, two commands on one log
// directory).
// velkor-fixtures: all_peers
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/appstate.h"
#include "app/settings.h"
#include "check/checkrun.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "util/log.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string Port(uint16_t p) { return std::to_string(p); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The status line in the monitoring plugins' grammar: text, " | ", then
// 'label'=value[unit];[warn];[crit];[min];[max] items, each of which must
// match; an item is kept as label;warn;crit;min.
struct Status {
  std::string text;
  std::vector<std::string> items;
};
Status ParseStatusLine(const std::string& line) {
  const size_t bar = line.find(" | ");
  EXPECT_EQ(line.find('|'), bar + 1) << line;
  Status st{line.substr(0, bar), {}};
  static const std::regex item(R"('([^'=]+)'=[0-9]+\.[0-9]+s((;[0-9.]*){3}))");
  std::istringstream in(bar == std::string::npos ? "" : line.substr(bar + 3));
  for (std::string it; in >> it;) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(it, m, item)) << it;
    st.items.push_back(m.empty() ? it : m[1].str() + m[2].str());
  }
  return st;
}

CheckOutcome Check(std::vector<std::string> args) { return CheckCommand(args); }

TEST(VelkorCheckInput, EachBadInputIsOneLineAndUnknown) {
  TempDir dir;
  WriteBytes(dir.file("empty.dat"), "");
  // A settings file the settings dialog's check refuses: an SMTP port that is no number.
  SettingsFilePath = dir.file16("refused.dat");
  SystemSettings = SystemSettingsRecord{u"h", u"2x5", u"110", u"21", u"80", u"u", u"p", u"0", u"0"};
  ASSERT_TRUE(SaveSystemSettings());
  const std::string missing = dir.file("missing.dat");
  const struct {
    std::vector<std::string> args;
    std::string line;
  } rows[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-H", "h", "-x"}, "unknown option -x"},
      {{"-H"}, "option -H needs a value"},
      {{"-H", "h", "--ping=yes"}, "option --ping takes no value"},
      {{"-H", "h", "--smtp", "25", "stray"}, "unexpected argument 'stray'"},
      {{"-H", "h", "--smtp", "25", "-t", "1x"}, "-t: '1x' is not a number of seconds"},
      {{"-H", "h", "--smtp", "25", "--max-time=0"}, "--max-time: the time must be more than 0 s"},
      {{"-H", "h", "--smtp", "25", "-w", "-1"}, "-w: '-1' is not a number of seconds"},
      {{"-H", "a b", "--smtp", "25"}, "-H: 'a b' is not a host"},
      {{"-H", "h", "--smtp", "25", "-u", "x\r\nDELE 1"}, "-u: the value holds a control character"},
      {{"-H", "h", "--smtp", "25,x"}, "--smtp: '25,x' is not a comma list of ports"},
      {{"-H", "h", "--http=80,65536"}, "--http: port 65536 is outside 0..65535"},
      {{"-H", "h", "--pop", ","}, "--pop: ',' names no port"},
      {{"-H", "h"}, "no check selected: give --smtp, --pop, --ftp, --http, --ping or --shares"},
      {{"-H", "h", "-u", "x"}, "no check selected: give --smtp, --pop, --ftp, --http, --ping or --shares"},
      {{"-E", "h:x:x:x:x"}, "no check selected: -E/--entry 'h:x:x:x:x' leaves every service out"},
      {{"--smtp", "25"}, "no host: give -H HOST or -E ENTRY"},
      {{"-E", "h:25", "-H", "h"}, "-E/--entry does not go with -H/--hostname or the port options"},
      {{"-E", "h", "--ftp", "21"}, "-E/--entry does not go with -H/--hostname or the port options"},
      {{"-E", ":25"}, "-E/--entry: ':25' names no host"},
      {{"-E", "# h:25"}, "-E/--entry: '# h:25' is not one target entry"},
      {{"-H", "h", "--ping", "--log-dir", missing}, "--log-dir " + missing + ": not a directory (No such file or directory)"},
      {{"-H", "h", "--ping", "--settings", missing}, "settings file " + missing + ": not found"},
      {{"-H", "h", "--ping", "--settings", dir.path()}, "settings file " + dir.path() + ": cannot be read (not a regular file)"},
      {{"-H", "h", "--ping", "--settings", dir.file("empty.dat")}, "settings file " + dir.file("empty.dat") + ": empty"},
      {{"-E", "h", "--settings", dir.file("refused.dat")},
       "settings file " + dir.file("refused.dat") + ": 設定画面で正しい情報を入れてください。 （数字を入れてください。）"},
      {{"-H", "h", "--smtp", "25", "-t", "1|"}, "-t: '1¦' is not a number of seconds"},
      // TLS suffixes: one lower-case s or t after the digits; HTTP has no t.
      {{"-H", "h", "--http", "443s,80t"}, "--http: port 80t: HTTP has no upgrade to TLS (443s is HTTPS)"},
      {{"-H", "h", "--smtp", "465st"}, "--smtp: '465st' is not a comma list of ports"},
      {{"-H", "h", "--pop", "995S"}, "--pop: '995S' is not a comma list of ports"},
      {{"-H", "h", "--ftp", "s"}, "--ftp: 's' is not a comma list of ports"},
      {{"-H", "h", "--smtp", "70000t"}, "--smtp: port 70000 is outside 0..65535"},
      {{"-H", "h", "--http", "443s", "--cert-days", "7,21"}, "--cert-days: W (7) is below C (21)"},
      {{"-H", "h", "--http", "443s", "--cert-days", "-1,0"}, "--cert-days: '-1,0' is not W,C (two whole numbers of days)"},
      {{"-H", "h", "--http", "443s", "--cert-days=21"}, "--cert-days: '21' is not W,C (two whole numbers of days)"},
      {{"-H", "h", "--http", "443s", "--cert-days", "21,7,1"},
       "--cert-days: '21,7,1' is not W,C (two whole numbers of days)"},
  };
  for (const auto& row : rows) {
    const CheckOutcome out = Check(row.args);
    EXPECT_EQ(out.text, "VELKOR UNKNOWN - " + row.line + "\n");
    EXPECT_EQ(out.status, CheckExit::Unknown) << row.line;
  }
  // Help and version answer and end well.
  EXPECT_EQ(Check({"-V"}).text, "velkor-check  Ver： 0.2.5\n");
  EXPECT_EQ(Check({"--help"}).status, CheckExit::Ok);
}

TEST(VelkorCheckInput, HelpAndManPageListEveryOptionOfTheTable) {
  const std::string help = CheckHelpText();
  std::ifstream in(VELKOR_CHECK_MANPAGE);
  const std::string man((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(man.empty());
  for (const CheckOption& o : CheckOptions()) {
    std::string roff = "\\-\\-";
    for (const char* c = o.name; *c; ++c) roff += *c == '-' ? std::string("\\-") : std::string(1, *c);
    EXPECT_THAT(help, HasSubstr(std::string("--") + o.name)) << o.name;
    EXPECT_THAT(man, HasSubstr(roff)) << o.name;
    if (o.letter) {
      EXPECT_THAT(man, HasSubstr(std::string("\\-") + o.letter + " \", \" " + roff)) << o.name;
    }
  }
}

class VelkorCheckPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    VELKOR_REQUIRE_TCP_PEERS(peers);
  }
  std::vector<std::string> AllFour() const {
    return {"-H", "127.0.0.1", "--smtp", Port(peers.smtp) + "," + Port(peers.smtpNoEhlo), "--pop", Port(peers.pop),
            "--ftp", Port(peers.ftp) + "," + Port(peers.ftpBanner), "--http", Port(peers.http)};
  }
  TcpPeers peers = LoadTcpPeers();
};

TEST_F(VelkorCheckPeers, StatusLinePerformanceDataAndExitStatus) {
  uint16_t closed = 0;
  ::close(ListenOnLoopback(1, &closed));  // nothing listens there any more
  const std::string s = Port(peers.smtp), e = Port(peers.smtpNoEhlo), p = Port(peers.pop), f = Port(peers.ftp),
                    b = Port(peers.ftpBanner), h = Port(peers.http), c = Port(closed);
  const std::string all = "SMTP " + s + ", SMTP " + e + ", POP " + p + ", FTP " + f + ", FTP " + b + ", HTTP " + h;
  const std::vector<std::string> six{"smtp_" + s, "smtp_" + e, "pop_" + p, "ftp_" + f, "ftp_" + b, "http_" + h};
  const struct {
    std::vector<std::string> extra;
    CheckExit status;
    std::string text;
    std::string thresholds;  // ;warn;crit of each check's item
    std::vector<std::string> labels;
  } rows[] = {
      {{}, CheckExit::Ok, "VELKOR OK - 6 of 6 checks passed", ";;", six},
      {{"--ftp", f + "," + c + "," + b}, CheckExit::Critical, "VELKOR CRITICAL - 1 of 7 checks failed: FTP " + c, ";;",
       {"smtp_" + s, "smtp_" + e, "pop_" + p, "ftp_" + f, "ftp_" + c, "ftp_" + b, "http_" + h}},
      {{"-w", "0", "-c", "30"}, CheckExit::Warning, "VELKOR WARNING - 6 of 6 checks over the warning time of 0 s: " + all,
       ";0;30", six},
      {{"-w", "0", "-c", "0.0"}, CheckExit::Critical,
       "VELKOR CRITICAL - 6 of 6 checks over the critical time of 0.0 s: " + all, ";0;0.0", six},
      {{"-w", "30", "-c", "30"}, CheckExit::Ok, "VELKOR OK - 6 of 6 checks passed", ";30;30", six},
      {{"--smtp", s + "," + s}, CheckExit::Ok, "VELKOR OK - 6 of 6 checks passed", ";;",  // a port named twice
       {"smtp_" + s, "smtp_" + s + "_2", "pop_" + p, "ftp_" + f, "ftp_" + b, "http_" + h}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = AllFour();
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    const CheckOutcome out = Check(args);
    SCOPED_TRACE(out.text);
    EXPECT_EQ(out.status, row.status);
    const Status st = ParseStatusLine(Lines(out.text).at(0));
    EXPECT_EQ(st.text, row.text);
    std::vector<std::string> items;
    for (const std::string& l : row.labels) items.push_back(l + row.thresholds + ";0");
    items.push_back("time;;;0");
    EXPECT_EQ(st.items, items);
    EXPECT_EQ(Lines(out.text).size(), row.labels.size() + 1);  // a line per check
  }
  // The long output: verdict, time and the first line each server sent.
  const std::vector<std::string> lines = Lines(Check(AllFour()).text);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_THAT(lines[1], StartsWith("SMTP " + s + ": OK - passed in "));
  EXPECT_THAT(lines[1], HasSubstr(" s: 220 velkor-peer.localdomain ESMTP Postfix"));
  EXPECT_THAT(lines[3], HasSubstr(" s: +OK Dovecot (Debian) ready."));
  EXPECT_THAT(lines[5], HasSubstr(" s: 220-Welcome to the velkor test FTP peer."));
  EXPECT_THAT(lines[6], HasSubstr(" s: HTTP/1.1 200 OK"));
}

TEST_F(VelkorCheckPeers, SettingsFileGivesPortsAndUserOptionsBesideItWin) {
  TempDir dir;
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  SystemSettings = SystemSettingsRecord{u"elsewhere", PortText(peers.smtp), PortText(peers.pop), PortText(peers.ftp),
                                        PortText(peers.http), u"fromsettings", u"never-sent", u"5", u"1"};
  ASSERT_TRUE(SaveSystemSettings());
  const std::string file = dir.file("VKRSYS.DAT");
  const struct {
    std::vector<std::string> args;
    std::string text;
    std::vector<std::string> wanted, unwanted;
  } rows[] = {
      {{"-E", "127.0.0.1"}, "VELKOR OK - 4 of 4 checks passed", {"> USER fromsettings", "HTTP " + Port(peers.http)}, {}},
      // The entry's POP field and -u win; its FTP field leaves FTP out.
      {{"-E", "127.0.0.1::" + Port(peers.pop) + "," + Port(peers.smtp) + ":-", "-u", "fromoption"},
       "VELKOR CRITICAL - 1 of 4 checks failed: POP " + Port(peers.smtp),
       {"> USER fromoption", "POP " + Port(peers.pop) + ": OK"},
       {"fromsettings", "FTP "}},
      // A port the entry syntax accepts but no socket can use fails its check when it runs.
      {{"-E", "127.0.0.1:-:-:-:99999"}, "VELKOR CRITICAL - 1 of 1 checks failed: HTTP 99999",
       {"HTTP 99999: CRITICAL - failed in "}, {"SMTP "}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--settings", file, "-v"});
    const CheckOutcome out = Check(args);
    EXPECT_THAT(out.text, StartsWith(row.text + " | ")) << out.text;
    for (const std::string& w : row.wanted) EXPECT_THAT(out.text, HasSubstr(w));
    for (const std::string& u : row.unwanted) EXPECT_THAT(out.text, Not(HasSubstr(u)));
    EXPECT_THAT(out.text, Not(HasSubstr("never-sent")));
  }
}

// Every TLS form through the command, with the fixture's authority trusted unless a row says otherwise: what a
// certificate adds to the state, --no-verify, --cert-days, -E with suffixes, and --json.
TEST_F(VelkorCheckPeers, TlsFormsCertificatesAndJson) {
  const std::string https = Port(peers.https) + "s", expired = Port(peers.httpsExpired) + "s",
                    other = Port(peers.httpsOther) + "s";
  const std::vector<std::string> everyForm{
      "-H", "127.0.0.1", "--smtp", Port(peers.smtpTls) + "t," + Port(peers.smtps) + "s", "--pop",
      Port(peers.pop) + "t," + Port(peers.pop3s) + "s", "--ftp", Port(peers.ftpTls) + "t," + Port(peers.ftps) + "s",
      "--http", https};
  const std::vector<std::string> labels{"smtp_" + Port(peers.smtpTls) + "t", "smtp_" + Port(peers.smtps) + "s",
                                        "pop_" + Port(peers.pop) + "t",      "pop_" + Port(peers.pop3s) + "s",
                                        "ftp_" + Port(peers.ftpTls) + "t",   "ftp_" + Port(peers.ftps) + "s",
                                        "http_" + https};
  auto http = [](const std::string& port, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"-H", "127.0.0.1", "--http", port});
    return more;
  };
  const struct {
    std::vector<std::string> args;
    bool trusted;
    CheckExit status;
    std::string text;
  } rows[] = {
      {everyForm, true, CheckExit::Ok, "VELKOR OK - 7 of 7 checks passed"},
      {http(https), false, CheckExit::Warning,
       "VELKOR WARNING - 1 of 1 checks passed, 1 with a warning: HTTP " + https + " (certificate not verified)"},
      {http(https, {"--no-verify"}), false, CheckExit::Ok, "VELKOR OK - 1 of 1 checks passed"},
      {http(other), true, CheckExit::Warning,
       "VELKOR WARNING - 1 of 1 checks passed, 1 with a warning: HTTP " + other + " (certificate name does not match)"},
      {http(other, {"--no-verify"}), true, CheckExit::Ok, "VELKOR OK - 1 of 1 checks passed"},
      {http(expired, {"--no-verify"}), true, CheckExit::Critical,
       "VELKOR CRITICAL - 1 of 1 checks failed: HTTP " + expired + " (certificate expired)"},
      // The fixture's certificates have 824 whole days left.
      {http(https, {"--cert-days", "824,0"}), true, CheckExit::Ok, "VELKOR OK - 1 of 1 checks passed"},
      {http(https, {"--cert-days", "825,0"}), true, CheckExit::Warning,
       "VELKOR WARNING - 1 of 1 checks passed, 1 with a warning: HTTP " + https + " (certificate expires in 824 days)"},
      {http(https, {"--cert-days", "900,825", "--no-verify"}), false, CheckExit::Critical,
       "VELKOR CRITICAL - 1 of 1 checks passed, 1 critical: HTTP " + https + " (certificate expires in 824 days)"},
      {{"-E", "127.0.0.1:" + Port(peers.smtps) + "s:-:" + Port(peers.ftpTls) + "t:" + https}, true, CheckExit::Ok,
       "VELKOR OK - 3 of 3 checks passed"},
      {{"-E", "127.0.0.1:-:-:-:" + Port(peers.https) + "t"}, true, CheckExit::Critical,
       "VELKOR CRITICAL - 1 of 1 checks failed: HTTP " + Port(peers.https) + "t"},
  };
  for (const auto& row : rows) {
    const TrustedCa ca(row.trusted ? peers.caFile : "");
    const CheckOutcome out = Check(row.args);
    SCOPED_TRACE(out.text);
    EXPECT_EQ(out.status, row.status);
    EXPECT_EQ(ParseStatusLine(Lines(out.text).at(0)).text, row.text);
  }
  const TrustedCa ca(peers.caFile);
  std::vector<std::string> items;
  for (const std::string& l : labels) items.push_back(l + ";;;0");
  items.push_back("time;;;0");
  const CheckOutcome all = Check(everyForm);
  EXPECT_EQ(ParseStatusLine(Lines(all.text).at(0)).items, items);
  // Each line shows the server's first line, not the TLS lines before it.
  EXPECT_THAT(Lines(all.text).at(2), HasSubstr(" s: 220 velkor-peer.localdomain ESMTP Postfix"));
  EXPECT_THAT(Lines(Check({"-E", "127.0.0.1:-:-:-:" + Port(peers.https) + "t"}).text).at(1),
              HasSubstr(": HTTP には t を使えません"));
  EXPECT_THAT(Lines(Check({"-H", "127.0.0.1", "--smtp", Port(peers.smtp) + "t"}).text).at(1),
              HasSubstr(": TLS error: STARTTLS が提供されていません"));

  const CheckOutcome json =
      Check({"-H", "127.0.0.1", "--smtp", Port(peers.smtpTls) + "t," + Port(peers.smtp), "--http", expired, "--json"});
  EXPECT_EQ(json.status, CheckExit::Critical);
  const std::regex seconds("\"seconds\":[0-9]+\\.[0-9]{6}");
  EXPECT_EQ(std::regex_replace(json.text, seconds, "\"seconds\":S"),
            "{\"state\":\"CRITICAL\",\"summary\":\"1 of 3 checks failed: HTTP " + expired +
                " (certificate expired)\",\"seconds\":S,\"checks\":["
                "{\"name\":\"SMTP " + Port(peers.smtpTls) + "t\",\"service\":\"smtp\",\"port\":" +
                Port(peers.smtpTls) + ",\"tls\":\"starttls\",\"state\":\"OK\",\"passed\":true,\"seconds\":S,"
                "\"reasons\":[],\"reply\":\"220 velkor-peer.localdomain ESMTP Postfix\",\"tls_error\":null,"
                "\"certificate\":{\"protocol\":\"TLSv1.3\",\"verified\":true,\"verify_error\":null,"
                "\"name_matches\":true,\"expired\":false,\"days_left\":824}},"
                "{\"name\":\"SMTP " + Port(peers.smtp) + "\",\"service\":\"smtp\",\"port\":" + Port(peers.smtp) +
                ",\"tls\":null,\"state\":\"OK\",\"passed\":true,\"seconds\":S,\"reasons\":[],"
                "\"reply\":\"220 velkor-peer.localdomain ESMTP Postfix\"},"
                "{\"name\":\"HTTP " + expired + "\",\"service\":\"http\",\"port\":" + Port(peers.httpsExpired) +
                ",\"tls\":\"implicit\",\"state\":\"CRITICAL\",\"passed\":false,\"seconds\":S,"
                "\"reasons\":[\"certificate expired\"],\"reply\":\"HTTP/1.1 200 OK\",\"tls_error\":null,"
                "\"certificate\":{\"protocol\":\"TLSv1.2\",\"verified\":false,"
                "\"verify_error\":\"certificate has expired\",\"name_matches\":true,\"expired\":true,"
                "\"days_left\":null}}]}\n");
  EXPECT_EQ(Check({"--json", "--smtp", "25"}).text, "{\"state\":\"UNKNOWN\",\"summary\":\"no host: give -H HOST or -E "
                                                    "ENTRY\",\"checks\":[]}\n");
}

TEST_F(VelkorCheckPeers, SharesOfTheRealSmbServer) {
  if (PeerPort("smb") == 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  const CheckOutcome out = Check({"-H", "127.0.0.1", "--shares", "--smtp", Port(peers.smtp)});
  SetSmbPort(kSmbDefaultPort);
  EXPECT_EQ(out.status, CheckExit::Ok) << out.text;
  EXPECT_THAT(Lines(out.text).at(1), StartsWith("SHARES: OK - passed in "));
  EXPECT_THAT(Lines(out.text).at(1), HasSubstr(" s: ADMIN$"));
}

// Hostile scripted peers: a "|" in every reply, and a peer that never answers.
TEST(VelkorCheckHostile, BarInRepliesAndSilentPeer) {
  ScriptServer bars({"220 a|b\r\n", kLine, "331 x|y\r\n", kLine, "221 |\r\n"});
  const CheckOutcome out = Check({"-H", "127.0.0.1", "--ftp", Port(bars.port()), "-v"});
  const std::vector<std::string> lines = Lines(out.text);
  EXPECT_EQ(ParseStatusLine(lines.at(0)).items, (std::vector<std::string>{"ftp_" + Port(bars.port()) + ";;;0", "time;;;0"}));
  EXPECT_THAT(lines.at(1), HasSubstr(": 220 a¦b"));
  EXPECT_THAT(out.text, HasSubstr("\n331 x¦y\n"));
  EXPECT_EQ(out.text.find('|', lines[0].find(" | ") + 2), std::string::npos);  // the separator alone

  ScriptServer silent({Wait(5000)});
  const auto start = std::chrono::steady_clock::now();
  const CheckOutcome slow = Check({"-H", "127.0.0.1", "--smtp", Port(silent.port()), "-t", "0.3"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(slow.status, CheckExit::Critical);
  EXPECT_THAT(slow.text, StartsWith("VELKOR CRITICAL - 1 of 1 checks failed: SMTP " + Port(silent.port()) + " | "));
}

// The built command as a scheduler runs it: its exit status, its standard
// output and error. Several (each an argument list) run at once.
struct Ended {
  int status;
  std::string out, err;
};
std::vector<Ended> RunCommands(const std::vector<std::vector<std::string>>& commands) {
  TempDir dir;
  std::string script;
  for (size_t i = 0; i < commands.size(); ++i) {
    script += "( '" VELKOR_CHECK_BINARY "'";
    for (const std::string& a : commands[i]) script += " '" + a + "'";
    const std::string n = dir.file(std::to_string(i));
    script += " >" + n + ".out 2>" + n + ".err; echo $? >" + n + ".status ) & ";
  }
  EXPECT_EQ(std::system((script + "wait").c_str()), 0);
  std::vector<Ended> ended;
  for (size_t i = 0; i < commands.size(); ++i) {
    const std::string n = dir.file(std::to_string(i));
    ended.push_back({std::atoi(ReadBytes(n + ".status").c_str()), ReadBytes(n + ".out"), ReadBytes(n + ".err")});
  }
  return ended;
}
Ended RunCommand(const std::vector<std::string>& args) { return RunCommands({args}).at(0); }

TEST(VelkorCheckCommand, OwnTimeBoundStdoutOnlyAndNoLibrariesItDoesNotNeed) {
  ScriptServer silent({Wait(4000)});
  const auto start = std::chrono::steady_clock::now();
  const Ended bound = RunCommand({"-H", "127.0.0.1", "--smtp", Port(silent.port()), "--max-time", "1"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(bound.out, "VELKOR UNKNOWN - timed out after 1 s\n");
  EXPECT_EQ(bound.status, 3);
  EXPECT_EQ(bound.err, "");

  const Ended bad = RunCommand({"--smtp", "99999"});
  EXPECT_EQ(bad.out, "VELKOR UNKNOWN - --smtp: port 99999 is outside 0..65535\n");
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(bad.err, "");

  // --shares loads libsmbclient on demand (nothing listens on 445 here).
  const Ended shares = RunCommand({"-H", "127.0.0.1", "--shares", "-v", "-t", "2"});
  EXPECT_THAT(shares.out, StartsWith("VELKOR "));
  EXPECT_THAT(shares.out, HasSubstr("\nSHARES: "));
  EXPECT_THAT(shares.out, Not(HasSubstr("libsmbclient"))) << "the library did not load";
  EXPECT_EQ(shares.err, "");

  std::string libs;
  FILE* ldd = popen(("ldd " + std::string(VELKOR_CHECK_BINARY)).c_str(), "r");
  ASSERT_NE(ldd, nullptr);
  for (char buf[512]; fgets(buf, sizeof buf, ldd);) libs += buf;
  EXPECT_EQ(pclose(ldd), 0);
  EXPECT_THAT(libs, HasSubstr("libc.so"));
  EXPECT_THAT(libs, Not(HasSubstr("smbclient")));
  EXPECT_THAT(libs, Not(HasSubstr("Qt")));
}

// Two commands on one log directory while the run log rotates: every line
// of both runs and of the log before them is kept. Without the lock a line
// is lost in about every second round.
TEST(VelkorCheckCommand, TwoCommandsShareALogDirectoryAcrossARotation) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  std::string ports = Port(peers.http);
  for (int i = 0; i < 59; ++i) ports += "," + Port(peers.http);
  // The limit is crossed about a third into the runs, when both are writing.
  const std::string before = std::string(kLogRotateBytes - 12000, 'x') + "\r\n";
  for (int round = 0; round < 8 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir dir;
    WriteBytes(dir.file("velkor-check1.log"), before);
    const std::vector<std::string> args{"-H", "127.0.0.1", "--http", ports, "--log-dir", dir.path()};
    for (const Ended& e : RunCommands({args, args})) EXPECT_EQ(e.status, 0) << e.out;
    const std::string first = ReadBytes(dir.file("velkor-check2.log"));
    const std::string second = ReadBytes(dir.file("velkor-check1.log"));
    EXPECT_EQ(first.substr(0, before.size()), before);
    auto count = [&](const std::string& what) {
      size_t n = 0;
      for (const std::string* log : {&first, &second})
        for (size_t at = log->find(what); at != std::string::npos; at = log->find(what, at + 1)) ++n;
      return n;
    };
    EXPECT_EQ(count("HTTP  \x83\x60\x83\x83\x83\x8c\x83\x93\x83\x57 ##"), 120u);  // "チャレンジ" in CP932
    EXPECT_EQ(count("\x81\x79\x90\xB3\x8F\xED\x81\x7A"), 120u);                   // "【正常】"
    EXPECT_EQ(count("velkor-check :  - - -  Start"), 2u);
    EXPECT_EQ(count("velkor-check :  - - -   End"), 2u);
    std::vector<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) files.push_back(f.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"velkor-check1.log", "velkor-check2.log"}));
  }
}

}  // namespace

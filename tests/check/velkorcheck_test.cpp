// velkor-check: its command line and bad input, its output against the
// real peers and hostile scripted ones, and the built command as a process
// (time bound, standard output only, libraries, two commands on one log
// directory).
// velkor-fixtures: all_peers
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "app/appstate.h"
#include "app/commandline.h"
#include "app/settings.h"
#include "check/checkjson.h"
#include "check/checkprocess.h"
#include "check/checkrun.h"
#include "check/checksweep.h"
#include "check/childpool.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/tlsverdicts.h"
#include "support/unprivileged.h"
#include "util/codepage.h"
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
  const std::string list = dir.file("list.ini"), comments = dir.file("comments.ini");
  WriteBytes(list, "127.0.0.1:25\r\n");
  WriteBytes(comments, "# nothing\r\n\r\n  # here\r\n");
  const std::string notWith = "--target-list does not go with -H/--hostname, -E/--entry or the port options";
  const struct {
    std::vector<std::string> args;
    std::string line;
  } rows[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-H", "h", "-x"}, "unknown option -x"},
      {{"-H"}, "option -H needs a value"},
      {{"-H", "h", "--ping=yes"}, "option --ping takes no value"},
      {{"-H", "h", "--smtp", "25", "stray"}, "unexpected argument 'stray'"},
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
      // Sweeps.
      {{"--target-list", list, "-H", "h"}, notWith},
      {{"--target-list", list, "-E", "h"}, notWith},
      {{"--target-list", list, "--pop=110"}, notWith},
      {{"--target-list", missing}, "--target-list " + missing + ": not found"},
      {{"--target-list", dir.path()}, "--target-list " + dir.path() + ": cannot be read (not a regular file)"},
      {{"--target-list", dir.file("empty.dat")}, "--target-list " + dir.file("empty.dat") + ": no entries"},
      {{"--target-list", comments}, "--target-list " + comments + ": no entries"},
      {{"--target-list", list, "-j", "0"}, "-j: the number of jobs must be from 1 to 256"},
      {{"--target-list", list, "--jobs=257"}, "--jobs: the number of jobs must be from 1 to 256"},
      {{"--target-list", list, "-j", "0000000000000000000016x"}, "-j: '0000000000000000000016x' is not a number of jobs"},
      {{"--target-list", list, "--settings", missing}, "settings file " + missing + ": not found"},
      {{"-H", "h", "--smtp", "25", "-j", "2"}, "-j/--jobs goes with --target-list only"},
      {{"-E", "h", "--json", "-j", "1"}, "-j/--jobs goes with --target-list only"},
      // HTTP statuses: codes 100-599 and classes 1xx-5xx, nothing else.
      {{"-H", "h", "--http", "80", "--expect-status", ""}, "--expect-status: the value is empty"},
      {{"-H", "h", "--http", "80", "--expect-status", "200,"},
       "--expect-status: '200,' is not a comma list of status codes and classes (200,3xx)"},
      {{"-H", "h", "--http", "80", "--expect-status=2xx,20"},
       "--expect-status: '2xx,20' is not a comma list of status codes and classes (200,3xx)"},
      {{"-H", "h", "--http", "80", "--expect-status", "200,600"}, "--expect-status: 600 is outside 100..599"},
      {{"-H", "h", "--http", "80", "--expect-status", "099"}, "--expect-status: 099 is outside 100..599"},
      {{"-H", "h", "--http", "80", "--expect-status", "6xx"}, "--expect-status: 6xx is outside 1xx..5xx"},
      {{"-H", "h", "--http", "80", "--expect-status", "0xx"}, "--expect-status: 0xx is outside 1xx..5xx"},
      {{"-H", "h", "--http", "80", "--expect-status", "2XX"},
       "--expect-status: '2XX' is not a comma list of status codes and classes (200,3xx)"},
  };
  for (const auto& row : rows) {
    const CheckOutcome out = Check(row.args);
    EXPECT_EQ(out.text, "VELKOR UNKNOWN - " + row.line + "\n");
    EXPECT_EQ(out.status, CheckExit::Unknown) << row.line;
  }
  // A list that nobody may read, as an ordinary user sees it.
  WriteBytes(dir.file("private.ini"), "h:25\n");
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(dir.file("private.ini").c_str(), 0600);
  EXPECT_EQ(AsNobody([&] { return Check({"--target-list", dir.file("private.ini")}).text; }),
            "VELKOR UNKNOWN - --target-list " + dir.file("private.ini") + ": cannot be read (Permission denied)\n");
  EXPECT_EQ(Check({"--target-list", list, "-j", "256", "--help"}).status, CheckExit::Ok);
  // Help and version answer and end well.
  EXPECT_EQ(Check({"-V"}).text, "velkor-check 0.2.5\n");
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

// Terminal columns of a UTF-8 line: East Asian wide and full-width characters take two.
size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (char16_t c : FromUtf8(line))
    columns += (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                       (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6)
                   ? 2
                   : 1;
  return columns;
}

// Both commands' --help within 80 columns, so that options added later keep to it.
TEST(VelkorCheckInput, BothHelpTextsFitEightyColumns) {
  FILE* pipe = ::popen((std::string(VELKOR_CHECK_BINARY) + " --help").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string printed;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) printed.append(buf, n);
  ::pclose(pipe);
  EXPECT_EQ(printed, CheckHelpText());
  ASSERT_EQ(Columns("ＯＫ 設定"), 9u);
  const std::string home = "/home/operator.of.the.night.shift";
  for (const std::string& help : {printed, HelpText(home + "/.config/velkor", home + "/.local/state/velkor")}) {
    std::istringstream in(help);
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) EXPECT_LE(Columns(line), 80u) << line;
    EXPECT_GT(lines, 12);
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
      {{"--ftp", f + "," + c + "," + b}, CheckExit::Critical, "VELKOR CRITICAL - 1 of 7 checks failed: FTP " + c + " (connection refused)", ";;",
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
       "VELKOR CRITICAL - 1 of 4 checks failed: POP " + Port(peers.smtp) +
           " (unexpected greeting 220 \"220 velkor-peer.localdomain ESMTP Postfix\")",
       {"> USER fromoption", "POP " + Port(peers.pop) + ": OK"},
       {"fromsettings", "FTP "}},
      // A port the entry syntax accepts but no socket can use fails its check when it runs.
      {{"-E", "127.0.0.1:-:-:-:99999"}, "VELKOR CRITICAL - 1 of 1 checks failed: HTTP 99999 (port outside 0..65535)",
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
  EXPECT_THAT(slow.text, StartsWith("VELKOR CRITICAL - 1 of 1 checks failed: SMTP " + Port(silent.port()) +
                                    " (no greeting within 0.3 s) | "));
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
  // --shares loads libsmbclient on demand (nothing listens on 445 here).
  const std::vector<Ended> e = RunCommands({{"-H", "127.0.0.1", "--smtp", Port(silent.port()), "--max-time", "1"},
                                            {"--smtp", "99999"}, {"-H", "127.0.0.1", "--shares", "-v", "-t", "1"}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(e[0].out, "VELKOR UNKNOWN - timed out after 1 s\n");
  EXPECT_EQ(e[1].out, "VELKOR UNKNOWN - --smtp: port 99999 is outside 0..65535\n");
  EXPECT_EQ((std::vector<int>{e[0].status, e[1].status}), (std::vector<int>{3, 3}));
  EXPECT_THAT(e[2].out, StartsWith("VELKOR "));
  EXPECT_THAT(e[2].out, HasSubstr("\nSHARES: "));
  EXPECT_THAT(e[2].out, Not(HasSubstr("libsmbclient"))) << "the library did not load";
  for (const Ended& x : e) EXPECT_EQ(x.err, "");

  std::string libs;
  FILE* ldd = popen(("ldd " + std::string(VELKOR_CHECK_BINARY)).c_str(), "r");
  ASSERT_NE(ldd, nullptr);
  for (char buf[512]; fgets(buf, sizeof buf, ldd);) libs += buf;
  EXPECT_EQ(pclose(ldd), 0);
  EXPECT_THAT(libs, HasSubstr("libc.so"));
  EXPECT_THAT(libs, Not(HasSubstr("smbclient")));
#if defined(__x86_64__)
  // OpenSSL is loaded by the first TLS check only (a new OpenSSL call in the
  // core needs its forwarder, or the libraries come back here).
  EXPECT_THAT(libs, Not(HasSubstr("libssl")));
  EXPECT_THAT(libs, Not(HasSubstr("libcrypto")));
#endif
  EXPECT_THAT(libs, Not(HasSubstr("Qt")));
}

#if defined(__x86_64__)
// OpenSSL comes with the first TLS check only. With a libssl.so.3 that
// cannot be loaded first on the library path, a plain check passes as ever
// and a TLS check ends UNKNOWN, saying why (not a crash, not a hang).
TEST(VelkorCheckCommand, OpenSslIsLoadedByTheFirstTlsCheckOnly) {
  TempDir dir;
  std::ofstream(dir.file("libssl.so.3")) << "not a library\n";
  ScriptServer plain({"220 ready\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"});
  ScriptServer silent({Wait(3000)});  // the TLS hello is never answered
  const struct {
    std::string port;
    int status;
    std::string start;
  } rows[] = {
      {Port(plain.port()), 0, "VELKOR OK - 1 of 1 checks passed | "},
      {Port(silent.port()) + "s", 3, "VELKOR UNKNOWN - TLS needs " + dir.file("libssl.so.3") + ": "},
  };
  for (const auto& row : rows) {
    const std::string out = dir.file("out");
    const std::string command = "LD_LIBRARY_PATH='" + dir.path() + "' '" VELKOR_CHECK_BINARY
                                "' -H 127.0.0.1 --smtp " + row.port + " -t 2 >'" + out + "' 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << row.port;
    EXPECT_EQ(WEXITSTATUS(status), row.status) << row.port;
    EXPECT_THAT(ReadBytes(out), StartsWith(row.start)) << row.port;
  }
}
#endif

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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);  // the two logs and the lock
  }
}

// Another process holding a lock on fd until the object goes (or ten seconds pass), as nobody when asked: `take`
// opens what is to be held (-1: nothing to hold, it only plants).
class LockHolder {
 public:
  LockHolder(bool asNobody, const std::function<int()>& take) {
    int ready[2], done[2];
    if (pipe(ready) != 0 || pipe(done) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(ready[0]), close(done[1]);
      const int fd = !asNobody || DropRoot() ? take() : -1;
      const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? '1' : '0';
      (void)!write(ready[1], &ok, 1);
      pollfd p{done[0], POLLIN, 0};
      poll(&p, 1, 10000);
      _exit(0);
    }
    close(ready[1]), close(done[0]);
    m_done = done[1];
    (void)!read(ready[0], &m_held, 1);
    close(ready[0]);
  }
  ~LockHolder() {
    if (m_done >= 0) close(m_done);
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
  }
  bool Held() const { return m_held == '1'; }

 private:
  pid_t m_pid = -1;
  int m_done = -1;
  char m_held = '0';
};

// The log directory's lock belongs to velkor-check and never stalls a check: another user who holds the directory,
// or plants the lock file (holding it, or as a link), stops nothing; another command of the same user holding the
// lock costs at most the bound in all. A check that could not write its log lines still answers and says so after
// its check lines.
TEST(VelkorCheckLogLock, AnotherUsersLockNeverStallsACheck) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the attacker is another user (needs root)";
  uint16_t closed = 0;
  ::close(ListenOnLoopback(1, &closed));  // a check that fails at once: the log lines are what counts
  const std::string lock = kLogLockName;
  const struct {
    const char* name;
    bool asNobody;
    std::function<int(const std::string& dir, const std::string& target)> take;  // what the holder holds
    std::string note;  // the line after the check lines, up to its figure ("" none)
    bool logs;         // the logs were written
    long minMs, maxMs;
  } rows[] = {
      {"another user holds the directory", true,
       [](const std::string& dir, const std::string&) { return open(dir.c_str(), O_RDONLY | O_DIRECTORY); }, "",
       true, 0, 700},
      {"another user planted the lock file and holds it", true,
       [&](const std::string& dir, const std::string&) {
         return open((dir + "/" + lock).c_str(), O_RDWR | O_CREAT, 0666);
       },
       "Log: 5 log lines not written (velkor-check.lock owned by uid 65534, not this user)", false, 0, 700},
      {"another user planted the lock file as a link", true,
       [&](const std::string& dir, const std::string& target) {
         return symlink(target.c_str(), (dir + "/" + lock).c_str()) == 0 ? open("/", O_RDONLY) : -1;
       },
       "Log: 5 log lines not written (velkor-check.lock: not a regular file)", false, 0, 700},
      {"another command of this user holds it", false,
       [&](const std::string& dir, const std::string&) {
         return open((dir + "/" + lock).c_str(), O_RDWR | O_CREAT, 0600);
       },
       "Log: 5 log lines not written (lock held by another command for 3", false, 300, 1000},
      {"nobody holds it", false, [](const std::string&, const std::string&) { return open("/", O_RDONLY); }, "",
       true, 0, 700},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir, secrets;
    chmod(dir.path().c_str(), 0777);  // a log directory others may write
    WriteBytes(secrets.file("secret"), "root only\n");
    chmod(secrets.file("secret").c_str(), 0600);
    const LockHolder holder(row.asNobody, [&] { return row.take(dir.path(), secrets.file("secret")); });
    ASSERT_TRUE(holder.Held());
    CheckHooks hooks;
    hooks.logLockWaitMs = 300;
    const auto start = std::chrono::steady_clock::now();
    const CheckOutcome out =
        CheckCommand({"-H", "127.0.0.1", "--smtp", Port(closed), "--log-dir", dir.path()}, hooks);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    EXPECT_GE(ms, row.minMs);
    EXPECT_LE(ms, row.maxMs);
    EXPECT_EQ(out.status, CheckExit::Critical);  // the check's own verdict
    const std::vector<std::string> lines = Lines(out.text);
    ASSERT_EQ(lines.size(), row.note.empty() ? 2u : 3u) << out.text;
    EXPECT_THAT(lines.at(1), StartsWith("SMTP " + Port(closed) + ": CRITICAL"));
    if (!row.note.empty()) {
      EXPECT_THAT(lines.at(2), StartsWith(row.note));
    }
    EXPECT_EQ(std::filesystem::exists(dir.file("velkor-check1.log")), row.logs);
    EXPECT_EQ(ReadBytes(secrets.file("secret")), "root only\n");
  }
  // A sweep is one command: its hosts' waits, each in a process of its own, come out of one bound.
  {
    TempDir dir;
    const LockHolder holder(false, [&] { return open(dir.file(lock).c_str(), O_RDWR | O_CREAT, 0600); });
    const std::string entry = "127.0.0.1:" + Port(closed) + ":-:-:-\n";
    WriteBytes(dir.file("hosts.txt"), entry + entry + entry + entry + entry);
    CheckHooks hooks;
    hooks.logLockWaitMs = 300;
    const std::string out = dir.file("sweep.out");
    const int saved = dup(STDOUT_FILENO), file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    fflush(stdout);
    dup2(file, STDOUT_FILENO);
    const auto start = std::chrono::steady_clock::now();
    CheckCommand({"--target-list", dir.file("hosts.txt"), "-j", "1", "--log-dir", dir.path()}, hooks);
    const auto took = std::chrono::steady_clock::now() - start;
    dup2(saved, STDOUT_FILENO);
    close(saved), close(file);
    EXPECT_LT(took, std::chrono::milliseconds(1200));  // five bounds of their own would take 1.5 s in waits alone
    const std::string text = ReadBytes(out);
    size_t notes = 0;
    for (size_t at = text.find("Log: "); at != std::string::npos; at = text.find("Log: ", at + 1)) ++notes;
    EXPECT_EQ(notes, 5u) << text;
  }
  // The lock file this user made is this user's alone.
  TempDir dir;
  CheckCommand({"-H", "127.0.0.1", "--smtp", Port(closed), "--log-dir", dir.path()});
  struct stat st {};
  ASSERT_EQ(lstat(dir.file(lock).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Another user plants links named like the logs in a --log-dir they may write: root's check appends its log (server
// bytes included) to no root-only file and creates no file where a dangling link points; it still answers.
TEST(VelkorCheckLogLock, PlantedLogLinksLeaveTheirTargetsUntouched) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the attacker is another user (needs root)";
  ScriptServer server({"220 server bytes\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"});
  TempDir dir, secrets;
  chmod(dir.path().c_str(), 01777);  // shared, sticky: they may add names of their own
  WriteBytes(secrets.file("secret"), "root only\n");
  chmod(secrets.file("secret").c_str(), 0600);
  ASSERT_EQ(AsNobody([&] {
              return std::to_string(symlink(secrets.file("secret").c_str(), dir.file("velkor-check1.log").c_str()) |
                                    symlink(secrets.file("made").c_str(), dir.file("velkor-checkERR1.log").c_str()));
            }),
            "0");
  const CheckOutcome out = Check({"-H", "127.0.0.1", "--smtp", Port(server.port()), "--log-dir", dir.path()});
  EXPECT_THAT(out.text, StartsWith("VELKOR "));
  EXPECT_EQ(ReadBytes(secrets.file("secret")), "root only\n");
  EXPECT_FALSE(std::filesystem::exists(secrets.file("made")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("velkor-check1.log")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("velkor-checkERR1.log")));
}

// The JSON writer: the escapes JSON requires, and valid UTF-8 whatever it is given.
TEST(VelkorSweepJson, StringsAreEscapedAndValidUtf8) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"plain", "\"plain\""},
      {"say \"hi\" \\ there", R"("say \"hi\" \\ there")"},
      {"a\r\nb\tc\x01\x1f\x7f", R"("a\r\nb\tc\u0001\u001f\u007f")"},
      {"\xe6\xad\xa3", "\"\xe6\xad\xa3\""},                               // 正: kept
      {"x\xff\xc3y\xed\xa0\x80", "\"x\xef\xbf\xbd\xef\xbf\xbdy\xef\xbf\xbd\""},  // malformed, a surrogate: U+FFFD
  };
  for (const auto& row : rows) EXPECT_EQ(JsonString(row.in), row.out) << row.in;
  EXPECT_EQ(JsonString(std::u16string(u"a\xD800" u"b")), "\"a\xef\xbf\xbd" "b\"");  // a lone surrogate
  EXPECT_EQ(JsonObject().String("k", "v").Value("n", JsonSeconds(0.5)).Value("a", JsonArray({"1", "null"})).Text(),
            R"({"k":"v","n":0.500000,"a":[1,null]})");
}

TEST(VelkorSweepSummary, WorstStatusInTheSweepsOrderAndTheLine) {
  using E = CheckExit;
  const std::vector<SweepHost> hosts{{1, u"a", {}}, {2, u"b:25", {}}, {3, u"c", {}}, {4, u"d", {}}};
  const struct {
    std::vector<E> statuses;
    E worst;
    std::string line;
  } rows[] = {
      {{E::Ok, E::Ok, E::Ok, E::Ok}, E::Ok, "VELKOR SWEEP OK - 4 of 4 hosts passed"},
      {{E::Ok, E::Unknown, E::Ok, E::Ok}, E::Unknown, "VELKOR SWEEP UNKNOWN - 1 of 4 hosts unknown: b:25"},
      {{E::Unknown, E::Warning, E::Ok, E::Ok}, E::Warning,
       "VELKOR SWEEP WARNING - 1 of 4 hosts with a warning: b:25; 1 of 4 hosts unknown: a"},
      {{E::Unknown, E::Critical, E::Warning, E::Critical}, E::Critical,
       "VELKOR SWEEP CRITICAL - 2 of 4 hosts failed: b:25, d; 1 of 4 hosts with a warning: c; "
       "1 of 4 hosts unknown: a"},
  };
  CheckRequest text;
  for (const auto& row : rows) {
    const CheckOutcome out = SweepSummary(hosts, row.statuses, 1, text);
    EXPECT_EQ(out.text, row.line + "\n");
    EXPECT_EQ(out.status, row.worst) << row.line;
  }
}

// Children that end every way, with jobs ending out of order: each end is
// told as it is, none is left unreaped, and a stop kills the rest.
TEST(VelkorSweepChildren, EveryEndToldAndEveryChildReaped) {
  HangGuard guard(20);  // a child left unkilled would hold the test
  auto body = [](size_t i) {
    const std::string big(2 << 20, 'x');
    switch (i) {
      case 0: usleep(300000); WriteStandardOutput("slow\n"); _exit(0);
      case 1: WriteStandardOutput("fast\n"); _exit(2);
      case 2: raise(SIGKILL); break;
      case 3: for (;;) pause();                        // hangs
      case 4: WriteStandardOutput(big); _exit(0);     // over the output limit
      case 5: _exit(7);
    }
  };
  std::vector<size_t> order;
  std::map<size_t, ChildEnd> ends;
  const auto start = std::chrono::steady_clock::now();
  RunInChildren(7, ChildPoolLimits{8, 0.8, 1 << 20}, body, [&](size_t i, ChildEnd&& e) {
    order.push_back(i);
    ends[i] = std::move(e);
    return true;
  });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  using H = ChildEnd::How;
  const struct {
    H how;
    int code;
    std::string output;
  } want[] = {{H::Exited, 0, "slow\n"}, {H::Exited, 2, "fast\n"}, {H::Signalled, SIGKILL, ""}, {H::OverTime, SIGKILL, ""},
              {H::OutputTooLarge, SIGKILL, ""}, {H::Exited, 7, ""}, {H::Exited, 127, ""}};
  ASSERT_EQ(ends.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(ends[i].how, want[i].how) << i;
    EXPECT_EQ(ends[i].code, want[i].code) << i;
    if (want[i].how != H::OutputTooLarge) {
      EXPECT_EQ(ends[i].output, want[i].output) << i;
    }
  }
  EXPECT_EQ(order.back(), 3u);  // the one that hung, at its limit
  EXPECT_GE(ends[3].seconds, 0.8);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left, not even a zombie
  EXPECT_EQ(errno, ECHILD);

  // A stop after the first end: nothing more starts, the running are killed.
  size_t told = 0;
  RunInChildren(5, ChildPoolLimits{2, 30}, [](size_t i) {
    if (i == 0) _exit(0);
    pause();
  }, [&](size_t, ChildEnd&&) {
    ++told;
    return false;
  });
  EXPECT_EQ(told, 1u);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

// Times, dates and the server's Date header vary from run to run.
std::string Masked(const std::string& text) {
  static const std::regex varying(R"([0-9]+\.[0-9]{6}|[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8}|Date: [^\n]*)");
  return std::regex_replace(text, varying, "#");
}

// Every TLS form through the command, with the fixture's authority trusted unless a row says otherwise: what a
// certificate adds to the state, --no-verify, --cert-days, -E with suffixes, and a sweep's --json.
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
       "VELKOR CRITICAL - 1 of 1 checks failed: HTTP " + Port(peers.https) + "t (TLS failed (HTTP has no upgrade to TLS))"},
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
              HasSubstr(": TLS failed (HTTP has no upgrade to TLS)"));
  EXPECT_THAT(Lines(Check({"-H", "127.0.0.1", "--smtp", Port(peers.smtp) + "t"}).text).at(1),
              HasSubstr(" s: STARTTLS not offered"));

  // A sweep's JSON: each check's port a number, its TLS, its certificate (read back by a strict reader).
  TempDir dir;
  WriteBytes(dir.file("list"), "127.0.0.1:" + Port(peers.smtpTls) + "t," + Port(peers.smtp) + ":-:-:" + expired + "\n");
  WriteBytes(dir.file("read.py"), R"(import json,sys
for c in json.loads(open(sys.argv[1]).readline())['checks']:
  print(c['service'],c['port'],c['tls'],c['verdict'],json.dumps(c.get('certificate','none'))))");
  const Ended sweep = RunCommand({"--target-list", dir.file("list"), "--json"});
  EXPECT_EQ(sweep.status, 2);
  WriteBytes(dir.file("out.json"), sweep.out);
  std::string parsed;
  FILE* py = popen(("python3 " + dir.file("read.py") + " " + dir.file("out.json") + " 2>&1").c_str(), "r");
  ASSERT_NE(py, nullptr);
  for (char buf[512]; fgets(buf, sizeof buf, py);) parsed += buf;
  EXPECT_EQ(pclose(py), 0) << parsed;
  EXPECT_EQ(Lines(parsed),
            (std::vector<std::string>{
                "SMTP " + Port(peers.smtpTls) + " starttls OK {\"protocol\": \"TLSv1.3\", \"verified\": true, "
                "\"verify_error\": null, \"name_matches\": true, \"expired\": false, \"not_yet_valid\": false, "
                "\"days_left\": 824, \"reasons\": []}",
                "SMTP " + Port(peers.smtp) + " None OK \"none\"",
                "HTTP " + Port(peers.httpsExpired) + " implicit CRITICAL {\"protocol\": \"TLSv1.2\", \"verified\": false, "
                "\"verify_error\": \"certificate has expired\", \"name_matches\": true, \"expired\": true, "
                "\"not_yet_valid\": false, \"days_left\": null, \"reasons\": [\"certificate expired\"]}"}));
}

// A list of 100,000 entries is a sweep; one more is refused before any host is made a check of, in one line.
TEST(VelkorSweepBounds, AListOfMoreThan100000EntriesIsRefused) {
  TempDir dir;
  std::string list;
  for (size_t i = 0; i < kMaxSweepEntries; ++i) list += "h" + std::to_string(i) + "\n";
  WriteBytes(dir.file("full"), list);
  WriteBytes(dir.file("over"), list + "# a comment is no entry\n\nlast\n");
  std::vector<SweepHost> entries;
  EXPECT_EQ(ReadSweepList(dir.file("full"), entries), "");
  EXPECT_EQ(entries.size(), kMaxSweepEntries);
  EXPECT_EQ(entries.back().entry, u"h99999");
  entries.clear();
  EXPECT_EQ(ReadSweepList(dir.file("over"), entries), "--target-list " + dir.file("over") + ": more than 100000 entries");
  EXPECT_TRUE(entries.empty());
  const Ended over = RunCommand({"--target-list", dir.file("over"), "-j", "4"});
  EXPECT_EQ(over.status, 3);
  EXPECT_EQ(over.out, "VELKOR UNKNOWN - --target-list " + dir.file("over") + ": more than 100000 entries\n");
}

// Blocks held in turn: never more in memory than the bound, the rest through the file, each given back exactly;
// without a file to write to, only the blocks beyond the bound are lost, each with the reason.
TEST(VelkorSweepBounds, HeldOutputsStayWithinTheirMemory) {
  TempDir dir;
  const std::vector<std::string> blocks{"a\n", std::string(7, 'b') + "\n", "cc\n", std::string(3000, 'd') + "\n", "e\n", ""};
  for (const bool writable : {true, false}) {
    SCOPED_TRACE(writable ? "a temporary directory" : "no temporary directory");
    const std::string where = writable ? dir.path() : dir.file("missing");
    HeldOutputs held(blocks.size(), 12, where);
    std::vector<std::string> lost(blocks.size());
    for (size_t i = blocks.size(); i-- > 0;) {  // last first, as a slow first host leaves them
      lost[i] = held.Hold(i, std::string(blocks[i]));
      EXPECT_LE(held.BytesInMemory(), 12u);
      EXPECT_EQ(held.Holds(i), lost[i].empty());
    }
    // 0+2+3 fit the 12 bytes last first; "e\n" and "" fit too, the 8 and 3001 byte blocks do not.
    for (size_t i = 0; i < blocks.size(); ++i) {
      const bool inFile = i == 1 || i == 3;
      if (!writable && inFile) {
        EXPECT_EQ(lost[i], "its output could not be kept for its turn (temporary file in " + where +
                               ": No such file or directory)");
        continue;
      }
      EXPECT_EQ(lost[i], "");
      std::string why;
      EXPECT_EQ(held.Take(i, why), blocks[i]);
      EXPECT_EQ(why, "");
      EXPECT_FALSE(held.Holds(i));
    }
    EXPECT_EQ(held.BytesInMemory(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // the file never had a name
  }
}

// A sweep whose first host is slow holds the others' output; with no temporary file to write to, what does not fit
// in memory makes those hosts UNKNOWN with the reason, and the sweep goes on in the list's order.
TEST(VelkorSweepBounds, OutputBeyondMemoryGoesThroughTheFileOrItsHostIsUnknown) {
  HangGuard guard(30);
  uint16_t slow = 0, closed = 0;
  const int listening = ListenOnLoopback(8, &slow);  // nobody accepts: no greeting until --max-time
  ::close(ListenOnLoopback(1, &closed));
  TempDir dir;
  std::string list = "127.0.0.1:" + Port(slow) + ":-:-:-\n";
  for (int i = 0; i < 6; ++i) list += "127.0.0.1:" + Port(closed) + ":-:-:-\n";
  WriteBytes(dir.file("list"), list);
  const char* savedTmp = std::getenv("TMPDIR");
  const std::string saved = savedTmp ? savedTmp : "";
  for (const bool writable : {true, false}) {
    SCOPED_TRACE(writable ? "a temporary directory" : "no temporary directory");
    std::filesystem::create_directory(dir.file("tmp"));
    setenv("TMPDIR", dir.file(writable ? "tmp" : "missing").c_str(), 1);
    const ParsedCommandLine parsed =
        ParseCheckCommandLine({"--target-list", dir.file("list"), "-j", "4", "--max-time", "1"});
    ASSERT_TRUE(parsed.request) << parsed.error;
    CheckHooks hooks;
    hooks.sweepHeldMemoryBytes = 0;  // every host that waits goes through the file
    std::fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    const CheckOutcome summary = RunSweep(*parsed.request, hooks);
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    close(out);
    const std::vector<std::string> lines = Lines(ReadBytes(dir.file("out")));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "127.0.0.1:" + Port(slow) + ":-:-:- UNKNOWN - timed out after 1 s");
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string entry = "127.0.0.1:" + Port(closed) + ":-:-:- ";
      if (writable)
        EXPECT_THAT(lines[i], StartsWith(entry + "CRITICAL - 1 of 1 checks failed"));
      else
        EXPECT_EQ(lines[i], entry + "UNKNOWN - its output could not be kept for its turn (temporary file in " +
                                dir.file("missing") + ": No such file or directory)");
    }
    EXPECT_THAT(summary.text, StartsWith(writable ? "VELKOR SWEEP CRITICAL - 6 of 7 hosts failed"
                                                  : "VELKOR SWEEP UNKNOWN - 7 of 7 hosts unknown"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp")));  // the file never had a name
  }
  if (savedTmp) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
  close(listening);
}

// Servers of old or careless configurations, their authority trusted: what a current client would refuse is never
// OK. A chain that verifies only at security level 0 is not verified; a protocol below TLS 1.2 warns, --no-verify or
// not; a certificate outside its validity period fails its check, --no-verify or not.
TEST(VelkorCheckTls, VerdictsOfWeakAndOutOfPeriodServers) {
  TempDir dir;
  const TlsVerdictPeers servers = MakeTlsVerdictPeers(EpochNow());
  WriteBytes(dir.file("ca.pem"), servers.caPem);
  const TrustedCa ca(dir.file("ca.pem"));
  const struct {
    const char* peer;
    std::vector<std::string> more;
    CheckExit status;
    std::string text;  // the status line's text after "HTTP <port>s"; "" for none
    std::string line;  // a transcript line to be found (-v)
  } rows[] = {
      {"valid", {}, CheckExit::Ok, "", "日）\n"},
      {"md5", {}, CheckExit::Warning, " (certificate not verified)",
       "警告： 証明書を検証できません（CA signature digest algorithm too weak）"},
      {"md5", {"--no-verify"}, CheckExit::Ok, "", "警告： 証明書を検証できません（CA signature digest algorithm too weak）"},
      {"rsa1024", {}, CheckExit::Warning, " (certificate not verified)",
       "警告： 証明書を検証できません（EE certificate key too weak）"},
      {"tls1.0", {}, CheckExit::Warning, " (old protocol TLSv1)", "警告： 古いプロトコルです（TLSv1）"},
      {"tls1.0", {"--no-verify"}, CheckExit::Warning, " (old protocol TLSv1)", "TLS： TLSv1 "},
      {"tls1.1", {}, CheckExit::Warning, " (old protocol TLSv1.1)", "警告： 古いプロトコルです（TLSv1.1）"},
      {"not yet valid", {}, CheckExit::Critical, " (certificate not yet valid)", "（有効期間前）"},
      {"not yet valid", {"--no-verify"}, CheckExit::Critical, " (certificate not yet valid)",
       "警告： 証明書を検証できません（certificate is not yet valid）"},
      {"expired", {"--no-verify"}, CheckExit::Critical, " (certificate expired)", "（期限切れ）"},
  };
  for (const auto& row : rows) {
    ScriptServer server(HttpsScript(), servers.Of(row.peer));
    const std::string port = Port(server.port()) + "s";
    std::vector<std::string> args{"-H", "127.0.0.1", "--http", port, "-v"};
    args.insert(args.end(), row.more.begin(), row.more.end());
    const CheckOutcome out = Check(args);
    SCOPED_TRACE(std::string(row.peer) + "\n" + out.text);
    EXPECT_EQ(out.status, row.status);
    const std::string state = CheckStateWord(row.status);
    const std::string text = row.status == CheckExit::Ok ? "VELKOR OK - 1 of 1 checks passed"
                             : row.status == CheckExit::Critical
                                 ? "VELKOR CRITICAL - 1 of 1 checks failed: HTTP " + port + row.text
                                 : "VELKOR WARNING - 1 of 1 checks passed, 1 with a warning: HTTP " + port + row.text;
    EXPECT_EQ(ParseStatusLine(Lines(out.text).at(0)).text, text);
    EXPECT_THAT(out.text, HasSubstr(row.line));
    // The validity line shows the start as well as the end.
    static const std::regex period("\n有効期限： [0-9/]{10} [0-9:]{8} ～ [0-9/]{10} [0-9:]{8}（[^\n]*）\n");
    EXPECT_TRUE(std::regex_search(out.text, period));
    server.Received();
  }
  // The JSON certificate says which end of the period it is outside of.
  ScriptServer early(HttpsScript(), servers.Of("not yet valid"));
  WriteBytes(dir.file("list"), "127.0.0.1:-:-:-:" + Port(early.port()) + "s\n");
  const Ended sweep = RunCommand({"--target-list", dir.file("list"), "--json"});
  EXPECT_EQ(sweep.status, 2);
  EXPECT_THAT(sweep.out, HasSubstr("\"expired\":false,\"not_yet_valid\":true,"));
  EXPECT_THAT(sweep.out, HasSubstr("\"reasons\":[\"certificate not yet valid\"]"));
}

// A reply with quotes, a backslash, a TAB and bytes that are no text in
// the code page, from a peer that answers late: the sweep's lines still come
// in the list's order, and its JSON reads back.
TEST_F(VelkorCheckPeers, SweepInListOrderAsTextAndAsJson) {
  TempDir dir;
  const std::string list = dir.file("VKRTARGET.INI"), s = Port(peers.smtp);
  std::string late;  // the first entry, its peer's
  auto sweep = [&](std::vector<std::string> extra) {
    ScriptServer peer({Wait(700), "220 \"q\" \\ \t\x82\xa0\xff\x80!\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"});
    late = "127.0.0.1:" + Port(peer.port()) + ":-:-:-";
    WriteBytes(list, "# the list\r\n" + late + "\r\n\r\n127.0.0.1 : " + s + " : x : x : x\r\n:25\r\n" +
                         "127.0.0.1:-:-:-:99999\n127.0.0.1:x:x:x:x # every service out\n");
    extra.insert(extra.begin(), {"--target-list", list, "-j", "8"});
    return RunCommand(extra);
  };
  const Ended text = sweep({});
  std::vector<std::string> lines = Lines(Masked(text.out));
  ASSERT_EQ(lines.size(), 6u) << text.out;
  for (int i : {0, 1}) lines[i] = lines[i].substr(0, lines[i].find(" | "));
  const std::string summary = "1 of 5 hosts failed: 127.0.0.1:-:-:-:99999; 2 of 5 hosts unknown: :25, 127.0.0.1:x:x:x:x";
  const std::string failed = "1 of 1 checks failed: HTTP 99999 (port outside 0..65535)";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       late + " OK - 1 of 1 checks passed", "127.0.0.1:" + s + ":x:x:x OK - 1 of 1 checks passed",
                       ":25 UNKNOWN - the entry names no host",
                       "127.0.0.1:-:-:-:99999 CRITICAL - " + failed + " | 'http_99999'=#s;;;0 'time'=#s;;;0",
                       "127.0.0.1:x:x:x:x UNKNOWN - no check selected: the entry leaves every service out",
                       "VELKOR SWEEP CRITICAL - " + summary}));
  EXPECT_EQ(text.status, 2);
  EXPECT_EQ(text.err, "");

  const Ended json = sweep({"--json"});
  EXPECT_EQ(json.status, 2);
  WriteBytes(dir.file("out.json"), json.out);
  // Read back strictly: bytes that are not UTF-8, or a line that is not JSON, fail.
  WriteBytes(dir.file("read.py"), R"(import json,sys
for raw in open(sys.argv[1],'rb').read().decode('utf-8').split('\n')[:-1]:
  o=json.loads(raw)
  if 'summary' in o: print(o['summary'],o['verdict'],o['exit'],o['hosts'],o['ok'],o['warning'],o['critical'],o['unknown']); continue
  print(o['line'],o['host'],o['entry'],o['verdict'],o['exit'],o['text'],o['seconds']>0.5,len(o['checks']))
  for c in o['checks']: print(' ',c['service'],c['port'],c['verdict'],c['passed'],json.dumps(c['transcript'].split('\n')[0],ensure_ascii=False),c['reports']))");
  std::string parsed;
  FILE* py = popen(("python3 " + dir.file("read.py") + " " + dir.file("out.json") + " 2>&1").c_str(), "r");
  ASSERT_NE(py, nullptr);
  for (char buf[512]; fgets(buf, sizeof buf, py);) parsed += buf;
  EXPECT_EQ(pclose(py), 0) << parsed;
  const std::string port = late.substr(10, late.size() - 16);
  EXPECT_EQ(Lines(parsed), (std::vector<std::string>{
                               "2 127.0.0.1 " + late + " OK 0 1 of 1 checks passed True 1",
                               "  SMTP " + port + " OK True \"220 \\\"q\\\" \\\\ \\tあ\uFFFD\uFFFD!\\r\" []",
                               "4 127.0.0.1 127.0.0.1:" + s + ":x:x:x OK 0 1 of 1 checks passed False 1",
                               "  SMTP " + s + " OK True \"220 velkor-peer.localdomain ESMTP Postfix\\r\" []",
                               "5  :25 UNKNOWN 3 the entry names no host False 0",
                               "6 127.0.0.1 127.0.0.1:-:-:-:99999 CRITICAL 2 " + failed + " False 1",
                               "  HTTP 99999 CRITICAL False \"---- 127.0.0.1 -- ［応答なし］  \" "
                               "['WinSockManager: ポート番号が範囲外です。(99999)']",
                               "7 127.0.0.1 127.0.0.1:x:x:x:x UNKNOWN 3 no check selected: the entry leaves every "
                               "service out False 0",
                               summary + " CRITICAL 2 5 2 0 1 2"}));
}

// Each host's block is the one-host run of its entry, whatever the jobs.
TEST_F(VelkorCheckPeers, SweepHostsAreTheirOneHostRunsWithOneJobOrEight) {
  uint16_t closed = 0;
  ::close(ListenOnLoopback(1, &closed));
  const std::vector<std::string> entries{
      "127.0.0.1:" + Port(peers.smtp) + ":" + Port(peers.pop) + ":" + Port(peers.ftp) + ":" + Port(peers.http),
      "127.0.0.1:" + Port(peers.smtpNoEhlo) + "," + Port(closed) + ":-:" + Port(peers.ftpBanner) + ":-",
      "localhost:x:x:x:" + Port(peers.http),
      "127.0.0.1:-:" + Port(peers.pop) + ":-:-",
      "127.0.0.1:-:-:" + Port(closed) + ":-"};
  TempDir dir;
  std::string list;
  for (const std::string& e : entries) list += e + "\n";
  WriteBytes(dir.file("list"), list);
  std::vector<std::vector<std::string>> commands{{"--target-list", dir.file("list"), "-v", "-j", "1"},
                                                 {"--target-list", dir.file("list"), "-v", "-j", "8"}};
  for (const std::string& e : entries) commands.push_back({"-E", e, "-v"});
  const std::vector<Ended> ended = RunCommands(commands);
  std::string wanted;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::vector<std::string> single = Lines(Masked(ended[2 + i].out));
    wanted += entries[i] + " " + single.at(0).substr(7) + "\n";
    for (size_t k = 1; k < single.size(); ++k) wanted += (single[k].empty() ? "" : "  ") + single[k] + "\n";
  }
  wanted += "VELKOR SWEEP CRITICAL - 2 of 5 hosts failed: " + entries[1] + ", " + entries[4] + "\n";
  EXPECT_EQ(Masked(ended[0].out), wanted);
  EXPECT_EQ(Masked(ended[1].out), wanted);
  EXPECT_EQ(ended[0].status, 2);
  EXPECT_EQ(ended[1].status, 2);
}

// A host whose process is killed and one whose peer never answers (its
// own --max-time ends it) are UNKNOWN with the reason; the sweep goes on.
TEST_F(VelkorCheckPeers, SweepGoesOnPastAKilledAndAHangingHost) {
  uint16_t first = 0, second = 0;
  const int a = ListenOnLoopback(8, &first), b = ListenOnLoopback(8, &second);  // nobody accepts: no greeting
  TempDir dir;
  const std::string e1 = "127.0.0.1:" + Port(first) + ":-:-:-", e2 = "127.0.0.1:" + Port(second) + ":-:-:-",
                    e3 = "127.0.0.1:-:-:-:" + Port(peers.http);
  const std::string list = dir.file("list"), out = dir.file("out"), err = dir.file("err");
  WriteBytes(list, e1 + "\n" + e2 + "\n" + e3 + "\n");
  const auto start = std::chrono::steady_clock::now();
  const pid_t sweep = fork();  // the built command, not waited for
  if (sweep == 0) {
    dup2(open(out.c_str(), O_WRONLY | O_CREAT, 0644), 1), dup2(open(err.c_str(), O_WRONLY | O_CREAT, 0644), 2);
    execl(VELKOR_CHECK_BINARY, "velkor-check", "--target-list", list.c_str(), "-j", "1", "-t", "30", "--max-time", "1",
          nullptr);
    _exit(127);
  }
  // With one job the first child is the first host's: killed as soon as it is there.
  const std::string children = "/proc/" + std::to_string(sweep) + "/task/" + std::to_string(sweep) + "/children";
  for (int i = 0; i < 500; ++i) {
    if (const int child = std::atoi(ReadBytes(children).c_str()); child > 0) {
      EXPECT_EQ(kill(child, SIGKILL), 0);
      break;
    }
    usleep(2000);
  }
  int status = 0;
  ASSERT_EQ(waitpid(sweep, &status, 0), sweep);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  std::vector<std::string> lines = Lines(ReadBytes(out));
  ASSERT_EQ(lines.size(), 4u);
  lines[2] = lines[2].substr(0, lines[2].find(" | "));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       e1 + " UNKNOWN - its check process was ended by signal 9 (Killed)",
                       e2 + " UNKNOWN - timed out after 1 s", e3 + " OK - 1 of 1 checks passed",
                       "VELKOR SWEEP UNKNOWN - 2 of 3 hosts unknown: " + e1 + ", " + e2}));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(ReadBytes(err), "");
  ::close(a);
  ::close(b);

  // On a terminal the progress shows there, and goes again at the end.
  const std::string shown = dir.file("shown");
  const std::string line = "script -qec \"" VELKOR_CHECK_BINARY " --target-list " + list +
                           " --max-time 0.5 >/dev/null\" /dev/null >" + shown;
  EXPECT_EQ(WEXITSTATUS(std::system(line.c_str())), 2);  // the sweep's own status
  EXPECT_THAT(ReadBytes(shown), StartsWith("\rvelkor-check: 0 of 3 hosts done\033[K"));
  EXPECT_THAT(ReadBytes(shown), ::testing::EndsWith("\r\033[K"));
}

}  // namespace

// velkor-check: its command line and bad input, its output against the real peers and hostile scripted ones, its
// sweeps, its log lock and held outputs, and the built command as a process (time bound, standard output only,
// libraries, two commands on one log directory). The cases are in tests/data/check-*.cases: one engine, RunCases,
// runs every case of a velkor-check run; the bad input, the parts of a sweep called in this process and the
// children's pools have an engine each.
// velkor-fixtures: all_peers
#include <fcntl.h>
#include <openssl/tls1.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>

#include "app/appstate.h"
#include "app/commandline.h"
#include "app/settings.h"
#include "check/checkjson.h"
#include "check/checkprocess.h"
#include "check/checkrun.h"
#include "check/checksweep.h"
#include "check/childpool.h"
#include "net/smbshares.h"
#include "support/casefile.h"
#include "support/checkpeers.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/tlsverdicts.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace {

// The built command as a scheduler runs it: its standard output and exit status; its standard error stays empty.
// count of it run at once; with killFirst, the first child of each is killed as soon as it is there (with one job,
// the first host's).
std::vector<Ran> RunCommands(const std::vector<std::string>& args, size_t count = 1, bool killFirst = false) {
  TempDir dir;
  std::vector<char*> argv{const_cast<char*>("velkor-check")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<pid_t> started;
  for (size_t i = 0; i < count; ++i) {
    const std::string n = dir.file(std::to_string(i));
    started.push_back(fork());
    if (started.back() == 0) {
      dup2(open((n + ".out").c_str(), O_WRONLY | O_CREAT, 0644), 1);
      dup2(open((n + ".err").c_str(), O_WRONLY | O_CREAT, 0644), 2);
      execv(VELKOR_CHECK_BINARY, argv.data());
      _exit(127);
    }
  }
  std::vector<Ran> ended;
  for (size_t i = 0; i < count; ++i) {
    const std::string task = "/proc/" + std::to_string(started[i]) + "/task/" + std::to_string(started[i]);
    for (int tries = 0; killFirst && tries < 500; ++tries, usleep(2000)) {
      if (const int child = std::atoi(ReadBytes(task + "/children").c_str()); child > 0) {
        EXPECT_EQ(kill(child, SIGKILL), 0);
        break;
      }
    }
    int status = 0;
    EXPECT_EQ(waitpid(started[i], &status, 0), started[i]);
    EXPECT_EQ(ReadBytes(dir.file(std::to_string(i) + ".err")), "");
    ended.push_back({ReadBytes(dir.file(std::to_string(i) + ".out")), WEXITSTATUS(status)});
  }
  return ended;
}

// Times, dates and the server's Date header vary from run to run.
std::string Masked(const std::string& text) {
  static const std::regex varying(R"([0-9]+\.[0-9]{6}|[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8}|Date: [^\n]*)");
  return std::regex_replace(text, varying, "#");
}

// Whether text holds what a case's "COUNT TEXT" says, as often as it says.
void ExpectHolds(const std::string& text, const std::string& countAndWhat) {
  const size_t blank = countAndWhat.find(' ');
  const std::string what = countAndWhat.substr(blank + 1);
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  EXPECT_EQ(std::to_string(n), countAndWhat.substr(0, blank)) << what;
}

// Reads each line of a sweep's JSON output back and prints the fields the cases compare.
const char kReadJson[] = R"(import json,re,sys
for raw in open(sys.argv[1],'rb').read().decode('utf-8').split('\n')[:-1]:
  o=json.loads(raw)
  if 'summary' in o: print(o['summary'],o['verdict'],o['exit'],o['hosts'],o['ok'],o['warning'],o['critical'],o['unknown']); continue
  print(o['line'],o['host'],o['entry'],o['verdict'],o['exit'],o['text'],o['seconds']>0.5,len(o['checks']))
  for c in o['checks']:
    print(' ',c['service'],c['port'],c['verdict'],c['passed'],
          json.dumps(re.sub(r'(TLSv[.0-9]+) \S+',r'\1 #',c['transcript'].split('\n')[0]),ensure_ascii=False),
          c['reports'],c['tls'],*([json.dumps(c['certificate'])] if 'certificate' in c else [])))";

// The cases of velkor-check's runs (see check-one-host.cases, check-sweep.cases and check-hooks.cases): each runs
// the built command once (or several at once), or a shell's command line, or runs it in this process with its hooks
// set, with its scripted peer, its target list, its directory and what others planted or hold there, and compares
// what it printed and left. caFile is the authority trusted unless a case is "untrusted"; tls holds the peers a case
// names with "tls".
void RunCases(const std::string& file, CaseVars vars, const std::string& caFile = "",
              const TlsVerdictPeers* tls = nullptr) {
  const char* savedTmp = std::getenv("TMPDIR");
  const std::string saved = savedTmp ? savedTmp : "";
  vars["BINARY"] = VELKOR_CHECK_BINARY;
  vars.insert({{"PORT", "${PORT}"}, {"DIR", "${DIR}"}, {"SECRETS", "${SECRETS}"}, {"CLOSED", "${CLOSED}"}});
  const std::vector<Case> cases = LoadCases(file, vars);
  for (size_t i = 0; i < cases.size(); ++i) {
    for (long round = 0; round < cases[i].number("rounds", 1); ++round) {
#if !defined(__x86_64__)
      if (cases[i].has("only")) continue;
#endif
      if (cases[i].has("needs") && geteuid() != 0) {
        std::printf("SKIPPED LOUDLY: %s: %s needs root\n", cases[i].where.c_str(), cases[i].name.c_str());
        continue;
      }
      TempDir dir, secrets;
      TlsPeer server = cases[i].has("tls") ? tls->peers.at(cases[i].get("tls")) : TlsPeer{};
      if (cases[i].get("protocol") == "TLSv1.2") server.onlyVersion = TLS1_2_VERSION;
      ScriptServer peer(cases[i].has("tls") ? HttpsScript() : PeerSteps(cases[i]), server);
      uint16_t closed = 0;
      ::close(ListenOnLoopback(1, &closed));  // nothing listens there any more
      vars["CLOSED"] = std::to_string(closed);  // the file is read again for this run, with its own values
      vars["PORT"] = std::to_string(peer.port());
      vars["DIR"] = dir.path();
      vars["SECRETS"] = secrets.path();
      const Case c = LoadCases(file, vars).at(i);
      CASE_TRACE(c);
      SCOPED_TRACE("round " + std::to_string(round));
      chmod(dir.path().c_str(), c.has("sticky") ? 01777 : 0777);  // a log directory others may write
      std::filesystem::create_directory(dir.file("tmp"));
      WriteBytes(secrets.file("secret"), "root only\n");
      chmod(secrets.file("secret").c_str(), 0600);
      const TrustedCa ca(c.has("untrusted") ? "" : caFile);
      std::string list;  // h0, h1 ... to as many entries as the case says, then its list lines
      for (long e = 0; e < c.number("entries"); ++e) list += "h" + std::to_string(e) + "\n";
      for (const std::string& line : c.all("list")) list += line;
      WriteBytes(dir.file("list"), list);
      const std::string before = std::string(static_cast<size_t>(c.number("log-before", 2)) - 2, 'x') + "\r\n";
      if (c.has("log-before")) WriteBytes(dir.file("velkor-check1.log"), before);
      for (const std::string& plant : c.all("plant")) {  // by another user: NAME (a file) or NAME TARGET (a link)
        const std::vector<std::string> w = Words(plant);
        EXPECT_EQ(AsNobody([&] {
                    return std::to_string(w.size() == 1 ? close(open(dir.file(w[0]).c_str(), O_RDWR | O_CREAT, 0666))
                                                        : symlink(w.at(1).c_str(), dir.file(w[0]).c_str()));
                  }),
                  "0")
            << plant;
      }
      std::vector<int> held;  // a flock conflicts with another open of the file in this process as in another
      for (const std::string& name : c.all("flock")) {
        held.push_back(open(dir.file(name).c_str(), name == "." ? O_RDONLY | O_DIRECTORY : O_RDWR | O_CREAT, 0600));
        EXPECT_EQ(flock(held.back(), LOCK_EX), 0) << name;
      }
#if defined(__x86_64__)
      WriteBytes(dir.file("libssl.so.3"), "not a library\n");
      if (c.has("libssl")) setenv("LD_LIBRARY_PATH", dir.path().c_str(), 1);
#endif
      const std::vector<std::string> args = c.words("args");
      const auto start = std::chrono::steady_clock::now();
      Ran ended;
      if (c.has("shell")) {
        ended = RunShell(c.get("shell"));
      } else if (c.get("run") == "in-process") {
        setenv("TMPDIR", dir.file(c.get("tmpdir", "tmp")).c_str(), 1);
        CheckHooks hooks;
        hooks.logLockWaitMs = static_cast<int>(c.number("lock-wait-ms", hooks.logLockWaitMs));
        hooks.sweepHeldMemoryBytes = static_cast<size_t>(c.number("held-bytes", hooks.sweepHeldMemoryBytes));
        SetSmbPort(static_cast<uint16_t>(c.number("smb-port", kSmbDefaultPort)));
        // A sweep writes its lines to standard output as they come, then answers the summary.
        testing::internal::CaptureStdout();
        const int savedIn = c.has("stdin") ? dup(0) : -1;  // closed: what the command opens first is descriptor 0
        if (savedIn >= 0) close(0);
        const CheckOutcome out = CheckCommand(args, hooks);
        if (savedIn >= 0) EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 left open";
        if (savedIn >= 0) dup2(savedIn, 0), close(savedIn);
        ended = {testing::internal::GetCapturedStdout() + out.text, static_cast<int>(out.status)};
        SetSmbPort(kSmbDefaultPort);
        if (savedTmp) setenv("TMPDIR", saved.c_str(), 1);
        else unsetenv("TMPDIR");
      } else {
        const std::vector<Ran> all = RunCommands(args, static_cast<size_t>(c.number("commands", 1)), c.has("kill"));
        for (const Ran& other : all) EXPECT_EQ(other.status, all[0].status) << other.out;
        ended = all.at(0);
      }
      unsetenv("LD_LIBRARY_PATH");
      const long ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
      EXPECT_GE(ms, c.number("min-ms"));
      EXPECT_LE(ms, c.number("max-ms", 600000));
      SCOPED_TRACE(ended.out);
      for (const std::string& e : c.all("exit")) EXPECT_EQ(ended.status, std::stol(e));
      if (c.has("status") || c.has("perf")) {  // the plugins' grammar: text, " | ", 'label'=value[unit];w;c;min items
        const std::string first = Lines(ended.out).at(0);
        const size_t bar = first.find(" | ");
        EXPECT_EQ(first.find('|'), bar + 1) << first;
        for (const std::string& s : c.all("status")) EXPECT_EQ(first.substr(0, bar), s);
        static const std::regex item(R"('([^'=]+)'=[0-9]+\.[0-9]+s((;[0-9.]*){3}))");
        for (const std::string& p : c.all("perf")) EXPECT_EQ(regex_replace(first.substr(bar + 3), item, "$1$2"), p);
      }
      for (const std::string& n : c.all("lines")) EXPECT_EQ(std::to_string(Lines(ended.out).size()), n);
      for (const std::string& t : c.all("text")) EXPECT_EQ(ended.out, t);
      for (const std::string& t : c.all("starts")) EXPECT_THAT(ended.out, ::testing::StartsWith(t));
      for (const std::string& t : c.all("ends")) EXPECT_THAT(ended.out, ::testing::EndsWith(t));
      for (const std::string& w : c.all("wanted")) EXPECT_THAT(ended.out, ::testing::HasSubstr(w));
      for (const std::string& u : c.all("unwanted")) EXPECT_THAT(ended.out, ::testing::Not(::testing::HasSubstr(u)));
      for (const std::string& m : c.all("matches")) EXPECT_TRUE(std::regex_search(ended.out, std::regex(m))) << m;
      for (const std::string& h : c.all("holds")) ExpectHolds(ended.out, h);
      if (c.has("json")) {  // read back strictly: bytes that are not UTF-8, or a line that is not JSON, fail
        WriteBytes(secrets.file("out.json"), ended.out);
        const Ran read = RunShell("python3 - " + secrets.file("out.json") + " 2>&1 <<'EOF'\n" + kReadJson + "\nEOF\n");
        EXPECT_EQ(read.status, 0) << read.out;
        EXPECT_EQ(Lines(read.out), c.all("json"));
      }
      EXPECT_EQ(c.has("out") ? Lines(Masked(ended.out)) : std::vector<std::string>{}, c.all("out"));
      if (c.has("blocks")) {  // each host's block is the one-host run of its entry, then the summary
        std::string blocks;
        for (const std::string& line : c.all("list")) {
          const std::string entry = line.substr(0, line.find('\n'));
          const std::vector<std::string> single = Lines(Masked(RunCommands({"-E", entry, "-v"}).at(0).out));
          blocks += entry + " " + single.at(0).substr(7) + "\n";
          for (size_t k = 1; k < single.size(); ++k) blocks += (single[k].empty() ? "" : "  ") + single[k] + "\n";
        }
        EXPECT_EQ(Masked(ended.out), blocks + c.get("blocks") + "\n");
      }
      // The logs as they follow each other (the one rotated away first), and what the run left in ${DIR}.
      const std::string logs =
          ReadBytes(dir.file("velkor-check2.log")) + "\n" + ReadBytes(dir.file("velkor-check1.log"));
      for (const std::string& kept : c.all("log-before")) EXPECT_EQ(logs.substr(0, before.size()), before) << kept;
      for (const std::string& h : c.all("log-holds")) ExpectHolds(logs, h);
      std::vector<std::string> files;
      for (const auto& f : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = f.path().filename();
        if (f.is_symlink()) files.push_back(name + " -> " + std::filesystem::read_symlink(f.path()).string());
        else if (name != "list" && name != "tmp" && name != "libssl.so.3") files.push_back(name);
      }
      std::sort(files.begin(), files.end());
      EXPECT_EQ(c.has("file") ? files : std::vector<std::string>{}, c.all("file"));
      for (const std::string& mode : c.all("lock-mode")) {  // the lock file the check made
        const std::filesystem::file_status st = std::filesystem::symlink_status(dir.file(kLogLockName));
        EXPECT_EQ(st.type(), std::filesystem::file_type::regular);
        EXPECT_EQ(st.permissions(), static_cast<std::filesystem::perms>(std::stoul(mode, nullptr, 8)));
      }
      EXPECT_EQ(ReadBytes(secrets.file("secret")), "root only\n");
      EXPECT_FALSE(std::filesystem::exists(secrets.file("made")));
      EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp")));  // a held output's file never had a name
      for (const int fd : held) close(fd);
    }
  }
}

TEST(VelkorCheckInput, EachBadInputIsOneLineAndUnknown) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // for nobody
  // A settings file the settings dialog's check refuses: an SMTP port that is no number.
  SettingsFilePath = dir.file16("refused.dat");
  SystemSettings = SystemSettingsRecord{u"h", u"2x5", u"110", u"21", u"80", u"u", u"p", u"0", u"0"};
  ASSERT_TRUE(SaveSystemSettings());
  for (const Case& row : LoadCases("check-bad-input.cases", {{"DIR", dir.path()}})) {
    CASE_TRACE(row);
    WriteBytes(dir.file("data"), row.get("data"));
    ::chmod(dir.file("data").c_str(), 0600);
    const std::vector<std::string> args = row.words("args");
    const auto run = [&] {  // the exit status, and the answer unless it is the help
      const CheckOutcome out = CheckCommand(args);
      return std::to_string(static_cast<int>(out.status)) + (row.has("help") ? "" : " " + out.text);
    };
    const std::string answer = row.has("help") ? "" : " " + row.get("text", "VELKOR UNKNOWN - " + row.name + "\n");
    EXPECT_EQ(row.has("nobody") ? AsNobody(run) : run(), row.get("exit", "3") + answer);
  }
}

// Terminal columns of a UTF-8 line: East Asian wide and full-width characters take two.
size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (char16_t c : FromUtf8(line))  // a wide one takes one column more
    columns += 1 + ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                    (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6));
  return columns;
}

// The manual page, written by hand, lists every option of the table (the help is made from it); both commands'
// --help keep within 80 columns, so that options added later keep to it.
TEST(VelkorCheckInput, HelpAndManPageListEveryOptionWithinEightyColumns) {
  const std::string help = CheckHelpText();
  const std::string man = ReadBytes(VELKOR_CHECK_MANPAGE);
  ASSERT_FALSE(man.empty());
  for (const CheckOption& o : CheckOptions()) {
    const std::string roff = "\\-\\-" + std::regex_replace(o.name, std::regex("-"), "\\-");
    // '\-x", "\-\-name' for an option with a letter
    EXPECT_THAT(man, ::testing::HasSubstr(o.letter ? std::string("\\-") + o.letter + " \", \" " + roff : roff))
        << o.name;
  }
  const Ran printed = RunShell(std::string(VELKOR_CHECK_BINARY) + " --help");
  EXPECT_EQ(printed.out, help);
  EXPECT_EQ(printed.status, 0);
  ASSERT_EQ(Columns("ＯＫ 設定"), 9u);
  const std::string home = "/home/operator.of.the.night.shift";
  for (const std::string& text : {printed.out, HelpText(home + "/.config/velkor", home + "/.local/state/velkor")}) {
    for (const std::string& line : Lines(text)) EXPECT_LE(Columns(line), 80u) << line;
    EXPECT_GT(Lines(text).size(), 12u);
  }
  // An option's text is wrapped, not broken early: the first word of each continued line would not have fitted.
  const std::vector<std::string> lines = Lines(help);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].starts_with("        ") && lines[i + 1].starts_with("        ")) {
      const std::string next = lines[i + 1].substr(8, lines[i + 1].find(' ', 8) - 8);
      EXPECT_GT(Columns(lines[i]) + 1 + Columns(next), 80u) << lines[i];
    }
  }
}

// One host against the real peers, plain and TLS (check-one-host.cases): the status line, its performance data, the
// exit status, and what the long output (-v: the transcript) holds or must not hold; two commands on one log
// directory. Sweeps by the built command, alone or on a terminal (check-sweep.cases): their lines in the list's
// order, each host's block its one-host run, a killed and a hanging host, their JSON read back.
TEST(VelkorCheckPeers, OneHostAndSweepsAsTextJsonAndOnATerminal) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  TempDir dir;
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  SystemSettings = SystemSettingsRecord{u"elsewhere", PortText(peers.smtp), PortText(peers.pop), PortText(peers.ftp),
                                        PortText(peers.http), u"fromsettings", u"never-sent", u"5", u"1"};
  ASSERT_TRUE(SaveSystemSettings());
  uint16_t first = 0, second = 0;
  const int a = ListenOnLoopback(8, &first), b = ListenOnLoopback(8, &second);  // nobody accepts: no greeting
  CaseVars vars{{"SETTINGS", dir.file("VKRSYS.DAT")}, {"SMB", std::to_string(PeerPort("smb"))},
                {"SILENT1", std::to_string(first)},   {"SILENT2", std::to_string(second)}};
  const std::pair<const char*, uint16_t> ports[] = {  // the real peers' ports by the names the data files use
      {"SMTP", peers.smtp},         {"SMTP_NO_EHLO", peers.smtpNoEhlo}, {"POP", peers.pop},   {"FTP", peers.ftp},
      {"FTP_BANNER", peers.ftpBanner}, {"HTTP", peers.http},           {"SMTP_TLS", peers.smtpTls},
      {"SMTPS", peers.smtps},       {"POP3S", peers.pop3s},   {"FTP_TLS", peers.ftpTls}, {"FTPS", peers.ftps},
      {"HTTPS", peers.https}, {"HTTPS_EXPIRED", peers.httpsExpired}, {"HTTPS_OTHER", peers.httpsOther}};
  for (const auto& [name, port] : ports) vars[name] = std::to_string(port);
  for (const char* file : {"check-one-host.cases", "check-sweep.cases"}) RunCases(file, vars, peers.caFile);
  ::close(a);
  ::close(b);
}

// Scripted peers (check-scripted.cases): hostile ones, and servers of old or careless configurations whose
// authority is trusted: what a current client would refuse is never OK. The built command (check-process.cases): its
// own time bound, standard output only, and no library it does not need: libsmbclient comes with --shares, OpenSSL
// with the first TLS check only. velkor-check in this process with its hooks set (check-hooks.cases): the log
// directory's lock never stalls a check, and a sweep's held outputs never lose a line.
TEST(VelkorCheckScripted, HostilePeersTheCommandsOwnBoundsAndTheLogLock) {
  TempDir dir;
  const TlsVerdictPeers servers = MakeTlsVerdictPeers(EpochNow());
  WriteBytes(dir.file("ca.pem"), servers.caPem);
  uint16_t slow = 0;
  const int listening = ListenOnLoopback(8, &slow);  // nobody accepts: no greeting until --max-time
  for (const char* file : {"check-scripted.cases", "check-process.cases", "check-hooks.cases"}) {
    RunCases(file, {{"SILENT", std::to_string(slow)}}, dir.file("ca.pem"), &servers);
  }
  close(listening);
}

// Parts of a sweep called in this process, each case's answer printed a line per item and compared with its out
// lines: the JSON writer, the summary line from its hosts' statuses and warnings, the target list's bound and the
// outputs held in turn.
TEST(VelkorSweepParts, EachAnswersAsItsCasesSay) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("held"));
  const std::map<std::string, CheckExit> named{{"OK", CheckExit::Ok}, {"WARNING", CheckExit::Warning},
                                               {"CRITICAL", CheckExit::Critical}, {"UNKNOWN", CheckExit::Unknown}};
  for (const char* file : {"check-json-strings.cases", "check-sweep-summary.cases", "check-list-bounds.cases",
                           "check-held-outputs.cases", "check-thresholds.cases"}) {
    for (const Case& c : LoadCases(file, {{"DIR", dir.path()}})) {
      CASE_TRACE(c);
      std::vector<std::string> printed;
      for (const std::string& in : c.all("in")) printed.push_back(JsonString(in));
      if (c.has("hosts")) {  // ENTRY:STATE in the list's order; each host with a warning left the case's warnings
        std::vector<SweepHost> hosts;
        std::vector<CheckExit> statuses;
        for (const std::string& word : c.words("hosts")) {
          const size_t colon = word.rfind(':');
          const std::string warnings = word.substr(colon + 1) == "WARNING" ? c.get("warnings") : "";
          hosts.push_back(SweepHost{hosts.size() + 1, FromUtf8(word.substr(0, colon)), warnings});
          statuses.push_back(named.at(word.substr(colon + 1)));
        }
        const CheckOutcome out = SweepSummary(hosts, statuses, 1, CheckRequest{});
        printed = {std::to_string(static_cast<int>(out.status)), out.text};
      }
      if (c.has("took")) {  // one HTTP check that passed in this many seconds with this status line, under args
        CheckRecord check{.name = "HTTP 80", .passed = true, .seconds = std::stod(c.get("took")), .service = "http",
                          .httpStatus = FromUtf8(c.get("status"))};
        const CheckRequest request = ParseCheckCommandLine(c.words("args")).request.value();
        if (request.expectStatus) ApplyExpectedStatus(check, *request.expectStatus);
        printed = {CheckStateWord(CheckStateOf(check, request)), CheckReason(check, request).value_or("")};
      }
      if (c.has("entries")) {  // h0, h1 ... and then more lines
        std::string list;
        for (long i = 0; i < c.number("entries"); ++i) list += "h" + std::to_string(i) + "\n";
        WriteBytes(dir.file("list"), list + c.get("then"));
        std::vector<SweepHost> read;
        printed = {ReadSweepList(dir.file("list"), read), std::to_string(read.size())};
        if (!read.empty()) printed.push_back(ToUtf8(read.back().entry));
      }
      std::vector<std::string> blocks;  // held last first, as a slow first host leaves them, then taken in turn
      for (const std::string& size : c.words("sizes")) {
        const size_t n = std::stoul(size);
        blocks.push_back(n == 0 ? "" : std::string(n - 1, static_cast<char>('a' + blocks.size())) + "\n");
      }
      for (const std::string& where : c.words("temporary")) {
        const size_t bound = static_cast<size_t>(c.number("bound"));
        HeldOutputs held(blocks.size(), bound, where);
        std::vector<std::string> lost(blocks.size());
        for (size_t i = blocks.size(); i-- > 0;) {
          lost[i] = held.Hold(i, std::string(blocks[i]));
          EXPECT_LE(held.BytesInMemory(), bound);
          EXPECT_EQ(held.Holds(i), lost[i].empty());
        }
        for (size_t i = 0; i < blocks.size(); ++i) {  // each block back as it was, or why it was lost
          std::string why;
          const std::string back = lost[i].empty() ? held.Take(i, why) : "";
          const std::string got = back == blocks[i] ? "back" : "not its own: " + Escape(back);
          printed.push_back(lost[i].empty() ? got + why + (held.Holds(i) ? ", still held" : "") : lost[i]);
        }
        printed.push_back("in memory: " + std::to_string(held.BytesInMemory()));
        EXPECT_TRUE(std::filesystem::is_empty(dir.file("held")));  // the file never had a name
      }
      EXPECT_EQ(printed, c.all("out"));
    }
  }
  EXPECT_EQ(JsonString(std::u16string(u"a\xD800" u"b")), "\"a\xef\xbf\xbd" "b\"");  // a lone surrogate
  EXPECT_EQ(JsonObject().String("k", "v").Value("n", JsonSeconds(0.5)).Value("a", JsonArray({"1", "null"})).Text(),
            R"({"k":"v","n":0.500000,"a":[1,null]})");
}

// Children in pools (see check-children.cases): ends of every kind with jobs ending out of order, a pool stopped after
// its first end, and one that gets no pipe. Each pool runs in a child of this test that prints what each of its
// children was told: each end as it is, once, none left unreaped, a stop kills the rest.
TEST(VelkorSweepChildren, EveryEndToldAndEveryChildReaped) {
  const std::vector<Case> cases = LoadCases("check-children.cases");
  const char* const hows[] = {"exited", "signalled", "over time", "output too large", "not started"};
  for (size_t from = 0, to = 0; from < cases.size(); from = to) {
    const Case& pool = cases[from];  // its first child gives the pool's settings
    while (to < cases.size() && cases[to].get("pool") == pool.get("pool")) ++to;
    CASE_TRACE(pool);
    const auto body = [&](size_t i) {
      const Case& c = cases[from + i];
      usleep(static_cast<useconds_t>(c.number("sleep-ms") * 1000));
      WriteStandardOutput(c.get("write") + std::string(static_cast<size_t>(c.number("write-bytes")), 'x'));
      if (c.has("raise")) raise(static_cast<int>(c.number("raise")));
      while (c.has("hang")) pause();
      if (c.has("exit")) _exit(static_cast<int>(c.number("exit")));
    };
    const std::string got = InChild([&] {
      alarm(5);  // a pool that never stops telling is ended
      // Read before pipes are refused: the sanitizers' checks of a stream's type make a pipe of their own.
      const std::vector<std::string> limits = pool.words("limits");
      if (pool.has("refuse") && !RefuseCall(__NR_pipe2, EMFILE)) return std::string("no filter");
      std::vector<std::string> told(to - from, "not told");
      size_t tells = 0, last = told.size();
      const auto start = std::chrono::steady_clock::now();
      const ChildPoolLimits bounds{std::stoi(limits.at(0)), std::stod(limits.at(1)), std::stoul(limits.at(2))};
      RunInChildren(to - from, bounds, body, [&](size_t i, ChildEnd&& e) {
        const std::string wrote = e.output.size() > 64 ? " (more than 64 bytes)" : " " + Escape(e.output);
        told[i] = (told[i] == "not told" ? std::string() : told[i] + ", then ") + hows[static_cast<int>(e.how)] + " " +
                  std::to_string(e.code) + (e.output.empty() ? "" : wrote) +
                  (e.seconds < std::stod(cases[from + i].get("min-seconds", "0")) ? " too soon" : "") +
                  (pool.has("in-order") ? " #" + std::to_string(++tells) : "");
        last = i;
        return !pool.has("stop");
      });
      std::string printed;
      for (size_t i = 0; i < told.size(); ++i) {
        printed += cases[from + i].name + ": " + told[i] + (i == last ? " (last)\n" : "\n");
      }
      if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) printed += "a child left unreaped\n";
      return printed + (std::chrono::steady_clock::now() - start < std::chrono::seconds(3) ? "" : "over 3 s\n");
    });
    std::string want;
    for (size_t i = from; i < to; ++i) want += cases[i].name + ": " + Escape(cases[i].get("told")) + "\n";
    EXPECT_EQ(got, want);
  }
}

}  // namespace

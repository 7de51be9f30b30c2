// velkor-fixtures: smb_peers
#include "net/shares.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/failphrase.h"
#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "support/casefile.h"
#include "support/peerport.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/stop.h"

// Hosts against the real smbd, the one that refuses anonymous users the list, a port nobody listens on, or a peer
// that accepts and never answers, each with what this program's lookup answers for it. Every failure is quiet.
TEST(SmbPeer, ListsTheRealServers) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
  const int smb = PeerPort("smb"), refusing = PeerPort("smb/closed");
  ASSERT_NE(smb, 0) << "smb_peers fixture is not running (" << PeerDir("smb") << ")";
  ASSERT_NE(refusing, 0) << "the refusing smbd of smb_peers is not running";
  ProgramInTempDir program;
  const TempDir& dir = program.dir();
  WriteBytes(dir.file("empty.ccache"), "");
  mkdir(dir.file("samba").c_str(), 0755);
  mkdir(dir.file("run-samba").c_str(), 0755);
  WriteBytes(dir.file("samba/lmhosts"), "127.0.0.2 VKRSMBPEER\n");
  uint16_t closed = 0, hanging = 0;
  close(ListenOnLoopback(1, &closed));
  const int hangingFd = ListenOnLoopback(8, &hanging);  // the kernel completes the handshake, nobody ever answers
  const std::vector<Case> cases = LoadCases(
      "shares-smb.cases", {{"SMB", std::to_string(smb)}, {"REFUSING", std::to_string(refusing)},
                           {"CLOSED", std::to_string(closed)}, {"HANGING", std::to_string(hanging)},
                           {"MISSING", "FILE:" + dir.file("missing.ccache")},
                           {"EMPTY", "FILE:" + dir.file("empty.ccache")}});
  const SessionOptions before = GetSessionOptions();
  const Case* now = nullptr;
  SetHostAddressLookup([&](const std::string& name) {
    EXPECT_TRUE(now->has("lookup")) << name << " looked up";
    AddressLookupAnswer answer;
    for (const std::string& word : now->words("lookup")) {
      if (word != "none") answer.addresses.push_back(*ParseHostAddress(word));
    }
    return answer;
  });
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const Case& c : CasesOf(cases, "by host")) {
    CASE_TRACE(c);
    SessionOptions options = before;
    options.family = c.get("family") == "v4" ? AddressFamily::V4
                     : c.get("family") == "v6" ? AddressFamily::V6 : AddressFamily::Any;
    SetSessionOptions(options);
    SetSmbPort(static_cast<uint16_t>(c.number("port")));
    SetSmbListBoundMs(static_cast<int>(c.number("bound", kSmbListBoundMs)));
    now = &c;
    ClearFailReason();
    const long stopAt = c.number("stop-at", -1);
    const int64_t start = MonotonicMs();
    int64_t last = start, gap = 0;
    SetDoEventsHook([&] {
      gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs();
      if (stopAt >= 0 && last - start >= stopAt) RequestStop();
    });
    // The failure as worded, then what the listing answered and the listing ("old" when left alone).
    const auto list = [&] {
      std::u16string listing = u"old";
      const bool answer = NetShareList(FromUtf8(c.get("host")), listing, !c.has("long"));
      return FailurePhrase(LastFailReason()) + "\n" + (answer ? "true " : "false ") + ToUtf8(listing);
    };
    if (c.has("hosts")) WriteBytes(dir.file("hosts"), "127.0.0.1 localhost\n" + c.get("hosts") + " vkrsmbpeer\n");
    std::string got = !c.has("forbidden") && !c.has("hosts") ? list() : InChild([&]() -> std::string {
      auto bind = [&](const std::string& from, const char* to) {
        return mount(dir.file(from).c_str(), to, nullptr, MS_BIND, nullptr) == 0;
      };
      if (c.has("forbidden")) return RefuseCall(__NR_connect, EPERM) ? list() : "no filter of its own";
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          !bind("hosts", "/etc/hosts") || !bind("samba", "/etc/samba") ||
          (access("/run/samba", F_OK) == 0 && !bind("run-samba", "/run/samba")))
        return "no mount namespace of its own";
      setenv("KRB5CCNAME", c.get("ccache").c_str(), 1);
      if (!c.has("lookup")) SetHostAddressLookup(nullptr);
      return list();
    });
    // The failure, the answer and the text of the listing case named (none: empty); a final '*' stands for any rest.
    std::string want = c.get("reason") + "\n" + c.get("answer") + " ";
    if (c.has("listing")) {
      for (const std::string& line : CasesOf(cases, "listing " + c.get("listing")).at(0).all("text")) want += line;
    }
    if (want.ends_with('*') && got.size() >= want.size() - 1) got = got.substr(0, want.size() - 1) + "*";
    EXPECT_EQ(got, want);
    if (c.has("took")) {
      const std::vector<std::string> took = c.words("took");
      EXPECT_GE(MonotonicMs() - start, std::stol(took.at(0)));
      EXPECT_LE(MonotonicMs() - start, std::stol(took.at(1)));
      EXPECT_LE(std::max(gap, MonotonicMs() - last), 300);  // room for a loaded machine
    }
    ClearStop();
    SetDoEventsHook(nullptr);
    EXPECT_EQ(SmbListingStuck(), c.has("stuck"));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  // Kerberos or anonymous, never the login name without a password, which a domain counts as a failed logon: whom
  // the refusing smbd saw logging on, as its log names them ("[domain]\\[user]"), each once.
  std::set<std::string> users;
  const std::regex logon(R"(Auth: \[.*? user (.*?) at \[)");
  for (const auto& file : std::filesystem::directory_iterator(PeerDir("smb/closed") + "/state/log")) {
    const std::string text = file.is_regular_file() ? ReadBytes(file.path().string()) : "";
    for (std::sregex_iterator m(text.begin(), text.end(), logon); m != std::sregex_iterator(); ++m) {
      users.insert((*m)[1]);
    }
  }
  EXPECT_EQ(users, std::set<std::string>{"[]\\[]"});
  EXPECT_EQ(program.errorLog(), u"");
  close(hangingFd);
  SetSmbPort(kSmbDefaultPort);
  SetSmbListBoundMs(kSmbListBoundMs);
  SetHostAddressLookup(nullptr);
  SetSessionOptions(before);
}

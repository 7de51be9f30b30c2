// velkor-fixtures: smb_peers
#include "net/shares.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
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

namespace {

// What NetShareList answered, then the listing.
std::string List(const std::string& host, bool brief = true) {
  std::u16string listing = u"old";
  return NetShareList(FromUtf8(host), listing, brief) ? "true " + ToUtf8(listing) : "false " + ToUtf8(listing);
}

class SmbPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
    ASSERT_NE(PeerPort("smb"), 0) << "smb_peers fixture is not running (" << PeerDir("smb") << ")";
    ASSERT_NE(PeerPort("smb/closed"), 0) << "the refusing smbd of smb_peers is not running";
    uint16_t closed = 0;
    close(ListenOnLoopback(1, &closed));
    cases = LoadCases("shares-smb.cases", {{"SMB", std::to_string(smb)}, {"REFUSING", std::to_string(refusing)},
                                           {"CLOSED", std::to_string(closed)},
                                           {"MISSING", "FILE:" + program.dir().file("missing.ccache")},
                                           {"EMPTY", "FILE:" + program.dir().file("empty.ccache")}});
  }
  void TearDown() override {
    SetSmbPort(kSmbDefaultPort);
    SetSmbListBoundMs(kSmbListBoundMs);
    SetHostAddressLookup(nullptr);
    SetSessionOptions(before);
  }
  // The text of the listing case of that name.
  std::string Listing(const std::string& name) const {
    std::string text;
    for (const std::string& line : CasesOf(cases, "listing " + name).at(0).all("text")) text += line;
    return text;
  }
  // What a case expects of List, after the failure's phrase and a line end.
  std::string Expected(const Case& c) const {
    return c.get("reason") + "\n" + c.get("answer") + " " + (c.has("listing") ? Listing(c.get("listing")) : "");
  }
  ProgramInTempDir program;
  const SessionOptions before = GetSessionOptions();
  const int smb = PeerPort("smb"), refusing = PeerPort("smb/closed");
  std::vector<Case> cases;
};

// got cut where want ends in '*', which stands for any rest.
std::string Matched(const std::string& got, const std::string& want) {
  return want.ends_with('*') && got.size() >= want.size() - 1 ? got.substr(0, want.size() - 1) + "*" : got;
}

// From now on, connect() fails with EPERM in this process, as where a security policy forbids it.
bool ForbidConnect() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_connect, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{std::size(code), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

// Hosts against the real smbd, the one that refuses anonymous users the list, or a port nobody listens on, each
// with what this program's lookup answers for it. Every failure is quiet.
TEST_F(SmbPeer, ListsTheRealServers) {
  const Case* now = nullptr;
  SetHostAddressLookup([&](const std::string& name) {
    EXPECT_TRUE(now->has("lookup")) << name << " looked up";
    AddressLookupAnswer answer;
    for (const std::string& word : now->words("lookup")) {
      if (word != "none") answer.addresses.push_back(*ParseHostAddress(word));
    }
    return answer;
  });
  const TempDir& dir = program.dir();
  WriteBytes(dir.file("empty.ccache"), "");
  mkdir(dir.file("samba").c_str(), 0755);
  mkdir(dir.file("run-samba").c_str(), 0755);
  WriteBytes(dir.file("samba/lmhosts"), "127.0.0.2 VKRSMBPEER\n");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const Case& c : CasesOf(cases, "by host")) {
    CASE_TRACE(c);
    SessionOptions options = before;
    options.family = c.get("family") == "v4"   ? AddressFamily::V4
                     : c.get("family") == "v6" ? AddressFamily::V6
                                               : AddressFamily::Any;
    SetSessionOptions(options);
    SetSmbPort(static_cast<uint16_t>(c.number("port")));
    now = &c;
    ClearFailReason();
    const auto list = [&] {
      const std::string listing = List(c.get("host"), !c.has("long"));
      return FailurePhrase(LastFailReason()) + "\n" + listing;
    };
    const std::string want = Expected(c);
    std::string got;
    if (c.has("forbidden")) {
      got = InChild([&] { return ForbidConnect() ? list() : "no filter of its own"; });
    } else if (c.has("hosts")) {
      WriteBytes(dir.file("hosts"), "127.0.0.1 localhost\n" + c.get("hosts") + " vkrsmbpeer\n");
      got = InChild([&]() -> std::string {
        auto bind = [&](const std::string& from, const char* to) {
          return mount(dir.file(from).c_str(), to, nullptr, MS_BIND, nullptr) == 0;
        };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !bind("hosts", "/etc/hosts") || !bind("samba", "/etc/samba") ||
            (access("/run/samba", F_OK) == 0 && !bind("run-samba", "/run/samba")))
          return "no mount namespace of its own";
        setenv("KRB5CCNAME", c.get("ccache").c_str(), 1);
        if (!c.has("lookup")) SetHostAddressLookup(nullptr);
        return list();
      });
    } else {
      got = list();
    }
    EXPECT_EQ(Matched(got, want), want);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  // Kerberos or anonymous, never the login name without a password, which a domain counts as a failed logon: whom
  // the refusing smbd saw logging on, as its log names them ("[domain]\\[user]"), each once.
  std::set<std::string> users;
  for (const auto& file : std::filesystem::directory_iterator(PeerDir("smb/closed") + "/state/log")) {
    const std::string text = file.is_regular_file() ? ReadBytes(file.path().string()) : "";
    for (size_t at = text.find("Auth: ["); at != std::string::npos; at = text.find("Auth: [", at + 1)) {
      const size_t from = text.find(" user ", at), to = text.find(" at [", at);
      if (from != std::string::npos && to != std::string::npos && from < to)
        users.insert(text.substr(from + 6, to - from - 6));
    }
  }
  EXPECT_EQ(users, std::set<std::string>{"[]\\[]"});
  EXPECT_EQ(program.errorLog(), u"");
}

// A peer that accepts and never answers: the listing ends at the bound with the message loop running in slices
// (of 25 ms; a blocked wait stands still for the whole bound), or within a slice of a stop. The worker given up on
// is left to end by itself; the next listing waits for it rather than fail, and lists the real server's shares.
TEST_F(SmbPeer, HangingPeerEndsAtTheBoundOrAStop) {
  uint16_t port = 0;
  const int hanging = ListenOnLoopback(8, &port);  // the kernel completes the handshake, nobody ever answers
  for (const Case& c : CasesOf(cases, "hanging")) {
    CASE_TRACE(c);
    SetSmbPort(port);
    SetSmbListBoundMs(static_cast<int>(c.number("bound")));
    const long stopAt = c.number("stop-at", -1);
    const std::vector<std::string> took = c.words("took");
    const int64_t start = MonotonicMs();
    int64_t last = start, gap = 0;
    SetDoEventsHook([&] {
      gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs();
      if (stopAt >= 0 && last - start >= stopAt) RequestStop();
    });
    EXPECT_EQ(List("127.0.0.1"), "false ");
    EXPECT_GE(MonotonicMs() - start, std::stol(took.at(0)));
    EXPECT_LE(MonotonicMs() - start, std::stol(took.at(1)));
    EXPECT_LE(std::max(gap, MonotonicMs() - last), 300);  // room for a loaded machine
    ClearStop();
    SetDoEventsHook(nullptr);
    EXPECT_TRUE(SmbListingStuck());
    SetSmbPort(static_cast<uint16_t>(smb));
    SetSmbListBoundMs(kSmbListBoundMs);
    EXPECT_EQ(List("127.0.0.1"), "true " + Listing("shares"));
    EXPECT_FALSE(SmbListingStuck());
  }
  close(hanging);
}

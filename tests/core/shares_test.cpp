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
#include <sstream>

#include <gtest/gtest.h>

#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/smbshares.h"
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
std::u16string List(const char16_t* host, bool brief = true) {
  std::u16string listing = u"old";
  return NetShareList(host, listing, brief) ? u"true " + listing : u"false " + listing;
}

const std::u16string kListed =
    u"true ADMIN$    [Remote Admin]\r\n"
    u"C$        [Default share]\r\n"
    u"data      [shared data]\r\n"
    u"IPC$      [IPC Service (velkor test peer)]\r\n"
    u"NINECHARS [nine characters]\r\n"
    u"plain    \r\n";
const std::u16string kRefused = u"false " + std::u16string(kShareListRefused);

class SmbPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
    ASSERT_NE(PeerPort("smb"), 0) << "smb_peers fixture is not running (" << PeerDir("smb") << ")";
    ASSERT_NE(PeerPort("smb/closed"), 0) << "the refusing smbd of smb_peers is not running";
  }
  void TearDown() override {
    SetSmbPort(kSmbDefaultPort);
    SetSmbListBoundMs(kSmbListBoundMs);
    SetHostAddressLookup(nullptr);
    SetSessionOptions(before);
  }
  ProgramInTempDir program;
  const SessionOptions before = GetSessionOptions();
  const int smb = PeerPort("smb"), refusing = PeerPort("smb/closed");
};

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
// with what this program's lookup answers for it (nullptr: an address, never looked up; "": no such name). An
// address is asked anonymously; a name by that name, else (URL syntax, not ASCII, narrowed to a family) by the
// address found; a dual-stack name at its IPv4 address (127.0.0.2: nobody listens), an IPv6 literal over IPv6.
// Every failure is a quiet "false" with an empty listing, the refusal's with the refusal as the check's text.
TEST_F(SmbPeer, ListsTheRealServers) {
  uint16_t closed = 0;
  close(ListenOnLoopback(1, &closed));
  const char* lookup = nullptr;
  SetHostAddressLookup([&](const std::string& name) {
    EXPECT_NE(lookup, nullptr) << name << " looked up";
    AddressLookupAnswer answer;
    std::istringstream words(lookup ? lookup : "");
    for (std::string word; words >> word;) answer.addresses.push_back(*ParseHostAddress(word));
    return answer;
  });
  const AddressFamily any = AddressFamily::Any, v4 = AddressFamily::V4, v6 = AddressFamily::V6;
  const struct { const char16_t* host; int port; const char* lookup; AddressFamily family; std::u16string want;
                 FailKind why; } rows[] = {
      {u"127.0.0.1", smb, nullptr, any, kListed, FailKind::None},
      {u"localhost", smb, "127.0.0.1", any, kListed, FailKind::None},
      {u"\\\\localhost", smb, "127.0.0.1", any, kListed, FailKind::None},
      {u"ファイル鯖", smb, "127.0.0.1", any, kListed, FailKind::None},
      {u"a@b:1", smb, "127.0.0.1", any, kListed, FailKind::None},
      {u"::1", smb, nullptr, any, kListed, FailKind::None},
      {u"[::1]", smb, nullptr, any, kListed, FailKind::None},
      {u"\\\\[::1]", smb, nullptr, any, kListed, FailKind::None},
      {u"[0:0:0:0:0:0:0:1]", smb, nullptr, any, kListed, FailKind::None},
      {u"six鯖", smb, "::1", any, kListed, FailKind::None},
      {u"dual.test", smb, "127.0.0.2 ::1", v6, kListed, FailKind::None},
      {u"dual鯖", smb, "127.0.0.2 ::1", any, u"false ", FailKind::SharesFailed},
      {u"six鯖", smb, "::1", v4, u"false ", FailKind::NoAddressOfFamily},
      {u"0.0.0.0", smb, nullptr, any, u"false ", FailKind::SharesFailed},  // would reach the smbd on 127.0.0.1
      {u"::", smb, nullptr, any, u"false ", FailKind::SharesFailed},  // would reach the smbd on ::1
      {u"::ffff:127.0.0.1", smb, nullptr, any, u"false ", FailKind::SharesFailed},  // no IPv6 host
      {u"no-such-host.invalid", smb, "", any, u"false ", FailKind::NameNotFound},
      {u"localhost", smb, "", any, u"false ", FailKind::NameNotFound},  // the library is never asked
      {u"127.0.0.1", closed, nullptr, any, u"false ", FailKind::SharesFailed},
      {u"::1", closed, nullptr, any, u"false ", FailKind::SharesFailed},
      {u"127.0.0.1", refusing, nullptr, any, kRefused, FailKind::SharesRefused},
      {u"localhost", refusing, "127.0.0.1", any, kRefused, FailKind::SharesRefused},
      {u"::1", refusing, nullptr, any, kRefused, FailKind::SharesRefused},
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const auto& r : rows) {
    SCOPED_TRACE(ToUtf8(r.host) + " port " + std::to_string(r.port));
    SessionOptions options = before;
    options.family = r.family;
    SetSessionOptions(options);
    SetSmbPort(static_cast<uint16_t>(r.port));
    lookup = r.lookup;
    ClearFailReason();
    EXPECT_EQ(List(r.host), r.want);
    EXPECT_EQ(LastFailReason().kind, r.why);
  }
  // This machine's own policy (a seccomp filter) forbids the connection, which the library reports with the error
  // of a refusal: nothing answers a plain connect either, so no refusal text.
  SetSmbPort(static_cast<uint16_t>(smb));
  for (const char16_t* host : {u"127.0.0.1", u"::1"}) {
    EXPECT_EQ(InChild([&] { return ForbidConnect() ? ToUtf8(List(host)) : "no filter of its own"; }), "false ")
        << ToUtf8(host);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  // The long form does not make up what a share listing cannot know.
  const std::u16string admin =
      u"true \r\n　共有名： ADMIN$    [Remote Admin]"
      u"\r\n　パス名： -- 不明 --"
      u"\r\n　最大ユーザー数　： 不明"
      u"\r\n　現在のユーザー数： 不明\r\n";
  EXPECT_EQ(List(u"127.0.0.1", false).substr(0, admin.size()), admin);
  EXPECT_EQ(program.errorLog(), u"");
}

// A peer that accepts and never answers: the listing ends at the bound with the message loop running in slices
// (of 25 ms; a blocked wait stands still for the whole bound), or within a slice of a stop. The worker given up on
// is left to end by itself; the next listing waits for it rather than fail, and lists the real server's shares.
TEST_F(SmbPeer, HangingPeerEndsAtTheBoundOrAStop) {
  uint16_t port = 0;
  const int hanging = ListenOnLoopback(8, &port);  // the kernel completes the handshake, nobody ever answers
  // The stopped row's bound is the library's own time-out: the worker left behind ends after a second.
  const struct { int boundMs, stopAtMs, minMs, maxMs; } rows[] = {{400, -1, 390, 900}, {1000, 200, 200, 300}};
  for (const auto& r : rows) {
    SetSmbPort(port);
    SetSmbListBoundMs(r.boundMs);
    const int64_t start = MonotonicMs();
    int64_t last = start, gap = 0;
    SetDoEventsHook([&] {
      gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs();
      if (r.stopAtMs >= 0 && last - start >= r.stopAtMs) RequestStop();
    });
    EXPECT_EQ(List(u"127.0.0.1"), u"false ");
    EXPECT_GE(MonotonicMs() - start, r.minMs);
    EXPECT_LE(MonotonicMs() - start, r.maxMs);
    EXPECT_LE(std::max(gap, MonotonicMs() - last), 300);  // room for a loaded machine
    ClearStop();
    SetDoEventsHook(nullptr);
    EXPECT_TRUE(SmbListingStuck());
    SetSmbPort(static_cast<uint16_t>(smb));
    SetSmbListBoundMs(kSmbListBoundMs);
    EXPECT_EQ(List(u"127.0.0.1"), kListed);
    EXPECT_FALSE(SmbListingStuck());
  }
  close(hanging);
}

// A name the library looks up itself (other than localhost, which it never asks with Kerberos), without a usable
// ticket: the listing falls back to anonymous, and names are looked up as host names only. In a child with mounts
// of its own: /etc/hosts maps vkrsmbpeer to 127.0.0.1 (or ::1: an IPv6-only name); an /etc/samba of its own holds
// an lmhosts file that maps it, as a NetBIOS name, to 127.0.0.2 where nobody listens (so the listing goes wrong if
// the library consults NetBIOS names); the library's name cache is private; KRB5CCNAME is the row's.
TEST_F(SmbPeer, NameWithoutTicketListsAnonymously) {
  const TempDir& dir = program.dir();
  WriteBytes(dir.file("empty.ccache"), "");
  mkdir(dir.file("samba").c_str(), 0755);
  mkdir(dir.file("run-samba").c_str(), 0755);
  WriteBytes(dir.file("samba/lmhosts"), "127.0.0.2 VKRSMBPEER\n");
  const std::string missing = "FILE:" + dir.file("missing.ccache"), empty = "FILE:" + dir.file("empty.ccache");
  // ours: what this program's own lookup answers for the name (nullptr: the system's, from that /etc/hosts).
  const struct { int port; std::string ccache; const char *address, *ours; std::u16string want; } rows[] = {
      {smb, missing, "127.0.0.1", nullptr, kListed},
      {smb, empty, "127.0.0.1", nullptr, kListed},
      {refusing, missing, "127.0.0.1", nullptr, kRefused},
      {smb, missing, "::1", nullptr, kListed},
      {smb, missing, "127.0.0.1", "127.0.0.2", kListed},  // asked by the name, not at the address found here
  };
  for (const auto& r : rows) {
    WriteBytes(dir.file("hosts"), "127.0.0.1 localhost\n" + std::string(r.address) + " vkrsmbpeer\n");
    const std::string got = InChild([&]() -> std::string {
      auto bind = [&](const std::string& from, const char* to) {
        return mount(dir.file(from).c_str(), to, nullptr, MS_BIND, nullptr) == 0;
      };
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          !bind("hosts", "/etc/hosts") || !bind("samba", "/etc/samba") ||
          (access("/run/samba", F_OK) == 0 && !bind("run-samba", "/run/samba")))
        return "no mount namespace of its own";
      setenv("KRB5CCNAME", r.ccache.c_str(), 1);
      SetSmbPort(static_cast<uint16_t>(r.port));
      if (r.ours) {
        SetHostAddressLookup([&](const std::string&) { return AddressLookupAnswer{{*ParseHostAddress(r.ours)}, 0}; });
      }
      return ToUtf8(List(u"vkrsmbpeer"));
    });
    EXPECT_EQ(got, ToUtf8(r.want)) << r.port << " " << r.ccache << " " << r.address << " " << (r.ours ? r.ours : "");
  }
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

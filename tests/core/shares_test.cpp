// velkor-fixtures: smb_peers
#include "net/shares.h"

#include <arpa/inet.h>
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
#include "net/hostaddr.h"
#include "net/failreason.h"
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

class SmbPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
    ASSERT_NE(PeerPort("smb"), 0) << "smb_peers fixture is not running (" << PeerDir("smb") << ")";
    SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  }
  void TearDown() override {
    SetSmbPort(kSmbDefaultPort);
    SetSmbListBoundMs(kSmbListBoundMs);
    SetHostResolver(nullptr);
  }
  ProgramInTempDir program;
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

// NetShareList of the name vkrsmbpeer on port, in a child with mounts of its own: /etc/hosts maps the name to
// 127.0.0.1; an /etc/samba of the child's own holds an lmhosts file that maps it, as a NetBIOS name, to 127.0.0.2,
// where nobody listens (so the listing goes wrong if the library consults NetBIOS names); the library's name cache
// is private; KRB5CCNAME is ccache.
std::string ListByNameInChild(const TempDir& dir, uint16_t port, const std::string& ccache,
                              const std::string& hostsLine = "127.0.0.1 vkrsmbpeer\n") {
  WriteBytes(dir.file("hosts"), "127.0.0.1 localhost\n" + hostsLine);
  mkdir(dir.file("samba").c_str(), 0755);
  mkdir(dir.file("run-samba").c_str(), 0755);
  WriteBytes(dir.file("samba/lmhosts"), "127.0.0.2 VKRSMBPEER\n");
  return InChild([&]() -> std::string {
    auto bind = [&](const std::string& from, const char* to) {
      return mount(dir.file(from).c_str(), to, nullptr, MS_BIND, nullptr) == 0;
    };
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !bind("hosts", "/etc/hosts") || !bind("samba", "/etc/samba") ||
        (access("/run/samba", F_OK) == 0 && !bind("run-samba", "/run/samba")))
      return "no mount namespace of its own";
    setenv("KRB5CCNAME", ccache.c_str(), 1);
    SetSmbPort(port);
    return ToUtf8(List(u"vkrsmbpeer"));
  });
}

// Whom the refusing smbd saw logging on, as its log names them ("[domain]\\[user]"), each once.
std::set<std::string> LogonsOfTheRefusingPeer() {
  std::set<std::string> users;
  for (const auto& file : std::filesystem::directory_iterator(PeerDir("smb/closed") + "/state/log")) {
    if (!file.is_regular_file()) continue;
    const std::string text = ReadBytes(file.path().string());
    for (size_t at = text.find("Auth: ["); at != std::string::npos; at = text.find("Auth: [", at + 1)) {
      const size_t from = text.find(" user ", at), to = text.find(" at [", at);
      if (from != std::string::npos && to != std::string::npos && from < to)
        users.insert(text.substr(from + 6, to - from - 6));
    }
  }
  return users;
}

const std::u16string kBriefListing =
    u"ADMIN$    [Remote Admin]\r\n"
    u"C$        [Default share]\r\n"
    u"data      [shared data]\r\n"
    u"IPC$      [IPC Service (velkor test peer)]\r\n"
    u"NINECHARS [nine characters]\r\n"
    u"plain    \r\n";

}  // namespace

TEST_F(SmbPeer, ListsTheRealServer) {
  // An address is asked anonymously; a name by that name, with a ticket if there is one, else anonymously too. A
  // name the library would read otherwise (URL syntax, not ASCII) is asked by the address this program found.
  SetHostResolver([](const std::string&) { return htonl(INADDR_LOOPBACK); });
  for (const char16_t* host : {u"127.0.0.1", u"localhost", u"\\\\localhost", u"ファイル鯖", u"a@b:1"})
    EXPECT_EQ(List(host), u"true " + kBriefListing) << ToUtf8(host);
  // The long form does not make up what a share listing cannot know.
  const std::u16string admin =
      u"true \r\n　共有名： ADMIN$    [Remote Admin]"
      u"\r\n　パス名： -- 不明 --"
      u"\r\n　最大ユーザー数　： 不明"
      u"\r\n　現在のユーザー数： 不明\r\n";
  EXPECT_EQ(List(u"127.0.0.1", false).substr(0, admin.size()), admin);
}

TEST_F(SmbPeer, FailuresGiveFalseAndAnEmptyListingQuietly) {
  SetHostResolver([](const std::string&) { return 0u; });
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(List(u"0.0.0.0"), u"false ");  // would reach the smbd on 127.0.0.1
  EXPECT_EQ(List(u"no-such-host.invalid"), u"false ");
  EXPECT_EQ(List(u"localhost"), u"false ");  // unknown to this program's own lookup: the library is never asked
  uint16_t closed = 0;
  close(ListenOnLoopback(1, &closed));
  SetSmbPort(closed);
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");  // refused
  EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST_F(SmbPeer, HangingPeerEndsWithinTheBoundWithTheLoopRunning) {
  uint16_t port = 0;
  const int hanging = ListenOnLoopback(8, &port);  // the kernel completes the handshake, nobody ever answers
  SetSmbPort(port);
  SetSmbListBoundMs(400);
  int64_t last = MonotonicMs(), gap = 0;
  SetDoEventsHook([&] { gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs(); });
  const int64_t start = MonotonicMs();
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");
  const int64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 390);
  EXPECT_LE(took, 900);
  EXPECT_LE(std::max(gap, MonotonicMs() - last), 300);  // slices of 25 ms, with room for a loaded machine; a blocked wait stands still 400 ms
  // The worker given up on is left to end by itself; the next listing waits for it rather than fail, and then
  // lists the real server's shares.
  EXPECT_TRUE(SmbListingStuck());
  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  SetSmbListBoundMs(kSmbListBoundMs);
  EXPECT_EQ(List(u"127.0.0.1"), u"true " + kBriefListing);
  EXPECT_FALSE(SmbListingStuck());
  close(hanging);
}

// A stop ends the listing's wait within a slice; the listing that follows is not spoilt by the worker left behind.
TEST_F(SmbPeer, StoppedListingEndsAtOnceAndTheNextOneLists) {
  uint16_t port = 0;
  const int hanging = ListenOnLoopback(8, &port);
  SetSmbPort(port);
  SetSmbListBoundMs(1000);  // the library's own time-out follows: the worker left behind ends after a second
  const int64_t stopAt = MonotonicMs() + 200;
  SetDoEventsHook([&] {
    if (MonotonicMs() >= stopAt) RequestStop();
  });
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");
  EXPECT_LT(MonotonicMs() - stopAt, 100);
  ClearStop();
  SetDoEventsHook(nullptr);
  EXPECT_TRUE(SmbListingStuck());
  SetSmbListBoundMs(kSmbListBoundMs);
  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  EXPECT_EQ(List(u"127.0.0.1"), u"true " + kBriefListing);
  close(hanging);
}

// A server typed as an IPv6 literal (bare, bracketed, or in the UNC form) is asked over IPv6 by that address, with
// the same texts and verdicts as over IPv4; the resolver is never asked for a literal.
TEST_F(SmbPeer, ListsAnIpv6ServerByAddress) {
  int lookups = 0;
  SetHostResolver([&](const std::string&) { return ++lookups, htonl(INADDR_LOOPBACK); });
  uint16_t closed = 0;
  close(ListenOnLoopback(1, &closed));
  const std::u16string refused = u"false " + std::u16string(kShareListRefused);
  const struct { const char16_t* host; int port; std::u16string want; } rows[] = {
      {u"::1", PeerPort("smb"), u"true " + kBriefListing},
      {u"[::1]", PeerPort("smb"), u"true " + kBriefListing},
      {u"\\\\[::1]", PeerPort("smb"), u"true " + kBriefListing},
      {u"[0:0:0:0:0:0:0:1]", PeerPort("smb"), u"true " + kBriefListing},
      {u"::1", PeerPort("smb/closed"), refused},
      {u"::1", closed, u"false "},  // nobody listens there
      {u"::", PeerPort("smb"), u"false "},  // would reach the smbd on ::1
      {u"::ffff:127.0.0.1", PeerPort("smb"), u"false "},  // no IPv6 host
  };
  for (const auto& r : rows) {
    SetSmbPort(static_cast<uint16_t>(r.port));
    EXPECT_EQ(List(r.host), r.want) << ToUtf8(r.host) << " port " << r.port;
  }
  EXPECT_EQ(lookups, 0);
  EXPECT_EQ(program.errorLog(), u"");
}

// A server that answers but refuses anonymous users the list: failed, with the refusal as the check's text.
TEST_F(SmbPeer, RefusedListingSaysSo) {
  ASSERT_NE(PeerPort("smb/closed"), 0) << "the refusing smbd of smb_peers is not running";
  SetSmbPort(static_cast<uint16_t>(PeerPort("smb/closed")));
  for (const char16_t* host : {u"127.0.0.1", u"localhost"})
    EXPECT_EQ(List(host), u"false " + std::u16string(kShareListRefused)) << ToUtf8(host);
  EXPECT_EQ(program.errorLog(), u"");
}

// This machine's own security policy (a seccomp filter here) forbids the connection, which the library reports with
// the error of a refusal: nothing answers a plain connect either, so the check fails without the refusal text.
TEST_F(SmbPeer, ConnectionForbiddenHereIsNoRefusal) {
  for (const char16_t* host : {u"127.0.0.1", u"::1"})
    EXPECT_EQ(InChild([&] { return ForbidConnect() ? ToUtf8(List(host)) : "no filter of its own"; }), "false ")
        << ToUtf8(host);
}

// A name other than localhost (which the library never asks with Kerberos), without a usable ticket: the listing
// falls back to anonymous, and names are looked up as host names only.
TEST_F(SmbPeer, NameWithoutTicketListsAnonymously) {
  WriteBytes(program.file("empty.ccache"), "");
  const struct { const char* peer; std::string ccache; std::u16string want; } cases[] = {
      {"smb", "FILE:" + program.file("missing.ccache"), u"true " + kBriefListing},
      {"smb", "FILE:" + program.file("empty.ccache"), u"true " + kBriefListing},
      {"smb/closed", "FILE:" + program.file("missing.ccache"), u"false " + std::u16string(kShareListRefused)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ListByNameInChild(program.dir(), static_cast<uint16_t>(PeerPort(c.peer)), c.ccache), ToUtf8(c.want))
        << c.peer << " " << c.ccache;
  // Kerberos or anonymous, never the login name without a password, which a domain counts as a failed logon.
  EXPECT_EQ(LogonsOfTheRefusingPeer(), std::set<std::string>{"[]\\[]"});
}

// A name whose address is ::1 is listed over IPv6, with the same texts: a name of the resolver hook that the library
// would not take in a URL (asked by the address found), a dual-stack name under the IPv6 family alone (its IPv4
// address left out, so asked by address too) and, in a child whose /etc/hosts names it, an IPv6-only name the library
// looks up itself. A dual-stack name is listed at its IPv4 address (127.0.0.2: nobody listens there), as it always
// was; the IPv4 family alone finds no address for an IPv6-only name.
TEST_F(SmbPeer, ListsANameWhoseAddressIsIpv6) {
  SetHostAddressLookup([](const std::string& name) {
    const HostAddress six = *ParseHostAddress("::1"), four = *ParseHostAddress("127.0.0.2");
    return AddressLookupAnswer{name.starts_with("dual") ? std::vector<HostAddress>{four, six} : std::vector{six}, 0};
  });
  const struct { const char16_t* host; AddressFamily family; std::u16string want; FailKind why; } rows[] = {
      {u"six鯖", AddressFamily::Any, u"true " + kBriefListing, FailKind::None},
      {u"dual.test", AddressFamily::V6, u"true " + kBriefListing, FailKind::None},
      {u"dual鯖", AddressFamily::Any, u"false ", FailKind::SharesFailed},
      {u"six鯖", AddressFamily::V4, u"false ", FailKind::NoAddressOfFamily},
  };
  const SessionOptions before = GetSessionOptions();
  for (const auto& r : rows) {
    SessionOptions options = before;
    options.family = r.family;
    SetSessionOptions(options);
    ClearFailReason();
    EXPECT_EQ(List(r.host), r.want) << ToUtf8(r.host);
    EXPECT_EQ(LastFailReason().kind, r.why) << ToUtf8(r.host);
  }
  SetSessionOptions(before);
  SetHostAddressLookup(nullptr);
  EXPECT_EQ(ListByNameInChild(program.dir(), static_cast<uint16_t>(PeerPort("smb")),
                              "FILE:" + program.file("missing.ccache"), "::1 vkrsmbpeer\n"),
            ToUtf8(u"true " + kBriefListing));
  EXPECT_EQ(program.errorLog(), u"");
}

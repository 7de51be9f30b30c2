// velkor-fixtures: smb_peers
#include "net/shares.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

// A listening socket on 127.0.0.1 that never accepts: the kernel completes
// the handshake, and nothing is ever answered.
class SilentPeer {
 public:
  SilentPeer() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_fd, 8) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      m_port = ntohs(a.sin_port);
    }
  }
  ~SilentPeer() { close(m_fd); }
  uint16_t port() const { return m_port; }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);  // bound, never listened: connects are refused
  return ntohs(a.sin_port);
}

void WaitUntilNotStuck() {
  for (int i = 0; i < 400 && SmbListingStuck(); ++i) SleepMs(50);
}

class SmbPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the smb_peers fixture needs root to start smbd";
    port = PeerPort("smb");
    ASSERT_NE(port, 0) << "smb_peers fixture is not running (" << PeerDir("smb") << ")";
    SetSmbPort(static_cast<uint16_t>(port));
  }
  void TearDown() override {
    SetSmbPort(kSmbDefaultPort);
    SetSmbListBoundMs(kSmbListBoundMs);
    SetHostResolver(nullptr);
    WaitUntilNotStuck();
  }
  int port = 0;
  ProgramInTempDir program;
};

const std::u16string kBriefListing =
    u"ADMIN$    [Remote Admin]\r\n"
    u"C$        [Default share]\r\n"
    u"data      [shared data]\r\n"
    u"IPC$      [IPC Service (velkor test peer)]\r\n"
    u"NINECHARS [nine characters]\r\n"
    u"plain    \r\n";

}  // namespace

TEST(SortTexts, QuicksortMatchesBinaryOrder) {
  std::vector<std::u16string> keys = {u"DATA", u"C$", u"", u"ADMIN$", u"IPC$", u"data", u"Z", u"C$"};
  SortTexts(keys, 0, static_cast<int32_t>(keys.size()) - 1, 0);
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"", u"ADMIN$", u"C$", u"C$", u"DATA", u"IPC$", u"Z", u"data"}));

  // Only the given range moves.
  std::vector<std::u16string> part = {u"z", u"c", u"b", u"a", u"0"};
  SortTexts(part, 1, 3, 0);
  EXPECT_EQ(part, (std::vector<std::u16string>{u"z", u"a", u"b", u"c", u"0"}));

  // Any arrangement, sorted and reverse-sorted input included, comes out as
  // a code-by-code sort has it.
  std::mt19937 rng(4);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::u16string> v(rng() % 40);
    for (auto& s : v) {
      const size_t len = rng() % 4;
      for (size_t i = 0; i < len; ++i) s += static_cast<char16_t>(u'A' + rng() % 5);
    }
    if (round % 3 == 1) std::sort(v.begin(), v.end());
    if (round % 3 == 2) std::sort(v.rbegin(), v.rend());
    auto expected = v;
    std::sort(expected.begin(), expected.end());
    SortTexts(v, 0, static_cast<int32_t>(v.size()) - 1, 0);
    ASSERT_EQ(v, expected);
  }
  std::vector<std::u16string> none;
  SortTexts(none, 0, -1, 0);
  EXPECT_TRUE(none.empty());
}

TEST(PtrToText, NullAndLongTexts) {
  EXPECT_EQ(PtrToText(nullptr), u"");
  EXPECT_EQ(PtrToText(u"共有 ドライブ"), u"共有 ドライブ");
  const std::u16string longText(300, u'x');
  EXPECT_EQ(PtrToText(longText.c_str()), longText);
}

TEST(NetShareList, UnreachableServerGivesFalseEmptyAndNoReport) {
  ProgramInTempDir program;
  SetSmbPort(ClosedPort());
  std::u16string listing = u"old";
  EXPECT_FALSE(NetShareList(u"127.0.0.1", listing, true));
  EXPECT_EQ(listing, u"");
  // An unknown name never reaches a server.
  SetHostResolver([](const std::string&) { return 0u; });
  listing = u"old";
  EXPECT_FALSE(NetShareList(u"no-such-host.invalid", listing, true));
  EXPECT_EQ(listing, u"");
  SetHostResolver(nullptr);
  SetSmbPort(kSmbDefaultPort);
  EXPECT_EQ(program.errorLog(), u"");
  EXPECT_TRUE(program.boxes.empty());
}

TEST(NetShareList, DefaultPortIs445) { EXPECT_EQ(SmbPort(), 445); }

TEST_F(SmbPeer, BriefListingSortedAndPadded) {
  std::u16string listing;
  ASSERT_TRUE(NetShareList(u"127.0.0.1", listing, true));
  EXPECT_EQ(listing, kBriefListing);
  EXPECT_EQ(program.errorLog(), u"");
}

TEST_F(SmbPeer, ShareEnumerationReportsTypesAndRemarks) {
  std::vector<SmbShare> shares;
  ASSERT_TRUE(SmbEnumShares(u"127.0.0.1", shares));
  ASSERT_EQ(shares.size(), 6u);
  auto find = [&](const std::u16string& name) {
    return *std::find_if(shares.begin(), shares.end(), [&](const SmbShare& s) { return s.name == name; });
  };
  EXPECT_EQ(find(u"IPC$").type, kShareTypeIpc);
  EXPECT_EQ(find(u"data").type, kShareTypeDisk);
  EXPECT_EQ(find(u"plain").remark, u"");
  EXPECT_EQ(find(u"NINECHARS").remark, u"nine characters");
}

TEST_F(SmbPeer, LongFormMarksWhatTheListingCannotKnow) {
  std::u16string listing;
  ASSERT_TRUE(NetShareList(u"127.0.0.1", listing, false));
  const std::u16string admin =
      u"\r\n　共有名： ADMIN$    [Remote Admin]"
      u"\r\n　パス名： -- 不明 --"
      u"\r\n　最大ユーザー数　： 不明"
      u"\r\n　現在のユーザー数： 不明\r\n";
  EXPECT_EQ(listing.substr(0, admin.size()), admin);
  const std::u16string plain =
      u"\r\n　共有名： plain    "
      u"\r\n　パス名： -- 不明 --"
      u"\r\n　最大ユーザー数　： 不明"
      u"\r\n　現在のユーザー数： 不明\r\n";
  ASSERT_GE(listing.size(), plain.size());
  EXPECT_EQ(listing.substr(listing.size() - plain.size()), plain);
}

TEST_F(SmbPeer, NamesResolveFirstAndAddressZeroNeverConnects) {
  SetHostResolver([](const std::string& name) { return name == "smbpeer.test" ? inet_addr("127.0.0.1") : 0u; });
  std::u16string listing;
  EXPECT_TRUE(NetShareList(u"smbpeer.test", listing, true));
  EXPECT_EQ(listing, kBriefListing);
  EXPECT_TRUE(NetShareList(u"\\\\smbpeer.test", listing, true));
  EXPECT_EQ(listing, kBriefListing);
  // 0.0.0.0 would reach the smbd listening on 127.0.0.1.
  listing = u"old";
  EXPECT_FALSE(NetShareList(u"0.0.0.0", listing, true));
  EXPECT_EQ(listing, u"");
  EXPECT_FALSE(NetShareList(u"unknown.test", listing, true));
  EXPECT_EQ(listing, u"");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST_F(SmbPeer, NothingOnStdoutStderrNorInTheHomeDirectory) {
  TempDir home;
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", home.path().c_str(), 1);
  std::u16string listing;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = NetShareList(u"127.0.0.1", listing, true);
  SetSmbPort(ClosedPort());
  const bool refused = NetShareList(u"127.0.0.1", listing, true);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  if (oldHome) setenv("HOME", savedHome.c_str(), 1); else unsetenv("HOME");
  EXPECT_TRUE(ok);
  EXPECT_FALSE(refused);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST_F(SmbPeer, HangingPeerEndsWithinTheBoundWithTheLoopRunning) {
  SilentPeer silent;
  ASSERT_NE(silent.port(), 0);
  SetSmbPort(silent.port());
  SetSmbListBoundMs(400);
  int64_t last = MonotonicMs(), longestGap = 0;
  int turns = 0;
  SetDoEventsHook([&] {
    const int64_t now = MonotonicMs();
    longestGap = std::max(longestGap, now - last);
    last = now;
    ++turns;
  });
  std::u16string listing = u"old";
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(NetShareList(u"127.0.0.1", listing, true));
  const int64_t elapsed = MonotonicMs() - start;
  SetDoEventsHook(nullptr);
  EXPECT_EQ(listing, u"");
  EXPECT_GE(elapsed, 390);
  EXPECT_LE(elapsed, 900);
  EXPECT_GE(turns, 5);
  EXPECT_LE(longestGap, 150);  // slices of 50 ms, with room for a loaded machine

  // The stuck worker is left to end by itself; until it has, a listing of
  // the real server fails at once rather than start a second one.
  ASSERT_TRUE(SmbListingStuck());
  SetSmbPort(static_cast<uint16_t>(port));
  const int64_t again = MonotonicMs();
  EXPECT_FALSE(NetShareList(u"127.0.0.1", listing, true));
  EXPECT_LE(MonotonicMs() - again, 100);
  WaitUntilNotStuck();
  ASSERT_FALSE(SmbListingStuck());
  EXPECT_TRUE(NetShareList(u"127.0.0.1", listing, true));
  EXPECT_EQ(listing, kBriefListing);
  EXPECT_EQ(program.errorLog(), u"");
}

// velkor-fixtures: smb_peers
#include "net/shares.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/hooks.h"

namespace {

// A TCP port on 127.0.0.1: listening on *listener (the kernel completes the handshake, nobody ever answers), or
// with no listener bound and closed again, so that connections are refused.
uint16_t LoopbackPort(int* listener) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (!listener || listen(fd, 8) != 0) close(fd); else *listener = fd;
  return ntohs(a.sin_port);
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
  // What NetShareList answered, then the listing.
  static std::u16string List(const char16_t* host, bool brief = true) {
    std::u16string listing = u"old";
    return NetShareList(host, listing, brief) ? u"true " + listing : u"false " + listing;
  }
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

TEST_F(SmbPeer, ListsTheRealServer) {
  EXPECT_EQ(List(u"127.0.0.1"), u"true " + kBriefListing);
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
  SetSmbPort(LoopbackPort(nullptr));
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");  // refused
  EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST_F(SmbPeer, HangingPeerEndsWithinTheBoundWithTheLoopRunning) {
  int hanging = -1;
  SetSmbPort(LoopbackPort(&hanging));
  SetSmbListBoundMs(400);
  int64_t last = MonotonicMs(), gap = 0;
  SetDoEventsHook([&] { gap = std::max(gap, MonotonicMs() - last), last = MonotonicMs(); });
  const int64_t start = MonotonicMs();
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");
  const int64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 390);
  EXPECT_LE(took, 900);
  EXPECT_LE(std::max(gap, MonotonicMs() - last), 150);  // slices of 25 ms, with room for a loaded machine
  // The stuck worker is left to end by itself; until it has, even the real server's listing fails at once.
  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  EXPECT_EQ(List(u"127.0.0.1"), u"false ");
  EXPECT_LE(MonotonicMs() - start - took, 100);
  for (int i = 0; i < 400 && SmbListingStuck(); ++i) SleepMs(50);
  SetSmbListBoundMs(kSmbListBoundMs);
  EXPECT_EQ(List(u"127.0.0.1"), u"true " + kBriefListing);
  close(hanging);
}

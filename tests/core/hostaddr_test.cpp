#include "net/hostaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "util/clock.h"
#include "util/hooks.h"

namespace {

// Records the names it is asked and knows only the ones given.
struct FakeResolver {
  std::vector<std::string> asked;
  std::string known;
  uint32_t answer = 0;
  HostResolver fn() {
    return [this](const std::string& name) {
      asked.push_back(name);
      return name == known ? answer : 0u;
    };
  }
};

class HostAddr : public ::testing::Test {
 protected:
  void TearDown() override {
    SetHostResolver({});
    SetResolveTimeoutMs(30000);
    SetDoEventsHook({});
  }
};

TEST_F(HostAddr, DottedAddressGivesNetworkOrderValueAndText) {
  EXPECT_EQ(GetIPAddress(u"127.0.0.1"), 16777343);
  EXPECT_EQ(GetIPAddressText(u"127.0.0.1"), u"127.0.0.1");
  // Fourth octet of 128 or more: negative value, same text.
  EXPECT_EQ(GetIPAddress(u"10.0.0.200"), static_cast<int32_t>(0xC800000Au));
  EXPECT_LT(GetIPAddress(u"10.0.0.200"), 0);
  EXPECT_EQ(GetIPAddressText(u"10.0.0.200"), u"10.0.0.200");
  EXPECT_EQ(GetIPAddressText(u"192.168.254.1"), u"192.168.254.1");
}

TEST_F(HostAddr, ParserTakesOneToFourPartsInAnyBase) {
  FakeResolver fake;
  SetHostResolver(fake.fn());
  const int32_t loopback = 16777343;
  EXPECT_EQ(GetIPAddress(u"127.1"), loopback);          // a.b: 8 + 24 bits
  EXPECT_EQ(GetIPAddress(u"127.0.1"), loopback);        // a.b.c: 8 + 8 + 16 bits
  EXPECT_EQ(GetIPAddress(u"2130706433"), loopback);     // one 32-bit part
  EXPECT_EQ(GetIPAddress(u"0x7f.0.0.1"), loopback);     // hexadecimal
  EXPECT_EQ(GetIPAddress(u"0177.0.0.01"), loopback);    // octal
  EXPECT_EQ(GetIPAddress(u"0X7F000001"), loopback);
  EXPECT_EQ(GetIPAddressText(u"1.2.65535"), u"1.2.255.255");
  EXPECT_EQ(GetIPAddress(u"0.0.0.0"), 0);
  EXPECT_TRUE(fake.asked.empty());
}

TEST_F(HostAddr, TextsThatAreNotAddressesGoToTheLookup) {
  FakeResolver fake;
  SetHostResolver(fake.fn());
  for (const char16_t* text : {u"256.0.0.1", u"1.2.3.4.5", u"08.0.0.1", u"1.2.3.", u".1.2.3", u"1..2.3",
                               u"0x", u"1.2.3.4 ", u"mail.example", u"", u"1.256.65536", u"4294967296"}) {
    EXPECT_EQ(GetIPAddress(text), 0) << std::string(text, text + std::char_traits<char16_t>::length(text));
  }
  EXPECT_EQ(fake.asked.size(), 12u);
  EXPECT_EQ(fake.asked[8], "mail.example");
}

TEST_F(HostAddr, AllOnesAddressIsLookedUpAsAName) {
  FakeResolver fake;
  fake.known = "255.255.255.255";
  fake.answer = inet_addr("10.1.2.3");
  SetHostResolver(fake.fn());
  EXPECT_EQ(GetIPAddressText(u"255.255.255.255"), u"10.1.2.3");
  ASSERT_EQ(fake.asked.size(), 1u);
  EXPECT_EQ(fake.asked[0], "255.255.255.255");
}

TEST_F(HostAddr, NameGivesFirstAddressOfTheResolver) {
  FakeResolver fake;
  fake.known = "mailhost";
  fake.answer = inet_addr("192.0.2.77");
  SetHostResolver(fake.fn());
  EXPECT_EQ(GetIPAddressText(u"mailhost"), u"192.0.2.77");
  EXPECT_EQ(GetIPAddress(u"nosuchhost"), 0);
  EXPECT_EQ(GetIPAddressText(u"nosuchhost"), u"0.0.0.0");
}

TEST_F(HostAddr, NameIsHandedOverInTheCodePage) {
  FakeResolver fake;
  SetHostResolver(fake.fn());
  GetIPAddress(u"サーバ");
  ASSERT_EQ(fake.asked.size(), 1u);
  EXPECT_EQ(fake.asked[0], "\x83\x54\x81\x5B\x83\x6F");
}

TEST_F(HostAddr, SystemResolverReadsTheHostsFile) {
  EXPECT_EQ(GetIPAddressText(u"localhost"), u"127.0.0.1");
}

// A resolver that hangs until the test lets it go.
struct StalledResolver {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> calls{0};
  HostResolver fn() {
    return [this](const std::string&) {
      ++calls;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return release; });
      return static_cast<uint32_t>(inet_addr("10.9.9.9"));
    };
  }
  void Release() {
    std::lock_guard lock(m);
    release = true;
    cv.notify_all();
  }
};

TEST_F(HostAddr, StalledLookupEndsAtItsTimeOutWhileTheLoopKeepsRunning) {
  auto stalled = std::make_shared<StalledResolver>();  // outlives the abandoned worker
  SetHostResolver(stalled->fn());
  SetResolveTimeoutMs(300);
  int64_t last = MonotonicMs();
  int64_t longestGap = 0;
  int loops = 0;
  SetDoEventsHook([&] {
    int64_t now = MonotonicMs();
    longestGap = std::max(longestGap, now - last);
    last = now;
    ++loops;
  });

  const int64_t start = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"stuck.example"), 0);
  const int64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 1500);
  EXPECT_GE(loops, 4);
  EXPECT_LE(longestGap, 60);

  // While that worker is stuck, the next name gives 0 at once without a
  // second worker; dotted addresses still parse.
  const int64_t again = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"other.example"), 0);
  EXPECT_LT(MonotonicMs() - again, 50);
  EXPECT_EQ(stalled->calls.load(), 1);
  EXPECT_EQ(GetIPAddress(u"127.0.0.1"), 16777343);

  // Once it has answered (into its own data), lookups work again.
  stalled->Release();
  SleepMs(50);
  FakeResolver fake;
  fake.known = "back.example";
  fake.answer = inet_addr("10.0.0.1");
  SetHostResolver(fake.fn());
  EXPECT_EQ(GetIPAddressText(u"back.example"), u"10.0.0.1");
}

TEST_F(HostAddr, BinaryDigitTexts) {
  EXPECT_EQ(LongToBinText(0), std::u16string(32, u'0'));
  EXPECT_EQ(LongToBinText(-1), std::u16string(32, u'1'));
  EXPECT_EQ(LongToBinText(INT32_MIN), u"1" + std::u16string(31, u'0'));
  EXPECT_EQ(LongToBinText(5), std::u16string(29, u'0') + u"101");
  EXPECT_EQ(LongToBinText(-2), std::u16string(31, u'1') + u"0");
  EXPECT_EQ(BinTextToLong(u"11111111"), 255);
  EXPECT_EQ(BinTextToLong(u"00000101"), 5);
  EXPECT_EQ(BinTextToLong(u"1x1"), 5);  // anything but "1" adds nothing
  EXPECT_EQ(BinTextToLong(u""), 0);
}

}  // namespace

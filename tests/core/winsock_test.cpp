// The socket layer under the sessions: the library contract, error numbers
// and their texts, host addresses.
#include "net/winsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <utility>

#include "net/hostaddr.h"
#include "net/sockerr.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

TEST(WinSock, StartAnswersVersionOneOneAndCleanUpsAreCounted) {
  ws::WSAData data;
  EXPECT_EQ(ws::socket(ws::kAfInet, ws::kSockStream, 0), -1);
  EXPECT_EQ(ws::WSAGetLastError(), 10093);       // not started
  EXPECT_EQ(ws::WSAStartup(0x0202, &data), 0);  // offers 1.1 only; the caller decides
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(ws::WSAStartup(0x0001, &data), 10092);
  EXPECT_EQ(ws::WSACleanup(), 0);
  EXPECT_EQ(ws::WSACleanup(), -1);
}

TEST(WinSock, ErrorNumbersAndTheirTexts) {
  for (const auto& [e, wsa] : std::map<int, int>{{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {EHOSTUNREACH, 10065},
                                                  {ENETUNREACH, 10051}, {ECONNRESET, 10054}, {EPIPE, 10054},
                                                  {EMSGSIZE, 10040}, {EADDRNOTAVAIL, 10049}, {ENOENT, 10107}, {0, 0}})
    EXPECT_EQ(ws::ErrnoToWsa(e), wsa) << e;

  // Numbers and meaning texts, the trailing blanks of their lines included.
  const std::map<int32_t, std::u16string> rows = {
      {10004, u"関数呼び出しに割り込みがありました。    "}, {10013, u"アクセスは拒否されました。      "},
      {10014, u"アドレスが正しくありません。    "}, {10022, u"無効な引数です。    "},
      {10024, u"開いているファイルが多すぎます。    "}, {10035, u"リソースが一時的に利用できなくなっています。    "},
      {10036, u"操作は現在実行中です。      "}, {10037, u"操作は既に実行中です。      "},
      {10038, u"非ソケットに対してソケット操作を試みました。    "}, {10039, u"送信先のアドレスが必要です。    "},
      {10040, u"メッセージが長すぎます。    "}, {10041, u"プロトコルの種類がソケットに対して正しくありません。    "},
      {10042, u"プロトコルのオプションが正しくありません。      "}, {10043, u"プロトコルがサポートされていません。    "},
      {10044, u"サポートされていないソケットの種類です。    "}, {10045, u"操作がソケット上でサポートされていません。      "},
      {10046, u"プロトコル ファミリがサポートされていません。   "}, {10048, u"アドレスは既に使用中です。      "},
      {10047, u"プロトコル ファミリはアドレス ファミリをサポートしていません。      "},
      {10049, u"要求されたアドレスを割り当てられません。    "}, {10050, u"ネットワークがダウンしています。    "},
      {10051, u"ICMP ネットワークに到達できません。     "}, {10053, u"ソフトウェアによって接続が中止されました。      "},
      {10052, u"ネットワークがリセットされたため切断されました。    "}, {10057, u"ソケットが接続されていません。      "},
      {10054, u"ピアによって接続がリセットされました。      "}, {10055, u"バッファ領域がサポートされていません。      "},
      {10056, u"ソケットは既に接続されています。    "}, {10058, u"ソケットのシャットダウン後に送信できません。    "},
      {10060, u"接続がタイムアウトになりました。    "}, {10061, u"接続が拒否されました。      "},
      {10064, u"ホストがダウンしています。      "}, {10065, u"ホストに到達するためのルートがありません。      "},
      {10067, u"プロセスが多すぎます。      "}, {10091, u"ネットワーク サブシステムが利用できません。     "},
      {10092, u"このバージョンの Winsock.dll はサポートされていません。     "},
      {10093, u"WSAStartup の実行に成功していません。   "}, {10101, u"正常なシャットダウン処理が進行中です。      "},
      {10109, u"この種類のクラスが見つかりません。      "}, {11003, u"回復不可能なエラーが発生しました。      "},
      {11001, u"ホストが見つかりません。そのようなホストはありません。      "},
      {11002, u"ホストが見つかりません。権限を持つサーバーからの応答がありません。      "},
      {11004, u"要求された名前は有効ですが、要求された種類のデータ レコードがありません。   "},
  };
  for (int32_t n = -1; n <= 32767; ++n) {
    const std::u16string text = SocketErrorText(n);
    if (!rows.count(n)) {
      ASSERT_EQ(text, u"その他のエラー: " + ToU16(n));
      continue;
    }
    // The meaning line, CR LF, "     説明 : " (one blank less for 10013) and a paragraph of 30 to 550
    // characters ending in "。", then 2 to 6 blanks.
    const std::u16string head = u"     意味 : " + rows.at(n) + (n == 10013 ? u"\r\n    説明 : " : u"\r\n     説明 : ");
    ASSERT_EQ(text.substr(0, head.size()), head) << n;
    const std::u16string rest = text.substr(head.size());
    const size_t end = rest.find_last_not_of(u' ') + 1, blanks = rest.size() - end;
    EXPECT_TRUE(end >= 30 && end <= 550 && rest[0] != u' ' && rest[end - 1] == u'。' && blanks >= 2 && blanks <= 6 &&
                rest.find_first_of(u"\r\n") == std::u16string::npos)
        << n << ": " << ToUtf8(rest);
  }
  EXPECT_EQ(SocketErrorText(65536 + 10060), SocketErrorText(10060));  // the low 16 bits count
}

TEST(HostAddr, StalledLookupThenDottedTextsAndNames) {
  auto release = std::make_shared<std::atomic<bool>>(false);  // outlives the abandoned worker
  auto calls = std::make_shared<std::atomic<int>>(0);
  SetHostResolver([release, calls](const std::string&) {
    for (++*calls; !*release;) SleepMs(5);
    return inet_addr("10.9.9.9");
  });
  SetResolveTimeoutMs(300);
  int64_t last = MonotonicMs(), longest = 0;
  SetDoEventsHook([&] { longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs())); });
  int64_t start = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"stuck.example"), 0);
  EXPECT_GE(MonotonicMs() - start, 290);
  EXPECT_LT(MonotonicMs() - start, 1500);
  EXPECT_LE(longest, 200);  // the message loop kept running: a wait that stood still would show its 300 ms
  // While that worker is stuck, the next name gives 0 at once, well before a wait of its own would end; dotted
  // addresses still parse.
  SetResolveTimeoutMs(3000);
  start = MonotonicMs();
  EXPECT_EQ(GetIPAddress(u"other.example"), 0);
  EXPECT_LT(MonotonicMs() - start, 1000);
  EXPECT_EQ(GetIPAddress(u"127.0.0.1"), 16777343);  // network byte order read as a signed number
  EXPECT_EQ(GetIPAddress(u"10.0.0.200"), static_cast<int32_t>(0xC800000Au));
  EXPECT_EQ(*calls, 1);
  *release = true;
  SetDoEventsHook({});

  // Once it has answered (into its own data) lookups work again, here with a resolver that knows two names.
  std::vector<std::string> asked;
  SetHostResolver([&asked](const std::string& name) {
    asked.push_back(name);
    return name == "mailhost" ? inet_addr("192.0.2.77") : name == "255.255.255.255" ? inet_addr("10.1.2.3") : 0u;
  });
  // However long the released worker takes to finish on a loaded machine.
  for (int i = 0; i < 500 && GetIPAddressText(u"mailhost") != u"192.0.2.77"; ++i) SleepMs(10);
  const struct {
    std::u16string host, text;
    bool lookup;  // handed to the resolver (in the code page)
  } rows[] = {
      {u"127.0.0.1", u"127.0.0.1", false}, {u"10.0.0.200", u"10.0.0.200", false}, {u"127.1", u"127.0.0.1", false},
      {u"127.0.1", u"127.0.0.1", false}, {u"2130706433", u"127.0.0.1", false}, {u"0x7f.0.0.1", u"127.0.0.1", false},
      {u"0177.0.0.01", u"127.0.0.1", false}, {u"0X7F000001", u"127.0.0.1", false}, {u"1.2.65535", u"1.2.255.255", false},
      {u"0.0.0.0", u"0.0.0.0", false}, {u"mailhost", u"192.0.2.77", true}, {u"サーバ", u"0.0.0.0", true},
      {u"255.255.255.255", u"10.1.2.3", true},  // the all-ones value means "not an address"
      {u"256.0.0.1", u"0.0.0.0", true}, {u"1.2.3.4.5", u"0.0.0.0", true}, {u"08.0.0.1", u"0.0.0.0", true},
      {u"1.2.3.", u"0.0.0.0", true}, {u".1.2.3", u"0.0.0.0", true}, {u"1..2.3", u"0.0.0.0", true},
      {u"0x", u"0.0.0.0", true}, {u"1.2.3.4 ", u"0.0.0.0", true}, {u"", u"0.0.0.0", true},
      {u"1.256.65536", u"0.0.0.0", true}, {u"4294967296", u"0.0.0.0", true},
  };
  for (const auto& row : rows) {
    asked.clear();
    EXPECT_EQ(GetIPAddressText(row.host), row.text) << ToUtf8(row.host);
    EXPECT_EQ(asked, row.lookup ? std::vector<std::string>{ToAnsi(row.host)} : std::vector<std::string>{});
  }
  SetHostResolver({});
  EXPECT_EQ(GetIPAddressText(u"localhost"), u"127.0.0.1");  // the system resolver reads the hosts file
}

}  // namespace

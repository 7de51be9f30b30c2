#include "net/sockerr.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct Row {
  int32_t number;
  const char16_t* meaning;
  int blanks;
};

// Numbers, meaning texts and the trailing blanks of the meaning lines.
const Row kTable[] = {
    {10004, u"関数呼び出しに割り込みがありました。", 4},
    {10013, u"アクセスは拒否されました。", 6},
    {10014, u"アドレスが正しくありません。", 4},
    {10022, u"無効な引数です。", 4},
    {10024, u"開いているファイルが多すぎます。", 4},
    {10035, u"リソースが一時的に利用できなくなっています。", 4},
    {10036, u"操作は現在実行中です。", 6},
    {10037, u"操作は既に実行中です。", 6},
    {10038, u"非ソケットに対してソケット操作を試みました。", 4},
    {10039, u"送信先のアドレスが必要です。", 4},
    {10040, u"メッセージが長すぎます。", 4},
    {10041, u"プロトコルの種類がソケットに対して正しくありません。", 4},
    {10042, u"プロトコルのオプションが正しくありません。", 6},
    {10043, u"プロトコルがサポートされていません。", 4},
    {10044, u"サポートされていないソケットの種類です。", 4},
    {10045, u"操作がソケット上でサポートされていません。", 6},
    {10046, u"プロトコル ファミリがサポートされていません。", 3},
    {10047, u"プロトコル ファミリはアドレス ファミリをサポートしていません。", 6},
    {10048, u"アドレスは既に使用中です。", 6},
    {10049, u"要求されたアドレスを割り当てられません。", 4},
    {10050, u"ネットワークがダウンしています。", 4},
    {10051, u"ICMP ネットワークに到達できません。", 5},
    {10052, u"ネットワークがリセットされたため切断されました。", 4},
    {10053, u"ソフトウェアによって接続が中止されました。", 6},
    {10054, u"ピアによって接続がリセットされました。", 6},
    {10055, u"バッファ領域がサポートされていません。", 6},
    {10056, u"ソケットは既に接続されています。", 4},
    {10057, u"ソケットが接続されていません。", 6},
    {10058, u"ソケットのシャットダウン後に送信できません。", 4},
    {10060, u"接続がタイムアウトになりました。", 4},
    {10061, u"接続が拒否されました。", 6},
    {10064, u"ホストがダウンしています。", 6},
    {10065, u"ホストに到達するためのルートがありません。", 6},
    {10067, u"プロセスが多すぎます。", 6},
    {10091, u"ネットワーク サブシステムが利用できません。", 5},
    {10092, u"このバージョンの Winsock.dll はサポートされていません。", 5},
    {10093, u"WSAStartup の実行に成功していません。", 3},
    {10101, u"正常なシャットダウン処理が進行中です。", 6},
    {10109, u"この種類のクラスが見つかりません。", 6},
    {11001, u"ホストが見つかりません。そのようなホストはありません。", 6},
    {11002, u"ホストが見つかりません。権限を持つサーバーからの応答がありません。", 6},
    {11003, u"回復不可能なエラーが発生しました。", 6},
    {11004, u"要求された名前は有効ですが、要求された種類のデータ レコードがありません。", 3},
};

TEST(SocketErrorText, TheFortyThreeRowsAndTheirLayout) {
  ASSERT_EQ(std::size(kTable), 43u);
  for (const Row& row : kTable) {
    SCOPED_TRACE(row.number);
    const std::u16string text = SocketErrorText(row.number);
    const size_t crlf = text.find(u"\r\n");
    ASSERT_NE(crlf, std::u16string::npos);
    const std::u16string meaningLine =
        u"     意味 : " + std::u16string(row.meaning) + std::u16string(static_cast<size_t>(row.blanks), u' ');
    EXPECT_EQ(text.substr(0, crlf), meaningLine);

    const std::u16string explanation = text.substr(crlf + 2);
    EXPECT_EQ(explanation.find(u"\r"), std::u16string::npos);
    EXPECT_EQ(explanation.find(u"\n"), std::u16string::npos);
    const std::u16string head = row.number == 10013 ? u"    説明 : " : u"     説明 : ";
    ASSERT_EQ(explanation.substr(0, head.size()), head);
    size_t end = explanation.size();
    while (end > head.size() && explanation[end - 1] == u' ') --end;
    const size_t trailing = explanation.size() - end;
    EXPECT_GE(trailing, 2u);
    EXPECT_LE(trailing, 6u);
    const std::u16string paragraph = explanation.substr(head.size(), end - head.size());
    EXPECT_GE(paragraph.size(), 30u);
    EXPECT_LE(paragraph.size(), 550u);
    EXPECT_NE(paragraph.front(), u' ');
    EXPECT_EQ(paragraph.back(), u'。');
  }
}

TEST(SocketErrorText, OnlyTheTableHasDescriptions) {
  std::set<int32_t> listed;
  for (const Row& row : kTable) listed.insert(row.number);
  int described = 0;
  for (int32_t n = -1; n <= 32767; ++n) {
    const std::u16string text = SocketErrorText(n);
    const bool other = text.rfind(u"その他のエラー: ", 0) == 0;
    if (!other) ++described;
    EXPECT_EQ(!other, listed.count(n) == 1) << n;
  }
  EXPECT_EQ(described, 43);
}

TEST(SocketErrorText, UnknownNumbersAndTheLowSixteenBits) {
  EXPECT_EQ(SocketErrorText(0), u"その他のエラー: 0");
  EXPECT_EQ(SocketErrorText(10059), u"その他のエラー: 10059");
  EXPECT_EQ(SocketErrorText(11005), u"その他のエラー: 11005");
  EXPECT_EQ(SocketErrorText(-1), u"その他のエラー: -1");
  EXPECT_EQ(SocketErrorText(65536 + 10060), SocketErrorText(10060));
  EXPECT_EQ(SocketErrorText(10060).substr(0, 26), u"     意味 : 接続がタイムアウトになりました。");
}

}  // namespace

// The probes against the real servers an operator meets: postfix, dovecot,
// vsftpd and nginx on 127.0.0.1 (the tcp_peers fixture).
// velkor-fixtures: tcp_peers
#include <gtest/gtest.h>

#include <map>

#include "app/appstate.h"
#include "net/probes.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "util/clock.h"
#include "util/codepage.h"

// Each probe, three rounds over (each cleans up after itself), with the transcript the real server gives and the
// reports it causes.
TEST(RealTcpPeers, EveryProbePassesWithWhatTheServersReallySay) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  const CaseVars ports = {{"SMTP", std::to_string(peers.smtp)}, {"SMTP_NO_EHLO", std::to_string(peers.smtpNoEhlo)},
                          {"POP", std::to_string(peers.pop)},   {"FTP", std::to_string(peers.ftp)},
                          {"FTP_BANNER", std::to_string(peers.ftpBanner)}, {"HTTP", std::to_string(peers.http)}};
  const std::map<std::string, ProbeKind> kinds = {
      {"Smtp", ProbeKind::Smtp}, {"Pop", ProbeKind::Pop}, {"Ftp", ProbeKind::Ftp}, {"Http", ProbeKind::Http}};
  const std::vector<Case> cases = LoadCases("peers-probes.cases", ports);
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      CASE_TRACE(c);
      prog.boxes.clear();
      std::u16string transcript = u"untouched";
      const std::vector<std::string> probe = c.words("probe");
      const int64_t start = MonotonicMs();
      EXPECT_EQ(RunProbe(kinds.at(probe[0]), FromUtf8(c.get("host", "127.0.0.1")), std::stoi(probe[1]), u"velkorprobe",
                         u"never-sent-9f3b", transcript),
                c.get("ok", "yes") == "yes");
      EXPECT_LT(MonotonicMs() - start, 2000);
      std::vector<std::u16string> lines, want, boxes;
      for (size_t at = 0, end = 0; at < transcript.size(); at = end + 2) {
        end = std::min(transcript.find(u"\r\n", at), transcript.size());
        lines.push_back(transcript.substr(at, end - at) + (end == transcript.size() ? u" (no line end)" : u""));
      }
      for (const std::string& line : c.all("line")) want.push_back(FromUtf8(line));
      for (const std::string& box : c.all("box")) boxes.push_back(FromUtf8(box));
      EXPECT_EQ(CutToPrefixes(lines, want), want);
      EXPECT_EQ(prog.boxes, boxes);
    }
  }
}

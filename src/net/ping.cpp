#include "net/ping.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/icmphelper.h"
#include "net/icmpsocket.h"
#include "net/icmphelper/icmpexchange.h"
#include "net/ip6literal.h"
#include "net/winsock.h"
#include "util/clock.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/stop.h"
#include "util/xcommon.h"

namespace {

constexpr size_t kBufferBytes = 128;
constexpr int16_t kRequestBytes = 20;
constexpr size_t kIpHeaderMin = 20;
constexpr size_t kIcmpHeaderBytes = 8;

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestUnreachable = 3;
constexpr uint8_t kEchoRequest = 8;

// The window's message loop runs at least this often while a poll waits
// (half the 50 ms the window can afford, so a busy machine stays within it).
constexpr int kWaitPieceMs = 25;

using Buffer = std::array<uint8_t, kBufferBytes>;

// ICMP messages that report a failed delivery and quote the packet (the
// kernel's own list of error types). Redirects are advice: the request went
// on, its answer is still to come.
bool IsIcmpError(uint8_t type) { return type == 3 || type == 4 || type == 11 || type == 12; }

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The IPv4 header length of a datagram, or 0 when it is not a well-formed
// IPv4 header that leaves room for an ICMP header behind it.
size_t IpHeaderLength(std::span<const uint8_t> d) {
  if (d.size() < kIpHeaderMin || (d[0] >> 4) != 4) return 0;
  const size_t ihl = static_cast<size_t>(d[0] & 0x0F) * 4;
  if (ihl < kIpHeaderMin || d.size() < ihl + kIcmpHeaderBytes) return 0;
  return ihl;
}

std::u16string DottedText(uint32_t address) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  return ToU16(b[0]) + u"." + ToU16(b[1]) + u"." + ToU16(b[2]) + u"." + ToU16(b[3]);
}

// type: kEchoRequest, or kIcmp6EchoRequest, whose checksum the kernel fills
// in (its pseudo-header holds the source address the kernel picks).
void BuildRequest(Buffer& send, uint8_t type) {
  send.fill(0);
  send[0] = type;  // code, checksum, identifier and sequence stay 0
  for (size_t i = 8; i < static_cast<size_t>(kRequestBytes); ++i) send[i] = static_cast<uint8_t>(i + 24);
  if (type != kEchoRequest) return;
  uint8_t sum[2];
  IcmpCheckSum(send, kRequestBytes, sum);
  send[2] = sum[0];
  send[3] = sum[1];
}

std::u16string Dump(const Buffer& send, const Buffer& reply) {
  return u"request:\r\n" + xHexDump(send) + u"\r\nreply:  \r\n" + xHexDump(reply);
}

}  // namespace

void IcmpCheckSum(std::span<const uint8_t> data, int16_t length, uint8_t (&result)[2]) {
  const size_t n = std::min(static_cast<size_t>(std::max<int16_t>(length, 0)), data.size());
  const uint16_t check = InternetChecksum(data.first(n));
  result[0] = static_cast<uint8_t>(check >> 8);
  result[1] = static_cast<uint8_t>(check & 0xFF);
}

bool IcmpAnswersRequest(std::span<const uint8_t> d, uint32_t from, uint32_t target, bool kernelFiltered) {
  const size_t ihl = IpHeaderLength(d);
  if (ihl == 0 || d[9] != 1) return false;  // protocol 1: ICMP
  const uint8_t type = d[ihl];
  if (type == kEchoReply) {
    if (from != target) return false;
    return kernelFiltered || (Get16(&d[ihl + 4]) == 0 && Get16(&d[ihl + 6]) == 0);
  }
  if (!IsIcmpError(type)) return false;  // our own request on loopback, and the like
  if (kernelFiltered) return true;
  // The quoted packet: an IPv4 header, then at least the ICMP header of our
  // echo request to the target.
  const auto quoted = d.subspan(ihl + kIcmpHeaderBytes);
  const size_t qihl = IpHeaderLength(quoted);
  if (qihl == 0 || quoted[9] != 1) return false;
  uint32_t quotedTarget;
  std::memcpy(&quotedTarget, &quoted[16], 4);
  return quotedTarget == target && quoted[qihl] == kEchoRequest && Get16(&quoted[qihl + 4]) == 0 &&
         Get16(&quoted[qihl + 6]) == 0;
}

std::optional<int16_t> IcmpReplyStatus(std::span<const uint8_t> datagram, uint32_t from, uint32_t target,
                                       bool kernelFiltered) {
  if (!IcmpAnswersRequest(datagram, from, target, kernelFiltered)) return std::nullopt;
  const uint8_t type = datagram[IpHeaderLength(datagram)];
  if (type == kEchoReply) return 0;
  if (type == kDestUnreachable) return 1;
  return 999;
}

int16_t PingCheck(const std::u16string& host, bool& alive, std::u16string& message, std::u16string& dump,
                  const PingOptions& options) {
  alive = false;
  try {
    ws::WSAData data;
    if (ws::WSAStartup(ws::kVersion11, &data) != 0) {
      message = u"winsock startup error.";
      return -1;
    }
    if (data.wVersion != ws::kVersion11) {
      ReportError(u"winsock version error.");
      return -1;
    }

    // One lookup: an IPv6 address goes over ICMPv6, an IPv4 one over ICMP; a
    // name with both is pinged at its IPv4 address, as it always was. The
    // text of the address pinged comes from the same lookup: a second one
    // could name another address, or wait for the resolver again.
    const ResolvedHost resolved = ResolveHostAddresses(host, GetSessionOptions().family);
    const std::optional<HostAddress> chosen = SingleCheckAddress(resolved.addresses);
    std::optional<Ip6Address> target6;
    uint32_t target = 0;
    if (chosen && chosen->family == 6) {
      target6.emplace();
      std::copy(chosen->bytes.begin(), chosen->bytes.end(), target6->begin());
    } else if (chosen) {
      std::memcpy(&target, chosen->bytes.data(), 4);
    }
    if (!chosen) NoteLookupFailure(resolved.outcome);
    IcmpSocket sock;
    if (!sock.Open(target6 ? AF_INET6 : AF_INET)) {
      message = u"socket open error.\r\n" + IcmpEnableHint();
      return -1;
    }
    const std::u16string addressText = target6 ? Ip6Text(*target6) : DottedText(target);
    if (chosen) NoteConnectAddress(addressText);

    if (sock.SetNonBlocking(true) != 0) {
      message = u"mode set error. (NONBLOCKING mode)";
      return -2;
    }

    // The helper, where it does the exchange, waits as long as we do.
    sock.SetHelperWaitMs(std::max(options.polls, 1) * std::max(options.pollSliceMs, 0));
    Buffer send;
    BuildRequest(send, target6 ? kIcmp6EchoRequest : kEchoRequest);
    Buffer reply{};
    // An unknown name gives address 0, which Linux would deliver to this
    // machine, as it would "::": never sent, they fail as a send. So does an
    // IPv6 address that is not one host (a multicast group, IPv4-mapped).
    const std::span<const uint8_t> request = std::span(send).first(kRequestBytes);
    const bool sent = target6 ? Ip6IsOneHost(*target6) && sock.SendTo(request, *target6) != -1
                              : target != 0 && sock.SendTo(request, target) != -1;
    if (!sent) {
      message = u"send packet error.";
      return -3;
    }

    // One receive: its byte count, and its status when it is our answer.
    const auto receive = [&](std::optional<int16_t>& status) {
      int got;
      if (target6) {
        Ip6Address from{};
        got = sock.RecvFrom(reply, from);
        if (got > 0)
          status = Icmp6ReplyStatus(std::span(reply).first(static_cast<size_t>(got)), from, *target6,
                                    sock.KernelFiltered());
      } else {
        uint32_t from = 0;
        got = sock.RecvFrom(reply, from);
        if (got > 0)
          status = IcmpReplyStatus(std::span(reply).first(static_cast<size_t>(got)), from, target,
                                   sock.KernelFiltered());
      }
      return got;
    };
    const int polls = std::max(options.polls, 1);
    const int slice = std::max(options.pollSliceMs, 0);
    const int64_t start = MonotonicMs();
    int64_t lastEvents = start;
    for (int poll = 1; poll <= polls; ++poll) {
      const int64_t pollEnd = start + static_cast<int64_t>(poll) * slice;
      for (;;) {
        reply.fill(0);
        std::optional<int16_t> status;
        const int got = receive(status);
        if (status == 0) {
          message = u"Target is alive.  " + ToU16(got) + u" bytes received.  (" + addressText + u")";
          dump = Dump(send, reply);
          alive = true;
          return 0;
        }
        if (status == 1) {
          message = u"Destination unreachable !  (" + addressText + u")";
          return 1;
        }
        if (status) {
          message = u"Received something...";
          dump = Dump(send, reply);
          return 999;
        }
        // Nothing yet, or a datagram that is not our answer: go on until
        // this poll's slice is over. The message loop runs in every piece of
        // the wait, also while foreign datagrams keep the socket busy (a
        // flood of them would otherwise hold the window for the whole wait).
        if (StopRequested()) {
          message = u"Timeout !";  // the run writes the stop line instead
          return 10;
        }
        const int64_t now = MonotonicMs();
        const int64_t left = pollEnd - now;
        if (left <= 0) break;
        if (got <= 0 || now - lastEvents >= kWaitPieceMs) {
          DoEvents();
          lastEvents = MonotonicMs();
        }
        if (got <= 0) sock.WaitReadable(static_cast<int>(std::min<int64_t>(left, kWaitPieceMs)));
      }
    }
    message = u"Timeout !";
    return 10;
  } catch (...) {
    // The socket has closed with `sock` on this path too: one left open per
    // failure would add up over months of monitoring.
    alive = false;
    ReportError(BuildErrorReport(u"AppInitERR:", CurrentFailure(), NumberForm::Signed, ReportLayout::A) + u"\r\n");
    return 0;
  }
}

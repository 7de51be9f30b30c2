#pragma once
// The line-oriented TCP client under the service probes: open a session and
// read the greeting (WinSockManager), exchange one command and judge its
// reply against CmdReplyTable (WinSockCmdSend), close (WinSockClose).
// Failures are reported through ReportError and end in a false result;
// nothing is thrown to the caller.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/hostaddr.h"
#include "net/replyend.h"  // the reply judgement

// One row of the reply table. Code fields are exactly four characters; a
// three-character code is held with a trailing blank ("250 ").
struct CmdReplyEntry {
  std::u16string CmdName;    // the command's name in messages
  std::u16string ReplyHead;  // when not empty: the reply must begin with it
  std::u16string OkCode1;
  std::u16string OkCode2;
  std::u16string OkCode3;
};

inline constexpr int kCmdReplyTableSize = 101;  // numbers 0 to 100
using CmdReplyTableType = std::array<CmdReplyEntry, kCmdReplyTableSize>;
// The table as WinSockCmdSend builds it at each call.
CmdReplyTableType CmdReplyTable();

// Shared with the main window's reply-wait watchdog: set while a reply is
// awaited; the watchdog raises RecvTimedOut to end the wait.
extern bool RecvWaiting;
extern bool RecvTimedOut;

// Time-outs and limits of a session. Tests shorten them.
struct SessionOptions {
  // The send and receive time-out option value: two 32-bit integers,
  // seconds and microseconds (30, 0). It also bounds the whole greeting and
  // the connect. A value the socket layer refuses is reported when the
  // session opens, and the session runs with the default instead.
  int32_t timeoutSeconds = 30;
  int32_t timeoutMicros = 0;
  // A reply wait ends once this much has passed since it began, however
  // the peer trickles its bytes; measured on the monotonic clock, so that
  // a change of the system clock cannot cut the wait short or stretch it.
  int64_t replyWaitLimitMs = 30000;
  // Receives that return nothing without an error before the wait gives up.
  int emptyReadLimit = 100;
  // Largest greeting or reply kept; a peer cannot make memory grow beyond it.
  size_t replyCapBytes = size_t{1} << 20;
  // The addresses a host's connect may use: both families, or one only
  // (velkor-check's -4 and -6).
  AddressFamily family = AddressFamily::Any;
  // A host with several addresses: the next address is tried this long
  // after the one before it unless that one has connected or failed by then
  // (IPv6 first, then IPv4, alternating; Happy Eyeballs).
  int64_t nextAddressDelayMs = 250;
};
void SetSessionOptions(const SessionOptions& options);
SessionOptions GetSessionOptions();
// The send and receive time-out a session runs with, in milliseconds; a TLS
// handshake gets as long.
int64_t SessionTimeoutMs();

// A step between the connect and the greeting (the TLS handshake of a
// service spoken in TLS from the first byte); false ends the opening.
using SessionStep = std::function<bool(int32_t socket)>;

// host and port are trimmed in place. host is a name, an IPv4 address or an
// IPv6 address (without brackets); a name with several addresses is
// connected as SessionOptions says, the window's texts then naming the
// socket error of the last attempt. On false the socket is closed (or was
// never created). greeting gets the greeting with its line end (all lines
// of a multi-line greeting). beforeGreeting, when given, runs once the
// connect has succeeded, even with skipGreeting.
bool WinSockManager(std::u16string& host, std::u16string& port, int32_t& socket, std::u16string& greeting,
                    bool skipGreeting, bool quiet, const SessionStep& beforeGreeting = nullptr);
// cmdText is the whole line, line end included. reply is emptied only when
// the reply wait begins. code gets the four-character reply code (empty for
// number 95).
bool WinSockCmdSend(int32_t socket, int16_t cmdNo, const std::u16string& cmdText, std::u16string& reply,
                    std::u16string& code);
// Ends the socket's TLS, if any, closes the socket and stops the socket
// library once.
int16_t WinSockClose(int32_t socket);

// The port's value: the run of leading ASCII digits (saturating), 0 when
// there is none. Above 65535 the port cannot be used.
int64_t PortValue(std::u16string_view port);

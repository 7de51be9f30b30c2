#pragma once
// The socket calls the probes are written against, with the Windows Sockets
// 1.1 contract: a start-up that answers the version it agreed to, 32-bit
// socket handles, -1 for a failed call, and a per-thread last error in the
// Windows Sockets numbering (10000 and up), which SocketErrorText describes.
//
// This file holds the contract; winsock.cpp implements it on POSIX sockets.
// A Windows build would put a backend beside it that forwards to the real
// library. What the POSIX backend adds to the plain calls:
// - every wait (connect, send, recv) polls in slices of at most 50 ms and
//   lets the window's message loop run (DoEvents) between slices, and ends
//   after the socket's time-out with error 10060;
// - connect uses the send time-out as its bound, so a host that drops SYNs
//   fails after the time-out rather than after the kernel's retries;
// - connect to address 0 (IPv4) or :: (IPv6) is refused with 10049 without
//   connecting (on Linux either would reach the local machine);
// - a successful call sets the last error to 0, so that a recv answering 0
//   (the peer closed) leaves 0 behind.
#include <cstdint>
#include <vector>

namespace ws {

using SOCKET = int32_t;
inline constexpr SOCKET kInvalidSocket = -1;
inline constexpr int kSocketError = -1;

// Numbers as the Windows Sockets headers have them (the Linux macros of the
// same names have other values, hence the k-names).
inline constexpr int kAfInet = 2;
inline constexpr int kAfInet6 = 23;
inline constexpr int kSockStream = 1;
inline constexpr int kSolSocket = 0xFFFF;
inline constexpr int kSoSndTimeo = 0x1005;
inline constexpr int kSoRcvTimeo = 0x1006;

// The version this layer speaks: 1.1 (low byte major, high byte minor).
inline constexpr uint16_t kVersion11 = 0x0101;

// Last-error numbers used by this layer and its callers.
namespace err {
inline constexpr int Intr = 10004;
inline constexpr int Access = 10013;
inline constexpr int Fault = 10014;
inline constexpr int Inval = 10022;
inline constexpr int MFile = 10024;
inline constexpr int WouldBlock = 10035;
inline constexpr int InProgress = 10036;
inline constexpr int Already = 10037;
inline constexpr int NotSock = 10038;
inline constexpr int DestAddrReq = 10039;
inline constexpr int MsgSize = 10040;
inline constexpr int ProtoType = 10041;
inline constexpr int NoProtoOpt = 10042;
inline constexpr int ProtoNoSupport = 10043;
inline constexpr int SockTNoSupport = 10044;
inline constexpr int OpNotSupp = 10045;
inline constexpr int PfNoSupport = 10046;
inline constexpr int AfNoSupport = 10047;
inline constexpr int AddrInUse = 10048;
inline constexpr int AddrNotAvail = 10049;
inline constexpr int NetDown = 10050;
inline constexpr int NetUnreach = 10051;
inline constexpr int NetReset = 10052;
inline constexpr int ConnAborted = 10053;
inline constexpr int ConnReset = 10054;
inline constexpr int NoBufs = 10055;
inline constexpr int IsConn = 10056;
inline constexpr int NotConn = 10057;
inline constexpr int Shutdown = 10058;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnRefused = 10061;
inline constexpr int HostDown = 10064;
inline constexpr int HostUnreach = 10065;
inline constexpr int VerNotSupported = 10092;
inline constexpr int NotInitialised = 10093;
inline constexpr int SysCallFailure = 10107;  // an errno with no Windows Sockets counterpart
}  // namespace err

// Filled in by WSAStartup.
struct WSAData {
  uint16_t wVersion = 0;      // the version agreed to
  uint16_t wHighVersion = 0;  // the highest version this layer offers
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  uint16_t iMaxSockets = 0;
  uint16_t iMaxUdpDg = 0;
};

// The 16-byte IPv4 socket address: family 2, port and address in network
// byte order (the address value of GetIPAddress, which holds its bytes in
// network order in memory), eight zero bytes.
struct SockAddrIn {
  int16_t sin_family = kAfInet;
  uint16_t sin_port = 0;
  int32_t sin_addr = 0;
  char sin_zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

// The 28-byte IPv6 socket address: family 23, port in network byte order,
// flow information, the sixteen address bytes in network order, scope.
struct SockAddrIn6 {
  int16_t sin6_family = kAfInet6;
  uint16_t sin6_port = 0;
  uint32_t sin6_flowinfo = 0;
  uint8_t sin6_addr[16] = {};
  uint32_t sin6_scope_id = 0;
};
static_assert(sizeof(SockAddrIn6) == 28);

// Answers 0 and fills data (version 1.1), or an error number (10092 for a
// version below 1.1). Starts are counted; each WSACleanup undoes one.
int WSAStartup(uint16_t versionRequested, WSAData* data);
// 0, or -1 with 10093 when there is no start left to undo.
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// Stream sockets only (kAfInet or kAfInet6, kSockStream, protocol 0). Fails with 10093
// before WSAStartup. The handle is non-negative; -1 on failure.
SOCKET socket(int af, int type, int protocol);
// kSolSocket with kSoSndTimeo / kSoRcvTimeo. optlen 8: two 32-bit integers,
// seconds then microseconds (the value 30, 0 is 30 seconds); optlen 4: one
// 32-bit number of milliseconds. 0 means no time-out. 0 or -1.
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
// kSolSocket with kSoSndTimeo / kSoRcvTimeo: the time-out as one 32-bit
// number of milliseconds (0: none); *optlen must be at least 4 and becomes 4.
// 0 or -1.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
// 0 or -1. namelen must be 16 (IPv4) or 28 (IPv6), the socket of that
// family (10047 otherwise).
int connect(SOCKET s, const SockAddrIn* name, int namelen);
int connect(SOCKET s, const SockAddrIn6* name, int namelen);

// Not in the 1.1 contract: several connects raced, as clients connect to a
// name with addresses of both families (Happy Eyeballs). Each attempt has a
// socket of its own (of its address's family, from socket() above, its
// time-outs set). The first starts at once; each further one starts
// staggerMs after the one before it, or at once when every one started
// has failed. The first to connect wins: its index is answered and the
// other sockets are left unconnected (the caller closes them). The whole
// race is bounded by the first socket's send time-out, as connect is, and
// runs the message loop between slices. -1 when every attempt failed or the
// time ran out; errors gets each attempt's error (0 for the winner and for
// one never started), and the last error is that of the last attempt started.
struct ConnectAttempt {
  SOCKET socket = kInvalidSocket;
  bool v6 = false;
  SockAddrIn v4addr;
  SockAddrIn6 v6addr;
};
int ConnectFirst(const std::vector<ConnectAttempt>& attempts, int64_t staggerMs, std::vector<int>& errors);
// All len bytes, or -1 (nothing more can be said about how many went out).
int send(SOCKET s, const char* buf, int len, int flags);
// 1..len bytes, 0 when the peer has closed, or -1.
int recv(SOCKET s, char* buf, int len, int flags);
int closesocket(SOCKET s);

uint16_t HostToNetShort(uint16_t value);

// errno -> Windows Sockets number.
int ErrnoToWsa(int e);

}  // namespace ws

#include "net/winsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "util/clock.h"
#include "util/hooks.h"
#include "util/stop.h"

namespace ws {
namespace {

// The window's message loop runs at least this often during any wait (half
// the 50 ms the window can afford, so a busy machine stays within it).
constexpr int kSliceMs = 25;

struct SocketState {
  int64_t send_timeout_ms = 0;  // 0: no time-out
  int64_t recv_timeout_ms = 0;
  bool v6 = false;
};

struct Library {
  std::mutex mutex;
  int starts = 0;
  std::map<SOCKET, SocketState> sockets;
};

Library& Lib() {
  static Library* lib = new Library;
  return *lib;
}

thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return kSocketError;
}

int FailErrno() { return Fail(ErrnoToWsa(errno)); }

bool Started() {
  std::lock_guard lock(Lib().mutex);
  return Lib().starts > 0;
}

bool Lookup(SOCKET s, SocketState* out) {
  std::lock_guard lock(Lib().mutex);
  auto it = Lib().sockets.find(s);
  if (it == Lib().sockets.end()) return false;
  if (out) *out = it->second;
  return true;
}

// Waits until fd is ready for `events`, in slices, running the message loop
// between slices. true when ready; false (with 10060 set) after timeoutMs.
bool WaitReady(int fd, short events, int64_t timeoutMs) {
  const int64_t deadline = timeoutMs > 0 ? MonotonicMs() + timeoutMs : 0;
  while (true) {
    // The operator's stop ends the wait as an interrupted call.
    if (StopRequested()) {
      t_lastError = err::Intr;
      return false;
    }
    // A slice ends kSliceMs after the loop last ran, which may have been
    // before this wait began (a pass skipped as not yet due).
    int slice = static_cast<int>(std::clamp<int64_t>(kSliceMs - MsSinceMessageLoopRan(), 0, kSliceMs));
    if (deadline != 0) {
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) {
        t_lastError = err::TimedOut;
        return false;
      }
      slice = static_cast<int>(std::min<int64_t>(left, slice));
    }
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, slice);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) {
      t_lastError = ErrnoToWsa(errno);
      return true;  // let the call itself report what is wrong
    }
    DoEvents();
  }
}

}  // namespace

int ErrnoToWsa(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return err::Intr;
    case EACCES:
    case EPERM: return err::Access;
    case EFAULT: return err::Fault;
    case EINVAL: return err::Inval;
    case EMFILE:
    case ENFILE: return err::MFile;
    case EAGAIN: return err::WouldBlock;
    case EINPROGRESS: return err::InProgress;
    case EALREADY: return err::Already;
    case ENOTSOCK:
    case EBADF: return err::NotSock;
    case EDESTADDRREQ: return err::DestAddrReq;
    case EMSGSIZE: return err::MsgSize;
    case EPROTOTYPE: return err::ProtoType;
    case ENOPROTOOPT: return err::NoProtoOpt;
    case EPROTONOSUPPORT: return err::ProtoNoSupport;
    case ESOCKTNOSUPPORT: return err::SockTNoSupport;
    case EOPNOTSUPP: return err::OpNotSupp;
    case EPFNOSUPPORT: return err::PfNoSupport;
    case EAFNOSUPPORT: return err::AfNoSupport;
    case EADDRINUSE: return err::AddrInUse;
    case EADDRNOTAVAIL: return err::AddrNotAvail;
    case ENETDOWN: return err::NetDown;
    case ENETUNREACH: return err::NetUnreach;
    case ENETRESET: return err::NetReset;
    case ECONNABORTED: return err::ConnAborted;
    case ECONNRESET:
    case EPIPE: return err::ConnReset;  // writing to a connection the peer has reset
    case ENOBUFS:
    case ENOMEM: return err::NoBufs;
    case EISCONN: return err::IsConn;
    case ENOTCONN: return err::NotConn;
    case ESHUTDOWN: return err::Shutdown;
    case ETIMEDOUT: return err::TimedOut;
    case ECONNREFUSED: return err::ConnRefused;
    case EHOSTDOWN: return err::HostDown;
    case EHOSTUNREACH: return err::HostUnreach;
    default: return err::SysCallFailure;
  }
}

int WSAStartup(uint16_t versionRequested, WSAData* data) {
  const int major = versionRequested & 0xFF;
  const int minor = (versionRequested >> 8) & 0xFF;
  if (major < 1 || (major == 1 && minor < 1)) return err::VerNotSupported;
  if (data == nullptr) return err::Fault;
  *data = WSAData{};
  data->wVersion = kVersion11;
  data->wHighVersion = kVersion11;
  std::strcpy(data->szDescription, "POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  std::lock_guard lock(Lib().mutex);
  ++Lib().starts;
  return 0;
}

int WSACleanup() {
  std::lock_guard lock(Lib().mutex);
  if (Lib().starts == 0) return Fail(err::NotInitialised);
  --Lib().starts;
  t_lastError = 0;
  return 0;
}

int WSAGetLastError() { return t_lastError; }

void WSASetLastError(int error) { t_lastError = error; }

SOCKET socket(int af, int type, int protocol) {
  if (!Started()) return Fail(err::NotInitialised);
  if (af != kAfInet && af != kAfInet6) return Fail(err::AfNoSupport);
  if (type != kSockStream) return Fail(err::SockTNoSupport);
  if (protocol != 0 && protocol != IPPROTO_TCP) return Fail(err::ProtoNoSupport);
  int fd = ::socket(af == kAfInet6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno();
  {
    std::lock_guard lock(Lib().mutex);
    SocketState st;
    st.v6 = af == kAfInet6;
    Lib().sockets[fd] = st;
  }
  t_lastError = 0;
  return fd;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Lookup(s, nullptr)) return Fail(err::NotSock);
  if (level != kSolSocket || (optname != kSoSndTimeo && optname != kSoRcvTimeo)) return Fail(err::NoProtoOpt);
  if (optval == nullptr) return Fail(err::Fault);
  int64_t ms;
  if (optlen >= 8) {
    int32_t seconds, micros;
    std::memcpy(&seconds, optval, 4);
    std::memcpy(&micros, optval + 4, 4);
    if (seconds < 0 || micros < 0 || micros >= 1000000) return Fail(err::Inval);
    ms = int64_t{seconds} * 1000 + (micros + 999) / 1000;
  } else if (optlen == 4) {
    uint32_t milliseconds;
    std::memcpy(&milliseconds, optval, 4);
    ms = milliseconds;
  } else {
    return Fail(err::Fault);
  }
  std::lock_guard lock(Lib().mutex);
  auto& st = Lib().sockets[s];
  (optname == kSoSndTimeo ? st.send_timeout_ms : st.recv_timeout_ms) = ms;
  t_lastError = 0;
  return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  SocketState st;
  if (!Lookup(s, &st)) return Fail(err::NotSock);
  if (level != kSolSocket || (optname != kSoSndTimeo && optname != kSoRcvTimeo)) return Fail(err::NoProtoOpt);
  if (optval == nullptr || optlen == nullptr || *optlen < 4) return Fail(err::Fault);
  const int64_t ms = optname == kSoSndTimeo ? st.send_timeout_ms : st.recv_timeout_ms;
  const uint32_t value = static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX));
  std::memcpy(optval, &value, 4);
  *optlen = 4;
  t_lastError = 0;
  return 0;
}

namespace {

// The POSIX address of an attempt; false (with the error set) for one that
// must not be tried.
bool PosixAddress(const SocketState& st, const ConnectAttempt& a, sockaddr_storage& out, socklen_t& len) {
  out = {};
  if (a.v6 != st.v6) {
    t_lastError = err::AfNoSupport;
    return false;
  }
  if (!a.v6) {
    if (a.v4addr.sin_family != kAfInet) return (t_lastError = err::AfNoSupport), false;
    // The unresolved address: never let it reach the local machine.
    if (a.v4addr.sin_addr == 0) return (t_lastError = err::AddrNotAvail), false;
    auto* sa = reinterpret_cast<sockaddr_in*>(&out);
    sa->sin_family = AF_INET;
    sa->sin_port = a.v4addr.sin_port;
    std::memcpy(&sa->sin_addr.s_addr, &a.v4addr.sin_addr, 4);
    len = sizeof(sockaddr_in);
    return true;
  }
  if (a.v6addr.sin6_family != kAfInet6) return (t_lastError = err::AfNoSupport), false;
  static const uint8_t kUnspecified[16] = {};
  static const uint8_t kMappedUnspecified[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
  if (std::memcmp(a.v6addr.sin6_addr, kUnspecified, 16) == 0 ||
      std::memcmp(a.v6addr.sin6_addr, kMappedUnspecified, 16) == 0)
    return (t_lastError = err::AddrNotAvail), false;
  auto* sa = reinterpret_cast<sockaddr_in6*>(&out);
  sa->sin6_family = AF_INET6;
  sa->sin6_port = a.v6addr.sin6_port;
  sa->sin6_flowinfo = a.v6addr.sin6_flowinfo;
  std::memcpy(&sa->sin6_addr, a.v6addr.sin6_addr, 16);
  sa->sin6_scope_id = a.v6addr.sin6_scope_id;
  len = sizeof(sockaddr_in6);
  return true;
}

// Starts a connect. 1: connected at once; 0: in progress; -1: failed (error set).
int StartConnect(const ConnectAttempt& a) {
  SocketState st;
  if (!Lookup(a.socket, &st)) return Fail(err::NotSock);
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!PosixAddress(st, a, ss, len)) return kSocketError;
  if (::connect(a.socket, reinterpret_cast<const sockaddr*>(&ss), len) == 0) return 1;
  if (errno != EINPROGRESS && errno != EINTR) return FailErrno();
  return 0;
}

// The outcome of a connect in progress that poll found ready: 0 or the error.
int ConnectOutcome(SOCKET s) {
  int soError = 0;
  socklen_t len = sizeof soError;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return ErrnoToWsa(errno);
  return ErrnoToWsa(soError);
}

int ConnectOne(const ConnectAttempt& a) {
  SocketState st;
  if (!Lookup(a.socket, &st)) return Fail(err::NotSock);
  const int started = StartConnect(a);
  if (started < 0) return kSocketError;
  if (started == 0) {
    if (!WaitReady(a.socket, POLLOUT, st.send_timeout_ms)) return kSocketError;
    if (const int e = ConnectOutcome(a.socket); e != 0) return Fail(e);
  }
  t_lastError = 0;
  return 0;
}

}  // namespace

int connect(SOCKET s, const SockAddrIn* name, int namelen) {
  if (!Lookup(s, nullptr)) return Fail(err::NotSock);
  if (name == nullptr || namelen < static_cast<int>(sizeof(SockAddrIn))) return Fail(err::Fault);
  ConnectAttempt a;
  a.socket = s;
  a.v4addr = *name;
  return ConnectOne(a);
}

int connect(SOCKET s, const SockAddrIn6* name, int namelen) {
  if (!Lookup(s, nullptr)) return Fail(err::NotSock);
  if (name == nullptr || namelen < static_cast<int>(sizeof(SockAddrIn6))) return Fail(err::Fault);
  ConnectAttempt a;
  a.socket = s;
  a.v6 = true;
  a.v6addr = *name;
  return ConnectOne(a);
}

int ConnectFirst(const std::vector<ConnectAttempt>& attempts, int64_t staggerMs, std::vector<int>& errors) {
  errors.assign(attempts.size(), 0);
  if (attempts.empty()) return Fail(err::Inval);
  SocketState first;
  if (!Lookup(attempts.front().socket, &first)) return Fail(err::NotSock);
  const int64_t begun = MonotonicMs();
  const int64_t deadline = first.send_timeout_ms > 0 ? begun + first.send_timeout_ms : 0;
  staggerMs = std::max<int64_t>(staggerMs, 0);
  enum class State { Waiting, Pending, Failed };
  std::vector<State> state(attempts.size(), State::Waiting);
  size_t next = 0;           // the next attempt to start
  int64_t nextAt = begun;    // when it starts at the latest
  int lastStartedError = 0;
  size_t lastStarted = 0;
  while (true) {
    // Start what is due: on time, or at once when nothing is pending.
    while (next < attempts.size() &&
           (MonotonicMs() >= nextAt || std::none_of(state.begin(), state.end(), [](State s) { return s == State::Pending; }))) {
      const size_t i = next++;
      lastStarted = i;
      nextAt = MonotonicMs() + staggerMs;
      const int r = StartConnect(attempts[i]);
      if (r == 1) {
        t_lastError = 0;
        return static_cast<int>(i);
      }
      if (r < 0) {
        state[i] = State::Failed;
        errors[i] = t_lastError;
      } else {
        state[i] = State::Pending;
      }
    }
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < attempts.size(); ++i)
      if (state[i] == State::Pending) {
        fds.push_back(pollfd{attempts[i].socket, POLLOUT, 0});
        which.push_back(i);
      }
    if (fds.empty() && next >= attempts.size()) break;  // every attempt failed
    const int64_t now = MonotonicMs();
    if (deadline != 0 && now >= deadline) {
      for (size_t i : which) errors[i] = err::TimedOut;
      break;
    }
    int slice = static_cast<int>(std::clamp<int64_t>(kSliceMs - MsSinceMessageLoopRan(), 0, kSliceMs));
    if (deadline != 0) slice = static_cast<int>(std::min<int64_t>(deadline - now, slice));
    if (next < attempts.size()) slice = static_cast<int>(std::clamp<int64_t>(nextAt - now, 0, slice));
    const int r = ::poll(fds.data(), fds.size(), slice);
    if (r > 0) {
      for (size_t k = 0; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        const size_t i = which[k];
        const int e = ConnectOutcome(attempts[i].socket);
        if (e == 0) {
          t_lastError = 0;
          return static_cast<int>(i);
        }
        state[i] = State::Failed;
        errors[i] = e;
      }
      continue;
    }
    if (r < 0 && errno != EINTR) {
      for (size_t i : which) errors[i] = ErrnoToWsa(errno);
      break;
    }
    DoEvents();
    // The operator's stop ends the race as an interrupted call, as any other wait.
    if (StopRequested()) {
      for (size_t i : which) errors[i] = err::Intr;
      return Fail(err::Intr);
    }
  }
  lastStartedError = errors[lastStarted];
  return Fail(lastStartedError != 0 ? lastStartedError : err::TimedOut);
}

int send(SOCKET s, const char* buf, int len, int /*flags*/) {
  SocketState st;
  if (!Lookup(s, &st)) return Fail(err::NotSock);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(err::Fault);
  const int64_t started = MonotonicMs();
  int sent = 0;
  while (sent < len) {
    ssize_t n = ::send(s, buf + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return FailErrno();
    int64_t left = 0;
    if (st.send_timeout_ms > 0) {
      left = st.send_timeout_ms - (MonotonicMs() - started);
      if (left <= 0) return Fail(err::TimedOut);
    }
    if (!WaitReady(s, POLLOUT, left)) return kSocketError;
  }
  t_lastError = 0;
  return sent;
}

int recv(SOCKET s, char* buf, int len, int /*flags*/) {
  SocketState st;
  if (!Lookup(s, &st)) return Fail(err::NotSock);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(err::Fault);
  const int64_t started = MonotonicMs();
  while (true) {
    ssize_t n = ::recv(s, buf, static_cast<size_t>(len), 0);
    if (n >= 0) {
      t_lastError = 0;
      return static_cast<int>(n);
    }
    if (errno != EAGAIN && errno != EINTR) return FailErrno();
    int64_t left = 0;
    if (st.recv_timeout_ms > 0) {
      left = st.recv_timeout_ms - (MonotonicMs() - started);
      if (left <= 0) return Fail(err::TimedOut);
    }
    if (!WaitReady(s, POLLIN, left)) return kSocketError;
  }
}

int closesocket(SOCKET s) {
  {
    std::lock_guard lock(Lib().mutex);
    if (Lib().sockets.erase(s) == 0) return Fail(err::NotSock);
  }
  if (::close(s) != 0) return FailErrno();
  t_lastError = 0;
  return 0;
}

uint16_t HostToNetShort(uint16_t value) { return htons(value); }

}  // namespace ws

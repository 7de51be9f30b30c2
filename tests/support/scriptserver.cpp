#include "support/scriptserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

// How long the peer goes on reading after its script, waiting for the client
// to close; longer than any client time-out the tests set.
constexpr int kDrainLimitMs = 15000;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int ListenOnLoopback(int backlog, uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen failed");
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

}  // namespace

ScriptServer::ScriptServer() { m_listen = ListenOnLoopback(16, &m_port); }

ScriptServer::~ScriptServer() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_listen >= 0) ::close(m_listen);
}

std::u16string ScriptServer::port16() const {
  std::string s = std::to_string(m_port);
  return std::u16string(s.begin(), s.end());
}

ScriptServer& ScriptServer::Send(std::string bytes) {
  m_steps.push_back({Step::Send, std::move(bytes), 0});
  return *this;
}

ScriptServer& ScriptServer::Segments(std::vector<std::string> pieces) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) Delay(30);
    Send(std::move(pieces[i]));
  }
  return *this;
}

ScriptServer& ScriptServer::Trickle(std::string piece, int intervalMs, int count) {
  for (int i = 0; i < count; ++i) {
    if (i > 0) Delay(intervalMs);
    Send(piece);
  }
  return *this;
}

ScriptServer& ScriptServer::ReadLine() {
  m_steps.push_back({Step::ReadLine, {}, 0});
  return *this;
}

ScriptServer& ScriptServer::Delay(int ms) {
  m_steps.push_back({Step::Delay, {}, ms});
  return *this;
}

ScriptServer& ScriptServer::Close() {
  m_steps.push_back({Step::Close, {}, 0});
  return *this;
}

ScriptServer& ScriptServer::Reset() {
  m_steps.push_back({Step::Reset, {}, 0});
  return *this;
}

void ScriptServer::Start() { m_thread = std::thread([this] { Run(); }); }

bool ScriptServer::WaitDone(int timeoutMs) {
  const int64_t end = NowMs() + timeoutMs;
  while (!m_done) {
    if (NowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ScriptServer::Received() {
  WaitDone();
  std::lock_guard lock(m_mutex);
  return m_received;
}

// Reads what is there (waiting up to waitMs for something). false when the
// connection ended (closed or failed).
bool ScriptServer::ReadSome(int fd, int waitMs, bool* closed) {
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, waitMs);
  if (r <= 0) return true;
  char buf[4096];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) {
    *closed = true;
    return false;
  }
  std::lock_guard lock(m_mutex);
  m_received.append(buf, static_cast<size_t>(n));
  return true;
}

bool ScriptServer::ReadLineFrom(int fd) {
  bool closed = false;
  while (!m_stop) {
    {
      std::lock_guard lock(m_mutex);
      size_t lf = m_received.find('\n', m_consumed);
      if (lf != std::string::npos) {
        m_consumed = lf + 1;
        return true;
      }
    }
    if (!ReadSome(fd, 20, &closed)) return false;
  }
  return false;
}

void ScriptServer::Drain(int fd) {
  const int64_t end = NowMs() + kDrainLimitMs;
  bool closed = false;
  while (!m_stop && NowMs() < end) {
    if (!ReadSome(fd, 20, &closed)) return;
  }
}

void ScriptServer::Run() {
  int fd = -1;
  while (!m_stop) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) break;
    }
  }
  if (fd < 0) {
    m_done = true;
    return;
  }
  ++m_connections;
  bool open = true;
  for (const Step& step : m_steps) {
    if (m_stop || !open) break;
    switch (step.kind) {
      case Step::Send:
        SendAll(fd, step.bytes);
        break;
      case Step::ReadLine:
        open = ReadLineFrom(fd);
        break;
      case Step::Delay: {
        const int64_t end = NowMs() + step.ms;
        while (!m_stop && NowMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
      }
      case Step::Close:
        // Collect what already came, then close.
        {
          bool closed = false;
          ReadSome(fd, 0, &closed);
        }
        ::close(fd);
        fd = -1;
        open = false;
        break;
      case Step::Reset: {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        fd = -1;
        open = false;
        break;
      }
    }
  }
  if (fd >= 0) {
    if (open) Drain(fd);
    ::close(fd);
  }
  m_done = true;
}

IdleListener::IdleListener(int backlog) { m_fd = ListenOnLoopback(backlog, &m_port); }

IdleListener::~IdleListener() {
  if (m_fd >= 0) ::close(m_fd);
}

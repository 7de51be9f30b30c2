#include "support/scriptserver.h"

#include "support/casefile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <set>
#include <sstream>
#include <utility>

namespace {
// How long the peer reads on after its script, waiting for the client to
// close; longer than any client time-out the tests set.
constexpr int kDrainLimitMs = 10000;

// The server's reads under TLS: the socket's bytes, except that once the step
// garble has armed it the next record body read has its last byte flipped, as a line
// error would, so that the server's TLS cannot open it and sends a fatal alert.
int GarblingRead(BIO* bio, char* buf, int len) {
  auto* state = static_cast<std::pair<int, bool>*>(BIO_get_data(bio));  // the socket, armed
  const int n = static_cast<int>(::recv(state->first, buf, static_cast<size_t>(len), 0));
  if (n > 5 && state->second) {  // a header is 5 bytes; a body, more
    buf[n - 1] ^= 1;
    state->second = false;
  }
  return n;
}

}  // namespace

PeerScript PeerSteps(const Case& c) {
  static const std::set<std::string> steps = {"send", "raw",    "line", "wait",  "close",  "reset",
                                              "tls",  "garble", "many", "flood", "trickle"};
  PeerScript script;
  for (const auto& field : c.fields)
    if (steps.count(field.first)) script.push_back(field);
  return script;
}

int ListenOnLoopback(int backlog, uint16_t* port, bool ipv6, uint16_t at) {
  sockaddr_in6 six{AF_INET6, htons(at), 0, in6addr_loopback, 0};
  sockaddr_in four{AF_INET, htons(at), {htonl(INADDR_LOOPBACK)}, {}};
  auto* sa = ipv6 ? reinterpret_cast<sockaddr*>(&six) : reinterpret_cast<sockaddr*>(&four);
  socklen_t len = ipv6 ? sizeof six : sizeof four;
  const int fd = ::socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (ipv6 || at != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::bind(fd, sa, len);  // port 0: any free one, which cannot fail here
  ::listen(fd, backlog);
  ::getsockname(fd, sa, &len);
  *port = ntohs(ipv6 ? six.sin6_port : four.sin_port);
  return fd;
}

SilentPort::SilentPort(bool ipv6, uint16_t at) : m_listen(ListenOnLoopback(0, &m_port, ipv6, at)) {
  sockaddr_storage to{};
  socklen_t len = sizeof to;
  ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&to), &len);
  // A backlog of 0 still takes a connection or two; these fill it.
  for (int i = 0; i < 4; ++i) {
    m_fillers.push_back(::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(m_fillers.back(), reinterpret_cast<sockaddr*>(&to), len);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

SilentPort::~SilentPort() {
  for (int fd : m_fillers) ::close(fd);
  ::close(m_listen);
}

std::vector<std::u16string> CutToPrefixes(std::vector<std::u16string> got, const std::vector<std::u16string>& want) {
  if (!want.empty() && want.back() == u"…" && got.size() + 1 >= want.size()) got.resize(want.size());
  for (size_t i = 0; i < got.size() && i < want.size(); ++i)
    if (!want[i].empty() && want[i].back() == u'…') got[i] = got[i].substr(0, want[i].size() - 1) + u'…';
  return got;
}

ScriptServer::ScriptServer(PeerScript steps, TlsPeer tls, bool ipv6)
    : m_listen(ListenOnLoopback(16, &m_port, ipv6)), m_tls(std::move(tls)) {
  if (steps.empty()) ::close(std::exchange(m_listen, -1));  // nothing listens on the port
  else m_thread = std::thread([this, steps = std::move(steps)] {
    for (pollfd p{m_listen, POLLIN, 0}; m_fd < 0; m_fd = ::accept(m_listen, nullptr, nullptr))
      while (::poll(&p, 1, 10) <= 0)
        if (m_stop) return;
    bool open = true;
    for (size_t i = 0; open && i < steps.size(); ++i) open = Play(steps[i].first, steps[i].second);
    if (open) Read(kDrainLimitMs, false);
  });
}

ScriptServer::~ScriptServer() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  SSL_free(m_ssl);
  for (int fd : {m_fd, m_listen})
    if (fd >= 0) ::close(fd);
}

std::string ScriptServer::Received() {
  if (m_thread.joinable()) m_thread.join();
  return m_received;
}

// One step; false once the dialogue is over (the client gone, or a reset).
bool ScriptServer::Play(const std::string& key, const std::string& value) {
  std::istringstream in(value);  // many, flood and trickle: PIECE N [COUNT [raw]]
  std::string piece, raw;
  uint64_t n = 0;
  int count = 0;
  in >> piece >> n >> count >> raw;
  piece = Unescape(piece);
  if (key == "line") return Read(kDrainLimitMs, true);
  if (key == "wait") return Read(std::stoi(value), false);
  if (key == "flood") return Send(piece, n);
  if (key == "tls") return StartTls();
  if (key == "garble") m_garble.second = true;
  if (key == "close") {
    if (m_ssl) SSL_shutdown(m_ssl);
    ::shutdown(m_fd, SHUT_WR);
  }
  if (key == "reset") {
    const linger reset{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(std::exchange(m_fd, -1));
    return false;
  }
  if (key == "send" || key == "raw") Write(Unescape(value), key == "raw");
  if (key == "many") Write(std::string(n, piece.at(0)), false);
  for (int i = 0; key == "trickle" && i < count; ++i) {
    if (i > 0 && !Read(static_cast<int>(n), false)) return false;
    Write(piece, raw == "raw");
  }
  return true;
}

// Raw bytes go to the socket as they are, also inside TLS (a record cut short, trickled).
void ScriptServer::Write(const std::string& bytes, bool raw) {
  if (m_ssl && !raw) SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size()));
  else ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);  // blocking: all of it, or the client is gone
}

// Reads for ms, or up to the next line end; false once the client closed.
bool ScriptServer::Read(int ms, bool untilLine) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (pollfd p{m_fd, POLLIN, 0}; !m_stop && std::chrono::steady_clock::now() < end;) {
    char c;
    if ((!m_ssl || SSL_pending(m_ssl) == 0) && ::poll(&p, 1, 10) <= 0) continue;
    if ((m_ssl ? SSL_read(m_ssl, &c, 1) : ::recv(m_fd, &c, 1, 0)) != 1) return false;
    m_received += c;
    if (untilLine && c == '\n') return true;
  }
  return !m_stop;
}

// The server's handshake. The socket blocks, so a time-out keeps a client
// that never finishes its part from holding the peer's thread.
bool ScriptServer::StartTls() {
  const timeval limit{kDrainLimitMs / 1000, 0};
  ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  // Level 0, as old servers run: weak keys, MD5 signatures and TLS 1.0 are the client's to judge.
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  if (m_tls.onlyVersion != 0) {
    SSL_CTX_set_min_proto_version(ctx, m_tls.onlyVersion);
    SSL_CTX_set_max_proto_version(ctx, m_tls.onlyVersion);
  }
  BIO* cert = BIO_new_mem_buf(m_tls.certPem.data(), static_cast<int>(m_tls.certPem.size()));
  BIO* key = BIO_new_mem_buf(m_tls.keyPem.data(), static_cast<int>(m_tls.keyPem.size()));
  X509* x = PEM_read_bio_X509(cert, nullptr, nullptr, nullptr);
  EVP_PKEY* k = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
  SSL_CTX_use_certificate(ctx, x);
  SSL_CTX_use_PrivateKey(ctx, k);
  X509_free(x);
  EVP_PKEY_free(k);
  BIO_free(cert);
  BIO_free(key);
  m_ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);
  static BIO_METHOD* const garbling = [] {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "garbling socket");
    BIO_meth_set_read(method, GarblingRead);
    BIO_meth_set_ctrl(method, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
    return method;
  }();
  m_garble = {m_fd, false};
  BIO* in = BIO_new(garbling);
  BIO_set_data(in, &m_garble);
  BIO_set_init(in, 1);
  SSL_set_bio(m_ssl, in, BIO_new_socket(m_fd, BIO_NOCLOSE));
  const bool ok = SSL_accept(m_ssl) == 1;
  if (const char* name = SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name)) m_sni = name;
  return ok;
}

// Sends piece after piece (bytes in all, 0: no end) while reading what comes;
// false once the client is gone.
bool ScriptServer::Send(const std::string& piece, uint64_t bytes) {
  std::string block;  // whole pieces, so that partial writes keep the pattern
  while (block.size() < 65536) block += piece;
  size_t at = 0;
  for (uint64_t sent = 0; !m_stop && (bytes == 0 || sent < bytes);) {
    pollfd p{m_fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    if (p.revents & POLLIN) {
      char c;
      if (::recv(m_fd, &c, 1, 0) <= 0) return false;
      m_received += c;
    }
    if (!(p.revents & POLLOUT)) continue;
    const size_t want = bytes == 0 ? block.size() - at : std::min<uint64_t>(block.size() - at, bytes - sent);
    const ssize_t n = ::send(m_fd, block.data() + at, want, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN) return false;
    if (n > 0) sent += static_cast<uint64_t>(n), at = (at + static_cast<size_t>(n)) % block.size();
  }
  return !m_stop;
}

#include "net/tlsstream.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "net/failreason.h"
#include "net/hostaddr.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

// The security level a certificate chain has to pass to count as verified.
constexpr int kCurrentSecurityLevel = 2;

// One socket's TLS. The BIO below reads and writes through the socket layer.
struct TlsConn {
  explicit TlsConn(ws::SOCKET s) : socket(s) {}
  ~TlsConn() { SSL_free(ssl); }
  TlsConn(const TlsConn&) = delete;
  TlsConn& operator=(const TlsConn&) = delete;

  ws::SOCKET socket;
  SSL* ssl = nullptr;
  int64_t deadline = 0;      // while set: no read lasts past it
  int ioError = 0;           // the socket error of the last failed BIO call
  bool sawEof = false;       // a read met the peer's close
  bool sound = false;        // handshake made, nothing has failed since
  std::exception_ptr thrown; // from the message loop inside a wait; rethrown outside OpenSSL
};

struct Registry {
  std::mutex mutex;
  std::map<ws::SOCKET, std::shared_ptr<TlsConn>> conns;
};

Registry& Conns() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<TlsConn> Find(ws::SOCKET s) {
  std::lock_guard lock(Conns().mutex);
  const auto it = Conns().conns.find(s);
  return it == Conns().conns.end() ? nullptr : it->second;
}

std::shared_ptr<TlsConn> Take(ws::SOCKET s) {
  std::lock_guard lock(Conns().mutex);
  const auto it = Conns().conns.find(s);
  if (it == Conns().conns.end()) return nullptr;
  std::shared_ptr<TlsConn> conn = std::move(it->second);
  Conns().conns.erase(it);
  return conn;
}

uint32_t ReceiveTimeoutMs(ws::SOCKET s) {
  uint32_t ms = 0;
  int length = sizeof ms;
  ws::getsockopt(s, ws::kSolSocket, ws::kSoRcvTimeo, reinterpret_cast<char*>(&ms), &length);
  return ms;
}

void SetReceiveTimeoutMs(ws::SOCKET s, uint32_t ms) {
  ws::setsockopt(s, ws::kSolSocket, ws::kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// A receive that ends by the deadline: the socket's time-out is narrowed
// for it and put back afterwards, the receive's own last error kept.
int RecvBefore(ws::SOCKET s, char* buf, int len, int64_t deadline) {
  const int64_t left = deadline - MonotonicMs();
  if (left <= 0) {
    ws::WSASetLastError(ws::err::TimedOut);
    return -1;
  }
  struct Narrowed {
    Narrowed(ws::SOCKET s, int64_t left) : socket(s), full(ReceiveTimeoutMs(s)) {
      narrowed = full == 0 || left < full;
      if (narrowed) SetReceiveTimeoutMs(socket, static_cast<uint32_t>(left));
    }
    ~Narrowed() {
      const int error = ws::WSAGetLastError();
      if (narrowed) SetReceiveTimeoutMs(socket, full);
      ws::WSASetLastError(error);
    }
    ws::SOCKET socket;
    uint32_t full;
    bool narrowed = false;
  } narrowed(s, left);
  return ws::recv(s, buf, len, 0);
}

int BioWrite(BIO* bio, const char* buf, int len) {
  TlsConn* c = static_cast<TlsConn*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  try {
    const int n = ws::send(c->socket, buf, len, 0);
    if (n < 0) c->ioError = ws::WSAGetLastError();
    return n;
  } catch (...) {
    c->thrown = std::current_exception();
    c->ioError = ws::err::Intr;
    return -1;
  }
}

int BioRead(BIO* bio, char* buf, int len) {
  TlsConn* c = static_cast<TlsConn*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  try {
    const int n = c->deadline != 0 ? RecvBefore(c->socket, buf, len, c->deadline) : ws::recv(c->socket, buf, len, 0);
    if (n < 0) c->ioError = ws::WSAGetLastError();
    if (n == 0) c->sawEof = true;
    return n;
  } catch (...) {
    c->thrown = std::current_exception();
    c->ioError = ws::err::Intr;
    return -1;
  }
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The socket as OpenSSL's transport: blocking reads and writes through the socket layer.
const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velkor socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  return method;
}

// Any form the session connects to as an address ("10.1" included) names no server.
bool IsAddress(const std::u16string& host) {
  unsigned char buf[16];
  return IsAddressText(host) || inet_pton(AF_INET6, Narrow(host).c_str(), buf) == 1;
}

bool IsAscii(const std::u16string& text) {
  for (char16_t c : text)
    if (c <= 0x20 || c >= 0x7F) return false;
  return true;
}

std::u16string OpenSslReason() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return reason ? Ascii16(reason) : std::u16string();
}

// Why a handshake failed: the socket's own trouble first, then what OpenSSL says.
std::u16string HandshakeReason(const TlsConn& c) {
  if (c.ioError == ws::err::TimedOut) return u"ハンドシェイクの応答待ちでタイムアウトしました";
  if (c.ioError != 0) return u"ハンドシェイク中のソケットエラー " + ToU16(c.ioError);
  if (c.sawEof) return u"ハンドシェイクの途中で接続が閉じられました";
  const std::u16string reason = OpenSslReason();
  return reason.empty() ? u"ハンドシェイクに失敗しました" : reason;
}

// What every connection offers: TLS 1.0 and up, security level 0 (old
// servers stay diagnosable), no enforcement of the certificate (it is
// judged afterwards), the system's trust store for that judgement.
SSL_CTX* NewClientContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_options(ctx, SSL_OP_LEGACY_SERVER_CONNECT | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_default_verify_paths(ctx);
  return ctx;
}

// Which trust store the default paths name now, and the state of its file:
// OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR, else its built-in paths.
std::string TrustStoreKey() {
  const char* fileEnv = std::getenv(X509_get_default_cert_file_env());
  const char* dirEnv = std::getenv(X509_get_default_cert_dir_env());
  const std::string file = fileEnv ? fileEnv : X509_get_default_cert_file();
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) st = {};
  return file + '\n' + (dirEnv ? dirEnv : X509_get_default_cert_dir()) + '\n' + std::to_string(st.st_ino) + ' ' +
         std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
}

// Reading Debian's bundle of authorities costs tens of milliseconds: the
// context that holds it is kept, and made anew once the bundle changes (an
// update of ca-certificates while the window runs for months).
SSL* NewClient() {
  static std::mutex mutex;
  static SSL_CTX* kept = nullptr;
  static std::string keptFor;
  std::lock_guard lock(mutex);
  const std::string key = TrustStoreKey();
  if (kept == nullptr || key != keptFor) {
    SSL_CTX* fresh = NewClientContext();
    if (fresh == nullptr) return nullptr;
    SSL_CTX_free(kept);  // connections still open hold their own reference
    kept = fresh;
    keptFor = key;
  }
  return SSL_new(kept);
}

// The chain once more at security level 2, the least a current client
// enforces: the handshake ran at level 0 so that old servers can be
// diagnosed, and a chain that passes only there (an MD5 signature, a
// 1024-bit key) is no verified chain. X509_V_OK, or OpenSSL's error.
long VerifyAtCurrentLevel(SSL* ssl, X509* cert) {
  X509_STORE* store = SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl));
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, cert, SSL_get_peer_cert_chain(ssl)) != 1)
    return X509_V_ERR_UNSPECIFIED;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM_set_auth_level(param, kCurrentSecurityLevel);
  const int ok = X509_verify_cert(ctx.get());
  const long error = X509_STORE_CTX_get_error(ctx.get());
  return ok == 1 ? X509_V_OK : error != X509_V_OK ? error : X509_V_ERR_UNSPECIFIED;
}

// Rethrows what the message loop threw inside OpenSSL, once OpenSSL is out of the way.
void RethrowFromWait(TlsConn& c) {
  if (!c.thrown) return;
  c.sound = false;  // OpenSSL saw a failed read or write: no close_notify
  std::rethrow_exception(std::exchange(c.thrown, nullptr));
}

int FailInsideTls(TlsConn& c) {
  c.sound = false;
  if (c.ioError != 0) {
    ws::WSASetLastError(c.ioError);
  } else {
    const std::u16string reason = OpenSslReason();
    ReportError(u"TLS エラー： " + (reason.empty() ? u"TLS の通信に失敗しました" : reason));
    FailReason why;
    why.kind = FailKind::TlsFailed;
    why.detail = reason.empty() ? "TLS failure" : Narrow(reason);
    NoteFailReason(why);
    ws::WSASetLastError(ws::err::ConnAborted);
  }
  ERR_clear_error();
  return -1;
}

}  // namespace

TlsHandshakeResult TlsHandshake(ws::SOCKET s, const std::u16string& host, int64_t timeoutMs) {
  TlsHandshakeResult r;
  TlsRelease(s);  // a stale state of an earlier socket with this handle
  auto conn = std::make_shared<TlsConn>(s);
  conn->ssl = NewClient();
  BIO* bio = conn->ssl ? BIO_new(SocketBioMethod()) : nullptr;
  if (bio == nullptr) {
    r.error = u"TLS を開始できません";
    ERR_clear_error();
    return r;
  }
  BIO_set_data(bio, conn.get());
  SSL_set_bio(conn->ssl, bio, bio);
  if (!host.empty() && IsAscii(host) && !IsAddress(host)) SSL_set_tlsext_host_name(conn->ssl, Narrow(host).c_str());

  ERR_clear_error();
  conn->deadline = MonotonicMs() + std::max<int64_t>(timeoutMs, 1);
  const int rc = SSL_connect(conn->ssl);
  conn->deadline = 0;
  RethrowFromWait(*conn);
  if (rc != 1) {
    r.error = HandshakeReason(*conn);
    r.socketError = conn->ioError;
    r.peerClosed = conn->ioError == 0 && conn->sawEof;
    r.sslReason = Narrow(OpenSslReason());
    ERR_clear_error();
    return r;
  }

  r.ok = true;
  r.version = Ascii16(SSL_get_version(conn->ssl));
  const SSL_CIPHER* cipher = SSL_get_current_cipher(conn->ssl);
  r.cipher = Ascii16(cipher ? SSL_CIPHER_get_name(cipher) : "");
  r.oldProtocol = SSL_version(conn->ssl) < TLS1_2_VERSION;
  long verify = SSL_get_verify_result(conn->ssl);
  if (X509* cert = SSL_get1_peer_certificate(conn->ssl)) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    if (n > 0) r.certificate.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    if (verify == X509_V_OK) verify = VerifyAtCurrentLevel(conn->ssl, cert);
    X509_free(cert);
  }
  ERR_clear_error();
  r.chainVerified = verify == X509_V_OK && !r.certificate.empty();
  if (!r.chainVerified)
    r.verifyError = r.certificate.empty() ? u"証明書がありません" : Ascii16(X509_verify_cert_error_string(verify));
  conn->sound = true;
  {
    std::lock_guard lock(Conns().mutex);
    Conns().conns[s] = conn;
  }
  return r;
}

int StreamSend(ws::SOCKET s, const char* buf, int len) {
  const std::shared_ptr<TlsConn> c = Find(s);
  if (!c) return ws::send(s, buf, len, 0);
  if (len <= 0) return len == 0 ? 0 : ws::send(s, buf, len, 0);
  c->ioError = 0;
  ERR_clear_error();
  const int n = SSL_write(c->ssl, buf, len);  // a blocking transport: all of it or a failure
  RethrowFromWait(*c);
  if (n == len) {
    ws::WSASetLastError(0);
    return n;
  }
  return FailInsideTls(*c);
}

int StreamRecv(ws::SOCKET s, char* buf, int len) {
  const std::shared_ptr<TlsConn> c = Find(s);
  if (!c) return ws::recv(s, buf, len, 0);
  if (len <= 0) return ws::recv(s, buf, len, 0);
  // One receive, however many records it takes, lasts no longer than the
  // socket's time-out allows a plain one.
  const uint32_t bound = ReceiveTimeoutMs(s);
  c->deadline = bound == 0 ? 0 : MonotonicMs() + bound;
  c->ioError = 0;
  c->sawEof = false;
  ERR_clear_error();
  const int n = SSL_read(c->ssl, buf, len);
  c->deadline = 0;
  RethrowFromWait(*c);
  if (n > 0) {
    ws::WSASetLastError(0);
    return n;
  }
  const int error = SSL_get_error(c->ssl, n);
  // The peer's close_notify, or its close without one: the end of the stream.
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && c->ioError == 0 && c->sawEof)) {
    ERR_clear_error();
    ws::WSASetLastError(0);
    return 0;
  }
  return FailInsideTls(*c);
}

void TlsRelease(ws::SOCKET s) noexcept {
  try {
    const std::shared_ptr<TlsConn> c = Take(s);
    if (!c) return;
    // The first call only sends the close_notify; nothing waits for the peer's.
    if (c->sound) SSL_shutdown(c->ssl);
    ERR_clear_error();
  } catch (...) {
    // Closing never fails the caller.
  }
}

bool TlsActive(ws::SOCKET s) { return Find(s) != nullptr; }

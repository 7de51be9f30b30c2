#pragma once
// TLS on a session's socket. OpenSSL speaks the protocol; its reads and
// writes go through the socket layer's own recv and send (winsock.h), so a
// TLS session keeps the socket's time-outs, the message-loop slices of every
// wait and the socket layer's guard against SIGPIPE. Once a handshake has
// been made on a socket, StreamSend and StreamRecv carry the session's bytes
// inside TLS; on any other socket they are the plain calls. The session code
// above sees one byte stream either way.
//
// Old servers can still be diagnosed: every version down to TLS 1.0 is
// offered at OpenSSL's security level 0. The certificate is never enforced
// during the handshake; the result says whether its chain verified against
// the system's trust store, and the caller decides what that means.
#include <cstdint>
#include <string>

#include "net/winsock.h"

struct TlsHandshakeResult {
  bool ok = false;
  std::u16string error;     // when not ok: the reason, in a few words
  int socketError = 0;      // when not ok: the socket error behind it, if any
  bool peerClosed = false;  // when not ok: the peer closed the connection inside the handshake
  std::string sslReason;    // when not ok: OpenSSL's own reason ("" when it gave none)
  std::u16string version;   // as OpenSSL names it ("TLSv1.3")
  std::u16string cipher;    // as OpenSSL names it ("TLS_AES_256_GCM_SHA384")
  bool oldProtocol = false; // below TLS 1.2
  std::string certificate;  // the server's certificate, DER ("" when it sent none)
  bool chainVerified = false;
  std::u16string verifyError;  // OpenSSL's reason when the chain did not verify
};

// A client handshake on an open socket, within timeoutMs in all. host is
// named in SNI unless it is an address. On success the socket carries TLS
// until TlsRelease; on failure it stays plain (and should be closed).
TlsHandshakeResult TlsHandshake(ws::SOCKET s, const std::u16string& host, int64_t timeoutMs);

// As ws::send and ws::recv: all len bytes or -1; 1..len bytes, 0 once the
// peer has closed, or -1; the last error set either way. A TLS receive is
// bounded in all by the socket's receive time-out, as a plain one is. A
// failure of TLS itself (not of the socket) is reported through ReportError
// ("TLS エラー： " + reason) and answers -1 with 10053.
int StreamSend(ws::SOCKET s, const char* buf, int len);
int StreamRecv(ws::SOCKET s, char* buf, int len);

// Ends the TLS of a socket before it closes: a close_notify when the session
// is sound, then the state is freed. Nothing for a plain socket. Never throws.
void TlsRelease(ws::SOCKET s) noexcept;

// True while the socket carries TLS.
bool TlsActive(ws::SOCKET s);

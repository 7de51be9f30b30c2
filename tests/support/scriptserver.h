#pragma once
// A scripted TCP peer on 127.0.0.1 (or ::1) at an ephemeral port, in a thread of the
// test process. It accepts one connection and plays its steps in order: bytes
// to send (one write each), kLine (read up to the next LF), Wait(ms) (go on
// reading meanwhile), Flood(piece, bytes) (the piece over and over, while
// reading), kClose (half-close: the client sees the end, what it still sends
// is read), kReset (close with RST) or kTls (the server's side of a TLS
// handshake, with the certificate and version of the TlsPeer given; the
// steps after it, Flood and Raw aside, run inside TLS; kGarble then spoils the
// next record the client sends, which the server answers with a fatal alert). Afterwards it reads until the
// client closes, so every byte the client sent is recorded (inside TLS:
// decrypted).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

inline const std::string kLine = "\x01", kClose = "\x02", kReset = "\x03", kTls = "\x06", kGarble = "\x08";

// The server side of kTls.
struct TlsPeer {
  std::string certPem, keyPem;
  int onlyVersion = 0;  // 0: every version OpenSSL speaks; else only this one (TLS1_VERSION: an old server)
};
struct ssl_st;
std::string Wait(int ms);
// Bytes sent as they are, also after kTls (a record cut short, trickled).
std::string Raw(const std::string& bytes);
// piece repeated up to bytes in all (0: until the client has gone), never
// held in memory whole.
std::string Flood(const std::string& piece, uint64_t bytes = 0);
// before, then piece count times, intervalMs apart.
std::vector<std::string> Trickle(const std::string& piece, int intervalMs, int count,
                                 std::vector<std::string> before = {});

// A case's peer, in the order its fields give it (tests/data/session-probes.cases
// says what each field does): send, raw, line, wait, close, reset, tls, garble,
// many, flood, trickle. Other fields are not the peer's and are passed over.
struct Case;
std::vector<std::string> PeerSteps(const Case& c);

class ScriptServer {
 public:
  // Starts at once; without steps nothing listens on the port (connects are refused).
  explicit ScriptServer(std::vector<std::string> steps, TlsPeer tls = {}, bool ipv6 = false);
  ~ScriptServer();
  uint16_t port() const { return m_port; }
  std::string Received();  // every byte the client sent; waits until the peer is done
  const std::string& Sni() const { return m_sni; }  // the name the client's TLS asked for (after Received)

 private:
  bool Read(int ms, bool untilLine);
  bool Send(const std::string& piece, uint64_t bytes);
  bool StartTls();
  bool ReadByte(char& c);

  uint16_t m_port = 0;
  int m_listen = -1;
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::string m_received;
  TlsPeer m_tls;
  ssl_st* m_ssl = nullptr;
  std::string m_sni;
  std::pair<int, bool> m_garble{-1, false};  // the socket, and whether the next record read is spoilt
  std::thread m_thread;
};

// A listening socket on 127.0.0.1 (::1 with ipv6) that nobody accepts from,
// on port `at` (0: any free one); its port in *port.
int ListenOnLoopback(int backlog, uint16_t* port, bool ipv6 = false, uint16_t at = 0);
// Each text cut to the length of the wanted one where that ends in "…" (a
// prefix is enough there), so that the lists compare with EXPECT_EQ. A lone
// "…" as the last wanted text stands for any further texts (or none).
std::vector<std::u16string> CutToPrefixes(std::vector<std::u16string> got, const std::vector<std::u16string>& want);

#pragma once
// A scripted TCP peer on 127.0.0.1 (or ::1) at an ephemeral port, in a thread of the
// test process. It accepts one connection and plays its steps in order. A step
// is a case file's field, its key and its value with escapes not yet decoded:
// send, raw, line, wait, close, reset, tls, garble, many, flood, trickle
// (tests/data/session-probes.cases says what each does). Afterwards it reads
// until the client closes, so every byte the client sent is recorded (inside
// TLS: decrypted).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using PeerScript = std::vector<std::pair<std::string, std::string>>;

// The server side of the step "tls".
struct TlsPeer {
  std::string certPem, keyPem;
  int onlyVersion = 0;  // 0: every version OpenSSL speaks; else only this one (TLS1_VERSION: an old server)
};
struct ssl_st;

// A case's peer: its steps among its fields, in order; the other fields are not the peer's.
struct Case;
PeerScript PeerSteps(const Case& c);

class ScriptServer {
 public:
  // Starts at once; without steps nothing listens on the port (connects are refused).
  explicit ScriptServer(PeerScript steps, TlsPeer tls = {}, bool ipv6 = false);
  ~ScriptServer();
  uint16_t port() const { return m_port; }
  std::string Received();  // every byte the client sent; waits until the peer is done
  const std::string& Sni() const { return m_sni; }  // the name the client's TLS asked for (after Received)

 private:
  bool Play(const std::string& key, const std::string& value);
  void Write(const std::string& bytes, bool raw);
  bool Read(int ms, bool untilLine);
  bool Send(const std::string& piece, uint64_t bytes);
  bool StartTls();

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

// A listener on 127.0.0.1 (::1 with ipv6) at port `at` (0: any free one)
// whose queue is full: a further connect is never answered, as behind a
// firewall that drops it.
class SilentPort {
 public:
  explicit SilentPort(bool ipv6 = false, uint16_t at = 0);
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  uint16_t port() const { return m_port; }

 private:
  uint16_t m_port = 0;
  int m_listen = -1;
  std::vector<int> m_fillers;
};

// Each text cut to the length of the wanted one where that ends in "…" (a
// prefix is enough there), so that the lists compare with EXPECT_EQ. A lone
// "…" as the last wanted text stands for any further texts (or none).
std::vector<std::u16string> CutToPrefixes(std::vector<std::u16string> got, const std::vector<std::u16string>& want);

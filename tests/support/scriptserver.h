#pragma once
// A scripted TCP peer on 127.0.0.1 at an ephemeral port, in a thread of the
// test process. It accepts one connection and plays its steps in order: bytes
// to send (one write each), kLine (read up to the next LF), Wait(ms) (go on
// reading meanwhile), Flood(piece, bytes) (the piece over and over, while
// reading), kClose (half-close: the client sees the end, what it still sends
// is read) or kReset (close with RST). Afterwards it reads until the client
// closes, so every byte the client sent is recorded.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

inline const std::string kLine = "\x01", kClose = "\x02", kReset = "\x03";
std::string Wait(int ms);
// piece repeated up to bytes in all (0: until the client has gone), never
// held in memory whole.
std::string Flood(const std::string& piece, uint64_t bytes = 0);
// before, then piece count times, intervalMs apart.
std::vector<std::string> Trickle(const std::string& piece, int intervalMs, int count,
                                 std::vector<std::string> before = {});

class ScriptServer {
 public:
  // Starts at once; without steps nothing listens on the port (connects are refused).
  explicit ScriptServer(std::vector<std::string> steps);
  ~ScriptServer();
  uint16_t port() const { return m_port; }
  std::string Received();  // every byte the client sent; waits until the peer is done

 private:
  bool Read(int ms, bool untilLine);
  bool Send(const std::string& piece, uint64_t bytes);

  uint16_t m_port = 0;
  int m_listen = -1;
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::string m_received;
  std::thread m_thread;
};

// A listening socket on 127.0.0.1 that nobody accepts from; its port in *port.
int ListenOnLoopback(int backlog, uint16_t* port);
// Each text cut to the length of the wanted one where that ends in "…" (a
// prefix is enough there), so that the lists compare with EXPECT_EQ. A lone
// "…" as the last wanted text stands for any further texts (or none).
std::vector<std::u16string> CutToPrefixes(std::vector<std::u16string> got, const std::vector<std::u16string>& want);

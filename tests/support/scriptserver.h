#pragma once
// A scripted TCP peer on 127.0.0.1 at an ephemeral port, in a thread of the
// test process. It accepts one connection and plays its script: lines to
// read, bytes to send (whole, in segments or trickled), delays, a graceful
// close or a reset. After the script it keeps reading until the client
// closes, so every byte the client sent is recorded.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptServer {
 public:
  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t port() const { return m_port; }
  std::u16string port16() const;

  // Script steps, in order. Call before Start().
  ScriptServer& Send(std::string bytes);                    // one write
  ScriptServer& Segments(std::vector<std::string> pieces);  // one write each, 30 ms apart
  ScriptServer& Trickle(std::string piece, int intervalMs, int count);
  ScriptServer& ReadLine();                                 // up to and including LF
  ScriptServer& Delay(int ms);
  ScriptServer& Close();  // graceful close; nothing more is read
  ScriptServer& Reset();  // close with RST

  // Accepts one connection and plays the script in the background.
  void Start();
  // Waits until the script and the drain have ended (the client closed, the
  // server closed, or the drain limit passed). true when it has.
  bool WaitDone(int timeoutMs = 10000);
  // Every byte the client sent (waits for the end first).
  std::string Received();
  int Connections() const { return m_connections.load(); }

 private:
  struct Step {
    enum Kind { Send, ReadLine, Delay, Close, Reset } kind;
    std::string bytes;
    int ms = 0;
  };
  void Run();
  bool ReadLineFrom(int fd);
  void Drain(int fd);
  bool ReadSome(int fd, int waitMs, bool* closed);

  int m_listen = -1;
  uint16_t m_port = 0;
  std::vector<Step> m_steps;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::atomic<int> m_connections{0};
  std::mutex m_mutex;
  std::string m_received;
  size_t m_consumed = 0;  // bytes of m_received that ReadLine has used
};

// A plain listener on 127.0.0.1 that never accepts (connect tests).
class IdleListener {
 public:
  explicit IdleListener(int backlog = 16);
  ~IdleListener();
  uint16_t port() const { return m_port; }
  int fd() const { return m_fd; }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

#pragma once
// For the tests of reasons and IPv6: greetings on both loopback addresses at one port, and the words,
// lines and JSON values of velkor-check's command lines and answers.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// "-H ::1 --smtp 25" as {"-H", "::1", "--smtp", "25"}: the words between single spaces.
std::vector<std::string> Words(const std::string& text);
std::vector<std::string> Lines(const std::string& text);
// A command line through the shell: its standard output and exit status (-1: it did not end normally).
struct Ran {
  std::string out;
  int status = -1;
};
Ran RunShell(const std::string& command);
// Every value of a key in JSON text, in order, without its quotes ("null" for null); strings without '"' only.
std::vector<std::string> JsonValues(const std::string& json, const std::string& key);

// One port on both loopback addresses: ::1 greets "220 six", 127.0.0.1
// "220 four", each answers 250 to a command and 221 to QUIT, any number of
// connections. A family left out refuses at the port.
class Greeters {
 public:
  Greeters(bool six, bool four);
  ~Greeters();
  Greeters(const Greeters&) = delete;
  Greeters& operator=(const Greeters&) = delete;
  uint16_t port() const { return m_port; }

 private:
  uint16_t m_port = 0;
  std::vector<int> m_listen;
  std::vector<std::thread> m_threads;
};

#include "support/checkpeers.h"

#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <tuple>

#include "support/scriptserver.h"

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, ' ');) words.push_back(word);
  return words;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Ran RunShell(const std::string& command) {
  Ran run;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return run;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int st = ::pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

std::vector<std::string> JsonValues(const std::string& json, const std::string& key) {
  const std::regex value("\"" + key + R"re(":(null|"([^"]*)"))re");
  std::vector<std::string> all;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), value); it != std::sregex_iterator(); ++it)
    all.push_back((*it)[2].matched ? (*it)[2].str() : "null");
  return all;
}

Greeters::Greeters(bool six, bool four) {
  // Both bound first, so that the port is free on both families; a port that another test listens on at
  // 127.0.0.1 (its IPv4 listener then lands elsewhere) is passed over.
  int listen6 = -1, listen4 = -1;
  for (uint16_t same = 0; listen6 < 0 || same != m_port;) {
    if (listen6 >= 0) {
      ::close(listen6);
      ::close(listen4);
    }
    listen6 = ListenOnLoopback(8, &m_port, true);
    listen4 = ListenOnLoopback(8, &same, false, m_port);
  }
  const std::tuple<int, bool, const char*> sides[] = {{listen6, six, "220 six\r\n"}, {listen4, four, "220 four\r\n"}};
  for (const auto& [fd, wanted, greeting] : sides) {
    if (!wanted) {
      ::close(fd);
      continue;
    }
    m_listen.push_back(fd);
    m_threads.emplace_back([fd = fd, greeting = greeting] {  // bindings named anew: clang 14 cannot capture them
      for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0;) {
        ::send(c, greeting, std::strlen(greeting), MSG_NOSIGNAL);
        // Each command comes in one piece.
        char buf[256];
        for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
          const bool quit = std::string(buf, static_cast<size_t>(n)).starts_with("QUIT");
          const char* reply = quit ? "221 bye\r\n" : "250 ok\r\n";
          ::send(c, reply, std::strlen(reply), MSG_NOSIGNAL);
          if (quit) break;
        }
        ::close(c);
      }
    });
  }
}

Greeters::~Greeters() {
  for (int fd : m_listen) ::shutdown(fd, SHUT_RDWR);
  for (std::thread& t : m_threads) t.join();
  for (int fd : m_listen) ::close(fd);
}

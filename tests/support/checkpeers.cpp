#include "support/checkpeers.h"

#include <netinet/in.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

SilentPort::SilentPort(bool ipv6, uint16_t at) : m_listen(ListenOnLoopback(0, &m_port, ipv6, at)) {
  sockaddr_storage to{};
  socklen_t len = sizeof(sockaddr_in);
  if (ipv6) {
    auto* six = reinterpret_cast<sockaddr_in6*>(&to);
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(m_port);
    six->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  } else {
    auto* four = reinterpret_cast<sockaddr_in*>(&to);
    four->sin_family = AF_INET;
    four->sin_port = htons(m_port);
    four->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  // A backlog of 0 still takes a connection or two; these fill it.
  for (int i = 0; i < 4; ++i) {
    m_fillers.push_back(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(m_fillers.back(), reinterpret_cast<sockaddr*>(&to), len);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

SilentPort::~SilentPort() {
  for (int fd : m_fillers) ::close(fd);
  ::close(m_listen);
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

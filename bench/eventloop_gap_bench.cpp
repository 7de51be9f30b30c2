// Longest stretch without a message-loop run (DoEvents) while a probe waits
// for a slow peer: an in-process SMTP peer on 127.0.0.1 that takes DELAY ms
// (default 2000) before its greeting and again before its EHLO reply.
//
//   eventloop_gap_bench [DELAY_MS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/probes.h"
#include "util/clock.h"
#include "util/hooks.h"
#include "util/sigpipe.h"

namespace {

// Greets and answers each command line, sleeping before the greeting and
// the EHLO reply.
void SlowPeer(int listenFd, int delayMs) {
  int fd = ::accept(listenFd, nullptr, nullptr);
  if (fd < 0) return;
  auto send = [&](const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); };
  auto readLine = [&] {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    return line;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  send("220 slow.example ESMTP\r\n");
  readLine();
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  send("250-slow.example\r\n250 8BITMIME\r\n");
  readLine();
  send("221 Bye\r\n");
  char buf[64];
  while (::recv(fd, buf, sizeof buf, 0) > 0) {
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  IgnoreSigPipe();
  const int delayMs = argc > 1 ? std::atoi(argv[1]) : 2000;
  int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd, 4) != 0) {
    std::perror("listen");
    return 2;
  }
  socklen_t len = sizeof sa;
  ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
  const std::string port = std::to_string(ntohs(sa.sin_port));
  std::thread peer(SlowPeer, listenFd, delayMs);

  int64_t last = MonotonicMs();
  int64_t longest = 0;
  long runs = 0;
  SetDoEventsHook([&] {
    const int64_t now = MonotonicMs();
    longest = std::max(longest, now - last);
    last = now;
    ++runs;
  });

  std::u16string host = u"127.0.0.1", p(port.begin(), port.end()), transcript;
  const int64_t start = MonotonicMs();
  last = start;
  const bool ok = SmtpCheck(host, p, transcript);
  const int64_t end = MonotonicMs();
  longest = std::max(longest, end - last);
  SetDoEventsHook({});
  peer.join();
  ::close(listenFd);

  std::printf("peer delay            %d ms before the greeting and before the EHLO reply\n", delayMs);
  std::printf("SmtpCheck             %s in %lld ms\n", ok ? "passed" : "FAILED", static_cast<long long>(end - start));
  std::printf("event-loop runs       %ld\n", runs);
  std::printf("longest gap           %lld ms (target: at most 60 ms)\n", static_cast<long long>(longest));
  return ok && longest <= 60 ? 0 : 1;
}

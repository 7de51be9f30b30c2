// Median time of each service probe against given peers.
//
//   probes_bench PORTS_FILE [ROUNDS]
//   probes_bench SMTP_PORT POP_PORT FTP_PORT HTTP_PORT [ROUNDS]
//
// PORTS_FILE holds NAME=port lines (the tcp_peers fixture writes one to
// <build>/testpeers/tcp/ports.env, with its TLS peers too: each TLS form is
// timed as well). The peers are on 127.0.0.1; a port of 0 leaves that probe
// out.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/probes.h"
#include "util/sigpipe.h"
#include "util/xcommon.h"

namespace {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

bool ReadPorts(const char* path, std::map<std::string, std::string>& ports) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) ports[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

void Usage() {
  std::fprintf(stderr,
               "usage: probes_bench PORTS_FILE [ROUNDS]\n"
               "       probes_bench SMTP_PORT POP_PORT FTP_PORT HTTP_PORT [ROUNDS]\n");
}

}  // namespace

int main(int argc, char** argv) {
  IgnoreSigPipe();
  std::map<std::string, std::string> ports;
  int rounds = 200;
  if (argc == 2 || argc == 3) {
    if (!ReadPorts(argv[1], ports)) {
      std::fprintf(stderr, "cannot read %s\n", argv[1]);
      Usage();
      return 2;
    }
    if (argc == 3) rounds = std::atoi(argv[2]);
  } else if (argc == 5 || argc == 6) {
    ports = {{"SMTP_PORT", argv[1]}, {"POP_PORT", argv[2]}, {"FTP_PORT", argv[3]}, {"HTTP_PORT", argv[4]}};
    if (argc == 6) rounds = std::atoi(argv[5]);
  } else {
    Usage();
    return 2;
  }
  if (rounds < 1) rounds = 1;

  std::u16string user = u"velkorbench", password = u"unused";
  const int16_t spare = 0;
  struct Probe {
    const char* name;
    std::string key;
    TlsMode tls;
    std::function<bool(std::u16string&, std::u16string&, std::u16string&, TlsMode)> run;
  };
  auto smtp = [](auto& h, auto& p, auto& t, TlsMode m) { return SmtpCheck(h, p, t, m); };
  auto pop = [&](auto& h, auto& p, auto& t, TlsMode m) { return PopCheck(h, p, user, password, t, m); };
  auto ftp = [&](auto& h, auto& p, auto& t, TlsMode m) { return FtpCheck(h, p, user, password, spare, t, m); };
  auto http = [](auto& h, auto& p, auto& t, TlsMode m) { return HttpCheck(h, p, t, m); };
  const std::vector<Probe> probes = {
      {"SmtpCheck", "SMTP_PORT", TlsMode::None, smtp},      {"PopCheck", "POP_PORT", TlsMode::None, pop},
      {"FtpCheck", "FTP_PORT", TlsMode::None, ftp},         {"HttpCheck", "HTTP_PORT", TlsMode::None, http},
      {"SmtpCheck", "SMTP_TLS_PORT", TlsMode::StartTls, smtp}, {"SmtpCheck", "SMTPS_PORT", TlsMode::Implicit, smtp},
      {"PopCheck", "POP_PORT", TlsMode::StartTls, pop},     {"PopCheck", "POP3S_PORT", TlsMode::Implicit, pop},
      {"FtpCheck", "FTP_TLS_PORT", TlsMode::StartTls, ftp}, {"FtpCheck", "FTPS_PORT", TlsMode::Implicit, ftp},
      {"HttpCheck", "HTTPS_PORT", TlsMode::Implicit, http},
  };

  std::printf("%-10s %7s %9s %9s %9s %9s\n", "probe", "port", "median", "min", "max", "failed");
  int status = 0;
  for (const Probe& probe : probes) {
    const std::string port = ports.count(probe.key) ? ports[probe.key] : "0";
    if (port.empty() || port == "0") continue;
    std::vector<double> times;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
      std::u16string host = u"127.0.0.1", p = U16(port), transcript;
      const double start = NowMs();
      const bool ok = probe.run(host, p, transcript, probe.tls);
      times.push_back(NowMs() - start);
      if (!ok) ++failed;
    }
    std::sort(times.begin(), times.end());
    const double median = times.size() % 2 ? times[times.size() / 2]
                                           : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    std::printf("%-10s %7s %7.2f ms %6.2f ms %6.2f ms %9d\n", probe.name, (port + Narrow(PortSuffix(probe.tls))).c_str(), median, times.front(),
                times.back(), failed);
    if (failed) status = 1;
  }
  return status;
}

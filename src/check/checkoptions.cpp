#include "check/checkoptions.h"

#include <array>
#include <cstdlib>

#include "net/hostaddr.h"
#include "util/codepage.h"

namespace {

constexpr std::array kOptions = {
    CheckOption{OptionId::Hostname, 'H', "hostname", "HOST",
                "Host to check: an address (IPv6 bare or in brackets) or a name. Goes with the port options, "
                "--ping and --shares."},
    CheckOption{OptionId::Entry, 'E', "entry", "ENTRY",
                "One target entry as the target list holds it, host[:smtp[:pop[:ftp[:http]]]] with comma lists "
                "of ports, an IPv6 host in brackets ([::1]:25); empty fields keep the ports of the settings, "
                "other fields that are not ports leave their service out. Not with -H or the port options."},
    CheckOption{OptionId::TargetList, '\0', "target-list", "FILE",
                "Check every entry of this target list (VKRTARGET.INI syntax), each host in a process of its "
                "own: one status line per host in the list's order, then a summary line. At most 100000 "
                "entries. Not with -H, -E or the port options."},
    CheckOption{OptionId::Jobs, 'j', "jobs", "N",
                "With --target-list: check N hosts at a time, 1 to 256 (default: the number of CPUs)."},
    CheckOption{OptionId::Ipv4, '4', "ipv4", nullptr,
                "Every check uses IPv4 addresses only (a host without one fails them)."},
    CheckOption{OptionId::Ipv6, '6', "ipv6", nullptr, "Every check uses IPv6 addresses only. Not with -4."},
    CheckOption{OptionId::EachAddress, '\0', "each-address", nullptr,
                "Check every address of the host (within -4 or -6): one line per address and check, named "
                "with the address in brackets (SMTP 25 [2001:db8::25]), performance labels smtp_25@[address]."},
    CheckOption{OptionId::Json, '\0', "json", nullptr,
                "Answer in JSON: each check with its reason, transcript, port and TLS. With -H or -E one "
                "object; with --target-list one per host and line, then a summary object."},
    CheckOption{OptionId::Smtp, '\0', "smtp", "PORTS",
                "SMTP on these ports (comma list): greeting, EHLO (HELO when refused), QUIT. A port may end in "
                "s for TLS from the first byte (465s) or t for STARTTLS (587t)."},
    CheckOption{OptionId::Pop, '\0', "pop", "PORTS", "POP3 on these ports: greeting, USER, QUIT (995s, 110t: STLS)."},
    CheckOption{OptionId::Ftp, '\0', "ftp", "PORTS",
                "FTP on these ports: greeting, USER, QUIT (990s, 21t: AUTH TLS)."},
    CheckOption{OptionId::Http, '\0', "http", "PORTS",
                "HTTP on these ports: GET / and the reply's headers (443s: HTTPS; HTTP has no t)."},
    CheckOption{OptionId::Ping, '\0', "ping", nullptr, "ICMP echo: a raw socket as root, else the datagram socket where "
                "net.ipv4.ping_group_range holds a group of the user, else the installed helper velkor-icmp."},
    CheckOption{OptionId::Shares, '\0', "shares", nullptr, "List the host's SMB shares (loads libsmbclient)."},
    CheckOption{OptionId::User, 'u', "user", "NAME",
                "User name of the POP and FTP USER commands (default: the settings' user). No password is "
                "ever sent."},
    CheckOption{OptionId::Settings, '\0', "settings", "FILE",
                "Take the ports and the user from this VKRSYS.DAT, as the window does; options given beside "
                "it win."},
    CheckOption{OptionId::Warning, 'w', "warning", "SECONDS", "WARNING when a check takes longer than this."},
    CheckOption{OptionId::Critical, 'c', "critical", "SECONDS", "CRITICAL when a check takes longer than this."},
    CheckOption{OptionId::Timeout, 't', "timeout", "SECONDS",
                "Each connect and each reply wait ends after this long and fails its check (default 10)."},
    CheckOption{OptionId::MaxTime, '\0', "max-time", "SECONDS",
                "The whole command ends within this bound (plus one second) with UNKNOWN (default 55); in a "
                "sweep, each host's checks do."},
    CheckOption{OptionId::CertDays, '\0', "cert-days", "W,C",
                "WARNING when a TLS check's certificate has fewer than W days left, CRITICAL below C (W at "
                "least C). A certificate that has expired or is not yet valid always fails its check."},
    CheckOption{OptionId::NoVerify, '\0', "no-verify", nullptr,
                "A certificate whose chain the system's trust store does not verify, or whose names do not "
                "cover the host, passes without a WARNING (servers with certificates of their own). A "
                "protocol below TLS 1.2 still warns."},
    CheckOption{OptionId::ExpectStatus, '\0', "expect-status", "LIST",
                "HTTP: any other status fails (codes, classes: 200,301,3xx)."},
    CheckOption{OptionId::LogDir, '\0', "log-dir", "DIR",
                "Write the run log and the error log into DIR, as the window writes its own; nothing is "
                "written without it."},
    CheckOption{OptionId::Verbose, 'v', "verbose", nullptr,
                "Add each check's transcript and the error reports."},
    CheckOption{OptionId::Version, 'V', "version", nullptr, "Print the version and exit."},
    CheckOption{OptionId::Help, 'h', "help", nullptr, "Print this help and exit."},
};

bool HasControl(const std::string& v) {
  for (unsigned char c : v)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool IsBlank(const std::string& v) { return v.find_first_not_of(" \t") == std::string::npos; }

// A comma list of decimal ports, each with at most one TLS suffix; empty
// items are skipped, as the run skips them. HTTP has no upgrade command.
std::string CheckPorts(const std::string& spelling, const std::string& value, bool upgradeAllowed = true) {
  bool any = false;
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    if (comma == std::string::npos) comma = value.size();
    const std::string item = value.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) continue;
    const char suffix = item.back() == 's' || item.back() == 't' ? item.back() : '\0';
    const std::string digits = suffix ? item.substr(0, item.size() - 1) : item;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
      return spelling + ": '" + value + "' is not a comma list of ports";
    if (suffix == 't' && !upgradeAllowed)
      return spelling + ": port " + item + ": HTTP has no upgrade to TLS (443s is HTTPS)";
    if (digits.size() > 5 || std::atol(digits.c_str()) > 65535)
      return spelling + ": port " + digits + " is outside 0..65535";
    any = true;
  }
  return any ? "" : spelling + ": '" + value + "' names no port";
}

// A number of jobs within 1..kMaxJobs.
std::string CheckJobs(const std::string& spelling, const std::string& value, std::optional<int>& out) {
  if (value.find_first_not_of("0123456789") != std::string::npos)
    return spelling + ": '" + value + "' is not a number of jobs";
  const size_t digits = value.find_first_not_of('0');
  const long n = digits == std::string::npos ? 0 : value.size() - digits > 4 ? kMaxJobs + 1 : std::atol(value.c_str());
  if (n < 1 || n > kMaxJobs) return spelling + ": the number of jobs must be from 1 to " + std::to_string(kMaxJobs);
  out = static_cast<int>(n);
  return "";
}

// Seconds as digits with an optional fraction; zero only where allowed.
std::string CheckSeconds(const std::string& spelling, const std::string& value, bool zeroAllowed,
                         CheckRequest::Seconds& out) {
  const size_t dot = value.find('.');
  const std::string whole = value.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : value.substr(dot + 1);
  const bool digits = !whole.empty() && whole.find_first_not_of("0123456789") == std::string::npos &&
                      fraction.find_first_not_of("0123456789") == std::string::npos &&
                      (dot == std::string::npos || !fraction.empty());
  if (!digits || whole.size() > 6) return spelling + ": '" + value + "' is not a number of seconds";
  out.text = value;
  out.value = std::strtod(value.c_str(), nullptr);
  if (!zeroAllowed && out.value <= 0) return spelling + ": the time must be more than 0 s";
  return "";
}

// "W,C": two whole numbers of days, W at least C.
std::string CheckCertDays(const std::string& spelling, const std::string& value, CheckRequest::CertDays& out) {
  const size_t comma = value.find(',');
  const std::string w = value.substr(0, comma);
  const std::string c = comma == std::string::npos ? "" : value.substr(comma + 1);
  auto days = [](const std::string& d) {
    return !d.empty() && d.size() <= 6 && d.find_first_not_of("0123456789") == std::string::npos;
  };
  if (!days(w) || !days(c)) return spelling + ": '" + value + "' is not W,C (two whole numbers of days)";
  out.warning = std::atol(w.c_str());
  out.critical = std::atol(c.c_str());
  if (out.warning < out.critical) return spelling + ": W (" + w + ") is below C (" + c + ")";
  return "";
}

// A comma list of HTTP status codes (100-599) and classes (1xx-5xx).
std::string CheckStatusList(const std::string& spelling, const std::string& value, CheckExpectStatus& out) {
  out.text = value;
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    if (comma == std::string::npos) comma = value.size();
    const std::string item = value.substr(pos, comma - pos);
    pos = comma + 1;
    const bool isClass = item.size() == 3 && item[0] >= '0' && item[0] <= '9' && item.substr(1) == "xx";
    const bool isCode = item.size() == 3 && item.find_first_not_of("0123456789") == std::string::npos;
    if (!isClass && !isCode)
      return spelling + ": '" + value + "' is not a comma list of status codes and classes (200,3xx)";
    const int first = item[0] - '0';
    if (first < 1 || first > 5)
      return spelling + ": " + item + " is outside " + (isClass ? "1xx..5xx" : "100..599");
    if (isClass) out.classes.push_back(first);
    else out.codes.push_back(std::atoi(item.c_str()));
  }
  return "";
}

// Stores one option's value; the error line when the value is malformed.
std::string Apply(const CheckOption& o, const std::string& spelling, const std::string& value, CheckRequest& r) {
  if (o.argName && HasControl(value)) return spelling + ": the value holds a control character";
  if (o.argName && IsBlank(value)) return spelling + ": the value is empty";
  switch (o.id) {
    case OptionId::Hostname: {
      if (value.find_first_of(" \t") != std::string::npos) return spelling + ": '" + value + "' is not a host";
      if (value.front() != '[') {
        r.host = value;
        return "";
      }
      const size_t close = value.find(']');
      if (close == std::string::npos) return spelling + ": '" + value + "' has an unclosed bracket";
      const std::string inner = value.substr(1, close - 1);
      if (close + 1 != value.size() || !IsIpv6AddressText(FromUtf8(inner)))
        return spelling + ": '" + value + "' is not an IPv6 address in brackets";
      r.host = inner;
      return "";
    }
    case OptionId::Entry: r.entry = value; return "";
    case OptionId::TargetList: r.targetList = value; return "";
    case OptionId::Jobs: return CheckJobs(spelling, value, r.jobs);
    case OptionId::Ipv4: r.ipv4Only = true; return "";
    case OptionId::Ipv6: r.ipv6Only = true; return "";
    case OptionId::EachAddress: r.eachAddress = true; return "";
    case OptionId::Json: r.json = true; return "";
    case OptionId::Smtp: r.smtpPorts = value; return CheckPorts(spelling, value);
    case OptionId::Pop: r.popPorts = value; return CheckPorts(spelling, value);
    case OptionId::Ftp: r.ftpPorts = value; return CheckPorts(spelling, value);
    case OptionId::Http: r.httpPorts = value; return CheckPorts(spelling, value, false);
    case OptionId::Ping: r.ping = true; return "";
    case OptionId::Shares: r.shares = true; return "";
    case OptionId::User: r.user = value; return "";
    case OptionId::Settings: r.settingsFile = value; return "";
    case OptionId::Warning: return CheckSeconds(spelling, value, true, r.warning.emplace());
    case OptionId::Critical: return CheckSeconds(spelling, value, true, r.critical.emplace());
    case OptionId::Timeout: return CheckSeconds(spelling, value, false, r.timeout);
    case OptionId::MaxTime: return CheckSeconds(spelling, value, false, r.maxTime);
    case OptionId::CertDays: return CheckCertDays(spelling, value, r.certDays.emplace());
    case OptionId::NoVerify: r.noVerify = true; return "";
    case OptionId::ExpectStatus: return CheckStatusList(spelling, value, r.expectStatus.emplace());
    case OptionId::LogDir: r.logDir = value; return "";
    case OptionId::Verbose: r.verbose = true; return "";
    case OptionId::Version: r.action = CheckRequest::Action::Version; return "";
    case OptionId::Help: r.action = CheckRequest::Action::Help; return "";
  }
  return "";
}

const CheckOption* ByName(const std::string& name) {
  for (const CheckOption& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

const CheckOption* ByLetter(char letter) {
  for (const CheckOption& o : kOptions)
    if (o.letter != '\0' && letter == o.letter) return &o;
  return nullptr;
}

}  // namespace

std::span<const CheckOption> CheckOptions() { return kOptions; }

bool CheckExpectStatus::Accepts(int status) const {
  for (int code : codes)
    if (status == code) return true;
  for (int c : classes)
    if (status / 100 == c) return true;
  return false;
}

ParsedCommandLine ParseCheckCommandLine(const std::vector<std::string>& args) {
  CheckRequest r;
  auto fail = [](std::string line) { return ParsedCommandLine{std::nullopt, std::move(line)}; };
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') return fail("unexpected argument '" + a + "'");
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a[1] == '-') {  // --name, --name=value, --name value
      const size_t eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const std::string spelling = "--" + name;
      const CheckOption* o = ByName(name);
      if (!o) return fail("unknown option " + spelling);
      std::string value;
      if (!o->argName) {
        if (eq != std::string::npos) return fail("option " + spelling + " takes no value");
      } else if (eq != std::string::npos) {
        value = a.substr(eq + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return fail("option " + spelling + " needs a value");
      }
      if (std::string e = Apply(*o, spelling, value, r); !e.empty()) return fail(e);
      continue;
    }
    for (size_t k = 1; k < a.size(); ++k) {  // -v, -vH host, -Hhost
      const std::string spelling = std::string("-") + a[k];
      const CheckOption* o = ByLetter(a[k]);
      if (!o) return fail("unknown option " + spelling);
      std::string value;
      if (o->argName) {
        if (k + 1 < a.size()) {
          value = a.substr(k + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return fail("option " + spelling + " needs a value");
        }
        k = a.size();
      }
      if (std::string e = Apply(*o, spelling, value, r); !e.empty()) return fail(e);
    }
  }
  return ParsedCommandLine{r, ""};
}

std::string CheckHelpText() {
  // Within 80 columns, as terminals and the monitoring plugins' own help are.
  std::string t =
      "Usage: velkor-check -H HOST [--smtp PORTS] [--pop PORTS] [--ftp PORTS]\n"
      "                    [--http PORTS] [--ping] [--shares] [options]\n"
      "       velkor-check -E ENTRY [--ping] [--shares] [options]\n"
      "       velkor-check --target-list FILE [-j N] [--json] [--ping] [--shares]\n"
      "                    [options]\n"
      "\n"
      "Runs velkor's checks of one host without a window and answers as a\n"
      "monitoring plugin: one status line with performance data, one line per\n"
      "check, and the exit status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (bad\n"
      "input, or the command's own time-out). Everything goes to standard output;\n"
      "only a sweep's progress count goes to standard error, on a terminal.\n"
      "A sweep (--target-list) checks every host of a list, several at a time,\n"
      "and exits with the worst status of its hosts, CRITICAL before WARNING\n"
      "before UNKNOWN before OK. A port may end in s (TLS from the first byte)\n"
      "or t (the protocol's upgrade to TLS). The manual: man velkor-check.\n"
      "\n"
      "Options:\n";
  for (const CheckOption& o : kOptions) {
    std::string head = "  ";
    head += o.letter ? std::string("-") + o.letter + ", " : "    ";
    head += std::string("--") + o.name;
    if (o.argName) head += std::string(" ") + o.argName;
    t += head + "\n";
    // The help text wrapped within 80 columns, indented.
    std::string line = "        ";
    std::string word;
    auto flush = [&] {
      if (word.empty()) return;
      if (line.size() > 8 && line.size() + 1 + word.size() > 80) {
        t += line + "\n";
        line = "        ";
      }
      if (line.size() > 8) line += ' ';
      line += word;
      word.clear();
    };
    for (const char* p = o.help; *p; ++p) {
      if (*p == ' ') flush();
      else word += *p;
    }
    flush();
    t += line + "\n";
  }
  return t;
}

#pragma once
// velkor-check's command line. One table of options (kCheckOptions) feeds
// the parser and --help; the man page lists the same rows.
#include <optional>
#include <span>
#include <string>
#include <vector>

enum class OptionId {
  Hostname, Entry, TargetList, Jobs, Ipv4, Ipv6, EachAddress, Json, Smtp, Pop, Ftp, Http, Ping, Shares, User, Settings,
  Warning, Critical, Timeout, MaxTime, CertDays, NoVerify, ExpectStatus, LogDir, Verbose, Version, Help
};

struct CheckOption {
  OptionId id;
  char letter;          // '\0': long form only
  const char* name;     // the long form, without "--"
  const char* argName;  // nullptr: a switch
  const char* help;
};

// A sweep runs at most this many hosts at a time (one process each).
inline constexpr int kMaxJobs = 256;

// Every option, in the order --help lists them.
std::span<const CheckOption> CheckOptions();

// What the command line asks for. Values are checked for their form here;
// what they mean together is checked by the run (checkrun.h).
// Seconds as written (they appear in the output) and their value. Outside
// CheckRequest, so that clang sees it complete where the request is built.
struct CheckSeconds {
  std::string text;
  double value = 0;
};

// --cert-days W,C: days left below W is WARNING, below C CRITICAL (W >= C).
struct CheckCertDaysLimits {
  long warning = 0, critical = 0;
};

// --expect-status LIST: the HTTP statuses that pass, codes 100-599 and
// classes 1xx-5xx as written ("200,3xx").
struct CheckExpectStatus {
  std::string text;
  std::vector<int> codes;
  std::vector<int> classes;  // 1 for 1xx ... 5
  bool Accepts(int status) const;
};

struct CheckRequest {
  enum class Action { Run, Help, Version };
  Action action = Action::Run;
  std::optional<std::string> host;   // -H (an IPv6 address without its brackets)
  std::optional<std::string> entry;  // -E, one target entry
  std::optional<std::string> targetList;  // --target-list: a sweep of every entry
  std::optional<int> jobs;                // -j, 1..kMaxJobs
  bool ipv4Only = false, ipv6Only = false;  // -4, -6: every check uses that family only
  bool eachAddress = false;                 // --each-address: the checks run once per address of the host
  bool json = false;
  // Set by the sweep for each of its hosts: the entry came from the list,
  // and the reasons say so rather than name -E.
  bool entryFromList = false;
  // --smtp, --pop, --ftp, --http: comma lists of ports within 0..65535, each
  // with at most one TLS suffix "s" or "t" ("t" not for HTTP).
  std::optional<std::string> smtpPorts, popPorts, ftpPorts, httpPorts;
  bool ping = false;
  bool shares = false;
  std::optional<std::string> user;
  std::optional<std::string> settingsFile;
  using Seconds = CheckSeconds;
  std::optional<Seconds> warning, critical;
  Seconds timeout{"10", 10};
  Seconds maxTime{"55", 55};
  using CertDays = CheckCertDaysLimits;
  std::optional<CertDays> certDays;
  bool noVerify = false;  // an unverified chain or a name that does not match is no WARNING
  std::optional<CheckExpectStatus> expectStatus;
  std::optional<std::string> logDir;
  bool verbose = false;

  bool AnyPortOption() const { return smtpPorts || popPorts || ftpPorts || httpPorts; }
};

// The request, or one line that says what is wrong with the command line.
struct ParsedCommandLine {
  std::optional<CheckRequest> request;
  std::string error;
};
ParsedCommandLine ParseCheckCommandLine(const std::vector<std::string>& args);

// The text of --help.
std::string CheckHelpText();

#include "net/smbshares.h"

#include <arpa/inet.h>
#include <libsmbclient.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/ip6literal.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/stop.h"

namespace {

// The window's message loop runs at least this often while a listing waits
// (half the 50 ms the window can afford, so a busy machine stays within it).
constexpr int kWaitSliceMs = 25;

// One listing. The worker fills in the result and raises done under the
// mutex, once, at its very end; the caller reads the result only after that.
struct ListJob {
  std::mutex mutex;
  std::condition_variable doneCv;
  bool done = false;
  SmbListing outcome = SmbListing::kFailed;
  std::vector<SmbShare> shares;
};

// Whom a listing asks: the server's name when it was typed as one (empty
// otherwise), and its address: address6 for a server typed as an IPv6
// literal, address otherwise.
struct ListTarget {
  std::string name;
  uint32_t address = 0;
  std::optional<Ip6Address> address6;
  uint16_t port = kSmbDefaultPort;
};

struct SmbState {
  std::mutex mutex;
  uint16_t port = kSmbDefaultPort;
  int boundMs = kSmbListBoundMs;
  std::shared_ptr<ListJob> abandoned;  // the one listing given up on, while it runs
};

SmbState& State() {
  static SmbState* state = new SmbState;  // outlives detached workers
  return *state;
}

// libsmbclient keeps process-wide state (its configuration, the talloc stack
// frames) and this build has no thread support to switch on, so only one
// thread at a time uses it.
std::mutex& LibraryMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

void Quiet(void*, int, const char*) {}

// Anonymous: no user, no password, no domain.
void AnonymousAuth(SMBCCTX*, const char*, const char*, char* workgroup, int workgroupLen, char* user, int userLen,
                   char* password, int passwordLen) {
  if (workgroupLen > 0) workgroup[0] = '\0';
  if (userLen > 0) user[0] = '\0';
  if (passwordLen > 0) password[0] = '\0';
}

// With the ticket: no password. The user and domain the library fills in stay:
// without a user it takes the session as anonymous, without a domain it has no
// principal to try Kerberos for. The ticket itself comes from the operator's
// credential cache.
void TicketAuth(SMBCCTX*, const char*, const char*, char*, int, char*, int, char* password, int passwordLen) {
  if (passwordLen > 0) password[0] = '\0';
}

// Laid over the machine's own client configuration for every listing: names
// are looked up as host names only, never with NetBIOS name queries or
// broadcasts.
constexpr char kClientConfiguration[] =
    "[global]\n"
    "  name resolve order = host\n"
    "  disable netbios = yes\n";

// The configuration as a file the library can load: a memory file of this
// process, made once and kept open; "" when it could not be made. Called with
// the library mutex held.
const std::string& ClientConfigurationPath() {
  static const std::string path = [] {
    const int fd = memfd_create("velkor-smb.conf", MFD_CLOEXEC);
    if (fd < 0) return std::string();
    const size_t size = sizeof kClientConfiguration - 1;
    if (write(fd, kClientConfiguration, size) != static_cast<ssize_t>(size)) {
      close(fd);
      return std::string();
    }
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

// A name the library can take in a URL as it stands; other names (with URL
// syntax in them, or outside ASCII, which the library would look up in
// another encoding than this program does) are asked by address.
bool IsPlainHostName(const std::u16string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
           c == u'.' || c == u'_';
  });
}

// True when the target's address:port accepts a TCP connection within timeoutMs.
bool Answers(const ListTarget& target, int timeoutMs) {
  const bool v6 = target.address6.has_value();
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(target.port);
  to.sin_addr.s_addr = target.address;
  sockaddr_in6 to6{};
  to6.sin6_family = AF_INET6;
  to6.sin6_port = htons(target.port);
  if (v6) std::memcpy(&to6.sin6_addr, target.address6->data(), 16);
  bool connected = connect(fd, v6 ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to),
                           v6 ? sizeof to6 : sizeof to) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    connected = poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  close(fd);
  return connected;
}

uint32_t ShareType(unsigned int smbcType) {
  switch (smbcType) {
    case SMBC_PRINTER_SHARE: return kShareTypePrinter;
    case SMBC_COMMS_SHARE: return kShareTypeDevice;
    case SMBC_IPC_SHARE: return kShareTypeIpc;
    default: return kShareTypeDisk;
  }
}

bool IsShare(unsigned int smbcType) {
  return smbcType == SMBC_FILE_SHARE || smbcType == SMBC_PRINTER_SHARE || smbcType == SMBC_COMMS_SHARE ||
         smbcType == SMBC_IPC_SHARE;
}

std::string DottedAddress(uint32_t address) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

// An IPv6 address as the library takes it in a URL. It does not parse the
// bracketed smb://[2001:db8::25]; it does read the ipv6-literal.net form
// (each colon a hyphen) as the address itself, without any lookup. All eight
// groups are written, so that no name starts or ends with a hyphen.
std::string Ip6LiteralName(const Ip6Address& a) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (size_t group = 0; group < 8; ++group) {
    const unsigned value = static_cast<unsigned>(a[group * 2] << 8 | a[group * 2 + 1]);
    std::string digits;
    for (unsigned v = value; v != 0 || digits.empty(); v >>= 4) digits.insert(digits.begin(), kHex[v & 15]);
    name += (group == 0 ? "" : "-") + digits;
  }
  return name + ".ipv6-literal.net";
}

// The worker's whole listing, on its own context.
SmbListing ListShares(const ListTarget& target, int timeoutMs, std::vector<SmbShare>& shares) {
  std::lock_guard<std::mutex> lock(LibraryMutex());
  SMBCCTX* ctx = smbc_new_context();
  if (!ctx) return SmbListing::kFailed;
  smbc_setLogCallback(ctx, nullptr, Quiet);  // nothing on stdout or stderr
  smbc_setDebug(ctx, 0);
  // Loaded again for every context: the library drops its configuration when
  // its last context is freed. Without it, a name is not handed over.
  const std::string& configuration = ClientConfigurationPath();
  const bool configured = !configuration.empty() && smbc_setConfiguration(ctx, configuration.c_str()) == 0;
  const bool byName = configured && !target.name.empty();
  // By name, Kerberos alone is tried before the library's anonymous login;
  // no fallback to a password logon, which would send the login name with no
  // password and count, on a domain, as a failed logon of that account.
  smbc_setOptionUseKerberos(ctx, byName ? 1 : 0);
  smbc_setOptionFallbackAfterKerberos(ctx, 0);
  smbc_setOptionUseCCache(ctx, 0);
  smbc_setOptionNoAutoAnonymousLogin(ctx, 0);
  smbc_setFunctionAuthDataWithContext(ctx, byName ? TicketAuth : AnonymousAuth);
  smbc_setPort(ctx, target.port);
  smbc_setTimeout(ctx, std::max(1000, std::min(timeoutMs, smbc_getTimeout(ctx))));
  if (!smbc_init_context(ctx)) {
    smbc_free_context(ctx, 1);
    return SmbListing::kFailed;
  }
  SmbListing outcome = SmbListing::kFailed;
  const std::string url = "smb://" + (byName           ? target.name
                                      : target.address6 ? Ip6LiteralName(*target.address6)
                                                        : DottedAddress(target.address));
  if (SMBCFILE* dir = smbc_getFunctionOpendir(ctx)(ctx, url.c_str())) {
    outcome = SmbListing::kListed;
    while (smbc_dirent* entry = smbc_getFunctionReaddir(ctx)(ctx, dir)) {
      if (!IsShare(entry->smbc_type)) continue;
      SmbShare share;
      share.name = FromUtf8(entry->name);
      share.type = ShareType(entry->smbc_type);
      if (entry->comment) share.remark = FromUtf8(entry->comment);
      shares.push_back(std::move(share));
    }
    smbc_getFunctionClosedir(ctx)(ctx, dir);
  } else if (errno == EACCES || errno == EPERM) {
    // Denied access to the share list, or a refused logon.
    outcome = SmbListing::kRefused;
  }
  smbc_free_context(ctx, 1);
  return outcome;
}

void RunJob(std::shared_ptr<ListJob> job, ListTarget target, int timeoutMs) {
  std::vector<SmbShare> shares;
  SmbListing outcome = SmbListing::kFailed;
  try {
    outcome = ListShares(target, timeoutMs, shares);
    // The library reports a connection that this machine's own firewall or
    // security policy forbids with the same error as a server's refusal.
    if (outcome == SmbListing::kRefused && !Answers(target, std::min(timeoutMs, 5000)))
      outcome = SmbListing::kFailed;
  } catch (...) {
    outcome = SmbListing::kFailed;
    shares.clear();
  }
  std::lock_guard<std::mutex> lock(job->mutex);
  job->outcome = outcome;
  job->shares = std::move(shares);
  job->done = true;
  job->doneCv.notify_all();
}

// Waits up to boundMs for a listing to end, in slices with the message loop
// running; false when it has not ended by then, or the operator has asked to
// stop the run.
bool WaitForJob(ListJob& job, int boundMs) {
  const int64_t deadline = MonotonicMs() + boundMs;
  std::unique_lock<std::mutex> lock(job.mutex);
  while (!job.done) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0 || StopRequested()) return false;
    job.doneCv.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(left, kWaitSliceMs)));
    if (job.done) break;
    lock.unlock();
    DoEvents();
    lock.lock();
  }
  return true;
}

}  // namespace

void SetSmbPort(uint16_t port) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().port = port == 0 ? kSmbDefaultPort : port;
}

uint16_t SmbPort() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().port;
}

void SetSmbListBoundMs(int ms) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().boundMs = ms > 0 ? ms : kSmbListBoundMs;
}

bool SmbListingStuck() {
  SmbState& st = State();
  std::shared_ptr<ListJob> job;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    job = st.abandoned;
  }
  if (!job) return false;
  std::lock_guard<std::mutex> lock(job->mutex);
  return !job->done;
}

SmbListing SmbEnumShares(const std::u16string& server, std::vector<SmbShare>& shares) {
  shares.clear();
  std::u16string host = server;
  // A server name may come in the UNC form \\name.
  while (!host.empty() && (host[0] == u'\\' || host[0] == u'/')) host.erase(0, 1);
  ListTarget target;
  // An IPv6 address is asked over IPv6, an IPv4 one over IPv4; a name with
  // both is listed at its IPv4 address, as it always was. "::", 0.0.0.0 and
  // other addresses of no one host would reach this machine: they fail.
  const ResolvedHost resolved = ResolveHostAddresses(host, GetSessionOptions().family);
  const std::optional<HostAddress> chosen = SingleCheckAddress(resolved.addresses);
  if (!chosen) {
    if (!NoteLookupFailure(resolved.outcome)) NoteFailReason(FailReasonOf(FailKind::SharesFailed));
    return SmbListing::kFailed;
  }
  if (chosen->family == 6) {
    target.address6.emplace();
    std::copy(chosen->bytes.begin(), chosen->bytes.end(), target.address6->begin());
  } else {
    std::memcpy(&target.address, chosen->bytes.data(), 4);
  }
  if (target.address6 ? !Ip6IsOneHost(*target.address6) : target.address == 0) {
    NoteFailReason(FailReasonOf(FailKind::SharesFailed));
    return SmbListing::kFailed;
  }
  NoteConnectAddress(HostAddressText(*chosen));
  // The library looks a name up itself and may take any of its addresses:
  // one whose addresses -4, -6 or --each-address narrowed is asked by the
  // address chosen here (anonymously, as any address).
  if (resolved.outcome.status != LookupStatus::Address && !resolved.narrowed && IsPlainHostName(host))
    target.name = ToUtf8(host);

  SmbState& st = State();
  int boundMs;
  std::shared_ptr<ListJob> previous;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    previous = st.abandoned;
    boundMs = st.boundMs;
  }
  // A listing given up earlier (a stopped run's, or one past the bound)
  // still holds the library: this one waits for it, up to the bound, rather
  // than fail at once and report a server that is fine as failed.
  if (previous && !WaitForJob(*previous, boundMs)) return SmbListing::kFailed;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.abandoned.reset();
    target.port = st.port;
  }
  auto job = std::make_shared<ListJob>();
  std::thread(RunJob, job, target, boundMs).detach();

  if (!WaitForJob(*job, boundMs)) {
    std::lock_guard<std::mutex> stateLock(st.mutex);
    st.abandoned = job;
    // A stop is no time-out: as with every other wait, the run says so itself.
    if (!StopRequested()) {
      FailReason why = FailReasonOf(FailKind::SharesTimedOut);
      why.seconds = static_cast<double>(boundMs) / 1000;
      NoteFailReason(why);
    }
    return SmbListing::kFailed;
  }
  std::lock_guard<std::mutex> lock(job->mutex);
  if (job->outcome != SmbListing::kListed)
    NoteFailReason(FailReasonOf(job->outcome == SmbListing::kRefused ? FailKind::SharesRefused : FailKind::SharesFailed));
  if (job->outcome == SmbListing::kListed) shares = std::move(job->shares);
  return job->outcome;
}

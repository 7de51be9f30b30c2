#include "net/smbshares.h"

#include <libsmbclient.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/hostaddr.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

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
  bool ok = false;
  std::vector<SmbShare> shares;
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

// The worker's whole listing, on its own context. Handing the library the
// address (not a name) keeps it from NetBIOS lookups and broadcasts.
bool ListShares(const std::string& address, uint16_t port, int timeoutMs, std::vector<SmbShare>& shares) {
  std::lock_guard<std::mutex> lock(LibraryMutex());
  SMBCCTX* ctx = smbc_new_context();
  if (!ctx) return false;
  smbc_setLogCallback(ctx, nullptr, Quiet);  // nothing on stdout or stderr
  smbc_setDebug(ctx, 0);
  smbc_setOptionUseKerberos(ctx, 0);
  smbc_setOptionFallbackAfterKerberos(ctx, 1);
  smbc_setOptionUseCCache(ctx, 0);
  smbc_setOptionNoAutoAnonymousLogin(ctx, 0);
  smbc_setFunctionAuthDataWithContext(ctx, AnonymousAuth);
  smbc_setPort(ctx, port);
  smbc_setTimeout(ctx, std::max(1000, std::min(timeoutMs, smbc_getTimeout(ctx))));
  if (!smbc_init_context(ctx)) {
    smbc_free_context(ctx, 1);
    return false;
  }
  bool ok = false;
  const std::string url = "smb://" + address;
  if (SMBCFILE* dir = smbc_getFunctionOpendir(ctx)(ctx, url.c_str())) {
    ok = true;
    while (smbc_dirent* entry = smbc_getFunctionReaddir(ctx)(ctx, dir)) {
      if (!IsShare(entry->smbc_type)) continue;
      SmbShare share;
      share.name = FromUtf8(entry->name);
      share.type = ShareType(entry->smbc_type);
      if (entry->comment) share.remark = FromUtf8(entry->comment);
      shares.push_back(std::move(share));
    }
    smbc_getFunctionClosedir(ctx)(ctx, dir);
  }
  smbc_free_context(ctx, 1);
  return ok;
}

void RunJob(std::shared_ptr<ListJob> job, std::string address, uint16_t port, int timeoutMs) {
  std::vector<SmbShare> shares;
  bool ok = false;
  try {
    ok = ListShares(address, port, timeoutMs, shares);
  } catch (...) {
    ok = false;
    shares.clear();
  }
  std::lock_guard<std::mutex> lock(job->mutex);
  job->ok = ok;
  job->shares = std::move(shares);
  job->done = true;
  job->doneCv.notify_all();
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

bool SmbEnumShares(const std::u16string& server, std::vector<SmbShare>& shares) {
  shares.clear();
  std::u16string host = server;
  // A server name may come in the UNC form \\name.
  while (!host.empty() && (host[0] == u'\\' || host[0] == u'/')) host.erase(0, 1);
  const uint32_t address = static_cast<uint32_t>(GetIPAddress(host));
  if (address == 0) return false;  // 0.0.0.0 would reach this machine
  if (SmbListingStuck()) return false;

  SmbState& st = State();
  uint16_t port;
  int boundMs;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.abandoned.reset();
    port = st.port;
    boundMs = st.boundMs;
  }
  auto job = std::make_shared<ListJob>();
  std::thread(RunJob, job, DottedAddress(address), port, boundMs).detach();

  const int64_t deadline = MonotonicMs() + boundMs;
  std::unique_lock<std::mutex> lock(job->mutex);
  while (!job->done) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;
    job->doneCv.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(left, kWaitSliceMs)));
    if (job->done) break;
    lock.unlock();
    DoEvents();
    lock.lock();
  }
  if (!job->done) {
    lock.unlock();
    std::lock_guard<std::mutex> stateLock(st.mutex);
    st.abandoned = job;
    return false;
  }
  if (!job->ok) return false;
  shares = std::move(job->shares);
  return true;
}

#include "check/smbclientondemand.h"

#include <dlfcn.h>
#include <libsmbclient.h>

#include <mutex>
#include <string>

#include "util/codepage.h"

namespace {

// The soname the share listing is built against (libsmbclient0).
constexpr char kLibrary[] = "libsmbclient.so.0";

struct Loaded {
  std::mutex mutex;
  void* handle = nullptr;
  bool tried = false;
  std::string failure;
};

Loaded& State() {
  static Loaded* state = new Loaded;  // outlives a listing thread left running
  return *state;
}

// Every function the forwarders below reach. The library counts as loaded
// only when all of them are there, so no listing starts half-served.
constexpr const char* kFunctions[] = {
    "smbc_new_context", "smbc_init_context", "smbc_free_context", "smbc_setLogCallback", "smbc_setDebug",
    "smbc_setOptionUseKerberos", "smbc_setOptionFallbackAfterKerberos", "smbc_setOptionUseCCache",
    "smbc_setOptionNoAutoAnonymousLogin", "smbc_setFunctionAuthDataWithContext", "smbc_setPort",
    "smbc_setTimeout", "smbc_getTimeout", "smbc_getFunctionOpendir", "smbc_getFunctionReaddir",
    "smbc_getFunctionClosedir", "smbc_setConfiguration"};

// The library's own function of that name, or nullptr (the failure noted).
void* Function(const char* name) {
  Loaded& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.tried) {
    s.tried = true;
    s.handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!s.handle) {
      const char* why = dlerror();
      s.failure = why ? why : kLibrary;
    }
    for (const char* f : kFunctions) {
      if (!s.handle || dlsym(s.handle, f)) continue;
      s.failure = std::string(kLibrary) + ": " + f + " is missing";
      s.handle = nullptr;  // left loaded: unloading buys nothing
    }
  }
  return s.handle ? dlsym(s.handle, name) : nullptr;
}

template <typename F>
F* Resolve(const char* name) {
  return reinterpret_cast<F*>(Function(name));
}

}  // namespace

std::u16string SmbClientLoadFailure() {
  Loaded& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.failure.empty() ? u"" : u"libsmbclient: " + FromUtf8(s.failure);
}

// Each forwarder does what the library's function does; without the library,
// creating a context fails, so the listing fails before any other call.
#define VELKOR_SMBC_VOID(name, params, args)                         \
  void name params {                                                 \
    if (auto* f = Resolve<decltype(::name)>(#name)) f args;          \
  }
#define VELKOR_SMBC(type, name, params, args, fallback)               \
  type name params {                                                  \
    auto* f = Resolve<decltype(::name)>(#name);                        \
    return f ? f args : fallback;                                      \
  }

extern "C" {
VELKOR_SMBC(SMBCCTX*, smbc_new_context, (void), (), nullptr)
VELKOR_SMBC(SMBCCTX*, smbc_init_context, (SMBCCTX * c), (c), nullptr)
VELKOR_SMBC(int, smbc_free_context, (SMBCCTX * c, int shutdown), (c, shutdown), 1)
VELKOR_SMBC_VOID(smbc_setLogCallback, (SMBCCTX * c, void* p, smbc_debug_callback_fn fn), (c, p, fn))
VELKOR_SMBC_VOID(smbc_setDebug, (SMBCCTX * c, int debug), (c, debug))
VELKOR_SMBC_VOID(smbc_setOptionUseKerberos, (SMBCCTX * c, smbc_bool b), (c, b))
VELKOR_SMBC_VOID(smbc_setOptionFallbackAfterKerberos, (SMBCCTX * c, smbc_bool b), (c, b))
VELKOR_SMBC_VOID(smbc_setOptionUseCCache, (SMBCCTX * c, smbc_bool b), (c, b))
VELKOR_SMBC_VOID(smbc_setOptionNoAutoAnonymousLogin, (SMBCCTX * c, smbc_bool b), (c, b))
VELKOR_SMBC_VOID(smbc_setFunctionAuthDataWithContext, (SMBCCTX * c, smbc_get_auth_data_with_context_fn fn), (c, fn))
VELKOR_SMBC_VOID(smbc_setPort, (SMBCCTX * c, uint16_t port), (c, port))
VELKOR_SMBC_VOID(smbc_setTimeout, (SMBCCTX * c, int timeout), (c, timeout))
VELKOR_SMBC(int, smbc_getTimeout, (SMBCCTX * c), (c), 20000)
VELKOR_SMBC(int, smbc_setConfiguration, (SMBCCTX * c, const char* file), (c, file), -1)
VELKOR_SMBC(smbc_opendir_fn, smbc_getFunctionOpendir, (SMBCCTX * c), (c), nullptr)
VELKOR_SMBC(smbc_readdir_fn, smbc_getFunctionReaddir, (SMBCCTX * c), (c), nullptr)
VELKOR_SMBC(smbc_closedir_fn, smbc_getFunctionClosedir, (SMBCCTX * c), (c), nullptr)
}

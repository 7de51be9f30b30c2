// OpenSSL on demand. libssl and libcrypto are linked with immediate binding:
// loading them resolves some 24,000 relocations, about 1.6 ms of every call,
// while most calls check plain ports only. So velkor-check defines every
// OpenSSL function the core calls itself: each is a jump through a slot that
// first holds a resolver, which loads libssl.so.3 (and with it libcrypto),
// puts the library's own function in the slot and calls it; later calls
// jump straight there. With these definitions the linker's --as-needed drops
// both libraries from the command, so a run without a TLS port never loads
// them, and the trust store is read only by a TLS handshake, as before.
#include <dlfcn.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

#include "check/checkoutput.h"
#include "check/checkprocess.h"

namespace {

// The soname the TLS code is built against (libssl3).
constexpr char kLibrary[] = "libssl.so.3";

// Without the library no TLS check can be made, and the forwarders have no
// answer of their own to give: the call ends as UNKNOWN, saying why.
[[noreturn]] void CannotLoad(const std::string& why) {
  const CheckOutcome outcome{CheckExit::Unknown, "VELKOR UNKNOWN - TLS needs " + why + "\n"};
  FinishCheckProcess(outcome.text, outcome.status);
  for (;;) {}
}

void* Resolve(const char* name) {
  static void* const library = [] {
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      CannotLoad(why ? why : kLibrary);
    }
    return handle;
  }();
  void* f = dlsym(library, name);
  if (!f) CannotLoad(std::string(kLibrary) + " with " + name);
  return f;
}

// The first call through a slot: the library's function goes into the slot
// (every racing thread stores the same address) and is called.
template <typename F, const char* Name, void** Slot>
struct FirstCall;
template <typename R, typename... A, const char* Name, void** Slot>
struct FirstCall<R(A...), Name, Slot> {
  static R Call(A... args) {
    auto* f = reinterpret_cast<R (*)(A...)>(Resolve(Name));
    __atomic_store_n(Slot, reinterpret_cast<void*>(f), __ATOMIC_RELEASE);
    return f(args...);
  }
};

}  // namespace

// The function `name` of the library: a jump through its slot. The asm
// definition takes the C name the core's objects call; decltype gives the
// resolver the function's own parameters, so the arguments pass untouched.
#define VELKOR_OPENSSL(name)                                                                                \
  namespace {                                                                                               \
  constexpr char kName_##name[] = #name;                                                                    \
  }                                                                                                         \
  extern "C" __attribute__((visibility("hidden"))) void* velkor_openssl_slot_##name;                        \
  void* velkor_openssl_slot_##name =                                                                        \
      reinterpret_cast<void*>(&FirstCall<decltype(::name), kName_##name, &velkor_openssl_slot_##name>::Call); \
  asm(".text\n.globl " #name "\n.type " #name ", @function\n" #name ":\n\tjmp *velkor_openssl_slot_" #name      \
      "(%rip)\n.size " #name ", .-" #name "\n");

VELKOR_OPENSSL(ASN1_STRING_get0_data)
VELKOR_OPENSSL(ASN1_STRING_length)
VELKOR_OPENSSL(ASN1_TIME_to_tm)
VELKOR_OPENSSL(BIO_clear_flags)
VELKOR_OPENSSL(BIO_ctrl)
VELKOR_OPENSSL(BIO_free)
VELKOR_OPENSSL(BIO_get_data)
VELKOR_OPENSSL(BIO_get_new_index)
VELKOR_OPENSSL(BIO_meth_new)
VELKOR_OPENSSL(BIO_meth_set_create)
VELKOR_OPENSSL(BIO_meth_set_ctrl)
VELKOR_OPENSSL(BIO_meth_set_read)
VELKOR_OPENSSL(BIO_meth_set_write)
VELKOR_OPENSSL(BIO_new)
VELKOR_OPENSSL(BIO_s_mem)
VELKOR_OPENSSL(BIO_set_data)
VELKOR_OPENSSL(BIO_set_init)
VELKOR_OPENSSL(CRYPTO_free)
VELKOR_OPENSSL(ERR_clear_error)
VELKOR_OPENSSL(ERR_peek_last_error)
VELKOR_OPENSSL(ERR_reason_error_string)
VELKOR_OPENSSL(GENERAL_NAMES_free)
VELKOR_OPENSSL(OPENSSL_sk_num)
VELKOR_OPENSSL(OPENSSL_sk_value)
VELKOR_OPENSSL(SSL_CIPHER_get_name)
VELKOR_OPENSSL(SSL_CTX_ctrl)
VELKOR_OPENSSL(SSL_CTX_free)
VELKOR_OPENSSL(SSL_CTX_get_cert_store)
VELKOR_OPENSSL(SSL_CTX_new)
VELKOR_OPENSSL(SSL_CTX_set_cipher_list)
VELKOR_OPENSSL(SSL_CTX_set_default_verify_paths)
VELKOR_OPENSSL(SSL_CTX_set_options)
VELKOR_OPENSSL(SSL_CTX_set_security_level)
VELKOR_OPENSSL(SSL_CTX_set_verify)
VELKOR_OPENSSL(SSL_connect)
VELKOR_OPENSSL(SSL_ctrl)
VELKOR_OPENSSL(SSL_free)
VELKOR_OPENSSL(SSL_get1_peer_certificate)
VELKOR_OPENSSL(SSL_get_SSL_CTX)
VELKOR_OPENSSL(SSL_get_current_cipher)
VELKOR_OPENSSL(SSL_get_error)
VELKOR_OPENSSL(SSL_get_peer_cert_chain)
VELKOR_OPENSSL(SSL_get_verify_result)
VELKOR_OPENSSL(SSL_get_version)
VELKOR_OPENSSL(SSL_new)
VELKOR_OPENSSL(SSL_read)
VELKOR_OPENSSL(SSL_set_bio)
VELKOR_OPENSSL(SSL_shutdown)
VELKOR_OPENSSL(SSL_version)
VELKOR_OPENSSL(SSL_write)
VELKOR_OPENSSL(TLS_client_method)
VELKOR_OPENSSL(X509_NAME_ENTRY_get_data)
VELKOR_OPENSSL(X509_NAME_get_entry)
VELKOR_OPENSSL(X509_NAME_get_index_by_NID)
VELKOR_OPENSSL(X509_NAME_print_ex)
VELKOR_OPENSSL(X509_STORE_CTX_free)
VELKOR_OPENSSL(X509_STORE_CTX_get0_param)
VELKOR_OPENSSL(X509_STORE_CTX_get_error)
VELKOR_OPENSSL(X509_STORE_CTX_init)
VELKOR_OPENSSL(X509_STORE_CTX_new)
VELKOR_OPENSSL(X509_VERIFY_PARAM_set_auth_level)
VELKOR_OPENSSL(X509_VERIFY_PARAM_set_purpose)
VELKOR_OPENSSL(X509_check_host)
VELKOR_OPENSSL(X509_check_ip_asc)
VELKOR_OPENSSL(X509_free)
VELKOR_OPENSSL(X509_get0_notAfter)
VELKOR_OPENSSL(X509_get0_notBefore)
VELKOR_OPENSSL(X509_get_default_cert_dir)
VELKOR_OPENSSL(X509_get_default_cert_dir_env)
VELKOR_OPENSSL(X509_get_default_cert_file)
VELKOR_OPENSSL(X509_get_default_cert_file_env)
VELKOR_OPENSSL(X509_get_ext_d2i)
VELKOR_OPENSSL(X509_get_issuer_name)
VELKOR_OPENSSL(X509_get_subject_name)
VELKOR_OPENSSL(X509_verify_cert)
VELKOR_OPENSSL(X509_verify_cert_error_string)
VELKOR_OPENSSL(d2i_X509)
VELKOR_OPENSSL(i2d_X509)

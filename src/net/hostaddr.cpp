#include "net/hostaddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/stop.h"

namespace {

// The window's message loop runs at least this often while a lookup waits.
constexpr int kLookupSliceMs = 25;
// A resolver that has not answered by then never will in a useful time; the
// host counts as unknown.
constexpr int kDefaultResolveTimeoutMs = 30000;

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// One lookup. The worker and the caller share it; once the caller has given
// up, only the worker still writes, and only here.
struct LookupJob {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  AddressLookupAnswer answer;
};

struct ResolverState {
  std::mutex mutex;
  HostAddressLookup resolver;
  int timeout_ms = kDefaultResolveTimeoutMs;
  // The one lookup abandoned after its time-out, while it is still running.
  std::shared_ptr<LookupJob> abandoned;
  // PinHostAddress: the name (empty: none), its one address, whether it has others.
  std::u16string pinnedHost;
  HostAddress pinnedAddress;
  bool pinnedSole = true;
};

ResolverState& State() {
  static ResolverState* state = new ResolverState;  // outlives detached workers
  return *state;
}

// What the last GetIPAddress of this thread found: each caller waits for its own lookup.
thread_local LookupOutcome t_lastLookup;

HostAddress V4Address(uint32_t networkOrder) {
  HostAddress a;
  std::memcpy(a.bytes.data(), &networkOrder, 4);
  return a;
}

uint32_t V4NetworkOrder(const HostAddress& a) {
  uint32_t v;
  std::memcpy(&v, a.bytes.data(), 4);
  return v;
}

// Both families, in the resolver's order, each address once.
AddressLookupAnswer SystemResolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) return AddressLookupAnswer{{}, rc != 0 ? rc : EAI_NONAME};
  AddressLookupAnswer answer;
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_addr == nullptr) continue;
    HostAddress a;
    if (p->ai_family == AF_INET) {
      a = V4Address(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
    } else if (p->ai_family == AF_INET6) {
      a.family = 6;
      std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    if (std::find(answer.addresses.begin(), answer.addresses.end(), a) == answer.addresses.end())
      answer.addresses.push_back(a);
  }
  freeaddrinfo(list);
  if (answer.addresses.empty()) answer.error = EAI_NONAME;
  return answer;
}

// One part of a dotted address: decimal, octal after a leading 0, or
// hexadecimal after 0x. nullopt when the text is not such a number or does
// not fit in 32 bits.
std::optional<uint32_t> ParsePart(std::string_view part) {
  if (part.empty()) return std::nullopt;
  unsigned base = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
    if (part.empty()) return std::nullopt;
  } else if (part.size() >= 2 && part[0] == '0') {
    base = 8;
    part.remove_prefix(1);
  }
  uint64_t value = 0;
  for (char c : part) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > kAllOnes) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// The dotted-address parser: one to four parts; the last part fills all the
// bytes the earlier ones leave (a.b: 8 + 24 bits, a.b.c: 8 + 8 + 16 bits).
// Answers the address as a host-order number, or the all-ones value.
uint32_t ParseDotted(std::string_view text) {
  std::vector<uint32_t> parts;
  size_t start = 0;
  while (true) {
    size_t dot = text.find('.', start);
    std::string_view piece = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    auto value = ParsePart(piece);
    if (!value) return kAllOnes;
    parts.push_back(*value);
    if (parts.size() > 4) return kAllOnes;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  uint32_t result = 0;
  const size_t leading = parts.size() - 1;
  for (size_t i = 0; i < leading; ++i) {
    if (parts[i] > 0xFF) return kAllOnes;
    result |= parts[i] << (24 - 8 * i);
  }
  const uint32_t lastMax = leading == 0 ? kAllOnes : (kAllOnes >> (8 * leading));
  if (parts.back() > lastMax) return kAllOnes;
  return result | parts.back();
}

// Network-order bytes (as the socket calls hold them in memory) to the
// address value: o1 + o2 * 256 + o3 * 65536 + o4 * 16777216.
int32_t ValueOfBytes(const unsigned char b[4]) {
  uint32_t v = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
  return static_cast<int32_t>(v);
}

int32_t ValueOfNetworkOrder(uint32_t networkOrder) {
  unsigned char b[4];
  std::memcpy(b, &networkOrder, 4);
  return ValueOfBytes(b);
}

int32_t ValueOfHostOrder(uint32_t hostOrder) {
  const unsigned char b[4] = {static_cast<unsigned char>(hostOrder >> 24), static_cast<unsigned char>(hostOrder >> 16),
                              static_cast<unsigned char>(hostOrder >> 8), static_cast<unsigned char>(hostOrder)};
  return ValueOfBytes(b);
}

// Runs the lookup on a worker and waits for it in short slices, letting the
// window's message loop run between them. Sets t_lastLookup to Found,
// NotFound or Failed.
AddressLookupAnswer LookUp(const std::string& name) {
  ResolverState& st = State();
  HostAddressLookup resolver;
  int timeoutMs;
  t_lastLookup = LookupOutcome{LookupStatus::Failed, 0};
  {
    std::lock_guard lock(st.mutex);
    if (st.abandoned) {
      std::lock_guard jobLock(st.abandoned->mutex);
      if (!st.abandoned->done) return {};  // the resolver is still stuck
    }
    st.abandoned.reset();
    resolver = st.resolver ? st.resolver : HostAddressLookup(SystemResolve);
    timeoutMs = st.timeout_ms;
  }

  auto job = std::make_shared<LookupJob>();
  try {
    std::thread([job, resolver = std::move(resolver), name]() {
      AddressLookupAnswer answer{{}, EAI_FAIL};
      try {
        answer = resolver(name);
      } catch (...) {
        answer = AddressLookupAnswer{{}, EAI_FAIL};
      }
      std::lock_guard lock(job->mutex);
      job->answer = std::move(answer);
      job->done = true;
      job->done_cv.notify_all();
    }).detach();
  } catch (...) {
    return {};  // no thread to run it on: as an unknown name
  }

  const int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
  while (true) {
    {
      std::unique_lock lock(job->mutex);
      int64_t left = deadline - MonotonicMs();
      int slice = static_cast<int>(std::clamp<int64_t>(left, 0, kLookupSliceMs));
      job->done_cv.wait_for(lock, std::chrono::milliseconds(slice), [&] { return job->done; });
      if (job->done) {
        AddressLookupAnswer a = job->answer;
        if (!a.addresses.empty()) {
          t_lastLookup = LookupOutcome{LookupStatus::Found, 0};
        } else if (a.error == 0 || a.error == EAI_NONAME) {
          t_lastLookup = LookupOutcome{LookupStatus::NotFound, EAI_NONAME};
        } else {
          t_lastLookup = LookupOutcome{LookupStatus::Failed, a.error};
        }
        if (!a.addresses.empty()) a.error = 0;
        return a;
      }
      if (MonotonicMs() >= deadline) break;
    }
    DoEvents();
    // A stopped run gives up the lookup as a time-out does; the worker ends by itself.
    if (StopRequested()) break;
  }
  std::lock_guard lock(st.mutex);
  st.abandoned = job;
  return {};
}

std::optional<HostAddress> ParseV6(std::string text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  HostAddress a;
  a.family = 6;
  if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) != 1) return std::nullopt;
  return a;
}

}  // namespace

void SetHostResolver(HostResolver resolver) {
  HostLookup lookup;
  if (resolver)
    lookup = [resolver = std::move(resolver)](const std::string& name) {
      const uint32_t address = resolver(name);
      return LookupAnswer{address, address != 0 ? 0 : EAI_NONAME};
    };
  SetHostLookup(std::move(lookup));
}

void SetHostLookup(HostLookup lookup) {
  HostAddressLookup all;
  if (lookup)
    all = [lookup = std::move(lookup)](const std::string& name) {
      const LookupAnswer a = lookup(name);
      AddressLookupAnswer answer{{}, a.error};
      if (a.address != 0) answer = AddressLookupAnswer{{V4Address(a.address)}, 0};
      return answer;
    };
  SetHostAddressLookup(std::move(all));
}

void SetHostAddressLookup(HostAddressLookup lookup) {
  std::lock_guard lock(State().mutex);
  State().resolver = std::move(lookup);
}

LookupOutcome LastLookupOutcome() { return t_lastLookup; }

void SetResolveTimeoutMs(int ms) {
  std::lock_guard lock(State().mutex);
  State().timeout_ms = ms;
}

int32_t GetIPAddress(const std::u16string& host) {
  const std::string bytes = ToAnsi(host);
  const uint32_t parsed = ParseDotted(bytes);
  if (parsed != kAllOnes) {
    t_lastLookup = LookupOutcome{};
    return ValueOfHostOrder(parsed);
  }
  // An IPv6 address has no 32-bit value.
  if (ParseV6(bytes)) {
    t_lastLookup = LookupOutcome{LookupStatus::NoAddress, 4};
    return 0;
  }
  const AddressLookupAnswer answer = LookUp(bytes);
  for (const HostAddress& a : answer.addresses)
    if (a.family == 4 && V4NetworkOrder(a) != 0) return ValueOfNetworkOrder(V4NetworkOrder(a));
  if (!answer.addresses.empty()) t_lastLookup = LookupOutcome{LookupStatus::NoAddress, 4};
  return 0;
}

bool IsAddressText(const std::u16string& host) { return ParseDotted(ToAnsi(host)) != kAllOnes; }

std::u16string LongToBinText(const int32_t& value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  std::u16string digits(32, u'0');
  for (int i = 0; i < 32; ++i)
    if (bits & (1u << (31 - i))) digits[static_cast<size_t>(i)] = u'1';
  return digits;
}

int32_t BinTextToLong(const std::u16string& digits) {
  const size_t n = digits.size();
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t power = n - 1 - i;
    if (digits[i] == u'1' && power < 32) value += 1u << power;
  }
  return static_cast<int32_t>(value);
}

std::u16string GetIPAddressText(const std::u16string& host) {
  const int32_t value = GetIPAddress(host);
  const std::u16string digits = LongToBinText(value);
  // Characters 25-32 hold the first octet, 1-8 the fourth.
  std::u16string text;
  for (size_t start : {24u, 16u, 8u, 0u}) {
    if (!text.empty()) text += u'.';
    const int32_t octet = BinTextToLong(digits.substr(start, 8));
    const std::string dec = std::to_string(octet);
    text.append(dec.begin(), dec.end());
  }
  return text;
}

std::optional<HostAddress> ParseHostAddress(const std::string& text) {
  HostAddress a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) return a;
  return ParseV6(text);
}

bool IsIpv6AddressText(const std::u16string& host) { return ParseV6(ToAnsi(host)).has_value(); }

std::u16string HostAddressText(const HostAddress& address) {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.family == 6 ? AF_INET6 : AF_INET, address.bytes.data(), buf, sizeof buf);
  return FromAnsi(buf);
}

std::u16string HostPortText(const std::u16string& host, const std::u16string& port) {
  if (IsIpv6AddressText(host) && host.front() != u'[') return u"[" + host + u"]:" + port;
  return host + u":" + port;
}

void PinHostAddress(const std::u16string& host, const HostAddress& address, bool sole) {
  std::lock_guard lock(State().mutex);
  State().pinnedHost = host;
  State().pinnedAddress = address;
  State().pinnedSole = sole;
}

void UnpinHostAddress() { PinHostAddress(u"", HostAddress{}, true); }

std::optional<HostAddress> SingleCheckAddress(const std::vector<HostAddress>& addresses) {
  for (const HostAddress& a : addresses)
    if (a.family == 4) return a;
  if (addresses.empty()) return std::nullopt;
  return addresses.front();
}

ResolvedHost ResolveHostAddresses(const std::u16string& host, AddressFamily family) {
  ResolvedHost r;
  const std::string bytes = ToAnsi(host);
  const uint32_t parsed = ParseDotted(bytes);
  const std::optional<HostAddress> v6 = parsed == kAllOnes ? ParseV6(bytes) : std::nullopt;
  std::optional<HostAddress> pinned;
  {
    std::lock_guard lock(State().mutex);
    if (!State().pinnedHost.empty() && State().pinnedHost == host) {
      pinned = State().pinnedAddress;
      r.narrowed = !State().pinnedSole;
    }
  }
  if (pinned) {
    r.addresses.push_back(*pinned);
    t_lastLookup = LookupOutcome{LookupStatus::Found, 0};
  } else if (parsed != kAllOnes) {
    r.addresses.push_back(V4Address(htonl(parsed)));
    t_lastLookup = LookupOutcome{};
  } else if (v6) {
    r.addresses.push_back(*v6);
    t_lastLookup = LookupOutcome{};
  } else {
    r.addresses = LookUp(bytes).addresses;
  }
  r.outcome = t_lastLookup;
  if (family != AddressFamily::Any && !r.addresses.empty()) {
    const int wanted = family == AddressFamily::V6 ? 6 : 4;
    const size_t before = r.addresses.size();
    std::erase_if(r.addresses, [wanted](const HostAddress& a) { return a.family != wanted; });
    if (r.addresses.size() != before) r.narrowed = true;
    if (r.addresses.empty()) r.outcome = t_lastLookup = LookupOutcome{LookupStatus::NoAddress, wanted};
  }
  return r;
}

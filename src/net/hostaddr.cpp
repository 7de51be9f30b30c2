#include "net/hostaddr.h"

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
  LookupAnswer answer;
};

struct ResolverState {
  std::mutex mutex;
  HostLookup resolver;
  int timeout_ms = kDefaultResolveTimeoutMs;
  // The one lookup abandoned after its time-out, while it is still running.
  std::shared_ptr<LookupJob> abandoned;
};

ResolverState& State() {
  static ResolverState* state = new ResolverState;  // outlives detached workers
  return *state;
}

// What the last GetIPAddress of this thread found: each caller waits for its own lookup.
thread_local LookupOutcome t_lastLookup;

LookupAnswer SystemResolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) return LookupAnswer{0, rc != 0 ? rc : EAI_NONAME};
  uint32_t address = 0;
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(list);
  return LookupAnswer{address, address != 0 ? 0 : EAI_NONAME};
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
// window's message loop run between them.
int32_t LookUp(const std::string& name) {
  ResolverState& st = State();
  HostLookup resolver;
  int timeoutMs;
  t_lastLookup = LookupOutcome{LookupStatus::Failed, 0};
  {
    std::lock_guard lock(st.mutex);
    if (st.abandoned) {
      std::lock_guard jobLock(st.abandoned->mutex);
      if (!st.abandoned->done) return 0;  // the resolver is still stuck
    }
    st.abandoned.reset();
    resolver = st.resolver ? st.resolver : HostLookup(SystemResolve);
    timeoutMs = st.timeout_ms;
  }

  auto job = std::make_shared<LookupJob>();
  try {
    std::thread([job, resolver = std::move(resolver), name]() {
      LookupAnswer answer{0, EAI_FAIL};
      try {
        answer = resolver(name);
      } catch (...) {
        answer = LookupAnswer{0, EAI_FAIL};
      }
      std::lock_guard lock(job->mutex);
      job->answer = answer;
      job->done = true;
      job->done_cv.notify_all();
    }).detach();
  } catch (...) {
    return 0;  // no thread to run it on: as an unknown name
  }

  const int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
  while (true) {
    {
      std::unique_lock lock(job->mutex);
      int64_t left = deadline - MonotonicMs();
      int slice = static_cast<int>(std::clamp<int64_t>(left, 0, kLookupSliceMs));
      job->done_cv.wait_for(lock, std::chrono::milliseconds(slice), [&] { return job->done; });
      if (job->done) {
        const LookupAnswer& a = job->answer;
        if (a.address != 0) {
          t_lastLookup = LookupOutcome{LookupStatus::Found, 0};
        } else if (a.error == 0 || a.error == EAI_NONAME) {
          t_lastLookup = LookupOutcome{LookupStatus::NotFound, EAI_NONAME};
        } else {
          t_lastLookup = LookupOutcome{LookupStatus::Failed, a.error};
        }
        return a.address != 0 ? ValueOfNetworkOrder(a.address) : 0;
      }
      if (MonotonicMs() >= deadline) break;
    }
    DoEvents();
    // A stopped run gives up the lookup as a time-out does; the worker ends by itself.
    if (StopRequested()) break;
  }
  std::lock_guard lock(st.mutex);
  st.abandoned = job;
  return 0;
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
  return LookUp(bytes);
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

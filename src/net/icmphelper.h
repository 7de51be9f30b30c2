#pragma once
// The ICMP helper: a tiny program (velkor-icmp) that holds cap_net_raw and
// does one echo exchange for the program (icmphelper/icmpexchange.h): it
// sends the request the program describes and hands back only the answer to
// it, never its socket. The install grants the helper, not the Qt program,
// the capability: Qt reads plugin paths from the environment, so a
// capability on the program would let any local user run code with it.
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "net/icmphelper/icmpexchange.h"

inline constexpr char16_t kIcmpHelperName[] = u"velkor-icmp";

// The helper's answers to the open and the send normally come within
// milliseconds; past this the helper is ended and taken as failed.
inline constexpr int kIcmpHelperTimeoutMs = 2000;
// The waits poll in slices this long and let the message loop run between them.
inline constexpr int kIcmpHelperSliceMs = 25;

// One helper and its one echo exchange, for the length of the object: the
// helper is ended and reaped when it goes.
class IcmpHelperExchange {
 public:
  IcmpHelperExchange() = default;
  ~IcmpHelperExchange() { End(); }
  IcmpHelperExchange(const IcmpHelperExchange&) = delete;
  IcmpHelperExchange& operator=(const IcmpHelperExchange&) = delete;

  // Starts the helper at helperPath and has it open its socket for the
  // family. 0, or the errno of the failure (the helper's own when it could
  // not open the socket).
  int Start(const std::u16string& helperPath, uint8_t family, int timeoutMs = kIcmpHelperTimeoutMs);
  // Has the helper send its echo request; 0 or the errno of the send. A
  // second request, or one the helper refuses, fails (EINVAL).
  int Send(const IcmpHelperRequest& request, int timeoutMs = kIcmpHelperTimeoutMs);
  // The answer, when it has come: the datagram as a raw socket of the
  // family reads it, cut to the buffer, and its sender (network byte order;
  // IPv4: the first four bytes). -1 with error EAGAIN
  // while there is none (also after a time-out: the caller's own wait ends
  // the ping), or another errno.
  int Receive(std::span<uint8_t> buffer, uint8_t (&from)[16], int& error);
  // What to poll for the answer, or -1.
  int Channel() const { return m_channel; }
  bool Running() const { return m_channel >= 0; }
  // Hangs up and ends the helper, then reaps it.
  void End();

 private:
  int Await(uint8_t stage, int timeoutMs);

  int m_channel = -1;
  pid_t m_pid = -1;
  bool m_sent = false;
};

// The helper of this copy (beside the program, or where the install put it).
std::u16string IcmpHelperPath();

// One line for the result list when no ICMP socket could be had: what to enable.
std::u16string IcmpEnableHint();

#pragma once
// The ICMP socket helper: a tiny program (velkor-icmp) that only opens a raw
// ICMP socket, hands it over a Unix socket (SCM_RIGHTS) and exits. The
// install grants the helper, not the Qt program, cap_net_raw: Qt reads plugin
// paths from the environment, so a capability on the program would let any
// local user run code with it.
#include <string>

inline constexpr char16_t kIcmpHelperName[] = u"velkor-icmp";

// The helper's answer normally comes within milliseconds; past this the
// helper is ended and taken as failed.
inline constexpr int kIcmpHelperTimeoutMs = 2000;
// The wait polls in slices this long and lets the message loop run between them.
inline constexpr int kIcmpHelperSliceMs = 25;

// Starts the helper at helperPath and returns the raw ICMP socket it hands
// back (close-on-exec), or -1 with the reason in error (an errno: the
// helper's own, when it could not open the socket).
int OpenIcmpThroughHelper(const std::u16string& helperPath, int& error, int timeoutMs = kIcmpHelperTimeoutMs);

// The helper of this copy (beside the program, or where the install put it).
std::u16string IcmpHelperPath();

// One line for the result list when no ICMP socket could be had: what to enable.
std::u16string IcmpEnableHint();

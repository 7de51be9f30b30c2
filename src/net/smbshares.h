#pragma once
// The shares a server offers over SMB, listed through libsmbclient: every
// share type (disk, printer, device, IPC), with its name, type and remark. An
// SMB share listing does not carry a share's path or its maximum and current
// uses; they stay unknown.
//
// A server typed as a name is asked by that name, with the operator's
// Kerberos ticket where there is one and anonymously otherwise; one typed as
// an address is asked anonymously (Kerberos needs the server's name). The
// library looks names up as host names only: never a NetBIOS name query or
// broadcast.
//
// The listing runs on a worker thread while the caller waits in short slices
// with the window's message loop running; one that takes longer than the
// bound, or that the operator stops, is given up (and left to end by
// itself). The next listing first waits for such a worker, up to the bound.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Share types in the numbering of the share information records.
inline constexpr uint32_t kShareTypeDisk = 0;
inline constexpr uint32_t kShareTypePrinter = 1;
inline constexpr uint32_t kShareTypeDevice = 2;
inline constexpr uint32_t kShareTypeIpc = 3;

struct SmbShare {
  std::u16string name;
  uint32_t type = kShareTypeDisk;
  std::u16string remark;
};

// How a listing ended. Refused: the server answered but denied this user
// the list. Failed: no list for any other reason (unknown name, refused or
// dead host, a listing past the bound, or one given up before and still
// stuck after a further bound).
enum class SmbListing { kListed, kFailed, kRefused };

// Lists the shares of server (an IPv4 address, an IPv6 address bare or in
// brackets, or a host name, resolved with ResolveHostAddresses first in the
// session's address family; a name that resolves to nothing fails at once
// without asking anyone; a name with both families is listed over IPv4, an
// IPv6-only name over IPv6). Never shows or reports anything.
SmbListing SmbEnumShares(const std::u16string& server, std::vector<SmbShare>& shares);

// The SMB port asked (default 445); tests point it at their own server.
inline constexpr uint16_t kSmbDefaultPort = 445;
void SetSmbPort(uint16_t port);
uint16_t SmbPort();

// libsmbclient gives up on a dead host by itself after about 10 s; a listing
// still running after 30 s is stuck and is given up.
inline constexpr int kSmbListBoundMs = 30000;
void SetSmbListBoundMs(int ms);

// True while a listing given up earlier is still running.
bool SmbListingStuck();

#pragma once
// The shares a server offers over SMB, listed anonymously through
// libsmbclient: every share type (disk, printer, device, IPC), with its name,
// type and remark. An SMB share listing does not carry a share's path or its
// maximum and current uses; they stay unknown.
//
// The listing runs on a worker thread while the caller waits in short slices
// with the window's message loop running; one that takes longer than the
// bound is given up (and left to end by itself). While such a worker is still
// running, further listings fail at once.
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

// Lists the shares of server (a dotted address or a host name, resolved
// with GetIPAddress; a name that resolves to nothing fails at once without
// asking anyone). False on any enumeration error: unknown name, refused or
// dead host, denied access, a listing past the bound, or a listing still
// stuck from before. Never shows or reports anything.
bool SmbEnumShares(const std::u16string& server, std::vector<SmbShare>& shares);

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

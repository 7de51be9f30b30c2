#pragma once
// Why the last service check failed, kept as data for the front ends that
// say it in their own words (velkor-check's English reasons). The name
// lookup, the session and the probes note what they saw where they see it:
// the socket error, the resolver's answer, the reply line and the command it
// answered, the TLS layer's error. The window's texts never come from here,
// and nothing here is read back out of a printed text.
//
// One check at a time: the record is cleared before a check starts and the
// last note of a failing check is its reason. A probe whose dialogue
// recovered from a refused command (EHLO, then HELO) clears it again.
#include <string>
#include <vector>

enum class FailKind {
  None,
  NameNotFound,     // the resolver knows no such name
  LookupFailed,     // the resolver failed or did not answer (`code`: its EAI_ error, 0 for no answer)
  Refused,          // the connect was refused
  Unreachable,      // no route to the host or its network
  ConnectTimedOut,  // the connect was not answered within `seconds`
  NoGreeting,       // no greeting within `seconds`
  Closed,           // the peer closed the connection (`when`, `command`)
  NoReply,          // no reply to `command` within `seconds`
  UnexpectedReply,  // `reply` answered `command` (an empty command: the greeting)
  NotHttp,          // the reply to GET does not begin with "HTTP"
  TlsNotOffered,    // the server does not offer `command` (STARTTLS)
  TlsRefused,       // the server refused `command` with `reply`
  TlsFailed,        // the TLS layer failed: `detail`, OpenSSL's reason
  SocketError,      // any other socket error: `code`, a Windows Sockets number
  PortOutOfRange,   // the port's value (`code`) is above 65535
  SharesRefused,    // the SMB server answered but refused this user the list
  SharesFailed,     // no share list (no SMB server answered, or the library failed)
  SharesTimedOut,   // no share list within `seconds`
  NoAddressOfFamily,   // the host has no address of the family asked for (`code`: 4 or 6)
  EveryAddressFailed,  // a connect to each of the host's addresses failed: LastAddressesTried()
};

enum class ClosedWhen {
  BeforeGreeting,
  AfterCommand,     // after `command`
  DuringHandshake,  // inside the TLS handshake
  AfterUpgrade,     // right after STARTTLS, STLS or AUTH TLS and its handshake
  AfterHandshake,   // right after the handshake of a service spoken in TLS
};

struct FailReason {
  FailKind kind = FailKind::None;
  ClosedWhen when = ClosedWhen::BeforeGreeting;
  std::string command;  // "EHLO", "AUTH TLS", "GET"; "" for the greeting
  std::u16string reply; // the reply's first line, as the server sent it
  std::string detail;   // the TLS layer's reason, in its own (English) words
  int code = 0;
  double seconds = 0;
};

// A reason of that kind alone.
inline FailReason FailReasonOf(FailKind kind) {
  FailReason r;
  r.kind = kind;
  return r;
}

void ClearFailReason();
void NoteFailReason(const FailReason& reason);
FailReason LastFailReason();

// The status line of the last HTTP reply (the first line, line end removed);
// cleared with the reason.
void NoteHttpStatusLine(const std::u16string& line);
std::u16string LastHttpStatusLine();

// For the session: the command's own word ("EHLO"; "AUTH TLS" whole), the
// first line of a reply without its line end, and the note of a receive that
// failed (n and error as the receive left them: a close, the wait's end or
// another socket error).
std::string FailCommandWord(int cmdNo, const std::u16string& cmdText);
std::u16string ReplyFirstLine(const std::u16string& reply);
void NoteReceiveFailure(int n, int error, const std::string& command, double waitSeconds);
// An unknown name leaves address 0, which the connect refuses: the
// resolver's answer is the reason then.
struct LookupOutcome;
void NoteConnectFailure(int error, double timeoutSeconds, const LookupOutcome& lookup);
// A host that left address 0: true, and the resolver's answer noted, when a
// lookup of its name failed.
bool NoteLookupFailure(const LookupOutcome& lookup);
void NoteGreetingFailure(int n, int error, double timeoutSeconds);

// The reason of one failed connect: refused, unreachable, timed out (after
// timeoutSeconds), any other socket error.
FailReason ConnectFailureReason(int error, double timeoutSeconds);

// The connects of a host with several addresses: each address tried (its
// text, no brackets) with the reason its connect failed. Cleared with the reason.
struct AddressTried {
  std::u16string address;
  FailReason reason;
};
void NoteAddressesTried(const std::vector<AddressTried>& tried);
std::vector<AddressTried> LastAddressesTried();
// The address the last connect used (the one that connected, else the last
// one tried; "" when none was). Cleared with the reason.
void NoteConnectAddress(const std::u16string& address);
std::u16string LastConnectAddress();

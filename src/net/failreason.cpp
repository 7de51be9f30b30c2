#include "net/failreason.h"

#include <mutex>

#include "net/hostaddr.h"
#include "net/winsock.h"

namespace {

struct Record {
  std::mutex mutex;
  FailReason reason;
  std::u16string httpStatus;
  std::vector<AddressTried> tried;
  std::u16string address;
};

Record& State() {
  static Record record;
  return record;
}

}  // namespace

void ClearFailReason() {
  std::lock_guard lock(State().mutex);
  State().reason = FailReason{};
  State().httpStatus.clear();
  State().tried.clear();
  State().address.clear();
}

void NoteAddressesTried(const std::vector<AddressTried>& tried) {
  std::lock_guard lock(State().mutex);
  State().tried = tried;
}

std::vector<AddressTried> LastAddressesTried() {
  std::lock_guard lock(State().mutex);
  return State().tried;
}

void NoteConnectAddress(const std::u16string& address) {
  std::lock_guard lock(State().mutex);
  State().address = address;
}

std::u16string LastConnectAddress() {
  std::lock_guard lock(State().mutex);
  return State().address;
}

void NoteFailReason(const FailReason& reason) {
  std::lock_guard lock(State().mutex);
  State().reason = reason;
}

FailReason LastFailReason() {
  std::lock_guard lock(State().mutex);
  return State().reason;
}

void NoteHttpStatusLine(const std::u16string& line) {
  std::lock_guard lock(State().mutex);
  State().httpStatus = line;
}

std::u16string LastHttpStatusLine() {
  std::lock_guard lock(State().mutex);
  return State().httpStatus;
}

// The command's own word, for the reasons: the line's first word ("AUTH TLS" whole).
std::string FailCommandWord(int cmdNo, const std::u16string& cmdText) {
  if (cmdNo == 93) return "AUTH TLS";
  if (cmdNo == 4) return "DATA";
  std::string word;
  for (char16_t c : cmdText) {
    if (c == u' ' || c == u'\r' || c == u'\n' || c > 0x7E) break;
    word += static_cast<char>(c);
  }
  return word;
}

// The first line of a reply, its line end removed.
std::u16string ReplyFirstLine(const std::u16string& reply) {
  std::u16string line = reply.substr(0, reply.find(u'\n'));
  if (!line.empty() && line.back() == u'\r') line.pop_back();
  return line;
}

// A failed receive of a reply: the peer's close, the wait's end or another socket error.
// The TLS layer notes its own failure and answers the abort: its reason stays.
static bool TlsFailureNoted(int error) {
  return error == ws::err::ConnAborted && LastFailReason().kind == FailKind::TlsFailed;
}

void NoteReceiveFailure(int n, int error, const std::string& command, double waitSeconds) {
  // A connection closed once stays closed, and one that did not answer a
  // command will not answer the next: the commands after it fail too.
  const FailKind last = LastFailReason().kind;
  if (TlsFailureNoted(error) || last == FailKind::Closed || last == FailKind::NoReply) return;
  FailReason r;
  r.command = command;
  if (n == 0 && error == 0) {
    r.kind = FailKind::Closed;
    r.when = ClosedWhen::AfterCommand;
  } else if (error == ws::err::TimedOut) {
    r.kind = FailKind::NoReply;
    r.seconds = waitSeconds;
  } else if (error == ws::err::ConnReset || error == ws::err::ConnAborted) {
    r.kind = FailKind::Closed;
    r.when = ClosedWhen::AfterCommand;
    r.code = error;
  } else {
    r.kind = FailKind::SocketError;
    r.code = error;
  }
  NoteFailReason(r);
}


bool NoteLookupFailure(const LookupOutcome& lookup) {
  FailReason r;
  switch (lookup.status) {
    case LookupStatus::NotFound: r.kind = FailKind::NameNotFound; break;
    case LookupStatus::Failed: r.kind = FailKind::LookupFailed; break;
    case LookupStatus::NoAddress: r.kind = FailKind::NoAddressOfFamily; break;
    default: return false;
  }
  r.code = lookup.error;
  NoteFailReason(r);
  return true;
}

void NoteConnectFailure(int error, double timeoutSeconds, const LookupOutcome& lookup) {
  if (NoteLookupFailure(lookup)) return;
  NoteFailReason(ConnectFailureReason(error, timeoutSeconds));
}

FailReason ConnectFailureReason(int error, double timeoutSeconds) {
  FailReason r;
  r.code = error;
  r.seconds = timeoutSeconds;
  if (error == ws::err::ConnRefused) r.kind = FailKind::Refused;
  else if (error == ws::err::NetUnreach || error == ws::err::HostUnreach) r.kind = FailKind::Unreachable;
  else if (error == ws::err::TimedOut) r.kind = FailKind::ConnectTimedOut;
  else r.kind = FailKind::SocketError;
  return r;
}

void NoteGreetingFailure(int n, int error, double timeoutSeconds) {
  if (TlsFailureNoted(error)) return;
  FailReason r;
  r.code = error;
  r.seconds = timeoutSeconds;
  if (n == 0 || error == ws::err::ConnReset || error == ws::err::ConnAborted) r.kind = FailKind::Closed;
  else if (error == ws::err::TimedOut) r.kind = FailKind::NoGreeting;
  else r.kind = FailKind::SocketError;
  NoteFailReason(r);
}

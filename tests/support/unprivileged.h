#pragma once
// Tests run as root, and root ignores mode bits. The "may not write" cases
// run in a forked child that has given up root for nobody.
#include <unistd.h>

#include <functional>
#include <string>

// Runs `body` in a forked child (ended after a minute) and returns the text it
// gave back (at most 4095 bytes), or a text that starts with "!" when the
// child did not end normally or a check failed in it.
std::string InChild(const std::function<std::string()>& body);

// The same as nobody (uid and gid 65534), "!root kept" when root could not be
// dropped. The child sees only what nobody may reach: a TempDir is private
// until opened up.
std::string AsNobody(const std::function<std::string()>& body);
bool DropRoot();

// From now on, in this process and its children, the system call nr fails with
// error, as where a security policy forbids it; with socketType, only a
// socket() call of that type (SOCK_RAW, ...). False when it could not be set.
bool RefuseCall(long nr, int error, int socketType = -1);

// Ends the test program (SIGALRM) when the scope lasts longer than `seconds`:
// a case that must not block fails instead of holding the suite.
struct HangGuard {
  explicit HangGuard(unsigned seconds = 30) { alarm(seconds); }
  ~HangGuard() { alarm(0); }
};

#pragma once
// Failures and the common error report.
//
// A procedure that can fail catches its own failures, builds one report text
// with BuildErrorReport and hands it to ReportError (log.h). Inside a
// procedure a failure travels as a VkError exception; it never leaves the
// procedure that owns the handler.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// Failure numbers, in one place. 53 is the one the handlers single out.
namespace ErrNo {
inline constexpr int32_t InvalidCall = 5;        // invalid argument or state
inline constexpr int32_t Overflow = 6;           // a 16-bit counter or value overflowed
inline constexpr int32_t OutOfMemory = 7;
inline constexpr int32_t FileNotFound = 53;      // the file does not exist
inline constexpr int32_t FileAccess = 75;        // a file could not be read or written
inline constexpr int32_t ProcessStart = 7001;    // a command could not be started
inline constexpr int32_t CodePage = 7002;        // a character has no form in the code page
inline constexpr int32_t UntrustedFile = 7003;   // a file to run that another user could have changed
inline constexpr int32_t Unexpected = 7099;      // anything not foreseen
}  // namespace ErrNo

// The description that goes with one of the numbers above.
std::u16string ErrorDescription(int32_t number);

struct Failure {
  int32_t number = ErrNo::Unexpected;
  std::u16string source;       // component that raised it; the program's name for our own
  std::u16string description;
};

class VkError : public std::exception {
 public:
  explicit VkError(Failure f) : failure_(std::move(f)) {}
  // Our own failure: source is the program name, description the standard text.
  explicit VkError(int32_t number, std::u16string description = {});
  const Failure& failure() const { return failure_; }
  const char* what() const noexcept override { return "velkor failure"; }

 private:
  Failure failure_;
};

// Turns whatever was caught into a Failure (use inside catch (...)).
Failure CurrentFailure();

enum class NumberForm { Signed, Bare };
// A: description follows directly; B: CR LF before it; C: two blanks, CR LF
// before it and " ： " after it.
enum class ReportLayout { A, B, C };

std::u16string BuildErrorReport(std::u16string_view tag, const Failure& f, NumberForm form, ReportLayout layout);

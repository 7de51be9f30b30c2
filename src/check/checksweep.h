#pragma once
// velkor-check --target-list: every entry of a target list, each host's
// one-host run unchanged in a child process of its own (childpool.h), -j at
// a time. The hosts' lines come out in the list's order as soon as all
// before them are done, then a summary; the exit status is the worst of the
// hosts', CRITICAL before WARNING before UNKNOWN before OK.
#include <cstdint>
#include <string>
#include <vector>

#include "check/checkoptions.h"
#include "check/checkoutput.h"
#include "check/checkrun.h"

// One host of a sweep: its line in the list file (from 1; 0 for the one
// host of -H or -E), the entry as the list holds it and, once its run has
// ended with a WARNING, why ("certificate not verified").
struct SweepHost {
  size_t line = 0;
  std::u16string entry;
  std::string warnings;
};

// A summary group lists at most this many entries, then "and N more".
inline constexpr size_t kSummaryGroupEntries = 10;

// A sweep takes at most this many entries: a 16 MiB list of one-letter
// lines would otherwise make millions of hosts and hold them all in memory.
inline constexpr size_t kMaxSweepEntries = 100000;

// The entries of a target list file, read as the window reads
// VKRTARGET.INI, with their line numbers; "" or the line that says what is
// wrong with the file (more than kMaxSweepEntries entries included).
std::string ReadSweepList(const std::string& file, std::vector<SweepHost>& hosts);

// Finished hosts' output held until each host's turn: up to memoryBytes in
// memory in all, the rest in an unlinked temporary file in `directory`
// (made at the first block that does not fit, gone when this ends).
inline constexpr size_t kSweepHeldMemoryBytes = size_t{1} << 20;
class HeldOutputs {
 public:
  HeldOutputs(size_t count, size_t memoryBytes, std::string directory);
  ~HeldOutputs();
  HeldOutputs(const HeldOutputs&) = delete;
  HeldOutputs& operator=(const HeldOutputs&) = delete;

  // Holds host i's block: "" when held, else why it could not be (the
  // temporary file could not be made or written); the block is then lost.
  // inMemory: held in memory whatever the bound (the one line that says a
  // block was lost, which must not be lost in turn).
  std::string Hold(size_t i, std::string&& block, bool inMemory = false);
  bool Holds(size_t i) const { return m_held[i].state != State::None; }
  // Host i's block, no longer held; "" and `why` when the file would not
  // give it back.
  std::string Take(size_t i, std::string& why);
  size_t BytesInMemory() const { return m_inMemory; }

  // The directory of the sweep's temporary file: $TMPDIR, else /tmp.
  static std::string DefaultDirectory();

 private:
  enum class State : unsigned char { None, Memory, File };
  struct Held {
    State state = State::None;
    std::string text;  // State::Memory
    uint64_t offset = 0, length = 0;  // State::File
  };
  std::string OpenFile();

  std::vector<Held> m_held;
  size_t m_memoryBytes;
  size_t m_inMemory = 0;
  std::string m_directory;
  int m_fd = -1;
  uint64_t m_end = 0;
};

// What a sweep prints for one host: the entry and the one-host status line
// (with -v the rest of that output below, indented), or with --json one
// object on one line. `seconds` stands in for the run's time when no check
// ran.
std::string SweepHostBlock(const SweepHost& host, const CheckRunResult& result, double seconds,
                           const CheckRequest& request);

// --json for one host (-H, -E): the sweep's object of that host ("line" null).
std::string OneHostJson(const CheckRequest& request, const CheckRunResult& result, double seconds);

// What a host's process adds after its block for the sweep's summary (its
// warning reasons), and how the sweep takes it off again: the block alone
// is written, the reasons go into host.warnings.
std::string SweepNote(const CheckRunResult& result, const CheckRequest& request);
void TakeSweepNote(std::string& output, SweepHost& host);

// The worst of the hosts' statuses in the sweep's order.
CheckExit WorstSweepStatus(const std::vector<CheckExit>& statuses);

// The summary line (or object) and the sweep's exit status.
CheckOutcome SweepSummary(const std::vector<SweepHost>& hosts, const std::vector<CheckExit>& statuses, double seconds,
                          const CheckRequest& request);

// The whole sweep. Writes each host's block to standard output as it comes
// due; answers the summary, or one line of bad input.
CheckOutcome RunSweep(const CheckRequest& request, const CheckHooks& hooks);

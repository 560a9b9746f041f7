// The in-process mutation loop for the readers that need the platform: a fixed seed, seed
// files mutated by bit flips, byte changes, truncation, deletion, duplication, insertion of
// dictionary tokens and long digit runs, and splices of two seeds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dorvex::fuzz {

using Bytes = std::string;

struct TTarget {
  const char* name;
  std::function<void(const Bytes&)> run;
  std::vector<std::string> tokens;                   // the target's own dictionary
  std::function<std::vector<Bytes>()> extraSeeds;    // seeds made at run time (may be empty)
  std::function<void()> setUp;                       // once before the first input (may be empty)
  size_t maxSize = 16 * 1024;
  size_t shortRuns = 400;  // inputs in the short run of the tests
};

std::vector<TTarget>& Targets();
// The drive letter ("F:") that the transfer-set targets use as their floppy (--drive).
const std::wstring& FuzzDrive();
void RegisterTargets();

class TMutator {
 public:
  explicit TMutator(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next();
  size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
  Bytes Mutate(const Bytes& base, const std::vector<Bytes>& corpus, const std::vector<std::string>& tokens,
               size_t maxSize);

 private:
  uint64_t state_;
};

// The hostile-server runs: a thousand requests of the HTTP or FTP client against a scripted
// server that answers with mutated replies. Returns the process exit code.
int RunHostile(const std::string& which, int requests, uint64_t seed, const std::string& corpusDir);

}  // namespace dorvex::fuzz

// dorvex_fuzz: runs one target's mutation loop, or replays saved inputs, or the hostile-server
// runs. Every input that breaks a promise, crashes, hangs or takes too much memory is saved in
// the found directory under a name that says which, and the run ends with a non-zero code.
//   dorvex_fuzz --target NAME --corpus DIR --found DIR [--seconds N | --runs N] [--seed S] [--drive X:]
//   dorvex_fuzz --target NAME --replay FILE...
//   dorvex_fuzz --short --corpus DIR --found DIR   every target for its short count, then its saved findings
//   dorvex_fuzz --hostile http|ftp --requests N --corpus DIR [--seed S]
#include "engine.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "fuzz_target.h"

namespace dorvex::fuzz {

uint64_t TMutator::Next() {
  // xorshift64*: small, fast and the same on every machine.
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return state_ * 0x2545F4914F6CDD1Dull;
}

namespace {
const std::vector<std::string> kCommonTokens = {
    "[", "]", "=", "\r\n", "\n", "\r", "Count=", "%", "%25", "%zz", "..", "../", "..\\", "\\", "/", ":", "@",
    "\"", "'", ";", " ", "\t", "\x1a", std::string("\0", 1), "\xff\xfe", "\xef\xbb\xbf", "-", "0x", "-1",
    "2147483647", "2147483648", "4294967296", "99999999999999999999999999999999", "1e308", "0.5", ",",
    "CON", "NUL", "A:", "C:\\", "\\\\?\\", "::$DATA", "http://", "ftp://", "//"};
}  // namespace

Bytes TMutator::Mutate(const Bytes& base, const std::vector<Bytes>& corpus, const std::vector<std::string>& tokens,
                       size_t maxSize) {
  Bytes b = base;
  const int rounds = 1 + static_cast<int>(Below(6));
  for (int r = 0; r < rounds; ++r) {
    switch (Below(11)) {
      case 0:  // a bit flip
        if (!b.empty()) b[Below(b.size())] ^= static_cast<char>(1u << Below(8));
        break;
      case 1:  // a byte set to anything
        if (!b.empty()) b[Below(b.size())] = static_cast<char>(Next());
        break;
      case 2:  // cut short
        if (!b.empty()) b.resize(Below(b.size()));
        break;
      case 3: {  // a run removed
        if (b.empty()) break;
        size_t at = Below(b.size()), n = 1 + Below(std::min<size_t>(b.size() - at, 64));
        b.erase(at, n);
        break;
      }
      case 4: {  // a run repeated
        if (b.empty()) break;
        size_t at = Below(b.size()), n = 1 + Below(std::min<size_t>(b.size() - at, 128));
        const Bytes run = b.substr(at, n);
        const size_t times = 1 + Below(Below(4) == 0 ? 200 : 4);
        for (size_t i = 0; i < times && b.size() < maxSize; ++i) b.insert(at, run);
        break;
      }
      case 5:
      case 6: {  // a dictionary token
        const bool own = !tokens.empty() && Below(2) == 0;
        const std::string& t = own ? tokens[Below(tokens.size())] : kCommonTokens[Below(kCommonTokens.size())];
        b.insert(Below(b.size() + 1), t);
        break;
      }
      case 7: {  // a long digit run
        std::string digits(1 + Below(Below(3) == 0 ? 400 : 24), '9');
        for (auto& c : digits) c = static_cast<char>('0' + Below(10));
        b.insert(Below(b.size() + 1), digits);
        break;
      }
      case 8: {  // a splice with another seed
        if (corpus.empty()) break;
        const Bytes& o = corpus[Below(corpus.size())];
        if (o.empty()) break;
        size_t from = Below(o.size());
        b = b.substr(0, Below(b.size() + 1)) + o.substr(from, Below(o.size() - from + 1));
        break;
      }
      case 9: {  // random bytes
        const size_t n = 1 + Below(16);
        Bytes t;
        for (size_t i = 0; i < n; ++i) t += static_cast<char>(Next());
        b.insert(Below(b.size() + 1), t);
        break;
      }
      default: {  // a line moved: swaps two ranges
        if (b.size() < 4) break;
        size_t a = Below(b.size() / 2), c = b.size() / 2 + Below(b.size() / 2);
        std::swap(b[a], b[c]);
        break;
      }
    }
  }
  if (b.size() > maxSize) b.resize(maxSize);
  return b;
}

namespace {
std::wstring g_drive = L"F:";
}
const std::wstring& FuzzDrive() { return g_drive; }

std::vector<TTarget>& Targets() {
  static std::vector<TTarget> targets;
  return targets;
}

namespace {
std::string g_target;
std::string g_foundDir;
Bytes g_current;                       // the input being run, for the handlers below
std::atomic<uint32_t> g_startTick{0};  // when the current input started; 0 between inputs
std::atomic<bool> g_saving{false};
constexpr DWORD kHangMs = 10000;
constexpr SIZE_T kMemoryGrowth = 512u * 1024 * 1024;  // over the size at the start

std::string Hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

uint64_t Fnv(const Bytes& b) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : b) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string SaveFound(const char* kind, const Bytes& input, const std::string& note) {
  const std::string name = g_foundDir + "\\" + g_target + "-" + kind + "-" + Hex64(Fnv(input));
  std::ofstream(name, std::ios::binary).write(input.data(), static_cast<std::streamsize>(input.size()));
  if (!note.empty()) std::ofstream(name + ".txt") << note << "\n";
  return name;
}

SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX m{};
  m.cb = sizeof m;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
  return m.PrivateUsage;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  if (!g_saving.exchange(true)) {
    char note[64];
    std::snprintf(note, sizeof note, "exception 0x%08lx", info->ExceptionRecord->ExceptionCode);
    const std::string file = SaveFound("crash", g_current, note);
    std::printf("CRASH in %s (%s): input saved as %s\n", g_target.c_str(), note, file.c_str());
    std::fflush(stdout);
  }
  ExitProcess(5);
}

// Watches the running input: one that runs too long or makes the process grow past the bound
// is saved, and the run ends.
void Watchdog(SIZE_T baseline) {
  for (;;) {
    Sleep(200);
    const uint32_t start = g_startTick.load();
    const char* kind = nullptr;
    if (start != 0 && static_cast<int32_t>(GetTickCount() - start) > static_cast<int32_t>(kHangMs)) kind = "hang";
    else if (PrivateBytes() > baseline + kMemoryGrowth) kind = "memory";
    if (kind && !g_saving.exchange(true)) {
      const std::string file = SaveFound(kind, g_current, "");
      std::printf("%s in %s: input saved as %s\n", kind, g_target.c_str(), file.c_str());
      std::fflush(stdout);
      ExitProcess(std::string(kind) == "hang" ? 3 : 4);
    }
  }
}

bool ReadFile(const std::string& path, Bytes& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return true;
}

std::vector<Bytes> LoadDir(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  std::sort(names.begin(), names.end());  // the same order everywhere, for the same mutations
  std::vector<Bytes> out;
  for (const auto& n : names) {
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0) continue;
    Bytes b;
    if (ReadFile(dir + "\\" + n, b)) out.push_back(b);
  }
  return out;
}

// Runs one input; an exception out of the target is a finding. Returns false on one.
bool RunOne(const TTarget& t, const Bytes& input, std::string& failure) {
  g_current = input;
  g_startTick = GetTickCount() | 1;
  bool ok = true;
  try {
    t.run(input);
  } catch (const TFuzzFailure& e) {
    failure = std::string("broken promise: ") + e.what();
    ok = false;
  } catch (const std::exception& e) {
    failure = std::string("exception out of the reader: ") + e.what();
    ok = false;
  }
  g_startTick = 0;
  return ok;
}

const TTarget* Find(const std::string& name) {
  for (const auto& t : Targets())
    if (name == t.name) return &t;
  return nullptr;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string n = fd.cFileName;
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0))
        names.push_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int Replay(const TTarget& t, const std::vector<std::string>& replay) {
  int bad = 0;
  for (const auto& file : replay) {
    Bytes b;
    if (!ReadFile(file, b)) {
      std::printf("cannot read %s\n", file.c_str());
      ++bad;
      continue;
    }
    std::string failure;
    if (!RunOne(t, b, failure)) {
      std::printf("FAIL %s: %s\n", file.c_str(), failure.c_str());
      ++bad;
    }
  }
  std::printf("%s: %zu saved inputs, %d failing\n", t.name, replay.size(), bad);
  return bad ? 1 : 0;
}

int Fuzz(const TTarget& t, const std::string& corpusDir, double seconds, long long runs, uint64_t seed, bool keepGoing) {
  std::vector<Bytes> corpus = corpusDir.empty() ? std::vector<Bytes>{} : LoadDir(corpusDir + "\\" + t.name);
  if (t.extraSeeds)
    for (auto& b : t.extraSeeds()) corpus.push_back(std::move(b));
  if (corpus.empty()) corpus.push_back(Bytes());
  TMutator m(seed);
  std::string failure;
  long long tried = 0;
  // Every seed as it is first, then mutations of them.
  for (const auto& b : corpus) {
    ++tried;
    if (!RunOne(t, b, failure)) {
      const std::string file = SaveFound("failure", b, failure);
      std::printf("wine %s: seed input fails (%s), saved as %s\n", t.name, failure.c_str(), file.c_str());
      return 1;
    }
  }
  const DWORD start = GetTickCount();
  // A broken promise ends a short run; a long one (--keep-going) notes each kind once and goes on.
  std::vector<std::string> kinds, files;
  for (;;) {
    if (runs > 0 && tried >= runs) break;
    if (runs <= 0 && (GetTickCount() - start) >= seconds * 1000) break;
    const Bytes in = m.Mutate(corpus[m.Below(corpus.size())], corpus, t.tokens, t.maxSize);
    ++tried;
    if (!RunOne(t, in, failure)) {
      const std::string kind = failure.substr(0, failure.find(':', failure.find(':') + 1));
      if (std::find(kinds.begin(), kinds.end(), kind) != kinds.end()) continue;
      kinds.push_back(kind);
      files.push_back(SaveFound("failure", in, failure) + " (" + failure.substr(0, 300) + ")");
      if (!keepGoing || kinds.size() >= 20) break;
    }
  }
  std::string found = files.empty() ? "nothing" : "";
  for (const auto& f : files) found += (found.empty() ? "" : "; ") + f;
  std::printf("wine %s: %lld inputs in %.0f s (seed %llu), coverage not measured, found: %s\n", t.name, tried,
              (GetTickCount() - start) / 1000.0, static_cast<unsigned long long>(seed), found.c_str());
  return files.empty() ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr, "usage: dorvex_fuzz --target NAME (--corpus DIR --found DIR [--seconds N|--runs N] [--seed S] | --replay FILE...)\n"
                       "       dorvex_fuzz --hostile http|ftp --requests N --corpus DIR [--seed S]\n"
                       "       dorvex_fuzz --list\n");
  return 2;
}
}  // namespace

}  // namespace dorvex::fuzz

int main(int argc, char** argv) {
  using namespace dorvex::fuzz;
  setvbuf(stdout, nullptr, _IONBF, 0);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  RegisterTargets();
  std::string target, corpusDir, hostile;
  std::vector<std::string> replay;
  double seconds = 0;
  long long runs = 0;
  uint64_t seed = 1;
  int requests = 1000;
  bool list = false, keepGoing = false, shortAll = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--target") target = next();
    else if (a == "--corpus") corpusDir = next();
    else if (a == "--found") g_foundDir = next();
    else if (a == "--seconds") seconds = std::atof(next().c_str());
    else if (a == "--runs") runs = std::atoll(next().c_str());
    else if (a == "--seed") seed = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--hostile") hostile = next();
    else if (a == "--requests") requests = std::atoi(next().c_str());
    else if (a == "--list") list = true;
    else if (a == "--keep-going") keepGoing = true;
    else if (a == "--short") shortAll = true;
    else if (a == "--drive") {
      const std::string d = next();
      g_drive = std::wstring(d.begin(), d.end());
    }
    else if (a == "--replay") {
      while (i + 1 < argc) replay.push_back(argv[++i]);
    } else return Usage();
  }
  if (list) {
    for (const auto& t : Targets()) std::printf("%s\n", t.name);
    return 0;
  }
  if (!hostile.empty()) return RunHostile(hostile, requests, seed, corpusDir);
  if (g_foundDir.empty()) g_foundDir.push_back('.');
  CreateDirectoryA(g_foundDir.c_str(), nullptr);
  SetUnhandledExceptionFilter(OnCrash);
  std::thread(Watchdog, PrivateBytes()).detach();

  if (shortAll) {
    // Every target: a fixed number of inputs, then every saved finding of it once.
    int status = 0;
    for (const auto& each : Targets()) {
      g_target = each.name;
      if (each.setUp) each.setUp();
      if (Fuzz(each, corpusDir, 0, static_cast<long long>(each.shortRuns), seed, false) != 0) status = 1;
      std::vector<std::string> files;
      std::string dir = corpusDir;
      dir.append("\\..\\regress\\").append(each.name);
      for (const auto& n : ListDir(dir)) files.push_back(dir + "\\" + n);
      if (!files.empty() && Replay(each, files) != 0) status = 1;
    }
    return status;
  }
  const TTarget* t = Find(target);
  if (!t) return Usage();
  g_target = target;
  if (t->setUp) t->setUp();
  if (!replay.empty()) return Replay(*t, replay);

  return Fuzz(*t, corpusDir, seconds, runs, seed, keepGoing);
}

// The readers of untrusted bytes that need the platform, each with its own promises checked.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/initable.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "common/versions.h"
#include "engine.h"
#include "fuzz_target.h"
#include "net/http.h"
#include "net/script_server.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "transfer/importset.h"
#include "ui/dialogs.h"
#include "upgrade/catalogue.h"
#include "upgrade/chain.h"
#include "upgrade/controllers.h"
#include "upgrade/mapcheck.h"

namespace dorvex::fuzz {

namespace {

std::string Narrow(const std::wstring& w) { return WideToUtf8(w); }

// A scratch directory of this process, emptied before each input that uses it.
const std::wstring& Scratch() {
  static const std::wstring dir = [] {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring d = std::wstring(base) + L"dxfuzz_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(d.c_str(), nullptr);
    return d;
  }();
  return dir;
}

void PutFile(const std::wstring& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + Narrow(path));
  DWORD done = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(h);
}

std::wstring FoldAscii(const std::wstring& s) {
  std::wstring r = s;
  for (auto& c : r)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  return r;
}

// ---- the map table ----------------------------------------------------------------------

// [MapInfo]: what it accepts is what the publisher's tool writes, and a map accepted is accepted
// on its last day and with its own serial, refused a day later, for another program or kind, and
// below a serial accepted before.
void FuzzMapInfo(const Bytes& input) {
  TIniTable t;
  t.LoadFromText(TIniTable::DecodeFileBytes(input));
  TMapInfo info;
  std::wstring reason;
  if (!ReadMapInfo(t, info, reason)) {
    FUZZ_CHECK(!reason.empty(), "a refusal says why");
    return;
  }
  const bool emergency = SameText(info.Kind, L"Emergency");
  FUZZ_CHECK(emergency || SameText(info.Kind, L"Normal"), Narrow(info.Kind));
  FUZZ_CHECK(!info.ProgramID.empty(), "a program is named");
  FUZZ_CHECK(!info.SerialText.empty() && info.SerialText.size() <= 20, Narrow(info.SerialText));
  std::wstring digits = info.SerialText;
  digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size() - 1));
  FUZZ_CHECK(digits == std::to_wstring(info.Serial), "the serial reads back: " + Narrow(info.SerialText));
  FUZZ_CHECK(info.ExpiresMonth >= 1 && info.ExpiresMonth <= 12 && info.ExpiresDay >= 1 && info.ExpiresDay <= 31,
             Narrow(info.ExpiresText));
  const int y = info.ExpiresYear, m = info.ExpiresMonth, d = info.ExpiresDay;
  FUZZ_CHECK(CheckMapInfo(info, L"X.nrm", info.ProgramID, emergency, y, m, d, info.Serial).empty(),
             "accepted on its last day with its own serial");
  FUZZ_CHECK(!CheckMapInfo(info, L"X.nrm", info.ProgramID, emergency, y + 1, m, d, 0).empty(), "refused a year later");
  FUZZ_CHECK(!CheckMapInfo(info, L"X.nrm", info.ProgramID, !emergency, y, m, d, 0).empty(), "refused as the other kind");
  FUZZ_CHECK(!CheckMapInfo(info, L"X.nrm", info.ProgramID + L"x", emergency, y, m, d, 0).empty(),
             "refused for another program");
  if (info.Serial < UINT64_MAX)
    FUZZ_CHECK(!CheckMapInfo(info, L"X.nrm", info.ProgramID, emergency, y, m, d, info.Serial + 1).empty(),
               "refused below an accepted serial");
}

// ---- the upgrade map and the step chain built from it --------------------------------------

struct Catalogue {
  TProgramList list;
  std::vector<std::wstring> messages;
  explicit Catalogue() { AddCatalogueRows(list); }
  TProgram& Program(const wchar_t* id) {
    TProgram* p = list.FindByID(id);
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
    return *p;
  }
};

void FuzzMapChain(const Bytes& input) {
  static Catalogue c;
  TProgram& p = c.Program(L"Sklad");
  const std::wstring path = Scratch() + L"Sklad.nrm";
  PutFile(path, input);
  // The installed version comes from the input's length, so that every relation is tried.
  const double version = static_cast<double>(input.size() % 17);
  p.Controller->Version = version;
  c.messages.clear();
  std::vector<std::wstring> steps{L"stale"};
  const MapAnalysis a = AnalyseUpgradeMap(*p.Controller, path, steps);
  TIniTable map;
  map.LoadFromFile(path);
  const auto unique = map.UniqueSections();
  if (!a.Usable || !a.NeedsUpgrade) {
    FUZZ_CHECK(steps.empty(), "steps listed although nothing is to be done");
    FUZZ_CHECK(!c.messages.empty(), "refused or done without a word");
    return;
  }
  FUZZ_CHECK(!steps.empty(), "an upgrade needed without a step");
  double previousTo = -1;
  for (size_t i = 0; i < steps.size(); ++i) {
    // Every step is a section of the map, named once, usable, and beyond the installed version.
    FUZZ_CHECK(std::find(unique.begin(), unique.end(), steps[i]) != unique.end(), "a step the map does not name");
    const VersionStep s = ParseStepName(steps[i]);
    FUZZ_CHECK(s.Usable() && s.To > version && std::isfinite(s.To), "step " + Narrow(steps[i]));
    for (size_t j = 0; j < i; ++j) FUZZ_CHECK(FoldAscii(steps[j]) != FoldAscii(steps[i]), "a step listed twice");
    // The chain is linear: each step starts where the one before ended, or within it.
    if (previousTo >= 0) FUZZ_CHECK(!(previousTo < s.From || previousTo > s.To), "a gap in the chain");
    previousTo = s.To;
  }
  const double stop = p.Controller->StopVersion;
  if (stop != 0) {
    bool named = false;
    for (const auto& n : unique) named |= ParseStepName(n).To == stop;
    FUZZ_CHECK(named, "a stop at a version no step names");
  }
}

// ---- URLs, and the HTTP client's reply reading -------------------------------------------

// One loopback server for the whole run: the first connection of a request gets the input as
// its reply, any later one (a redirect followed) a short document, so that where a Location led
// shows in the next request line.
const char kFollowUp[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
struct HttpStage {
  std::mutex mutex;
  Bytes reply;
  bool first = true;
  std::unique_ptr<test::ScriptServer> server;
  HttpStage() {
    server = std::make_unique<test::ScriptServer>([this](SOCKET s, int) {
      server->ReadRequest(s);
      Bytes r;
      {
        std::lock_guard<std::mutex> lock(mutex);
        r = first ? reply : Bytes(kFollowUp);
        first = false;
      }
      test::ScriptServer::SendAll(s, r);
    });
  }
};
HttpStage* g_http = nullptr;

// A request header line may hold no bare CR or LF and no NUL: such a byte ends or splits a line.
void CheckRequestHeader(const std::string& header) {
  for (size_t i = 0; i < header.size(); ++i) {
    const char c = header[i];
    FUZZ_CHECK(c != '\0', "NUL in the request header");
    if (c == '\r') FUZZ_CHECK(i + 1 < header.size() && header[i + 1] == '\n', "bare CR in the request header: " + header);
    if (c == '\n') FUZZ_CHECK(i > 0 && header[i - 1] == '\r', "bare LF in the request header: " + header);
  }
  const size_t end = header.find("\r\n");
  const std::string first = header.substr(0, end);
  FUZZ_CHECK(first.rfind("GET ", 0) == 0 && first.size() > 13 && first.compare(first.size() - 9, 9, " HTTP/1.0") == 0,
             "request line " + first);
  const std::string target = first.substr(4, first.size() - 13);
  for (unsigned char c : target) FUZZ_CHECK(c > 0x20 && c < 0x7F, "request target " + target);
}

void FuzzHttpReply(const Bytes& input) {
  {
    std::lock_guard<std::mutex> lock(g_http->mutex);
    g_http->reply = input;
    g_http->first = true;
  }
  const int before = g_http->server->Connections();
  const size_t requestsBefore = g_http->server->Requests().size();
  net::THttpClient c;
  // Every hop, wherever a Location points, goes to the loopback server acting as the proxy.
  c.URL = "http://origin.test/dir/map.nrm?x=1";
  c.Proxy = "127.0.0.1";
  c.ProxyPort = std::to_string(g_http->server->Port());
  c.TimeOutMs = 5000;
  int64_t delivered = 0;
  int begun = 0, ended = 0;
  c.OnDocBegin = [&](void*) { ++begun; };
  c.OnDocEnd = [&](void*) { ++ended; };
  c.OnDocData = [&](void*, const char*, int length, std::wstring&) {
    FUZZ_CHECK(length > 0, "an empty block delivered");
    delivered += length;
    return true;
  };
  const bool ok = c.Get();
  const int hops = g_http->server->Connections() - before;
  FUZZ_CHECK(hops == 1 || hops == 2, std::to_string(hops) + " connections");
  FUZZ_CHECK(!c.Busy(), "busy after Get");
  FUZZ_CHECK(delivered == c.DocumentBytes, "delivered bytes and DocumentBytes differ");
  FUZZ_CHECK(begun == ended, "document begun and ended differ");
  FUZZ_CHECK(c.RcvdHeader.size() <= static_cast<size_t>(net::THttpClient::MaxHeaderLines), "header lines kept");
  for (const auto& line : c.RcvdHeader)
    FUZZ_CHECK(line.size() < static_cast<size_t>(net::THttpClient::LineBufferSize), "a header line over the bound");
  FUZZ_CHECK(c.DocumentBytes <= static_cast<int64_t>(std::max(input.size(), sizeof kFollowUp)), "more document than reply bytes");
  if (ok) {
    FUZZ_CHECK(c.StatusCode >= 200 && c.StatusCode < 300 && c.StatusCode != 206, "success with " + std::to_string(c.StatusCode));
    FUZZ_CHECK(c.ContentLength < 0 || c.DocumentBytes == c.ContentLength, "success with a short document");
    FUZZ_CHECK(begun == 1, "success without exactly one document");
  } else {
    FUZZ_CHECK(c.StatusCode != 0 && !(c.StatusCode >= 200 && c.StatusCode < 300 && c.StatusCode != 206 &&
                                      c.ReasonPhrase.empty()),
               "failure with status " + std::to_string(c.StatusCode));
  }
  const auto requests = g_http->server->Requests();
  for (size_t i = requestsBefore; i < requests.size(); ++i) CheckRequestHeader(requests[i]);
}

// ---- keys and signatures --------------------------------------------------------------------

// A public key of the tests and the signature of kSignedMap made with its private half
// (openssl dgst -sha256 -sign).
const char kPublicKey[] =
#include "corpus_key.inc"
    ;
const char kSignedMap[] = "[13]\r\nCount=1\r\nFile1=a.exe\r\n";
const unsigned char kGoodSignature[] = {
#include "corpus_sig.inc"
};

void FuzzKey(const Bytes& input) {
  MapVerifier v;
  std::wstring error;
  const bool loaded = v.LoadKey(AnsiToWide(input), error);
  FUZZ_CHECK(loaded == v.HasKey(), "loaded and HasKey differ");
  FUZZ_CHECK(loaded || !error.empty(), "refused without a reason");
  const std::string good(reinterpret_cast<const char*>(kGoodSignature), sizeof kGoodSignature);
  // Whatever key was read, it never takes a signature of other data.
  FUZZ_CHECK(!v.Verify(std::string(kSignedMap) + "x", good), "a signature of other data taken");
  FUZZ_CHECK(!v.Verify(kSignedMap, ""), "an empty signature taken");
  std::wstring error2;
  const bool again = v.LoadKey(AnsiToWide(input), error2);
  FUZZ_CHECK(again == loaded && error2 == error, "the same key read twice gives another answer");
}

void FuzzSignature(const Bytes& input) {
  static MapVerifier v;
  static const bool loaded = [] {
    std::wstring error;
    return v.LoadKey(AnsiToWide(kPublicKey), error);
  }();
  FUZZ_CHECK(loaded, "the tests' key does not load");
  const std::string good(reinterpret_cast<const char*>(kGoodSignature), sizeof kGoodSignature);
  FUZZ_CHECK(v.Verify(kSignedMap, input) == (input == good), "a signature judged wrongly");
}

// ---- version readers ------------------------------------------------------------------------

// The version resource of a fixture program is replaced by the input, in place, so that the
// rest of the file stays a valid program and the resource reader sees the mutated bytes.
struct VersionTemplate {
  Bytes exe;
  size_t at = 0, size = 0;
};
VersionTemplate& Template() {
  static VersionTemplate t;
  return t;
}

std::wstring FixtureDir() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir = self;
  dir.erase(dir.find_last_of(L'\\') + 1);
  return dir + L"fixtures\\";
}

void LoadTemplate() {
  VersionTemplate& t = Template();
  if (!ReadFileBytes(FixtureDir() + L"ver_corvend.exe", t.exe)) throw std::runtime_error("no fixture ver_corvend.exe");
  const std::wstring key = L"VS_VERSION_INFO";
  const std::string needle(reinterpret_cast<const char*>(key.c_str()), key.size() * 2);
  const size_t k = t.exe.find(needle);
  if (k == std::string::npos || k < 6) throw std::runtime_error("no version resource in the fixture");
  t.at = k - 6;
  t.size = static_cast<unsigned char>(t.exe[t.at]) | (static_cast<unsigned char>(t.exe[t.at + 1]) << 8);
}

void FuzzVersionResource(const Bytes& input) {
  static Catalogue c;
  const VersionTemplate& t = Template();
  Bytes exe = t.exe;
  for (size_t i = 0; i < t.size; ++i) exe[t.at + i] = i < input.size() ? input[i] : '\0';
  TProgram& p = c.Program(L"Sklad");
  p.ExeDir = Scratch();
  PutFile(Scratch() + p.ExeName, exe);
  TVersionInfo info(Scratch() + p.ExeName);
  const std::wstring tr = info.TranslationText();
  FUZZ_CHECK(tr.empty() || tr.size() == 8, "translation " + Narrow(tr));
  FUZZ_CHECK(info.CompanyName().size() <= t.size, "a company name longer than the resource");
  FUZZ_CHECK(info.ProductVersion().size() <= t.size, "a version longer than the resource");
  const bool ok = p.Controller->DetectVersion();
  const double v = p.Controller->Version;
  FUZZ_CHECK(std::isfinite(v) && v == std::floor(v) && std::fabs(v) <= 2147483648.0, "version " + std::to_string(v));
  if (!ok) FUZZ_CHECK(v == 0, "a failed detection left a version");
}

void FuzzRevisionFile(const Bytes& input) {
  static Catalogue c;
  TProgram& p = c.Program(L"Vosta");
  p.ExeDir = Scratch();
  PutFile(Scratch() + p.ExeName, "MZ");
  PutFile(Scratch() + L"revision.ini", input);
  c.messages.clear();
  const bool ok = p.Controller->DetectVersion();
  const double v = p.Controller->Version;
  if (ok) {
    FUZZ_CHECK(v >= 1 && v <= 2147483647.0 && v == std::floor(v), "version " + std::to_string(v));
    // The number stands in the file after the program's key.
    if (v < 2147483647.0) FUZZ_CHECK(input.find(std::to_string(static_cast<long long>(v))) != std::string::npos, "a number the file does not hold");
  } else {
    FUZZ_CHECK(v == 0 && !c.messages.empty(), "a failed detection without its message");
  }
}

void FuzzVersionFile(const Bytes& input) {
  static Catalogue c;
  TProgram& p = c.Program(L"Tesk");
  p.ExeDir = Scratch();
  PutFile(Scratch() + L"Tesver.ini", input);
  const bool ok = p.Controller->DetectVersion();
  const double v = p.Controller->Version;
  if (ok) FUZZ_CHECK(v >= 1 && v <= 2147483647.0 && v == std::floor(v), "version " + std::to_string(v));
  else FUZZ_CHECK(v == 0, "a failed detection left a version");
  FUZZ_CHECK(std::isfinite(ParseVersionNumber(AnsiToWide(input.substr(0, 256)))), "a version number not finite");
}

// ---- transfer sets ---------------------------------------------------------------------------

// The drive that plays the transfer set's floppy: a drive letter of the fuzzing run's own.
std::wstring Drive() { return FuzzDrive() + L"\\"; }

const wchar_t kSetId[] = L"20261208-120000-001";  // 19 characters, as the writer makes them

void QuietDialogs() {
  ui::SetMessageBoxHandler([](const ui::MessageBoxRequest& r) {
    return (r.flags & MB_YESNO) ? IDNO : IDOK;
  });
  SetFloppyProbeSource([](wchar_t, uint32_t& e) {
    e = 0;
    return DriveState::dsReady;
  });
}

std::vector<std::wstring> FilesUnder(const std::wstring& dir) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      for (const auto& s : FilesUnder(dir + n + L"\\")) out.push_back(n + L"\\" + s);
    else
      out.push_back(n);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

void FuzzTransferSet(const Bytes& input) {
  static Catalogue c;
  const std::wstring temp = Scratch() + L"session\\", repo = Scratch() + L"repo\\";
  ClearDirectory(Drive(), true);
  CreateDirectoryW(temp.c_str(), nullptr);
  CreateDirectoryW(repo.c_str(), nullptr);
  ClearDirectory(temp, true);
  ClearDirectory(repo, true);
  Settings().DiskRootDir = Drive();
  Settings().UpgradeFilesDir = repo;
  PutFile(Drive() + L"files.inf", input);
  PutFile(Drive() + L"disk1.id", "[DiskInfo]\r\nSessionID=" + WideToAnsi(kSetId) + "\r\n");
  AbortMethod noAbort = [](void*) {};
  std::wstring message;
  const bool ok = ImportTransferSet(&c.list, temp, noAbort, ImportHandlers{}, message);
  FUZZ_CHECK(ok || !message.empty(), "a failed import without a message");
  // The set may write only below the session's temporary directory and the repository.
  const auto onDisk = FilesUnder(Drive());
  for (const auto& f : onDisk) FUZZ_CHECK(f == L"files.inf" || f == L"disk1.id", "the import wrote " + Narrow(Drive() + f));
  // Each name a header gives is either refused or a plain relative name.
  size_t from = 0;
  const std::wstring text = AnsiToWide(input);
  while (from < text.size()) {
    size_t end = text.find_first_of(L"\r\n=", from);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring name = SafeSetEntryName(text.substr(from, end - from));
    if (!name.empty()) {
      // Joined below the session's directory, the platform's own reading of the path stays there.
      FUZZ_CHECK(name.find(L':') == std::wstring::npos && name.find(L'/') == std::wstring::npos && name[0] != L'\\',
                 "entry name " + Narrow(name));
      // (A path too long for the platform to read is one nothing can be written to.)
      const std::wstring joined = temp + name;
      std::wstring full(GetFullPathNameW(joined.c_str(), 0, nullptr, nullptr), L'\0');
      const DWORD n = full.empty() ? 0 : GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      if (n > 0 && n < full.size()) {
        full.resize(n);
        FUZZ_CHECK(_wcsnicmp(full.c_str(), temp.c_str(), temp.size()) == 0 && n > temp.size(),
                   "entry name " + Narrow(name) + " leads to " + Narrow(full));
      }
    }
    from = end + 1;
  }
}

void FuzzDiskIdentity(const Bytes& input) {
  ClearDirectory(Drive(), true);
  PutFile(Drive() + L"disk1.id", input);
  std::wstring message;
  const bool ok = CheckDiskIdentity(1, Drive(), kSetId, message);
  if (ok) FUZZ_CHECK(AnsiToWide(input).find(kSetId) != std::wstring::npos, "a disk taken whose file lacks the set's id");
  else FUZZ_CHECK(!message.empty(), "a disk refused without a message");
}

std::vector<Bytes> FixtureVersionSeeds() {
  std::vector<Bytes> out;
  const VersionTemplate& t = Template();
  out.push_back(t.exe.substr(t.at, t.size));
  for (const wchar_t* f : {L"ver_dotted.exe", L"ver_fixed_only.exe", L"ver_other_company.exe"}) {
    Bytes b;
    if (!ReadFileBytes(FixtureDir() + f, b)) continue;
    const std::wstring key = L"VS_VERSION_INFO";
    const size_t k = b.find(std::string(reinterpret_cast<const char*>(key.c_str()), key.size() * 2));
    if (k == std::string::npos || k < 6) continue;
    const size_t n = static_cast<unsigned char>(b[k - 6]) | (static_cast<unsigned char>(b[k - 5]) << 8);
    out.push_back(b.substr(k - 6, n));
  }
  return out;
}

}  // namespace

void RegisterTargets() {
  auto& t = Targets();
  const std::vector<std::string> ini = {"[", "]", "=", "\r\n", "Count=", "File1=", "Stop=1", "[13]", "[12-14]",
                                        "[MapInfo]", ";", "\"", "'", "\xff\xfe", "\xef\xbb\xbf"};
  t.push_back({"ftpreply", [](const Bytes& b) { FuzzFtpReply(reinterpret_cast<const uint8_t*>(b.data()), b.size()); },
               {"220-", "220 ", "\r\n", "230 ", "999-", "000 "}, nullptr, nullptr});
  t.push_back({"initable", [](const Bytes& b) { CheckIniTableText(TIniTable::DecodeFileBytes(b)); }, ini, nullptr, nullptr});
  t.push_back({"mapchain", FuzzMapChain, ini, nullptr, nullptr});
  t.push_back({"mapinfo", FuzzMapInfo,
               {"[MapInfo]", "ProgramID=", "Kind=Normal", "Kind=Emergency", "Serial=", "Expires=", "2026-02-29",
                "2024-02-29", "18446744073709551615", "18446744073709551616", "-"},
               nullptr, nullptr});
  t.push_back({"url", [](const Bytes& b) { FuzzUrl(reinterpret_cast<const uint8_t*>(b.data()), b.size()); }, {"http://", "ftp://", "mailto:", "//", "@", ":", "%", "%2e", "..", "/./", "?", "#", ":80"},
               nullptr, nullptr, 4096});
  t.push_back({"httpreply", FuzzHttpReply,
               {"HTTP/1.0 200 OK\r\n", "HTTP/1.1 302 Found\r\n", "Location: ", "Location: //h2/", "Location: ../x",
                "Location: http://127.0.0.1:1/a", "Content-Length: ", "Content-Range: bytes 0-", "\r\n\r\n", "<HTML>",
                "HTTP/1.1 301 ", "HTTP/1.0 ", "Set-Cookie: a=b"},
               nullptr, [] {
                 static HttpStage stage;
                 g_http = &stage;
               },
               64 * 1024});
  t.push_back({"key", FuzzKey, {"-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----", "\\n", "MII", "=="}, nullptr,
               nullptr, 8192});
  t.push_back({"signature", FuzzSignature, {}, [] {
                 return std::vector<Bytes>{Bytes(reinterpret_cast<const char*>(kGoodSignature), sizeof kGoodSignature)};
               },
               nullptr, 4200});
  t.push_back({"versionres", FuzzVersionResource, {"CompanyName", "ProductVersion", "StringFileInfo", "VarFileInfo"},
               FixtureVersionSeeds, LoadTemplate, 8192});
  t.push_back({"revision", FuzzRevisionFile, {"QPS=", "qps = ", "RVT=", "0412"}, nullptr, nullptr});
  t.push_back({"versionfile", FuzzVersionFile, {"[AppVersion]", "Version=", "211,5", "1e9", "-0"}, nullptr, nullptr});
  t.push_back({"transferset", FuzzTransferSet,
               {"[PackageInfo]", "SessionID=20261208-120000-001", "FileCount=", "[File1]", "FileName=", "FileSize=",
                "FileHash=", "\\Sklad\\13\\", "repair\\", "..\\"},
               nullptr, QuietDialogs});
  t.push_back({"diskid", FuzzDiskIdentity, {"[DiskInfo]", "SessionID=", "20261208-120000-001"}, nullptr, QuietDialogs});
  // The quick readers take more inputs in the tests' short run; the others write files or
  // open connections for each input.
  for (auto& each : t) {
    const std::string n = each.name;
    if (n == "ftpreply" || n == "url" || n == "signature") each.shortRuns = 20000;
    else if (n == "initable" || n == "key") each.shortRuns = 3000;
    else if (n == "httpreply") each.shortRuns = 200;
  }
}

}  // namespace dorvex::fuzz

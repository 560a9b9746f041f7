#include "transfer_common.h"

#include <algorithm>

#include "common/text.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"

namespace dorvex::test {

namespace {
std::vector<std::wstring> FilesIn(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}
}  // namespace

double FloppyFree() {
  double used = 0;
  for (const auto& n : FilesIn(L"A:\\")) {
    int64_t size = FileSizeOf(L"A:\\" + n);
    used += size < 512 ? 512 : (size + 511) / 512 * 512;
  }
  return 1457664.0 - used;
}

FloppyDrive::FloppyDrive() {
  Clear();
  SetDiskFreeBytesSource([this](wchar_t letter) -> double {
    if (letter == L'A' || letter == L'a') return FloppyFree();
    if (tempFree != -2) return tempFree;
    ULARGE_INTEGER free{};
    std::wstring root = std::wstring(1, letter) + L":\\";
    return GetDiskFreeSpaceExW(root.c_str(), &free, nullptr, nullptr) ? static_cast<double>(free.QuadPart) : -1;
  });
}

FloppyDrive::~FloppyDrive() {
  SetDiskFreeBytesSource(nullptr);
  Clear();
}

void FloppyDrive::Clear() {
  ClearDirectory(L"A:\\", true);
}

void FloppyDrive::Save(int n) {
  std::wstring dir = store / (L"disk" + std::to_wstring(n) + L"\\");
  RemoveTree(dir);
  ForceDirectories(dir);
  for (const auto& name : FilesIn(L"A:\\")) CopyFileW((L"A:\\" + name).c_str(), (dir + name).c_str(), FALSE);
}

void FloppyDrive::Load(int n) {
  Clear();
  std::wstring dir = store / (L"disk" + std::to_wstring(n) + L"\\");
  for (const auto& name : FilesIn(dir)) CopyFileW((dir + name).c_str(), (L"A:\\" + name).c_str(), FALSE);
}

std::vector<std::wstring> FloppyDrive::Names() const {
  return FilesIn(L"A:\\");
}

Computer::Computer(const std::wstring& tag) : root(tag) {
  repo = root / L"repo\\";
  prog = root / L"prog\\";
  temp = root / L"tmp\\";
  plan = root / L"plan.txt";
  log = root / L"upgrades.log";
  ForceDirectories(repo);
  ForceDirectories(prog);
  ForceDirectories(temp);
  SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", plan.c_str());
  WriteBytes(plan, "log=" + WideToUtf8(log) + "\r\nexit=100\r\n");
}

Computer::~Computer() {
  form.reset();
  SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", nullptr);
}

void Computer::InstallBuh() {
  ForceDirectories(prog + L"Buh\\");
  CopyFileW(FixturePath(L"ver_corvend.exe").c_str(), (prog + L"Buh\\CvBuh.exe").c_str(), FALSE);
  CopyFileW(FixturePath(L"fake_upgrade.exe").c_str(), (prog + L"Buh\\CvUpgrade.exe").c_str(), FALSE);
  programs.push_back(L"ProgramID=Buh\r\nUpgradeExe=" + prog + L"Buh\\\r\nExeDir=" + prog + L"Buh\\\r\n");
}

void Computer::AddLoadOnly(const std::wstring& id, double version) {
  programs.push_back(L"ProgramID=" + id + L"\r\nVirtualUpgrade=1\r\nVirtualVersion=" + FloatToDotText(version) +
                     L"\r\n");
}

std::vector<std::wstring> Computer::Step(const std::wstring& relDir,
                                         const std::vector<std::pair<std::wstring, size_t>>& files) {
  std::vector<std::wstring> paths;
  std::wstring dir = repo + relDir + L"\\";
  ForceDirectories(dir);
  uint32_t seed = static_cast<uint32_t>(relDir.size() * 7 + files.size());
  for (const auto& f : files) {
    WriteBytes(dir + f.first, PatternBytes(f.second, seed++));
    paths.push_back(dir + f.first);
  }
  return paths;
}

void Computer::WriteSettings(const std::wstring& rootDir) {
  std::wstring text =
      L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Disk]\r\nRootDir=" + rootDir +
      L"\r\n[Connection]\r\nConnectionType=2\r\nAttemptCount=1\r\nAttemptPause=0\r\n[Session]\r\nTempDir=" + temp +
      L"\r\n[General]\r\nActiveProgramCount=" + std::to_wstring(programs.size()) + L"\r\n";
  for (size_t i = 0; i < programs.size(); ++i) text += L"[Program" + std::to_wstring(i + 1) + L"]\r\n" + programs[i];
  WriteBytes(SettingsFileName(), WideToAnsi(text));
}

TMainForm& Computer::Open() {
  form = std::make_unique<TMainForm>();
  form->Create();
  form->Show();
  ui::ProcessMessages();
  return *form;
}

void Computer::Run() {
  ui::ClickButton(form->RunBtn);
  ui::ProcessMessages();
}

std::vector<std::wstring> Computer::Lines() const {
  std::vector<std::wstring> out;
  for (const auto& l : form->SessionLines)
    if (!l.empty()) out.push_back(l);
  return out;
}

}  // namespace dorvex::test

#include "settings/programs.h"

#include <windows.h>

#include <cstdio>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"

namespace dorvex {

std::wstring TVersionController::VersionText() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", Version);
  return TrimVersionText(AnsiToWide(buf));
}

TProgram::~TProgram() {
  if (Protocol) Protocol->SetSizeHandler(nullptr);
  Protocol.reset();
  Booster.reset();
  Controller.reset();
}

void TProgram::Assign(const TProgram& s) {
  Active = s.Active;
  ProgramID = s.ProgramID;
  RevisionKey = s.RevisionKey;
  ExeDir = s.ExeDir;
  ExeName = s.ExeName;
  Description = s.Description;
  Title = s.Title;
  TempDir = s.TempDir;
  UpgradeDir = s.UpgradeDir;
  UpgradeExeName = s.UpgradeExeName;
  UpgradeInExeDir = s.UpgradeInExeDir;
  VirtualUpgrade = s.VirtualUpgrade;
  VirtualVersion = s.VirtualVersion;
  OnMessage = s.OnMessage;
  OnConnectionState = s.OnConnectionState;
  OnTraffic = s.OnTraffic;
  Repair = s.IsEmergency();
  Kind = s.Kind;
  ControllerType = s.ControllerType;
  BoosterType = s.BoosterType;
  Booster.reset();
  Controller.reset();
  if (BoosterType) Booster = BoosterType(*this);
  if (ControllerType) Controller = ControllerType(*this);
}

bool TProgram::CheckPaths() {
  auto fail = [this](const std::wstring& text) {
    ReportMessage(this, text);
    return false;
  };
  if (VirtualUpgrade) {
    if (VirtualVersion != 0) return true;
    return fail(L"Не указан номер текущей версии программы, для которой необходимо доставлять обновления.");
  }
  if (ExeDir.empty()) return fail(L"Не указан каталог, где находится исполняемый файл программы.");
  if (!DirectoryExists(ExeDir)) return fail(Fmt(L"Не найден каталог (%s) с исполняемым файлом программы.", ExeDir));
  if (!FileExists(ExeDir + ExeName))
    return fail(Fmt(L"В каталоге (%s), не найден исполняемый файл программы (%s).", ExeDir, ExeName));
  if (UpgradeInExeDir) {
    UpgradeDir = ExeDir;
    return true;
  }
  if (UpgradeDir.empty()) return fail(L"Не указан каталог, где находится программа обновления.");
  if (!DirectoryExists(UpgradeDir)) return fail(Fmt(L"Не найден каталог (%s) с программой обновления.", UpgradeDir));
  if (!FileExists(UpgradeDir + UpgradeExeName))
    return fail(Fmt(L"В каталоге (%s), не найдена программа обновления (%s).", UpgradeDir, UpgradeExeName));
  return true;
}

bool TProgram::CheckReady() {
  if (!Controller || Controller->Version == 0) {
    ReportMessage(this, Fmt(L"Нельзя определить версию программы «%s» (файл %s). Файл не найден или недоступен.", Title,
                            ExeDir + ExeName));
    return false;
  }
  if (Protocol && !Protocol->CheckSettings()) return false;
  return CheckPaths();
}

bool TProgram::IsEmergency() const { return Repair || FindSwitch(L"/repair", false) > 0; }

void TProgram::ReportMessage(void* sender, const std::wstring& text) {
  if (text.empty() || text[0] == kInformational)
    LastError = text;
  else
    LastError = Fmt(L"Программа %s: %s", Title, text);
  if (OnMessage) OnMessage(sender, LastError);
}

void TProgram::AttachProtocol(ProtocolClassRef protocolClass, SizeHandler progress) {
  if (Protocol) {
    Protocol->SetSizeHandler(nullptr);
    Protocol.reset();
  }
  if (!protocolClass) return;
  Protocol = protocolClass(*this);
  if (Protocol) Protocol->SetSizeHandler(std::move(progress));
}

TProgram& TProgramList::AddProgram(const std::wstring& programID, const std::wstring& revisionKey, ProgramKind kind,
                                   BoosterClass booster, ControllerClass controller, const std::wstring& upgradeExeName,
                                   const std::wstring& exeName, const std::wstring& description,
                                   const std::wstring& title) {
  auto p = std::make_unique<TProgram>();
  p->ProgramID = programID;
  p->RevisionKey = revisionKey.empty() ? programID : revisionKey;
  p->Kind = kind;
  p->BoosterType = booster;
  p->ControllerType = controller;
  p->UpgradeExeName = upgradeExeName;
  p->ExeName = exeName;
  p->Description = description;
  p->Title = title;
  if (controller) p->Controller = controller(*p);
  if (booster) p->Booster = booster(*p);
  items_.push_back(std::move(p));
  return *items_.back();
}

int TProgramList::ActiveCount() const {
  int n = 0;
  for (const auto& p : items_)
    if (p->Active) ++n;
  return n;
}

TProgram* TProgramList::FindByID(const std::wstring& id) const {
  for (const auto& p : items_)
    if (SameText(p->ProgramID, id)) return p.get();
  return nullptr;
}

void TProgramList::ClearDownloaded() {
  for (auto& p : items_) p->Downloaded = false;
}

int ProgramSectionBound(const TIniFile& ini) {
  const int count = ini.ReadInteger(L"General", L"ActiveProgramCount", 0);
  if (count <= 0) return 0;
  int highest = 0;
  for (const auto& name : ini.ReadSections()) {
    if (name.size() <= 7 || !StartsWithText(name, L"Program")) continue;
    const std::wstring digits = name.substr(7);
    if (!ConsistsOf(digits, L"0123456789") || digits.size() > 9) continue;
    const int n = std::stoi(digits);
    if (n > highest) highest = n;
  }
  return highest < count ? highest : count;
}

void TProgramList::LoadFromIni() {
  TIniFile ini(SettingsFileName());
  const int n = ProgramSectionBound(ini);
  for (int i = 1; i <= n; ++i) {
    const std::wstring section = L"Program" + std::to_wstring(i);
    TProgram* p = FindByID(ini.ReadString(section, L"ProgramID", L""));
    if (!p) continue;
    p->Active = true;
    p->UpgradeDir = ini.ReadString(section, L"UpgradeExe", L"");
    p->ExeDir = ini.ReadString(section, L"ExeDir", L"");
    p->VirtualUpgrade = ini.ReadString(section, L"VirtualUpgrade", L"") == L"1";
    double v = 0;
    p->VirtualVersion = TryParseReal(ini.ReadString(section, L"VirtualVersion", L""), v) ? v : 0;
  }
}

bool StoredVirtualVersion(const std::wstring& fileName, const std::wstring& programID, double& version) {
  TIniFile ini(fileName);
  const int n = ProgramSectionBound(ini);
  for (int i = 1; i <= n; ++i) {
    const std::wstring section = L"Program" + std::to_wstring(i);
    if (!SameText(ini.ReadString(section, L"ProgramID", L""), programID)) continue;
    double v = 0;
    version = TryParseReal(ini.ReadString(section, L"VirtualVersion", L""), v) ? v : 0;
    return true;
  }
  return false;
}

void TProgramList::RefreshVersionsFromIni() {
  for (auto& p : items_) {
    double v = 0;
    if (p->Active && StoredVirtualVersion(SettingsFileName(), p->ProgramID, v)) p->VirtualVersion = v;
  }
}

bool TProgramList::SaveToIni() const {
  return ReplaceIniFile(SettingsFileName(), [this](const TIniFile& copy) { return WriteToIni(copy.FileName()); });
}

bool TProgramList::WriteToIni(const std::wstring& fileName) const {
  // The new list is written over the old one section by section, each section whole in one
  // call, then the count, and only then the surplus sections go: a failure on the way leaves a
  // readable list, never none.
  TIniFile ini(fileName);
  const int old = ProgramSectionBound(ini);
  bool ok = true;
  int k = 0;
  for (const auto& p : items_) {
    if (!p->Active) continue;
    const std::wstring section = L"Program" + std::to_wstring(++k);
    std::wstring body;
    auto add = [&body](const wchar_t* key, const std::wstring& value) {
      body.append(key).append(L"=").append(value).push_back(L'\0');
    };
    add(L"ProgramID", p->ProgramID);
    add(L"UpgradeExe", p->UpgradeDir);
    add(L"ExeDir", p->ExeDir);
    add(L"VirtualUpgrade", p->VirtualUpgrade ? L"1" : L"0");
    add(L"VirtualVersion", FloatToDotText(p->VirtualVersion));
    body.push_back(L'\0');
    ok = ok && WritePrivateProfileSectionW(section.c_str(), body.c_str(), ini.FileName().c_str()) != FALSE;
  }
  ok = ok && ini.WriteInteger(L"General", L"ActiveProgramCount", k);
  if (ok)
    for (int i = k + 1; i <= old; ++i) ok = ini.EraseSection(L"Program" + std::to_wstring(i)) && ok;
  ini.Flush();
  return ok;
}

namespace {
std::unique_ptr<TProgramList>& CatalogueRef() {
  static std::unique_ptr<TProgramList> list;
  return list;
}
}  // namespace

TProgramList* ProgramCatalogue() {
  return CatalogueRef().get();
}
void SetProgramCatalogue(std::unique_ptr<TProgramList> list) {
  CatalogueRef() = std::move(list);
}
void FreeProgramCatalogue() {
  CatalogueRef().reset();
}

}  // namespace dorvex

#include "upgrade/controllers.h"

#include <cwctype>
#include <vector>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "common/versions.h"

namespace dorvex {

namespace {
// The step every kind takes first: a load-only program's version is the one the user gave.
// Returns true when it decided the answer (in *result).
bool LoadOnlyVersion(TVersionController& c, bool* result) {
  TProgram& p = c.Program;
  if (!p.VirtualUpgrade) return false;
  if (p.VirtualVersion != 0) {
    c.Version = p.VirtualVersion;
    *result = true;
  } else {
    p.ReportMessage(&c,
                    L"Не указан номер версии программы для доставки обновлений. Укажите номер версии программы в "
                    L"параметрах списка доставки.");
    *result = false;
  }
  return true;
}

// True when the program's executable is there; otherwise says so with the kind's own message.
bool ExecutablePresent(TVersionController& c, const wchar_t* missingPattern) {
  const std::wstring exe = c.Program.ExeDir + c.Program.ExeName;
  if (FileExists(exe)) return true;
  c.Program.ReportMessage(&c, Fmt(missingPattern, exe));
  return false;
}

std::vector<std::wstring> ReadTextLines(const std::wstring& path) {
  std::vector<std::wstring> lines;
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return lines;
  std::wstring text = AnsiToWide(bytes);
  std::wstring line;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L'\r' || c == L'\n') {
      lines.push_back(line);
      line.clear();
      if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}
}  // namespace

double ParseVersionNumber(const std::wstring& text) {
  double v = 0;
  return TryParseReal(text, v) ? v : 0;
}

bool TCorvendVersionController::IsOwnExecutable(const std::wstring& fileName) {
  TVersionInfo info(fileName);
  if (!info.Valid()) return false;
  return UpperCaseText(Trim(info.CompanyName())).rfind(L"VOREL-SOFT", 0) == 0;
}

bool TCorvendVersionController::DetectVersion() {
  Version = 0;
  bool result = false;
  if (LoadOnlyVersion(*this, &result)) return result;
  if (!ExecutablePresent(*this, L"Исполняемый файл программы %s не найден. Убедитесь в правильности указания путей к "
                                L"программе."))
    return false;
  TVersionInfo info(Program.ExeDir + Program.ExeName);
  if (!info.Valid()) return false;
  Version = RoundToInt(ParseVersionNumber(TrimVersionText(info.ProductVersion())));
  return true;
}

bool TDosVersionController::IsOwnExecutable(const std::wstring&) { return true; }

std::wstring TDosVersionController::RevisionFilePath() const {
  std::wstring dir = Program.ExeDir;
  if (SameText(Program.ProgramID, L"Lavik") || SameText(Program.ProgramID, L"Mek")) {
    std::vector<std::wstring> parts;
    SplitText(dir, parts, L"\\", false);
    if (parts.size() > 2) {
      dir.clear();
      for (size_t i = 0; i + 1 < parts.size(); ++i) dir += parts[i] + L"\\";
    }
  }
  return dir + L"revision.ini";
}

bool TDosVersionController::DetectVersion() {
  Version = 0;
  bool result = false;
  if (LoadOnlyVersion(*this, &result)) return result;
  if (!ExecutablePresent(*this, L"Исполняемый файл программы (%s) не найден. Убедитесь в правильности указания путей "
                                L"к программе."))
    return false;
  const std::wstring revision = RevisionFilePath();
  if (FileExists(revision)) {
    std::wstring key = Program.RevisionKey;
    if (SameText(Program.ProgramID, L"lavik")) key = L"RVT";
    else if (SameText(Program.ProgramID, L"vosta")) key = L"QPS";
    const std::wstring prefix = UpperCaseText(key + L"=");
    for (const auto& raw : ReadTextLines(revision)) {
      std::wstring line = UpperCaseText(Trim(raw));
      if (line.rfind(prefix, 0) != 0) continue;
      std::wstring digits;
      for (size_t i = prefix.size(); i < line.size() && line[i] >= L'0' && line[i] <= L'9'; ++i) digits += line[i];
      long long number = 0;
      for (wchar_t d : digits) {
        number = number * 10 + (d - L'0');
        if (number > 2147483647) number = 2147483647;
      }
      if (number != 0) {
        Version = static_cast<double>(number);
        return true;
      }
      break;
    }
  } else {
    Program.ReportMessage(
        this, Fmt(L"Не найден файл с номером версии (%s). Убедитесь в правильности указания путей к программе.", revision));
  }
  Program.ReportMessage(this, Fmt(L"Для программы %s нельзя распознать номер версии  в файл (%s).", Program.Title, revision));
  return false;
}

bool TTeskVersionController::IsOwnExecutable(const std::wstring&) { return true; }

std::wstring TTeskVersionController::VersionFilePath() const {
  return Program.ExeDir + Fmt(L"%sver.ini", Program.ExeName.substr(0, 3));
}

bool TTeskVersionController::DetectVersion() {
  Version = 0;
  bool result = false;
  if (LoadOnlyVersion(*this, &result)) return result;
  const std::wstring path = VersionFilePath();
  const std::wstring missing =
      Fmt(L"Файл с версией программы %s не найден. Убедитесь в правильности указания путей к программе.", path);
  if (!FileExists(path)) {
    Program.ReportMessage(this, missing);
    return false;
  }
  std::wstring text = TIniFile(path).ReadString(L"AppVersion", L"Version", L"");
  if (text.empty()) {
    Program.ReportMessage(this, missing);
    return false;
  }
  int32_t number = RoundToInt(ParseVersionNumber(text));
  if (number <= 0) return false;
  Version = number;
  return true;
}

}  // namespace dorvex

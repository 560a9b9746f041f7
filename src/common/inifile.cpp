#include "common/inifile.h"

#include <windows.h>

#include "common/text.h"

namespace dorvex {

namespace {
// Reads a double-NUL-terminated list (section names or key names).
std::vector<std::wstring> ReadList(const wchar_t* section, const std::wstring& file) {
  std::vector<wchar_t> buf(4096);
  for (;;) {
    DWORD n = section ? GetPrivateProfileStringW(section, nullptr, L"", buf.data(), static_cast<DWORD>(buf.size()),
                                                 file.c_str())
                      : GetPrivateProfileSectionNamesW(buf.data(), static_cast<DWORD>(buf.size()), file.c_str());
    if (n < buf.size() - 2) {
      std::vector<std::wstring> out;
      for (const wchar_t* p = buf.data(); *p && p < buf.data() + n; p += wcslen(p) + 1) out.emplace_back(p);
      return out;
    }
    buf.resize(buf.size() * 4);
  }
}
}  // namespace

std::wstring TIniFile::ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const {
  std::vector<wchar_t> buf(2048);
  for (;;) {
    DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), def.c_str(), buf.data(),
                                       static_cast<DWORD>(buf.size()), fileName_.c_str());
    if (n < buf.size() - 1) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 4);
  }
}

int32_t TIniFile::ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const {
  std::wstring text = ReadString(section, key, L"");
  if (text.empty()) return def;
  return ParseIntDef(text, def);
}

bool TIniFile::ReadBool(const std::wstring& section, const std::wstring& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const std::wstring& section, const std::wstring& key) const {
  for (const auto& k : ReadSectionKeys(section))
    if (SameText(k, key)) return true;
  return false;
}

bool TIniFile::SectionExists(const std::wstring& section) const {
  return !ReadSectionKeys(section).empty();
}

std::vector<std::wstring> TIniFile::ReadSections() const { return ReadList(nullptr, fileName_); }

std::vector<std::wstring> TIniFile::ReadSectionKeys(const std::wstring& section) const {
  return ReadList(section.c_str(), fileName_);
}

bool TIniFile::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const {
  return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), fileName_.c_str()) != FALSE;
}

bool FitsAnsiCodePage(const std::wstring& text) {
  if (text.empty()) return true;
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, &usedDefault);
  return n > 0 && !usedDefault;
}

std::wstring ExactProfileValue(const std::wstring& value) {
  if (value.empty()) return value;
  auto blank = [](wchar_t c) { return c == L' ' || (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0xA0 || c == 0x3000; };
  const bool quoted =
      value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front();
  if (blank(value.front()) || blank(value.back()) || quoted) return L'"' + value + L'"';
  return value;
}

bool TIniFile::WriteExactString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const {
  return WriteString(section, key, ExactProfileValue(value));
}

bool TIniFile::WriteInteger(const std::wstring& section, const std::wstring& key, int32_t value) const {
  return WriteString(section, key, std::to_wstring(value));
}

bool TIniFile::WriteBool(const std::wstring& section, const std::wstring& key, bool value) const {
  return WriteString(section, key, value ? L"1" : L"0");
}

bool TIniFile::EraseSection(const std::wstring& section) const {
  return WritePrivateProfileStringW(section.c_str(), nullptr, nullptr, fileName_.c_str()) != FALSE;
}

bool TIniFile::DeleteKey(const std::wstring& section, const std::wstring& key) const {
  return WritePrivateProfileStringW(section.c_str(), key.c_str(), nullptr, fileName_.c_str()) != FALSE;
}

void TIniFile::Flush() const { WritePrivateProfileStringW(nullptr, nullptr, nullptr, fileName_.c_str()); }

}  // namespace dorvex

namespace dorvex {

bool ReplaceIniFile(const std::wstring& file, const std::function<bool(const TIniFile& copy)>& write) {
  const std::wstring copy = file + L".new";
  auto failed = [&](DWORD code) {
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(copy.c_str());
    SetLastError(code);
    return false;
  };
  // A read-only settings file is the user's choice: it is not replaced (Windows itself refuses
  // to move a file over it; not every system does).
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    return failed(ERROR_ACCESS_DENIED);
  SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(copy.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (!CopyFileW(file.c_str(), copy.c_str(), FALSE)) return failed(GetLastError());
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A fresh time, so that a cached older copy of the same name is never taken for it.
    HANDLE h = CreateFileW(copy.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      SetFileTime(h, nullptr, nullptr, &now);
      CloseHandle(h);
    }
  }
  TIniFile ini(copy);
  if (!write(ini)) return failed(GetLastError());
  ini.Flush();
  // A reader of the old file (another program's look at the settings) may hold it for a moment.
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(copy.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if (attempt >= 20 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) return failed(error);
    Sleep(50);
  }
}

}  // namespace dorvex

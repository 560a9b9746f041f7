#include "common/versions.h"

#include <windows.h>

#include "common/text.h"

namespace dorvex {

TVersionInfo::TVersionInfo(const std::wstring& fileName) : fileName_(fileName) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &handle);
  if (size == 0) return;
  block_.resize(size);
  valid_ = GetFileVersionInfoW(fileName.c_str(), 0, size, block_.data()) != FALSE;
  if (!valid_) block_.clear();
}

std::optional<TVersionInfo::Translation> TVersionInfo::GetTranslation() const {
  if (!valid_) return std::nullopt;
  void* data = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", &data, &len) || len < 4 || !data)
    return std::nullopt;
  auto* words = static_cast<const uint16_t*>(data);
  return Translation{words[0], words[1]};
}

std::wstring TVersionInfo::TranslationText() const {
  auto t = GetTranslation();
  if (!t) return L"";
  wchar_t buf[16];
  swprintf(buf, 16, L"%04X%04X", t->language, t->codePage);
  return buf;
}

std::wstring TVersionInfo::StringValue(const std::wstring& name) const {
  if (!valid_) return L"";
  std::wstring translation = TranslationText();
  if (translation.empty()) return L"";
  std::wstring query = L"\\StringFileInfo\\" + translation + L"\\" + name;
  void* data = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block_.data(), query.c_str(), &data, &len) || !data || len == 0) return L"";
  std::wstring value(static_cast<const wchar_t*>(data), len);
  size_t nul = value.find(L'\0');
  if (nul != std::wstring::npos) value.resize(nul);
  return value;
}

std::wstring TVersionInfo::ProductVersion() const {
  std::wstring text = StringValue(L"ProductVersion");
  if (!text.empty() || !valid_) return text;
  void* data = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block_.data(), L"\\", &data, &len) || !data || len < sizeof(VS_FIXEDFILEINFO)) return L"";
  auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
  return Fmt(L"%d.%d.%d.%d", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
             HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
}

TDateTime TVersionInfo::FileDate() const {
  WIN32_FILE_ATTRIBUTE_DATA attrs;
  if (!GetFileAttributesExW(fileName_.c_str(), GetFileExInfoStandard, &attrs)) return 0;
  FILETIME local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&attrs.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &st)) return 0;
  return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

std::wstring AgentVersion::Text() const {
  return std::to_wstring(part[0]) + L"." + std::to_wstring(part[1]) + L"." + std::to_wstring(part[2]);
}

int AgentVersion::Compare(const AgentVersion& other) const {
  for (int i = 0; i < 3; ++i)
    if (part[i] != other.part[i]) return part[i] < other.part[i] ? -1 : 1;
  return 0;
}

bool ParseAgentVersion(const std::wstring& text, AgentVersion& version) {
  AgentVersion v;
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    size_t digits = 0;
    unsigned value = 0;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && digits < 6) {
      value = value * 10 + static_cast<unsigned>(text[at] - L'0');
      ++at;
      ++digits;
    }
    if (digits == 0 || value > 0xFFFF) return false;
    v.part[i] = value;
    if (i < 2) {
      if (at >= text.size() || text[at] != L'.') return false;
      ++at;
    }
  }
  if (at != text.size()) return false;
  version = v;
  return true;
}

bool FileAgentVersion(const std::wstring& exe, AgentVersion& version) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(exe.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO))
    return false;
  version.part[0] = HIWORD(fixed->dwFileVersionMS);
  version.part[1] = LOWORD(fixed->dwFileVersionMS);
  version.part[2] = HIWORD(fixed->dwFileVersionLS);
  return true;
}

}  // namespace dorvex

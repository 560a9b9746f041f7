// The map table's ties to the system: files, the ANSI code page, the system's classes of
// characters and its number reading. The table itself (initable.cpp) is plain code.
#include <windows.h>

#include "common/handles.h"
#include "common/initable.h"
#include "common/routines.h"
#include "common/text.h"

namespace dorvex {

bool IsWideBlank(wchar_t c) {
  WORD type = 0;
  return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & C1_SPACE);
}

std::wstring TIniTable::DecodeFileBytes(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring w((bytes.size() - 2) / 2, L'\0');
    for (size_t i = 0; i < w.size(); ++i)
      w[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                  (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    return w;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToWide(bytes.substr(3));
  return AnsiToWide(bytes);
}

bool TIniTable::LoadFromFile(const std::wstring& path) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) {
    LoadFromText(L"");
    return false;
  }
  LoadFromText(DecodeFileBytes(bytes));
  return true;
}

bool TIniTable::ValueExists(const std::wstring& section, const std::wstring& key) const {
  for (const auto& k : ReadSectionKeys(section))
    if (SameText(k, key)) return true;
  return false;
}

int32_t TIniTable::ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const {
  std::wstring text = ReadString(section, key, L"");
  if (text.empty()) return def;
  return ParseIntDef(text, def);
}

bool TIniTable::ReadBool(const std::wstring& section, const std::wstring& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniTable::SaveToFile(const std::wstring& path, unsigned long* lastError) const {
  const std::string bytes = WideToAnsi(Text());
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  bool ok = file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  if (lastError) *lastError = ok ? 0 : GetLastError();
  if (!ok && file) {
    file.reset();
    DeleteFileW(path.c_str());  // a half-written map is never left to be read as a whole one
  }
  return ok;
}

}  // namespace dorvex

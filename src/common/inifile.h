// An INI file read and written through the system's profile functions: the file is opened for
// each call and closed again, and a file without a byte-order mark stays in the ANSI code page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dorvex {

// True when every character of the text survives the ANSI code page of the settings files.
bool FitsAnsiCodePage(const std::wstring& text);
// The value as WriteExactString stores it.
std::wstring ExactProfileValue(const std::wstring& value);

class TIniFile {
 public:
  explicit TIniFile(std::wstring fileName) : fileName_(std::move(fileName)) {}
  const std::wstring& FileName() const { return fileName_; }

  std::wstring ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const;
  int32_t ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const;
  bool ReadBool(const std::wstring& section, const std::wstring& key, bool def) const;
  bool ValueExists(const std::wstring& section, const std::wstring& key) const;
  bool SectionExists(const std::wstring& section) const;
  std::vector<std::wstring> ReadSections() const;
  std::vector<std::wstring> ReadSectionKeys(const std::wstring& section) const;

  bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const;
  // Writes a value so that ReadString gives it back exactly: one with blanks at either end, or
  // enclosed in a pair of quotes, is stored between double quotes, which the reading strips.
  bool WriteExactString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const;
  bool WriteInteger(const std::wstring& section, const std::wstring& key, int32_t value) const;
  bool WriteBool(const std::wstring& section, const std::wstring& key, bool value) const;
  bool EraseSection(const std::wstring& section) const;
  bool DeleteKey(const std::wstring& section, const std::wstring& key) const;
  void Flush() const;  // makes cached writes reach the disk

 private:
  std::wstring fileName_;
};

// Replaces an INI file whole: its present content is copied beside it ("NAME.new"), write
// changes the copy, and the copy then takes the file's place in one rename, so that a reader
// never sees it half written and a failure leaves the old file as it was. A read-only file is
// not replaced. False with the Windows error in GetLastError.
bool ReplaceIniFile(const std::wstring& fileName, const std::function<bool(const TIniFile& copy)>& write);

}  // namespace dorvex

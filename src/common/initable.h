// An INI file read once into memory, in its own order, and answered from there by the same
// rules as the system's profile functions: the first section of a name and the first key of a
// name in it win, names are compared without regard to case, names and values are trimmed, a
// line without "=" is a key without a value, a file without a byte-order mark is in the ANSI
// code page. Upgrade maps of thousands of steps are read this way in linear time, where each
// profile call would read the whole file again.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace dorvex {

// White space beyond ASCII as the system classes it: the table trims names and values by it.
bool IsWideBlank(wchar_t c);

class TIniTable {
 public:
  struct Key {
    std::wstring name;
    std::wstring value;
    bool hasValue = false;  // false for a line without "="
  };
  struct Section {
    std::wstring name;
    std::vector<Key> keys;
    std::unordered_map<std::wstring, size_t> index;  // folded name -> first key of that name
  };

  TIniTable() = default;

  // Reads the whole file; false when it cannot be read (the table is then empty).
  bool LoadFromFile(const std::wstring& path);
  // Reads a text already converted to UTF-16.
  void LoadFromText(const std::wstring& text);
  // The bytes of a file as the profile functions would decode them (byte-order marks honoured).
  static std::wstring DecodeFileBytes(const std::string& bytes);

  // Section names as the profile functions list them: in file order, named sections only, a
  // repeated name listed again.
  std::vector<std::wstring> ReadSections() const;
  // Section names in file order with each name once (compared without case).
  std::vector<std::wstring> UniqueSections() const;
  // Key names of the first section of this name, comment lines and blank names left out.
  std::vector<std::wstring> ReadSectionKeys(const std::wstring& section) const;
  bool SectionExists(const std::wstring& section) const { return !ReadSectionKeys(section).empty(); }
  bool ValueExists(const std::wstring& section, const std::wstring& key) const;

  std::wstring ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const;
  // Decimal, or hexadecimal after "0x"; anything else gives the default.
  int32_t ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const;
  bool ReadBool(const std::wstring& section, const std::wstring& key, bool def) const;

  // Sets the first key of the name in the first section of the name, adding either when missing.
  void WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value);
  void WriteInteger(const std::wstring& section, const std::wstring& key, int64_t value);
  // The whole table as INI text, lines joined by CR LF.
  std::wstring Text() const;
  // Writes the table in the ANSI code page with one write; false (with the Windows error in
  // lastError) when the file cannot be written whole.
  bool SaveToFile(const std::wstring& path, unsigned long* lastError = nullptr) const;

  const std::vector<Section>& Sections() const { return sections_; }
  const Section* FindSection(const std::wstring& name) const;

 private:
  Section* FindSectionForWrite(const std::wstring& name);
  std::vector<Section> sections_;  // the first one holds the keys before any section header
  std::unordered_map<std::wstring, size_t> index_;  // folded name -> first section of that name
};

}  // namespace dorvex

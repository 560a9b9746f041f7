// The map table against any text: every key it was given is answered as the first of its name
// says, no other, and the table written out reads back the same.
#include <cstdio>
#include <string>

#include "common/initable.h"
#include "fuzz_target.h"

namespace dorvex::fuzz {

namespace {
// For messages only: the text with everything beyond ASCII as \x{...}.
std::string Narrow(const std::wstring& w) {
  std::string s;
  for (const wchar_t c : w) {
    if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(c));
      s += buf;
    }
  }
  return s;
}

std::wstring FoldAscii(const std::wstring& s) {
  std::wstring r = s;
  for (auto& c : r)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  return r;
}

// The answer the table must give, found by walking its sections and keys in file order: the
// first section of the name and the first key of the name in it.
bool LinearLookup(const TIniTable& t, const std::wstring& section, const std::wstring& key, std::wstring& value) {
  const std::wstring fs = FoldAscii(section), fk = FoldAscii(key);
  for (const auto& s : t.Sections()) {
    if (FoldAscii(s.name) != fs) continue;
    for (const auto& k : s.keys) {
      if (FoldAscii(k.name) != fk) continue;
      if (!k.hasValue) return false;
      value = k.value;
      if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
      return true;
    }
    return false;
  }
  return false;
}

}  // namespace

void CheckIniTableText(const std::wstring& text) {
  TIniTable t;
  t.LoadFromText(text);
  const auto& sections = t.Sections();
  FUZZ_CHECK(!sections.empty() && sections[0].name.empty(), "the table starts with the keys before any header");
  const std::wstring sentinel = L"\x1\x2 none";
  size_t asked = 0;
  for (const auto& s : sections) {
    for (const auto& k : s.keys) {
      if (++asked > 4000) break;
      // Every key it was given is answered, as the first of its name says.
      for (const std::wstring& name : {k.name, k.name + L"~"}) {
        std::wstring expected;
        const bool present = LinearLookup(t, s.name, name, expected);
        const std::wstring got = t.ReadString(s.name, name, sentinel);
        FUZZ_CHECK(got == (present ? expected : sentinel),
                   "[" + Narrow(s.name) + "] " + Narrow(name) + " gives " + Narrow(got) + " instead of " +
                       Narrow(present ? expected : sentinel));
#ifdef _WIN32
        t.ReadInteger(s.name, name, 7);  // numbers are read by the system's rules
#endif
      }
    }
  }
  // No section that was not given.
  for (const auto& s : sections) {
    const bool found = t.FindSection(s.name + L"~") != nullptr;
    bool given = false;
    for (const auto& o : sections) given |= FoldAscii(o.name) == FoldAscii(s.name + L"~");
    FUZZ_CHECK(found == given, "section " + Narrow(s.name) + "~");
  }
  // Unique sections: each name once, in file order, and every named section's name among them.
  const auto unique = t.UniqueSections();
  for (size_t i = 0; i < unique.size(); ++i)
    for (size_t j = i + 1; j < unique.size() && j < i + 200; ++j)
      FUZZ_CHECK(FoldAscii(unique[i]) != FoldAscii(unique[j]), "a section listed twice: " + Narrow(unique[i]));
  // The table written out and read again is the same table.
  TIniTable again;
  again.LoadFromText(t.Text());
  const auto& s2 = again.Sections();
  FUZZ_CHECK(s2.size() == sections.size(),
             std::to_string(sections.size()) + " sections read, " + std::to_string(s2.size()) + " after writing");
  for (size_t i = 0; i < sections.size(); ++i) {
    FUZZ_CHECK(s2[i].name == sections[i].name, "section name " + Narrow(sections[i].name));
    FUZZ_CHECK(s2[i].keys.size() == sections[i].keys.size(), "keys of [" + Narrow(sections[i].name) + "]");
    for (size_t j = 0; j < sections[i].keys.size(); ++j)
      FUZZ_CHECK(s2[i].keys[j].name == sections[i].keys[j].name && s2[i].keys[j].value == sections[i].keys[j].value &&
                     s2[i].keys[j].hasValue == sections[i].keys[j].hasValue,
                 "key " + Narrow(sections[i].keys[j].name));
  }
}

#ifndef _WIN32
// Natively the system's classes are not at hand: the characters it counts as white space.
}  // namespace dorvex::fuzz
namespace dorvex {
bool IsWideBlank(wchar_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}
}  // namespace dorvex
namespace dorvex::fuzz {

// The bytes become text as a file's do: after the UTF-16 byte-order mark as UTF-16 units (any
// unit, halves of pairs and unassigned ones included), else a unit a byte as the Cyrillic code
// page gives them (near enough: the upper half to Cyrillic letters).
void FuzzIniTable(const uint8_t* data, size_t size) {
  std::wstring text;
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    for (size_t i = 2; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  } else {
    for (size_t i = 0; i < size; ++i) text += static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0x0390 + data[i]);
  }
  CheckIniTableText(text);
}
#endif

}  // namespace dorvex::fuzz

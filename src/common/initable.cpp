#include "common/initable.h"

namespace dorvex {

namespace {
// Blanks as the profile functions skip them: the system's white space and the DOS end-of-file
// mark found on old CDs.
bool IsBlank(wchar_t c) {
  if (c < 0x80) return c == L' ' || (c >= 0x09 && c <= 0x0D) || c == 0x1A;
  return IsWideBlank(c);
}

// Names are compared without regard to the case of Latin letters, as the system's profile
// functions under Wine compare them (letters outside ASCII must match exactly there).
std::wstring Fold(const wchar_t* begin, const wchar_t* end) {
  std::wstring s(begin, end);
  for (auto& c : s)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  return s;
}

// A name asked for is trimmed before it is compared.
std::wstring FoldQuery(const std::wstring& name) {
  const wchar_t* b = name.data();
  const wchar_t* e = b + name.size();
  while (b < e && IsBlank(*b)) ++b;
  while (e > b && IsBlank(e[-1])) --e;
  return Fold(b, e);
}

// A value enclosed in matching single or double quotes is given without them.
std::wstring Unquote(const std::wstring& v) {
  if (v.size() >= 2 && (v.front() == L'"' || v.front() == L'\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}
}  // namespace

void TIniTable::LoadFromText(const std::wstring& text) {
  sections_.clear();
  index_.clear();
  sections_.push_back(Section{});  // keys before the first header
  index_.emplace(std::wstring(), 0);
  Section* current = &sections_.back();
  const wchar_t* p = text.data();
  const wchar_t* const end = p + text.size();
  while (p < end) {
    const wchar_t* b = p;
    while (p < end && *p != L'\n' && *p != L'\r') ++p;
    const wchar_t* e = p;
    while (p < end && (*p == L'\n' || *p == L'\r')) ++p;
    while (b < e && IsBlank(*b)) ++b;
    while (e > b && IsBlank(e[-1])) --e;
    if (b >= e) continue;

    if (*b == L'[') {
      const wchar_t* close = e - 1;
      while (close > b && *close != L']') --close;
      if (close > b) {  // the name stands between "[" and the last "]", trimmed
        const wchar_t* nb = b + 1;
        const wchar_t* ne = close;
        while (nb < ne && IsBlank(*nb)) ++nb;
        while (ne > nb && IsBlank(ne[-1])) --ne;
        Section s;
        s.name.assign(nb, ne);
        std::wstring folded = Fold(nb, ne);
        sections_.push_back(std::move(s));
        index_.emplace(std::move(folded), sections_.size() - 1);
        current = &sections_.back();
        continue;
      }
      // A "[" without "]" is an ordinary line.
    }
    Key key;
    const wchar_t* nameEnd = e;
    for (const wchar_t* q = b; q < e; ++q)
      if (*q == L'=') {
        nameEnd = q;
        const wchar_t* v = q + 1;
        while (v < e && IsBlank(*v)) ++v;
        key.value.assign(v, e);
        key.hasValue = true;
        break;
      }
    while (nameEnd > b && IsBlank(nameEnd[-1])) --nameEnd;
    key.name.assign(b, nameEnd);
    current->index.emplace(Fold(b, nameEnd), current->keys.size());
    current->keys.push_back(std::move(key));
  }
}

const TIniTable::Section* TIniTable::FindSection(const std::wstring& name) const {
  auto it = index_.find(FoldQuery(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

TIniTable::Section* TIniTable::FindSectionForWrite(const std::wstring& name) {
  auto it = index_.find(FoldQuery(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::vector<std::wstring> TIniTable::ReadSections() const {
  std::vector<std::wstring> out;
  for (size_t i = 1; i < sections_.size(); ++i)
    if (!sections_[i].name.empty()) out.push_back(sections_[i].name);
  return out;
}

std::vector<std::wstring> TIniTable::UniqueSections() const {
  std::vector<std::wstring> out;
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (sections_[i].name.empty()) continue;
    auto it = index_.find(Fold(sections_[i].name.data(), sections_[i].name.data() + sections_[i].name.size()));
    if (it != index_.end() && it->second == i) out.push_back(sections_[i].name);
  }
  return out;
}

std::vector<std::wstring> TIniTable::ReadSectionKeys(const std::wstring& section) const {
  // Listing compares the name as given, not trimmed, and leaves out comment lines, blank names
  // and lines without "=".
  std::vector<std::wstring> out;
  auto it = index_.find(Fold(section.data(), section.data() + section.size()));
  if (it == index_.end()) return out;
  for (const auto& k : sections_[it->second].keys)
    if (k.hasValue && !k.name.empty() && k.name[0] != L';') out.push_back(k.name);
  return out;
}

std::wstring TIniTable::ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const {
  const Section* s = FindSection(section);
  if (!s) return def;
  auto it = s->index.find(FoldQuery(key));
  if (it == s->index.end() || !s->keys[it->second].hasValue) return def;
  return Unquote(s->keys[it->second].value);
}

void TIniTable::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
  if (sections_.empty()) {
    sections_.push_back(Section{});
    index_.emplace(std::wstring(), 0);
  }
  Section* s = FindSectionForWrite(section);
  if (!s) {
    Section fresh;
    fresh.name = section;
    sections_.push_back(std::move(fresh));
    index_.emplace(FoldQuery(section), sections_.size() - 1);
    s = &sections_.back();
  }
  std::wstring folded = FoldQuery(key);
  auto it = s->index.find(folded);
  if (it != s->index.end()) {
    s->keys[it->second].value = value;
    s->keys[it->second].hasValue = true;
    return;
  }
  s->index.emplace(std::move(folded), s->keys.size());
  s->keys.push_back(Key{key, value, true});
}

void TIniTable::WriteInteger(const std::wstring& section, const std::wstring& key, int64_t value) {
  WriteString(section, key, std::to_wstring(value));
}

std::wstring TIniTable::Text() const {
  std::wstring out;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    // Only the keys before any header go without one: a later section named "[]" keeps its
    // header, or its keys would be read back as the previous section's.
    if (i > 0) out.append(L"[").append(s.name).append(L"]\r\n");
    for (const auto& k : s.keys) {
      out.append(k.name);
      if (k.hasValue) out.append(L"=").append(k.value);
      out.append(L"\r\n");
    }
  }
  return out;
}

}  // namespace dorvex

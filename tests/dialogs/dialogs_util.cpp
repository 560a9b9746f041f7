#include "dialogs_util.h"

#include "common/text.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/folders.h"
#include "ui/modal.h"
#include "upgrade/catalogue.h"

namespace dorvex::test {

std::vector<std::wstring> Reported;

void PrepareSettings(const std::wstring& content) {
  SetFileAttributesW(SettingsFileName().c_str(), FILE_ATTRIBUTE_NORMAL);
  WriteBytes(SettingsFileName(), WideToAnsi(content, 1251));
  LoadSettings();
  FreeProgramCatalogue();
  Reported.clear();
  BuildCatalogue(nullptr, nullptr, [](void*, const std::wstring& text) { Reported.push_back(text); });
}

std::string SettingsBytes() { return ReadBytes(SettingsFileName()); }

std::wstring IniValue(const std::string& bytes, const std::wstring& section, const std::wstring& key) {
  std::wstring text = AnsiToWide(bytes, 1251), current;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(L"\r\n", at);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(at, end - at);
    at = end + 2;
    if (line.size() > 1 && line[0] == L'[' && line.back() == L']') {
      current = line.substr(1, line.size() - 2);
    } else if (SameText(current, section)) {
      size_t eq = line.find(L'=');
      if (eq != std::wstring::npos && SameText(line.substr(0, eq), key)) return line.substr(eq + 1);
    }
  }
  return L"<none>";
}

Boxes::Boxes() {
  ui::SetMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
    shown.push_back(r);
    if (onShow) onShow(r);
    return (r.flags & MB_YESNO) ? answer : IDOK;
  });
}
Boxes::~Boxes() { ui::SetMessageBoxHandler(nullptr); }

Folders::Folders() {
  ui::SetFolderHandler([this](const ui::FolderRequest& r) {
    prompts.push_back(r.prompt);
    titles.push_back(r.title);
    initials.push_back(r.initial);
    if (answers.empty()) return std::wstring();
    std::wstring a = answers.front();
    answers.erase(answers.begin());
    return a;
  });
}
Folders::~Folders() { ui::SetFolderHandler(nullptr); }

ModalScript::ModalScript() {
  ui::SetModalHook([this](HWND form) {
    ++shown;
    if (actions.empty()) {
      PostMessageW(form, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    auto action = actions.front();
    actions.erase(actions.begin());
    action(form);
  });
}
ModalScript::~ModalScript() { ui::SetModalHook(nullptr); }

namespace {
struct Found {
  int id;
  HWND hwnd;
};
BOOL CALLBACK FindId(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<Found*>(lp);
  if (GetDlgCtrlID(h) == f->id) {
    f->hwnd = h;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

void Click(HWND form, int id) {
  Found f{id, nullptr};
  EnumChildWindows(form, FindId, reinterpret_cast<LPARAM>(&f));
  if (f.hwnd && !IsWindowEnabled(f.hwnd)) return;  // as a click on a disabled control: nothing
  if (f.hwnd && (GetWindowLongPtrW(f.hwnd, GWL_STYLE) & 0x0F) >= BS_CHECKBOX &&
      (GetWindowLongPtrW(f.hwnd, GWL_STYLE) & 0x0F) <= BS_AUTORADIOBUTTON) {
    SendMessageW(f.hwnd, BM_CLICK, 0, 0);
    return;
  }
  SendMessageW(form, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(f.hwnd));
}

void Type(HWND control, const std::wstring& text) { SetWindowTextW(control, text.c_str()); }

std::wstring TextOf(HWND control) {
  wchar_t buf[2048] = L"";
  GetWindowTextW(control, buf, 2048);
  return buf;
}

bool Checked(HWND control) { return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED; }

}  // namespace dorvex::test

namespace dorvex::test {
namespace {
struct IdSearch {
  int id;
  HWND h;
};
BOOL CALLBACK FindById(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<IdSearch*>(lp);
  if (GetDlgCtrlID(h) == s->id) {
    s->h = h;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

HWND GetDlgItemRecursive(HWND parent, int id) {
  IdSearch s{id, nullptr};
  EnumChildWindows(parent, FindById, reinterpret_cast<LPARAM>(&s));
  return s.h;
}
}  // namespace dorvex::test

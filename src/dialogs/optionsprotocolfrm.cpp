#include "dialogs/optionsprotocolfrm.h"

#include <commctrl.h>

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/formutil.h"
#include "ui/dialogs.h"
#include "ui/folders.h"

namespace dorvex {

namespace {
constexpr int kMaxFtpTimeOut = 3600;
const wchar_t* const kPageNames[] = {L"Доступ по FTP", L"Доступ по HTTP", L"Файловый доступ"};

LRESULT CALLBACK InsertKeyProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  if (msg == WM_KEYDOWN && wp == VK_INSERT && GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_CONTROL) >= 0 &&
      GetKeyState(VK_MENU) >= 0) {
    auto form = reinterpret_cast<HWND>(GetPropW(h, L"DorvexBrowseForm"));
    if (form)
      PostMessageW(form, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(data), BN_CLICKED), 0);
    return 0;
  }
  if (msg == WM_NCDESTROY) {
    RemovePropW(h, L"DorvexBrowseForm");
    RemoveWindowSubclass(h, InsertKeyProc, 7);
  }
  return DefSubclassProc(h, msg, wp, lp);
}
}  // namespace

void BindInsertToBrowse(HWND edit, HWND form, int buttonId) {
  SetPropW(edit, L"DorvexBrowseForm", form);
  SetWindowSubclass(edit, InsertKeyProc, 7, static_cast<DWORD_PTR>(buttonId));
}

// The fields whose values a cancel puts back, in the order of saved_.
const int TOptionsProtocolForm::kFields[] = {IDC_FTP_SERVER,  IDC_FTP_PORT,  IDC_FTP_TIMEOUT, IDC_FTP_USER,
                                             IDC_FTP_PASSWORD, IDC_FTP_ROOT, IDC_HTTP_SERVER, IDC_HTTP_PORT,
                                             IDC_HTTP_ROOT,   IDC_DISK_ROOT};

TOptionsProtocolForm::TOptionsProtocolForm() = default;

void TOptionsProtocolForm::CreateForm(HWND owner) {
  HWND frame = CreateTemplateForm(owner, L"Настройка протоколов загрузки", IDD_PROTOCOL);
  if (!frame) return;
  tabs_ = GetDlgItem(frame, IDC_PROTO_TABS);
  HWND area = GetDlgItem(frame, IDC_PROTO_PAGEAREA);
  const int templates[] = {IDD_PROTO_FTP, IDD_PROTO_HTTP, IDD_PROTO_DISK};
  for (int i = 0; i < 3; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(kPageNames[i]);
    SendMessageW(tabs_, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    pages_[i] = CreatePage(frame, templates[i], area, true);
  }
  for (int id : {IDC_FTP_PASSWORD}) SendMessageW(Item(id), EM_SETPASSWORDCHAR, L'*', 0);
  BindInsertToBrowse(Item(IDC_DISK_ROOT), hwnd_, IDC_DISK_ROOT_BTN);
  SelectPage(FtpPage);
}

void TOptionsProtocolForm::Fill(const TSettings& s) {
  EnsureCreated(nullptr);
  dlg::SetItemText(Item(IDC_FTP_SERVER), s.FtpServer);
  dlg::SetItemText(Item(IDC_FTP_PORT), s.FtpPort);
  dlg::SetItemText(Item(IDC_FTP_TIMEOUT), std::to_wstring(s.FtpTimeOut));
  dlg::SetItemText(Item(IDC_FTP_USER), s.FtpUserName);
  dlg::SetItemText(Item(IDC_FTP_PASSWORD), s.FtpPassword);
  dlg::SetItemText(Item(IDC_FTP_ROOT), s.FtpRootDir);
  dlg::SetChecked(Item(IDC_FTP_RESTORE), s.FtpEnableRestore);
  dlg::SetItemText(Item(IDC_HTTP_SERVER), s.HttpServer);
  dlg::SetItemText(Item(IDC_HTTP_PORT), s.HttpPort);
  dlg::SetItemText(Item(IDC_HTTP_ROOT), s.HttpRootDir);
  dlg::SetChecked(Item(IDC_HTTP_RESTORE), false);
  EnableWindow(Item(IDC_HTTP_RESTORE), FALSE);
  dlg::SetItemText(Item(IDC_DISK_ROOT), s.DiskRootDir);
}

void TOptionsProtocolForm::SelectPage(Page page) {
  active_ = page;
  SendMessageW(tabs_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  for (int i = 0; i < 3; ++i) {
    EnableWindow(pages_[i], i == page);
    ShowWindow(pages_[i], i == page ? SW_SHOWNA : SW_HIDE);
  }
}

int TOptionsProtocolForm::ShowPage(HWND owner, Page page) {
  EnsureCreated(owner);
  SelectPage(page);
  for (size_t i = 0; i < std::size(kFields); ++i) saved_[i] = dlg::ItemText(Item(kFields[i]));
  savedRestore_ = dlg::IsChecked(Item(IDC_FTP_RESTORE));
  int result = ShowModal(owner);
  if (result != IDOK) {
    for (size_t i = 0; i < std::size(kFields); ++i) dlg::SetItemText(Item(kFields[i]), saved_[i]);
    dlg::SetChecked(Item(IDC_FTP_RESTORE), savedRestore_);
  }
  return result;
}

bool TOptionsProtocolForm::Fail(HWND field, const std::wstring& message) {
  SelectPage(active_);
  ui::ShowError(hwnd_, message);
  SetFocus(field);
  SendMessageW(field, EM_SETSEL, 0, -1);
  return false;
}

void TOptionsProtocolForm::OkBtnClick() {
  auto text = [this](int id) { return dlg::ItemText(Item(id)); };
  auto trimmed = [this](int id) { return Trim(dlg::ItemText(Item(id))); };
  int pageFields[3][6] = {{IDC_FTP_SERVER, IDC_FTP_PORT, IDC_FTP_TIMEOUT, IDC_FTP_USER, IDC_FTP_PASSWORD, IDC_FTP_ROOT},
                          {IDC_HTTP_SERVER, IDC_HTTP_PORT, IDC_HTTP_ROOT, 0, 0, 0},
                          {IDC_DISK_ROOT, 0, 0, 0, 0, 0}};
  for (int id : pageFields[active_])
    if (id && dlg::HasLineBreak(text(id)))
      return void(Fail(Item(id), L"Значение поля не может содержать перевод строки."));
  switch (active_) {
    case FtpPage: {
      if (trimmed(IDC_FTP_SERVER).empty()) return void(Fail(Item(IDC_FTP_SERVER), L"Не указано имя ftp-сервера"));
      if (trimmed(IDC_FTP_PORT).empty()) return void(Fail(Item(IDC_FTP_PORT), L"Не указан порт ftp-сервера"));
      if (!dlg::IsValidPort(trimmed(IDC_FTP_PORT)))
        return void(Fail(Item(IDC_FTP_PORT), L"Порт ftp-сервера должен быть целым числом от 1 до 65535"));
      for (auto [id, name] : {std::pair{IDC_FTP_USER, L"Имя пользователя"}, std::pair{IDC_FTP_PASSWORD, L"Пароль"}})
        if (auto m = dlg::UnsavableTextMessage(text(id), name); !m.empty()) return void(Fail(Item(id), m));
      int32_t timeout = 0;
      if (!dlg::IsDigitsNumber(trimmed(IDC_FTP_TIMEOUT), timeout) || timeout == 0)
        return void(Fail(Item(IDC_FTP_TIMEOUT), L"Не указан тайм-аут ответа ftp-сервера"));
      if (timeout > kMaxFtpTimeOut)
        return void(Fail(Item(IDC_FTP_TIMEOUT),
                         Fmt(L"Тайм-аут ответа ftp-сервера не может быть больше %d секунд", kMaxFtpTimeOut)));
      break;
    }
    case HttpPage:
      if (trimmed(IDC_HTTP_SERVER).empty()) return void(Fail(Item(IDC_HTTP_SERVER), L"Не указано имя Http-сервера"));
      if (trimmed(IDC_HTTP_PORT).empty()) return void(Fail(Item(IDC_HTTP_PORT), L"Не указан порт Http-сервера"));
      if (!dlg::IsValidPort(trimmed(IDC_HTTP_PORT)))
        return void(Fail(Item(IDC_HTTP_PORT), L"Порт Http-сервера должен быть целым числом от 1 до 65535"));
      break;
    case DiskPage:
      if (trimmed(IDC_DISK_ROOT).empty()) return void(Fail(Item(IDC_DISK_ROOT), L"Не указан путь к файловому ресурсу"));
      break;
  }
  EndModal(IDOK);
}

void TOptionsProtocolForm::DiskRootDirBtnClick() {
  HWND edit = Item(IDC_DISK_ROOT);
  if (!IsWindowEnabled(pages_[DiskPage])) return;
  std::wstring chosen = ui::ChooseFolder(
      ui::FolderRequest{hwnd_, L"", L"Укажите каталог, в которым находятся обновления программ", dlg::ItemText(edit)});
  if (!chosen.empty()) dlg::SetItemText(edit, chosen);
}

void TOptionsProtocolForm::Command(int id, int code, HWND control) {
  switch (id) {
    case IDOK: OkBtnClick(); return;
    case IDC_DISK_ROOT_BTN:
      if (code == BN_CLICKED) DiskRootDirBtnClick();
      return;
  }
  TModalForm::Command(id, code, control);
}

LRESULT TOptionsProtocolForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    // Only the page that was asked for may be shown.
    if (hdr->hwndFrom == tabs_ && hdr->code == TCN_SELCHANGING) return TRUE;
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

}  // namespace dorvex

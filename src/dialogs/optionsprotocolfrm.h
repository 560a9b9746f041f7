// The protocol dialog of the options: the FTP, HTTP and file-resource parameters, shown one
// page at a time. Its fields are read when the options dialog is saved.
#pragma once

#include <windows.h>

#include <string>

#include "settings/options.h"
#include "ui/modal.h"

namespace dorvex {

class TOptionsProtocolForm : public ui::TModalForm {
 public:
  enum Page { FtpPage = 0, HttpPage = 1, DiskPage = 2 };

  TOptionsProtocolForm();
  // Fills the fields from a settings record (once, when the options dialog opens).
  void Fill(const TSettings& settings);
  // Shows the dialog modally with only the given page enabled and active. Cancelling puts back
  // the values the fields held when it opened.
  int ShowPage(HWND owner, Page page);
  // Makes the given page the only enabled and visible one (without showing the dialog).
  void SelectPage(Page page);
  Page ActivePage() const { return active_; }
  HWND PageWindow(Page page) const { return pages_[page]; }

  void OkBtnClick();
  void DiskRootDirBtnClick();

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  static const int kFields[];
  bool Fail(HWND field, const std::wstring& message);

  HWND tabs_ = nullptr;
  HWND pages_[3] = {};
  Page active_ = FtpPage;
  std::wstring saved_[10];
  bool savedRestore_ = false;
};

// Shared by the options dialog and the protocol dialog: the Insert key (without Shift, Ctrl or
// Alt) in an edit field sends its parent form a click of the given browse button.
void BindInsertToBrowse(HWND edit, HWND form, int buttonId);

}  // namespace dorvex

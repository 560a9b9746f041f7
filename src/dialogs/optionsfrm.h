// The options dialog: the settings and the delivery list, edited on copies and written only
// by the save button, which validates everything first and replaces the settings file in one
// step.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/optionsprotocolfrm.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "ui/modal.h"

namespace dorvex {

// What the dial-up page needs of the system's remote access (the phone book).
class TRasPhoneBook {
 public:
  virtual ~TRasPhoneBook() = default;
  virtual bool Available() = 0;
  // The phone-book entries' names in the order listed; 0 or the error code of the listing.
  virtual unsigned long ListEntries(std::vector<std::wstring>& names) = 0;
  // The user name of an entry's stored dial parameters; empty when they cannot be read.
  virtual std::wstring EntryUserName(const std::wstring& entry) = 0;
  // The system's dialogs that edit and create an entry: 0 or an error code.
  virtual unsigned long EditEntry(HWND owner, const std::wstring& entry) = 0;
  virtual unsigned long CreateEntry(HWND owner) = 0;
  // The text of an error code the functions above returned.
  virtual std::wstring ErrorText(unsigned long code) = 0;
};

class TOptionsForm : public ui::TModalForm {
 public:
  enum PageIndex { CommonPage, ProgramsPage, ConnectionPage, ProxyPage, RasPage, ServicePage, kPageCount };

  TOptionsForm();
  ~TOptionsForm() override;

  // Set before the dialog is shown: the report browser (the window layer above owns it) and
  // the phone book of the dial-up page (none: remote access is not installed).
  std::function<void(HWND owner, const std::wstring& repository)> OnShowReports;
  // Asked before OK writes the settings: false refuses the save (the dialog stays open); what it
  // hands back is held until the file is written (the main window's session lock).
  std::function<bool(HWND owner, std::shared_ptr<void>& hold)> BeforeSave;
  void SetPhoneBook(TRasPhoneBook* phoneBook) { phoneBook_ = phoneBook; }

  TProgramList& WorkingList() { return workingList_; }
  TOptionsProtocolForm& ProtocolForm() { return protocol_; }
  void SelectPage(int page);
  int ActivePage() const { return activePage_; }
  HWND PageWindow(int page) const { return pages_[page]; }
  bool RasChoiceShown() const;

  // The delivery list's rows.
  int RowCount() const;
  std::wstring RowText(int row, int column) const;
  int SelectedRow() const;
  void SelectRow(int row);
  TProgram* RowProgram(int row) const;
  // Puts an edited program on the list (the add flows of the editor and of auto-find).
  void AddEditedProgram(const TProgram& edited);

  // Handlers, named after their controls.
  void OkBtnClick();
  void AddBtnClick();
  void EditBtnClick();
  void DeleteBtnClick();
  void AutoFindBtnClick();
  void ProtocolBtnClick(TOptionsProtocolForm::Page page);
  void ProxyEnabledCheckBoxClick();
  void ProxyTypeComboBoxChange();
  void UpgradeFilesDirBtnClick();
  void ShowReportsBtnClick();
  void FillRasPage(const std::wstring& name);
  void EnableRASCheckBoxClick();
  void RasListViewChange();
  void RasPropertiesBtnClick();
  void RasCreateBtnClick();
  void UpdateControlStates();

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void FormCreate();
  void AddProgramRow(TProgram& program, bool select);
  void RefreshRow(int row);
  void EnablePage(int page, bool enabled);
  int PageOf(HWND control) const;
  bool Fail(HWND field, const std::wstring& message);
  bool SaveSafely(const TSettings& settings, std::wstring& error) const;
  void AddRasEntryRow(const std::wstring& entry, int number);
  void ApplyRasStates();

  // SaveSafely takes from the file what a session changed meanwhile; its list is mutable so.
  mutable TProgramList workingList_;
  std::map<std::wstring, double> openedVersions_;  // each program's VirtualVersion as the dialog opened
  TOptionsProtocolForm protocol_;
  TRasPhoneBook* phoneBook_ = nullptr;
  HWND tabs_ = nullptr;
  HWND pages_[kPageCount] = {};
  HWND rasNone_ = nullptr, rasChoice_ = nullptr;
  HFONT bold_ = nullptr;
  bool pageEnabled_[kPageCount] = {true, true, true, true, true, true};
  bool rasUsable_ = false;  // the RAS check box may be ticked (remote access listed its entries)
  // The listing failed or was empty while dial-up is on in the settings: the box stays ticked
  // and may only be cleared, so that dial-up can be switched off.
  bool rasOnlyOff_ = false;
  int activePage_ = 0;
};

}  // namespace dorvex

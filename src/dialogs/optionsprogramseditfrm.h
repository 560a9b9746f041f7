// The program editor: puts one catalogue program on the delivery list or changes where it is
// installed, on a private copy of the caller's list. The caller takes EditedProgram only after
// a confirmed close.
#pragma once

#include <windows.h>

#include "settings/programs.h"
#include "ui/modal.h"

namespace dorvex {

class TOptionsProgramsEditForm : public ui::TModalForm {
 public:
  TOptionsProgramsEditForm();
  ~TOptionsProgramsEditForm() override;

  void SetPrograms(const TProgramList& list);
  void RemoveActivePrograms();  // add mode
  void EditProgram(const TProgram& program);
  // The copy's program of the chosen entry with the fields written into it; null when none.
  TProgram* EditedProgram();

  void OkBtnClick();
  void ProgramComboChange();
  void VirtualCheckClick();
  void DirButtonClick(int buttonId);

  // Controls, for the callers and tests.
  HWND ProgramCombo{}, VirtualCheck{}, PathsPage{}, VersionPage{};
  HWND ExeDirLabel{}, ExeDirEdit{}, ExeDirBtn{}, UpgradeDirLabel{}, UpgradeDirEdit{}, UpgradeDirBtn{};
  HWND VersionEdit{}, OkBtn{};
  const TProgramList& Programs() const { return list_; }

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;

 private:
  TProgram* Selected() const;
  void Unhook(TProgram& p);

  TProgramList list_;
};

}  // namespace dorvex

// The choice between the standard and the emergency upgrade, per program on the delivery
// list, before a session.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "settings/programs.h"
#include "ui/modal.h"

namespace dorvex {

class TRepairSelectForm : public ui::TModalForm {
 public:
  explicit TRepairSelectForm(TProgramList& programs);
  ~TRepairSelectForm() override;

  HWND ListView() const { return list_; }
  HWND OkBtn() const { return ok_; }
  int RowState(int row) const { return states_.at(static_cast<size_t>(row)); }
  std::wstring RowText(int row, int column) const;

  void FormCreate();
  void OkBtnClick();
  void ListViewDblClick();
  void ListViewKeyPress(wchar_t key);

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void Flip(int row);
  static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

  TProgramList& programs_;
  std::vector<TProgram*> rows_;
  std::vector<int> states_;
  HWND list_ = nullptr, ok_ = nullptr;
  HIMAGELIST icons_ = nullptr;
};

}  // namespace dorvex

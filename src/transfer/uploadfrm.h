// The wizard that writes chosen version steps of the repository to floppy disks: "Выбор",
// "Подготовка дискет", "Запись", "Окончание". It is handed the repository manager's tree
// (node kinds are the nodes' pictures: 1 program, 2 version step, 3 emergency group, 4 file)
// and the manager's map from file paths to file nodes.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <utility>
#include <vector>

#include "transfer/uploadset.h"
#include "ui/modal.h"

namespace dorvex {

using UploadPathMap = std::vector<std::pair<std::wstring, HTREEITEM>>;

enum TreeNodeKind { nkRoot = 0, nkProgram = 1, nkStep = 2, nkEmergency = 3, nkFile = 4 };

// The manager's tree carries each node's kind as its picture in the small strip (the computer,
// a folder, an open folder, a folder with a warning, a file); the wizard reads it back.
int TreeNodeImage(int kind);
int TreeNodeKindOfImage(int image);
constexpr int kFloppyDriveImage = 6;

class TUploadForm : public ui::TModalForm {
 public:
  TUploadForm(HWND tree, const UploadPathMap& pathMap, std::wstring sessionTempDir);
  ~TUploadForm() override;

  enum Page { pgSelect = 0, pgPrepare = 1, pgWrite = 2, pgDone = 3 };
  struct Row {
    HTREEITEM Node;
    bool Choosable;
    bool Chosen;
  };

  void FillSelection(HWND tree);
  void PrepareSet();

  void FormCreate();
  void FormDestroy();
  bool FormCloseQuery();
  void FormKeyPress(wchar_t key);
  void CancelBtnClick();
  void PrevBtnClick();
  void NextBtnClick();
  void ListViewDblClick();
  void ListViewKeyPress(wchar_t key);
  void WizardControlPageChanged();
  bool WizardControlChangingPage(int from, int to);
  void WizardControlEnterPage(int page);
  void DiskComboBoxDrawItem(const DRAWITEMSTRUCT& item);
  void DiskComboBoxKeyPress(wchar_t key);
  void WriteDiskBtnClick();

  // What the tests look at.
  int CurrentPage() const { return page_; }
  const std::vector<Row>& Rows() const { return rows_; }
  int ChosenCount() const { return chosen_; }
  std::wstring RowText(int row, int column) const;
  void SelectRow(int row);
  TUploadSet& Set() { return set_; }
  bool Writing() const { return writing_; }
  HWND ListView() const { return list_; }
  HWND DiskCombo() const { return drives_; }
  HWND PrevBtn() const { return prev_; }
  HWND NextBtn() const { return next_; }
  HWND CancelBtn() const { return cancel_; }
  HWND WriteDiskBtn() const { return write_; }
  HWND FormatCheck() const { return format_; }
  HWND TotalLabel() const { return total_; }
  HWND ChosenLabel() const { return chosenText_; }
  HWND DisksLabel() const { return disks_; }
  HWND DisksNounLabel() const { return disksNoun_; }
  HWND CounterLabel() const { return counter_; }
  HWND OperationLabel() const { return operation_; }
  HWND PercentLabel() const { return percent_; }
  HWND InsertPanel() const { return insertPanel_; }
  HWND ProgressPanel() const { return progressPanel_; }
  std::wstring ChosenDrive() const;

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void Toggle(int row);
  void GoTo(int page);
  void ShowButtons();
  std::vector<std::wstring> SelectedPaths() const;
  HWND Label(int page, const std::wstring& text, int x, int y, int w, int h, bool bold = false);
  HWND Add(int page, const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w, int h, int id = 0,
           DWORD exStyle = 0);
  static LRESULT CALLBACK KeyProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

  HWND tree_;
  const UploadPathMap& pathMap_;
  std::wstring sessionTempDir_;
  std::vector<Row> rows_;
  int chosen_ = 0;
  int page_ = -1;
  bool writing_ = false;
  TUploadSet set_;
  std::vector<HWND> pages_[4];
  HWND list_ = nullptr, drives_ = nullptr, prev_ = nullptr, next_ = nullptr, cancel_ = nullptr, write_ = nullptr;
  HWND format_ = nullptr, total_ = nullptr, chosenText_ = nullptr, disks_ = nullptr, disksNoun_ = nullptr;
  HWND counter_ = nullptr, operation_ = nullptr, percent_ = nullptr, progress_ = nullptr;
  HWND insertPanel_ = nullptr, progressPanel_ = nullptr;
  std::vector<HWND> insertGroup_, progressGroup_;
  HFONT bold_ = nullptr, big_ = nullptr;
  std::vector<HWND> headerLabels_;  // drawn on the white header strip
  HIMAGELIST icons_ = nullptr;
};

}  // namespace dorvex

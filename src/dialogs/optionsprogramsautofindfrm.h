// The search for installed programs of the family: walks the chosen drives for the executables
// of the catalogue programs not yet on the delivery list, and adds the hits the user picks
// through the program editor.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/routines.h"
#include "settings/programs.h"
#include "ui/modal.h"

namespace dorvex {

// A drive root as the platform lists it ("C:\") with its GetDriveType kind.
struct DriveRoot {
  std::wstring root;
  unsigned type;
};
using DriveListSource = std::function<std::vector<DriveRoot>()>;
// Tests give the search their own roots here; the program never sets a source.
void SetDriveListSource(DriveListSource source);

class TOptionsProgramsAutoFindForm : public ui::TModalForm {
 public:
  enum PageIndex { ParamsPage, SearchPage, ResultsPage };
  struct Result {
    std::wstring dir;  // ends in "\"
    int program;       // index in the copy
  };

  TOptionsProgramsAutoFindForm();
  ~TOptionsProgramsAutoFindForm() override;

  void SetPrograms(const TProgramList* list);
  // Takes a program confirmed in the editor (the options dialog puts it on its list).
  std::function<void(const TProgram& edited)> OnAdd;
  // Told of every directory the search enters (the display shows it; tests follow it).
  std::function<void(const std::wstring& dir)> OnDirectory;

  int ActivePage() const { return page_; }
  bool Searching() const { return searching_; }
  const std::vector<Result>& Results() const { return results_; }
  const std::wstring& LocalRoots() const { return localRoots_; }
  const std::wstring& NetworkRoots() const { return networkRoots_; }
  std::wstring LocalHint() const { return L"Диски " + localRoots_; }
  std::wstring NetworkHint() const { return L"Диски " + networkRoots_; }
  int Seconds() const { return seconds_; }
  const TProgramList& Programs() const { return list_; }

  int RowCount() const;
  std::wstring RowText(int row, int column) const;
  void SelectRow(int row);
  int SelectedRow() const;

  void SearchBtnClick();
  void CancelBtnClick();
  void AddBtnClick();
  void SortBy(int column);
  void UpdateDriveChooser();

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void ShowPage(int page);
  void EnterResultsPage();
  void RunSearch();
  void Walk(const std::wstring& dir, int depth);
  void FillResults();
  int RowResult(int row) const;

  TProgramList list_;
  bool hasList_ = false;
  std::wstring localRoots_, networkRoots_, chosenRoots_;
  std::vector<std::wstring> local_, network_;
  std::vector<Result> results_;
  TVisitedDirs visited_;
  HWND pages_[3] = {};
  HWND tip_ = nullptr;
  HFONT bold_ = nullptr;
  int page_ = ParamsPage;
  int seconds_ = 0;
  int found_ = 0;
  int sortColumn_ = 0;
  bool searching_ = false;
};

}  // namespace dorvex

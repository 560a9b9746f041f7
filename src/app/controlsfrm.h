// The hidden holder of the main window's four content pages. Each page's controls live here
// while the page is not shown; the main window moves them onto its panel to show a page.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "ui/controls.h"

namespace dorvex {

enum ControlIds {
  IDC_SAVE_REPORT = 201,
  IDC_PRINT_REPORT = 202,
  IDC_OTHER_REPORTS = 203,
};

class TControlsForm : public ui::Window {
 public:
  static constexpr int kPageCount = 4;
  static const wchar_t* const kPageTitles[kPageCount];

  TControlsForm();
  ~TControlsForm() override;

  struct PlacedControl {
    HWND hwnd;
    RECT design;  // position within the page
  };
  const std::vector<PlacedControl>& PageControls(int page) const { return pages_[page]; }

  // Page 1, the download progress
  HWND ProgramLabel{}, ActionLabel{}, ConnectedLabel{}, ErrorLabel{}, ProcessBreakingLabel{};
  HWND CurrentReceiveTrafficLabel{}, CurrentSendTrafficLabel{}, SizeForDownloadLabel{}, SpeedLabel{},
      RemainTimeLabel{};
  // Page 2, the upgrade
  HWND UpgradeActionLabel{};
  // Page 3, the report
  HWND ReportMemo{}, SaveReportBtn{}, PrintReportBtn{}, OtherReportsBtn{};

  // Composes the session report, shows its protocol part and files it.
  void BuildReport(const std::vector<std::wstring>& sessionLines, int64_t bytesSent, int64_t bytesReceived,
                   TDateTime sessionStart);
  const std::vector<std::wstring>& ReportText() const { return reportText_; }
  bool ReportFailed = false;  // the last report could not be filed beside the program
  void SaveReportBtnClick();
  void PrintReportBtnClick();
  void OtherReportsBtnClick();
  // The window the report page's dialogs belong to.
  void SetDialogOwner(HWND owner) { dialogOwner_ = owner; }

 private:
  HWND Add(int page, HWND control);
  HWND AddLabel(int page, const std::wstring& text, int x, int y, int w, int h, DWORD style = ui::LabelLeft,
                HFONT font = nullptr, COLORREF color = CLR_DEFAULT);
  HWND AddButton(int page, int id, const std::wstring& text, int x, int y, int w, int h);

  std::vector<PlacedControl> pages_[kPageCount];
  std::vector<std::wstring> reportText_;
  std::vector<std::wstring> memoLines_;
  HWND dialogOwner_ = nullptr;
  HFONT headingFont_ = nullptr;
  HFONT boldFont_ = nullptr;
};

}  // namespace dorvex

#include "app/controlsfrm.h"

#include "app/report.h"
#include "app/reportsfrm.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "ui/dialogs.h"
#include "ui/modal.h"

namespace dorvex {

const wchar_t* const TControlsForm::kPageTitles[kPageCount] = {L"Приглашение", L"Загрузка обновлений", L"Обновление",
                                                              L"Отчет"};

namespace {
const wchar_t kHolderClass[] = L"DorvexControlsHolder";
constexpr COLORREF kHeadingColor = RGB(0x1F, 0x3A, 0x70);
constexpr COLORREF kErrorColor = RGB(0xB0, 0x10, 0x10);
}  // namespace

TControlsForm::TControlsForm() {
  RegisterWindowClass(kHolderClass, 0, GetSysColorBrush(COLOR_BTNFACE));
  CreateWindowObject(kHolderClass, L"", WS_POPUP, WS_EX_TOOLWINDOW, 0, 0, 601, 260, nullptr, nullptr);
  headingFont_ = ui::MakeFont(L"Tahoma", 11, true);
  boldFont_ = ui::MakeFont(L"Tahoma", 8, true);

  // Page 0: the invitation
  AddLabel(0, L"ДОРВЕКС:", 24, 14, 550, 22, ui::LabelLeft, headingFont_, kHeadingColor);
  const wchar_t* bullets[] = {L"• определяет необходимость обновления программ;",
                              L"• загружает необходимые файлы обновлений программ;",
                              L"• размещает их в специальном хранилище;", L"• обновляет программы до последних версий."};
  for (int i = 0; i < 4; ++i) AddLabel(0, bullets[i], 40, 44 + i * 20, 530, 18);
  AddLabel(0, L"Доставка и обновление программ производится автоматически", 24, 136, 550, 18, ui::LabelLeft, boldFont_);
  AddLabel(0, L"Для запуска доставки и обновлений, нажмите кнопку «Доставить обновления»", 24, 214, 550, 18);

  // Page 1: the download progress
  AddLabel(1, L"Загрузка обновлений", 24, 10, 550, 22, ui::LabelLeft, headingFont_, kHeadingColor);
  ProgramLabel = AddLabel(1, L"", 24, 38, 550, 16, ui::LabelLeft, boldFont_);
  ActionLabel = AddLabel(1, L"", 24, 58, 550, 16);
  ConnectedLabel = AddLabel(1, L"", 24, 78, 550, 16);
  ErrorLabel = AddLabel(1, L"", 24, 98, 550, 44, ui::LabelWordWrap, nullptr, kErrorColor);
  ProcessBreakingLabel = AddLabel(1, L"Ждите, идет завершение текущей операции...", 24, 146, 550, 16, ui::LabelLeft,
                                  boldFont_, kErrorColor);
  ui::SetVisible(ProcessBreakingLabel, false);
  CurrentReceiveTrafficLabel = AddLabel(1, L"", 24, 170, 270, 16);
  CurrentSendTrafficLabel = AddLabel(1, L"", 300, 170, 275, 16);
  SizeForDownloadLabel = AddLabel(1, L"", 24, 190, 550, 16);
  SpeedLabel = AddLabel(1, L"", 24, 210, 270, 16);
  RemainTimeLabel = AddLabel(1, L"", 300, 210, 275, 16);

  // Page 2: the upgrade
  AddLabel(2, L"Обновление программ", 24, 10, 550, 22, ui::LabelLeft, headingFont_, kHeadingColor);
  UpgradeActionLabel = AddLabel(2, L"", 24, 44, 550, 60, ui::LabelWordWrap);

  // Page 3: the report
  ReportMemo = Add(3, CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                      12, 8, 577, 198, hwnd_, nullptr, ui::Instance(), nullptr));
  SendMessageW(ReportMemo, WM_SETFONT, reinterpret_cast<WPARAM>(ui::DefaultFont()), FALSE);
  SaveReportBtn = AddButton(3, IDC_SAVE_REPORT, L"Сохранить отчет", 12, 214, 150, 26);
  PrintReportBtn = AddButton(3, IDC_PRINT_REPORT, L"Распечатать отчет", 170, 214, 150, 26);
  OtherReportsBtn = AddButton(3, IDC_OTHER_REPORTS, L"Посмотреть другие отчеты", 409, 214, 180, 26);
}

TControlsForm::~TControlsForm() {
  // The controls may sit on the main panel at this moment: destroy them wherever they are.
  for (auto& page : pages_)
    for (auto& c : page)
      if (IsWindow(c.hwnd)) DestroyWindow(c.hwnd);
  if (headingFont_) DeleteObject(headingFont_);
  if (boldFont_) DeleteObject(boldFont_);
}

void TControlsForm::BuildReport(const std::vector<std::wstring>& sessionLines, int64_t bytesSent,
                                int64_t bytesReceived, TDateTime sessionStart) {
  SetWindowTextW(ReportMemo, L"");
  ReportInput input{sessionLines, bytesSent, bytesReceived, sessionStart, Now()};
  ComposedReport report = ComposeReport(input, ProgramCatalogue());
  reportText_ = report.lines;
  memoLines_ = report.protocol;
  std::wstring memo;
  for (size_t i = 0; i < memoLines_.size(); ++i) memo += (i ? L"\r\n" : L"") + memoLines_[i];
  SetWindowTextW(ReportMemo, memo.c_str());

  const TSettings& s = Settings();
  ReportFailed = false;
  std::wstring dated;
  if (s.EnableLogReports && DirectoryExists(s.UpgradeFilesDir)) {
    dated = DatedReportPath(s.UpgradeFilesDir, input.end);
    unsigned long error = 0;
    if (!ForceDirectories(ExtractFilePath(dated))) error = GetLastError();
    if (error != 0 || !WriteTextLines(dated, reportText_, &error)) {
      reportText_.push_back(Fmt(L"Ошибка создания файла отчета (%s). Windows вернула ошибку: %s", dated,
                                WindowsErrorText(error)));
      dated.clear();
    }
  }
  const std::wstring fixed = FixedReportPath();
  unsigned long error = 0;
  if (!WriteTextLines(fixed, reportText_, &error)) {
    ReportFailed = true;
    const std::wstring text =
        Fmt(L"Ошибка создания файла отчета (%s). Windows вернула ошибку: %s", fixed, WindowsErrorText(error));
    if (AutoMode()) {
      // Nobody is there to press OK: the dated report tells it, or else the event log.
      reportText_.push_back(text);
      if (dated.empty() || !WriteTextLines(dated, reportText_, nullptr)) ReportToEventLog(text);
    } else {
      ui::ShowMessageBox(dialogOwner_, text, ui::ApplicationTitle(), MB_OK | MB_ICONERROR);
    }
  }
  EnableWindow(OtherReportsBtn, s.EnableLogReports);
}

void TControlsForm::SaveReportBtnClick() {
  std::wstring path = ui::ChooseSaveFile(ui::SaveFileRequest{
      dialogOwner_, L"Сохранение протокола", ExtractFilePath(FixedReportPath()), L"Протокол работы Дорвекса.txt",
      L"*.txt", L"Текстовые файлы (*.txt)|*.txt|Все файлы (*.*)|*.*"});
  if (path.empty()) return;
  unsigned long error = 0;
  if (!WriteTextLines(path, memoLines_, &error))
    ui::ShowMessageBox(dialogOwner_,
                       Fmt(L"Ошибка создания файла отчета (%s). Windows вернула ошибку: %s", path, WindowsErrorText(error)),
                       ui::ApplicationTitle(), MB_OK | MB_ICONERROR);
}

void TControlsForm::PrintReportBtnClick() {
  ui::ShellRun(ui::ShellRequest{L"print", FixedReportPath(), L"", ExtractFilePath(FixedReportPath()), SW_HIDE});
}

void TControlsForm::OtherReportsBtnClick() {
  if (!IsWindowEnabled(OtherReportsBtn)) return;
  TReportsForm browser;
  browser.EnsureCreated(dialogOwner_);
  try {
    browser.ShowReports(Settings().UpgradeFilesDir);
  } catch (const Error& e) {
    ui::ShowError(dialogOwner_, e.Message());
    return;
  }
  browser.ShowModal(dialogOwner_);
}

HWND TControlsForm::Add(int page, HWND control) {
  RECT rc;
  GetWindowRect(control, &rc);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rc), 2);
  pages_[page].push_back(PlacedControl{control, rc});
  return control;
}

HWND TControlsForm::AddLabel(int page, const std::wstring& text, int x, int y, int w, int h, DWORD style, HFONT font,
                             COLORREF color) {
  return Add(page, ui::CreateLabel(hwnd_, text, x, y, w, h, style, font, color));
}

HWND TControlsForm::AddButton(int page, int id, const std::wstring& text, int x, int y, int w, int h) {
  HWND b = CreateWindowExW(0, L"BUTTON", text.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, x, y, w, h,
                           hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ui::Instance(), nullptr);
  SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(ui::DefaultFont()), FALSE);
  return Add(page, b);
}

}  // namespace dorvex

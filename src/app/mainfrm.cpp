#include "app/mainfrm.h"


#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/errors.h"
#include "common/handles.h"
#include "common/pump.h"
#include "common/routines.h"
#include "protocols/http.h"
#include "common/text.h"
#include "app/reportsfrm.h"
#include "app/sessionlock.h"
#include "dialogs/optionsfrm.h"
#include "repository/upgrademanagerfrm.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "upgrade/catalogue.h"
#include "ui/dialogs.h"
#include "ui/modal.h"
#include "ui/picture.h"
#include "ui/pump.h"

namespace dorvex {

namespace {
const wchar_t kMainClass[] = L"DorvexMainForm";
const wchar_t kPanelClass[] = L"DorvexMainPanel";
constexpr int kClientWidth = 601;
constexpr int kClientHeight = 377;
constexpr int kSeparatorTop = 84;
constexpr COLORREF kTitleColor = RGB(0x1F, 0x3A, 0x70);

// True when the memory at p can take a 32-bit write: the 0x41F message may come from another
// program with pointers that mean nothing here, and must not bring this one down.
bool IsWritableInt(const void* p) {
  if (!p) return false;
  MEMORY_BASIC_INFORMATION mbi{};
  if (!VirtualQuery(p, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return false;
  const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if (!(mbi.Protect & writable) || (mbi.Protect & PAGE_GUARD)) return false;
  auto end = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
  return static_cast<const char*>(p) + sizeof(int32_t) <= end;
}

// Only a directory this program could have made is ever removed at exit: the "TempDir" key
// is a plain text in the settings file and may name any directory at all.
bool LooksLikeSessionTempDir(const std::wstring& path) {
  std::wstring name = ExtractFileName(ExcludeTrailingBackslash(path));
  return name.size() > 7 && StartsWithText(name, L"~KT") && SameText(name.substr(name.size() - 4), L".tmp");
}
}  // namespace

// The main panel: the window's whole client area, painted with the panel colour and the
// background picture, under every other control.
class TMainPanel : public ui::Window {
 public:
  TMainPanel(HWND owner, int width, int height) : owner_(owner) {
    RegisterWindowClass(kPanelClass, CS_HREDRAW | CS_VREDRAW, nullptr);
    CreateWindowObject(kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, width, height, owner,
                       nullptr);
  }
  ~TMainPanel() override { picture_.reset(); }

  void SetBackground(COLORREF color, HBITMAP picture) {
    color_ = color;
    picture_.reset(picture);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
  bool HasPicture() const { return static_cast<bool>(picture_); }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    switch (msg) {
      case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd_, &rc);
        Paint(reinterpret_cast<HDC>(wp), 0, 0, rc);
        return 1;
      }
      case ui::WM_DX_PAINTBACKGROUND: {
        HWND child = reinterpret_cast<HWND>(lp);
        RECT rc;
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rc), 2);
        Paint(reinterpret_cast<HDC>(wp), rc.left, rc.top, RECT{0, 0, rc.right - rc.left, rc.bottom - rc.top});
        return 1;
      }
      case WM_COMMAND:
      case WM_CTLCOLORSTATIC:
        return SendMessageW(owner_, msg, wp, lp);
    }
    return Default(msg, wp, lp);
  }

 private:
  // Paints the panel's background into dc, whose origin lies at (ox, oy) of the panel.
  void Paint(HDC dc, int ox, int oy, RECT area) {
    HBRUSH brush = CreateSolidBrush(color_);
    FillRect(dc, &area, brush);
    DeleteObject(brush);
    if (picture_) {
      BITMAP bm{};
      GetObjectW(picture_.get(), sizeof bm, &bm);
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, picture_.get());
      BitBlt(dc, 1 - ox, 1 - oy, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteDC(mem);
    }
  }

  HWND owner_;
  COLORREF color_ = GetSysColor(COLOR_BTNFACE);
  GdiObject picture_;
};

TMainForm::TMainForm()
    : DialUp(DialUpSink{[this](const std::wstring& text) { ShowAction(text); },
                        [this](const std::wstring& text) { ShowSessionMessage(this, text); },
                        [this] { return StopRequested; }, [this] { SetStopRequested(true); }}) {}

TMainForm::~TMainForm() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);  // runs FormDestroy while this is still a TMainForm
  if (keyFilter_) ui::RemoveMessageFilter(keyFilter_);
  if (buttonImages_) ImageList_Destroy(buttonImages_);
  if (titleFont_) DeleteObject(titleFont_);
  if (subtitleFont_) DeleteObject(subtitleFont_);
}

HWND TMainForm::Panel() const { return panel_ ? panel_->Handle() : nullptr; }
bool TMainForm::HasBackground() const { return panel_ && panel_->HasPicture(); }

int TMainForm::ActiveProgramCount() const { return ProgramCatalogue() ? ProgramCatalogue()->ActiveCount() : 0; }

void TMainForm::Create() {
  RegisterWindowClass(kMainClass, 0, GetSysColorBrush(COLOR_BTNFACE),
                      LoadIconW(ui::Instance(), L"MAINICON"));
  const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT rc{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&rc, style, FALSE, 0);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int x = work.left + (work.right - work.left - w) / 2, y = work.top + (work.bottom - work.top - h) / 2;
  CreateWindowObject(kMainClass, L"Доставка обновлений", style, 0, x, y, w, h, nullptr, nullptr);
  if (!hwnd_) throw Error(Fmt(L"Нельзя создать главное окно программы. Ошибка Windows: «%s»", WindowsErrorText(GetLastError())));
  HMENU sys = GetSystemMenu(hwnd_, FALSE);
  if (sys) {
    EnableMenuItem(sys, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(sys, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
  }
  SetApplicationWindow(hwnd_);
  CreateControls();
  created_ = true;
  FormCreate();
}

void TMainForm::Show() {
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  SetForegroundWindow(hwnd_);
}

bool TMainForm::Close() {
  if (!hwnd_) return true;
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
  return hwnd_ == nullptr || !IsWindow(hwnd_);
}

void TMainForm::CreateControls() {
  panel_ = std::make_unique<TMainPanel>(hwnd_, kClientWidth, kClientHeight);
  HWND p = panel_->Handle();
  titleFont_ = ui::MakeFont(L"Arial", 24, true);
  subtitleFont_ = ui::MakeFont(L"Tahoma", 9, false);

  ui::CreateLabel(p, L"ДОРВЕКС", 16, 6, 260, 40, ui::LabelLeft, titleFont_, kTitleColor);
  ui::CreateLabel(p, L"для программ «Ворел-Софт»", 18, 44, 260, 18, ui::LabelLeft, subtitleFont_, kTitleColor);
  VersionLabel = ui::CreateLabel(p, L"версия: %s от %sг.", 18, 63, 190, 16);
  ActiveProgramsLabel = ui::CreateLabel(p, L"", 300, 8, 285, 16, ui::LabelRight);
  LastRunCaptionLabel = ui::CreateLabel(p, L"", 300, 28, 285, 16, ui::LabelRight);
  LastRunLabel = ui::CreateLabel(p, L"", 300, 45, 285, 16, ui::LabelRight);
  // Wide enough for «Последний сеанс 08.12.2026 г. в 23:36: обновлений не требовалось», its
  // longest text, and beside the version, not over it.
  LastOutcomeLabel = ui::CreateLabel(p, L"", 210, 64, 375, 16, ui::LabelRight);
  Separator = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_GRAYRECT, 10, kSeparatorTop, 581, 1, p,
                              nullptr, ui::Instance(), nullptr);

  // The bottom bar
  CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_GRAYRECT, 10, 326, 581, 1, p, nullptr, ui::Instance(),
                  nullptr);
  IsRepeatingLabel = ui::CreateLabel(p, L"Повтор:", 14, 336, 50, 16);
  AttemptCountLabel = ui::CreateLabel(p, L"", 66, 336, 200, 16);
  PauseRemaingLabel = ui::CreateLabel(p, L"", 14, 354, 340, 16);

  buttonImages_ = ui::LoadMaskedStrip(ui::Instance(), L"BUTTONS", 32);
  struct ButtonDef {
    HWND* target;
    int id;
    int index;
    const wchar_t* hint;
  } defs[] = {
      {&RunBtn, IDC_RUN, 4, L"Доставить обновления"},       {&StopBtn, IDC_STOP, 0, L"Прервать доставку"},
      {&OptionsBtn, IDC_OPTIONS, 2, L"Настройки"},           {&UpgradeInfoBtn, IDC_UPGRADE_INFO, 6, L"Хранилище обновлений"},
      {&CloseBtn, IDC_CLOSE, 8, L"Выход из программы"},
  };
  int x = kClientWidth - 10 - 5 * 42;
  for (auto& d : defs) {
    *d.target = ui::CreatePictureButton(p, d.id, buttonImages_, d.index, d.hint, x, 332, 40, 40);
    x += 42;
  }

  controls_ = std::make_unique<TControlsForm>();
  controls_->SetDialogOwner(hwnd_);
}

void TMainForm::FormCreate() {
  // 1. the help link
  help_ = std::make_unique<ui::THelpLink>(ExecutablePath());
  // 2.-3. pages and the idle state
  ShowPage(0);
  SetRunning(false);
  // 4. the version caption
  ui::SetText(VersionLabel, Fmt(L"версия: %s от %sг.", ProgramVersionText(), ProgramVersionDate()), false);
  // 5. F1 and the help file
  help_->SetHelpFile(ChangeFileExt(ExecutablePath(), L".hlp"));
  help_->InstallF1Hook();
  InstallKeyPreview();
  // 6. dial-up: the window for the dial events and their message
  DialUp.Prepare();
  // 7.-9.
  BytesReceived = BytesSent = ProgramBytesReceived = 0;
  LastRun = ReadLastRun();
  RemoveTempDirOnExit = false;
  LoadSettings();  // the repository, whose lock guards what the window writes
  // 10. the session temporary directory: reused while it exists, else made anew; recorded in the
  // settings only while no other session holds the repository (that one's record stands)
  SessionTempDir = ReadSessionTempDir();
  if (!DirectoryExists(SessionTempDir)) {
    RemoveTempDirOnExit = true;
    SessionTempDir.clear();
    SessionTempDir = CreateTempDirectory(GetSystemTempDirectory(), L"~KT");
    SetCurrentDirectoryW(SessionTempDir.c_str());
    if (SessionLockHold lock; TryLockQuietly(lock)) WriteSessionTempDir(SessionTempDir);
  }
  // 11. the program list with the user's delivery list
  BuildCatalogue([this](void* sender, bool sent, int32_t count) { ShowTraffic(sender, sent, count); },
                 [this](void* sender, bool connected) { ShowConnectionState(sender, connected); },
                 [this](void* sender, const std::wstring& text) { ShowSessionMessage(sender, text); });
  // 12. the settings
  LoadSettings();
  // 13.
  ShowIdleInfo();
  // 14. the pictures
  LoadBackground();
  // 15. empty progress display
  ShowAttempt(-1);
  ShowConnectionState(nullptr, false);
  ShowSessionMessage(nullptr, L"");
  ShowTraffic(nullptr, true, 0);
  ShowTraffic(nullptr, false, 0);
  ShowAction(L"");
  ui::SetText(PauseRemaingLabel, L"", false);
  // 16. the automatic start, once the message loop runs
  if (AutoMode()) PostMessageW(hwnd_, WM_DX_AUTOSTART, 0, 0);
}

void TMainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  // 1.
  if (ApplicationWindow() == hwnd_) SetApplicationWindow(nullptr);
  help_.reset();
  DialUp.Free();
  if (keyFilter_) {
    ui::RemoveMessageFilter(keyFilter_);
    keyFilter_ = 0;
  }
  if (!created_) return;
  // 2. leave the temporary directory, so that it can be removed
  SetCurrentDirectoryW(ExtractFilePath(ExecutablePath()).c_str());
  // 3. while another session holds the repository, the directory the settings record is that
  // session's: neither it nor the record is touched
  if (RemoveTempDirOnExit) {
    SessionLockHold lock;
    const bool free = TryLockQuietly(lock);
    const bool recorded = SameText(ExcludeTrailingBackslash(ReadSessionTempDir()), ExcludeTrailingBackslash(SessionTempDir));
    if (LooksLikeSessionTempDir(SessionTempDir) && (free || !recorded)) {
      ClearDirectory(SessionTempDir, true);
      if (DirectoryExists(SessionTempDir)) RemoveDirectoryW(ExcludeTrailingBackslash(SessionTempDir).c_str());
    }
    if (free) WriteSessionTempDir(L"");
  }
  // 4.
  FreeProgramCatalogue();
  controls_.reset();
  // 5.
  StartFollowUpProgram();
}

void TMainForm::StartFollowUpProgram() {
  UniqueHandle semaphore(CreateSemaphoreW(nullptr, 0, 1, L"Tlm32Upg"));
  if (!semaphore) return;
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  std::wstring program = ExtractFilePath(ExecutablePath()) + L"VuRo.ex_";
  if (existed || !FileExists(program)) return;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION pi{};
  std::wstring commandLine = L"\"" + program + L"\"";
  if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     ExtractFilePath(program).c_str(), &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
}

void TMainForm::LoadBackground() {
  RECT rc;
  GetClientRect(Panel(), &rc);
  HBITMAP picture = nullptr;
  COLORREF color = ui::PanelColor();
  if (!NoBitmapMode()) {
    ui::RgbImage image;
    if (ui::LoadGifResource(ui::Instance(), L"BACKGRND", image))
      picture = ui::MakeBlendedPicture(image, rc.right - 2, rc.bottom - 2, color);
  }
  panel_->SetBackground(color, picture);
}

void TMainForm::AdoptSessionTempDir() {
  const std::wstring recorded = ReadSessionTempDir();
  if (!recorded.empty() && DirectoryExists(recorded)) {
    if (SameText(ExcludeTrailingBackslash(recorded), ExcludeTrailingBackslash(SessionTempDir))) return;
    // Another session's directory, with what it left to continue: this window's own goes.
    if (RemoveTempDirOnExit && LooksLikeSessionTempDir(SessionTempDir)) {
      SetCurrentDirectoryW(ExtractFilePath(ExecutablePath()).c_str());
      ClearDirectory(SessionTempDir, true);
      RemoveDirectoryW(ExcludeTrailingBackslash(SessionTempDir).c_str());
    }
    SessionTempDir = recorded;
  } else {
    if (!DirectoryExists(SessionTempDir)) SessionTempDir = CreateTempDirectory(GetSystemTempDirectory(), L"~KT");
    WriteSessionTempDir(SessionTempDir);
  }
  SetCurrentDirectoryW(SessionTempDir.c_str());
}

std::wstring TMainForm::LastOutcomeText() {
  LastSessionRecord last = ReadLastSession();
  if (last.outcome == SessionOutcome::Running && !Running) {
    // Recorded as running with nobody holding the repository: that session was cut off.
    SessionLockHold lock;
    std::wstring holder;
    if (TakeRepositoryLock(Settings().UpgradeFilesDir, lock, holder) == LockResult::Busy)
      return L"Сейчас идет другой сеанс доставки обновлений";
    last.outcome = SessionOutcome::Interrupted;
  }
  const wchar_t* how = nullptr;
  switch (last.outcome) {
    case SessionOutcome::Delivered: how = L"обновления доставлены"; break;
    case SessionOutcome::NothingToDo: how = L"обновлений не требовалось"; break;
    case SessionOutcome::Failed: how = L"завершен с ошибками"; break;
    case SessionOutcome::Interrupted: how = L"прерван"; break;
    default: return L"";
  }
  if (last.when == 0) return Fmt(L"Последний сеанс: %s", how);
  return Fmt(L"Последний сеанс %s: %s", FormatDateTime(L"dd.mm.yyyy г. в hh:nn", last.when), how);
}

void TMainForm::ShowIdleInfo() {
  ui::SetText(ActiveProgramsLabel, Fmt(L"Программ для доставки: %d шт.", ActiveProgramCount()));
  ui::SetText(LastOutcomeLabel, LastOutcomeText());
  SetRunning(Running);
  if (LastRun != 0) {
    ui::SetText(LastRunCaptionLabel, L"Предыдущая доставка выполнялась:");
    ui::SetText(LastRunLabel, FormatDateTime(L"dd.mm.yyyy г. в hh:nn", LastRun));
  } else {
    ui::SetText(LastRunCaptionLabel, L"Доставка обновлений не производилась");
    ui::SetText(LastRunLabel, L"");
  }
}

void TMainForm::SetRunning(bool running) {
  // The report speaks of this session's secure connections only: forgotten as a session starts.
  if (running && !Running) THttpProtocol::ForgetSecureConnection();
  Running = running;
  EnableWindow(RunBtn, !running);
  EnableWindow(OptionsBtn, !running);
  EnableWindow(CloseBtn, !running);
  EnableWindow(StopBtn, running);
  bool repository = !running && ProgramCatalogue() && ActiveProgramCount() > 0 && DirectoryExists(Settings().UpgradeFilesDir);
  EnableWindow(UpgradeInfoBtn, repository);
}

void TMainForm::ShowPage(int page) {
  if (page < 0 || page >= TControlsForm::kPageCount) return;
  if (page == 3) controls_->BuildReport(SessionLines, BytesSent, BytesReceived, SessionStart);
  if (CurrentPage >= 0) {
    for (const auto& c : controls_->PageControls(CurrentPage)) {
      SetParent(c.hwnd, controls_->Handle());
      SetWindowPos(c.hwnd, nullptr, c.design.left, c.design.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  for (const auto& c : controls_->PageControls(page)) {
    SetParent(c.hwnd, Panel());
    SetWindowPos(c.hwnd, HWND_TOP, c.design.left, c.design.top + kSeparatorTop, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  }
  CurrentPage = page;
  if (page != 1) ShowAttempt(-1);
  InvalidateRect(Panel(), nullptr, TRUE);
  if (GetForegroundWindow() == hwnd_ || GetActiveWindow() == hwnd_) SetFocus(hwnd_);
}

void TMainForm::ShowAction(const std::wstring& raw) {
  // A stage text may break its line with a lone carriage return, which a label would draw as a
  // box: it is drawn as a line break.
  std::wstring text;
  text.reserve(raw.size() + 4);
  for (size_t i = 0; i < raw.size(); ++i) {
    text.push_back(raw[i]);
    if (raw[i] == L'\r' && (i + 1 >= raw.size() || raw[i + 1] != L'\n')) text.push_back(L'\n');
  }
  ui::SetText(controls_->ActionLabel, text);
  ui::SetText(controls_->UpgradeActionLabel, text);
}

void TMainForm::ShowAttempt(int n) {
  if (n < 0) {
    ui::SetText(AttemptCountLabel, L"");
  } else {
    std::wstring of = Settings().AttemptCount > 0 ? Fmt(L" из %d", Settings().AttemptCount) : std::wstring();
    ui::SetText(AttemptCountLabel, Fmt(L"Попытка %d%s", n, of));
  }
  ui::SetVisible(IsRepeatingLabel, n > 0);
}

void TMainForm::SetStopRequested(bool requested) {
  StopRequested = requested;
  ui::SetVisible(controls_->ProcessBreakingLabel, requested);
}

void TMainForm::ShowConnectionState(void*, bool connected) {
  ui::SetText(controls_->ConnectedLabel,
              connected ? L"Соединение с сервером установлено" : L"Нет соединения c сервером");
}

void TMainForm::ShowSessionMessage(void*, const std::wstring& raw) {
  std::wstring text = raw;
  if (!text.empty()) {
    if (text[0] == L'\x01') text.erase(0, 1);
    else text = Fmt(L"Ошибка на %d-й попытке. %s", AttemptNo, text);
    SessionLines.push_back(text);
    SessionLines.emplace_back();
  }
  ui::SetText(controls_->ErrorLabel, text);
}

void TMainForm::SetSizeForDownload(void* sender, int64_t size, bool valid) {
  if (!valid) return;
  SizeForDownload = size;
  ShowTraffic(sender, true, 0);
}

void TMainForm::ShowTraffic(void*, bool sent, int32_t count) {
  if (sent) {
    BytesSent += count;
  } else {
    ProgramBytesReceived += count;
    BytesReceived += count;
  }
  // Painting is what costs: a label repainted after every portion held a fast copy to a thirtieth
  // of its speed.
  const uint32_t now = TickCount();
  if (count != 0 && now - LastTrafficPaint < kTrafficPaintMs) return;
  LastTrafficPaint = now;
  PaintTraffic();
}

void TMainForm::PaintTraffic() {
  TControlsForm& c = *controls_;
  ui::SetText(c.CurrentReceiveTrafficLabel, Fmt(L"Принято: %s байт", FormatGrouped(BytesReceived)), false);
  ui::SetText(c.CurrentSendTrafficLabel, Fmt(L"Передано: %s байт", FormatGrouped(BytesSent)), false);

  if (SizeForDownload != 0) {
    double p = static_cast<double>(ProgramBytesReceived) / SizeForDownload * 100.0;
    std::wstring percent = p >= 1 ? std::to_wstring(RoundToInt(p)) : FormatFixed(p, 3);
    ui::SetText(c.SizeForDownloadLabel,
                Fmt(L"Для загрузки: %s байт", FormatGrouped(SizeForDownload)) + Fmt(L" [загружено: %s%%]", percent),
                false);
    ui::SetVisible(c.SizeForDownloadLabel, true);
  } else {
    ui::SetVisible(c.SizeForDownloadLabel, false);
  }

  std::wstring speed, left;
  if (DownloadStart != 0) {
    const int64_t e = std::llround((Now() - DownloadStart) * 86400.0);
    if (e != 0) {
      double v = static_cast<double>(ProgramBytesReceived) / e;
      speed = FormatGrouped(std::llround(v)) + L" CPS";
      if (SizeForDownload != 0 && v != 0) {
        int64_t r = std::llround(static_cast<double>(SizeForDownload - ProgramBytesReceived) / v);
        if (r > 1) {
          if (r >= 60) r = r / 60 * 60;
          left = Fmt(L"Осталось ~ %s", FormatDuration(static_cast<int>(r < INT32_MAX ? r : INT32_MAX)));
        }
      }
    }
  }
  ui::SetText(c.SpeedLabel, Fmt(L"Скорость загрузки: %s", speed), false);
  ui::SetVisible(c.SpeedLabel, !speed.empty());
  ui::SetText(c.RemainTimeLabel, left, false);
  ui::SetVisible(c.RemainTimeLabel, !left.empty());
  for (HWND h : {c.CurrentReceiveTrafficLabel, c.CurrentSendTrafficLabel, c.SizeForDownloadLabel, c.SpeedLabel,
                 c.RemainTimeLabel})
    UpdateWindow(h);
}

void TMainForm::StopBtnClick() {
  SetStopRequested(true);
  if (AbortHandler) AbortHandler(this);
}

void TMainForm::OptionsBtnClick() {
  if (Running || !IsWindowEnabled(OptionsBtn)) return;
  TOptionsForm options;
  options.OnShowReports = [](HWND owner, const std::wstring& repository) {
    TReportsForm browser;
    browser.EnsureCreated(owner);
    try {
      browser.ShowReports(repository);
    } catch (const Error& e) {
      ui::ShowError(owner, e.Message());
      return;
    }
    browser.ShowModal(owner);
  };
  options.BeforeSave = [](HWND owner, std::shared_ptr<void>& hold) {
    SessionLockHold lock;
    if (!LockForOptionsSave(owner, lock)) return false;
    hold = lock;
    return true;
  };
  if (options.ShowModal(hwnd_) != IDOK) return;
  // The idle display follows what was saved: the list, the repository, the background.
  ShowIdleInfo();
  LoadBackground();
}

void TMainForm::UpgradeInfoBtnClick() {
  if (!IsWindowEnabled(UpgradeInfoBtn)) return;
  TUpgradeManagerForm manager(ProgramCatalogue(), SessionTempDir);
  manager.BeforeDelete = [](HWND owner, std::shared_ptr<void>& hold) {
    SessionLockHold lock;
    if (!LockForDeletion(owner, lock)) return false;
    hold = lock;
    return true;
  };
  manager.ShowModal(hwnd_);
}

void TMainForm::CloseBtnClick() { Close(); }

bool TMainForm::IsOwnWindow(HWND hwnd) const { return hwnd_ && (hwnd == hwnd_ || IsChild(hwnd_, hwnd)); }

void TMainForm::InstallKeyPreview() {
  if (!keyFilter_) keyFilter_ = ui::AddMessageFilter([this](MSG& msg) { return KeyPreview(msg); });
}

bool TMainForm::KeyPreview(MSG& msg) {
  if (!IsOwnWindow(msg.hwnd)) return false;
  if (msg.message == WM_CHAR && (msg.wParam == L'\r' || msg.wParam == L'\n')) {
    if (IsWindowEnabled(RunBtn)) ui::ClickButton(RunBtn);
    return true;
  }
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
    if (IsWindowEnabled(StopBtn)) ui::ClickButton(StopBtn);
    return true;
  }
  return false;
}

LRESULT TMainForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
          case IDC_RUN: RunBtnClick(); return 0;
          case IDC_STOP: StopBtnClick(); return 0;
          case IDC_OPTIONS: OptionsBtnClick(); return 0;
          case IDC_UPGRADE_INFO: UpgradeInfoBtnClick(); return 0;
          case IDC_CLOSE: CloseBtnClick(); return 0;
          case IDC_SAVE_REPORT: controls_->SaveReportBtnClick(); return 0;
          case IDC_PRINT_REPORT: controls_->PrintReportBtnClick(); return 0;
          case IDC_OTHER_REPORTS: controls_->OtherReportsBtnClick(); return 0;
        }
      }
      break;
    case WM_TIMER:
      if (wp == kPauseTimerId) {
        PauseTimerTimer();
        return 0;
      }
      break;
    case WM_DX_AUTOSTART:
      ui::ClickButton(RunBtn);
      return 0;
    case WM_DX_QUERY: {
      auto* a = reinterpret_cast<int32_t*>(wp);
      auto* b = reinterpret_cast<int32_t*>(lp);
      if (IsWritableInt(a)) *a = 1;
      if (IsWritableInt(b)) *b = 1;
      return 1;
    }
    case WM_NCHITTEST: {
      LRESULT r = Default(msg, wp, lp);
      if (r >= HTLEFT && r <= HTBOTTOMRIGHT) return HTBORDER;
      return r;
    }
    case WM_SYSCOLORCHANGE:
      if (created_) LoadBackground();
      break;
    case WM_CLOSE:
      // A session, a dialog or a search must end first.
      if (Running || ui::ModalFormCount() > 0) return 0;
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      FormDestroy();
      if (quitOnDestroy_) PostQuitMessage(0);
      return 0;
  }
  return Default(msg, wp, lp);
}

}  // namespace dorvex

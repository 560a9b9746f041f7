// The program's one main window: header, four content pages, the bottom bar with its picture
// buttons, and the state that a delivery session runs on.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/controlsfrm.h"
#include "app/dialup.h"
#include "common/callbacks.h"
#include "common/clock.h"
#include "settings/rasapi.h"
#include "ui/controls.h"
#include "ui/help.h"

namespace dorvex {

enum MainButtonIds { IDC_RUN = 101, IDC_STOP = 102, IDC_OPTIONS = 103, IDC_UPGRADE_INFO = 104, IDC_CLOSE = 105 };

// The window messages other programs and the window itself use.
constexpr UINT WM_DX_AUTOSTART = WM_USER + 1;  // 0x401: clicks the Run button
constexpr UINT WM_DX_QUERY = WM_USER + 31;     // 0x41F: answered with 1
constexpr UINT_PTR kPauseTimerId = 1;          // the one-second tick of the pause between attempts
constexpr uint32_t kTrafficPaintMs = 100;      // the traffic and progress are painted at most this often

// The exit codes of an unattended run.
constexpr int kExitDelivered = 0;      // every program delivered and upgraded, or already current
constexpr int kExitProgramFailed = 1;  // some program not delivered, or its upgrade failed or was not started
constexpr int kExitBusy = 2;           // another session holds the repository
constexpr int kExitUnusable = 3;       // the settings, the repository or the report could not be used

class TMainPanel;

// Tests make every session fail unexpectedly at its start through this (the function raises);
// the program never sets it.
void SetUnexpectedSessionFault(std::function<void()> fault);

class TMainForm : public ui::Window {
 public:
  TMainForm();
  ~TMainForm() override;

  // Makes the window and runs its creation steps. Raises Error when the session's temporary
  // directory cannot be made; the half-made window can then be destroyed as usual.
  void Create();
  void Show();
  // Closes the window as the user would: refused while a session runs. True when it closed.
  bool Close();
  // When set, the window's destruction ends the message loop (the application's main window).
  void SetQuitOnDestroy(bool quit) { quitOnDestroy_ = quit; }

  // ---- state ----
  bool Running = false;
  bool StopRequested = false;
  int32_t AttemptNo = 0;
  std::wstring SessionTempDir;
  bool RemoveTempDirOnExit = false;
  TDateTime LastRun = 0;
  TDateTime SessionStart = 0;
  std::vector<std::wstring> SessionLines;
  int64_t BytesReceived = 0, BytesSent = 0, ProgramBytesReceived = 0, SizeForDownload = 0;
  TDateTime DownloadStart = 0;
  AbortMethod AbortHandler;
  int32_t PauseElapsed = 0;
  int CurrentPage = -1;
  // The exit code the session earned (kExit...), and whether it got as far as the programs.
  int SessionExitCode = 0;
  bool ProgramsReached = false;
  // Raises the session's exit code to code (a worse ending is never made better).
  void SessionFailed(int code);

  // ---- display ----
  void ShowIdleInfo();
  void SetRunning(bool running);
  void ShowPage(int page);
  void ShowAction(const std::wstring& text);
  void ShowAttempt(int n);
  void SetStopRequested(bool requested);
  void ShowConnectionState(void* sender, bool connected);
  void ShowSessionMessage(void* sender, const std::wstring& text);
  void SetSizeForDownload(void* sender, int64_t size, bool valid);
  // Counts every portion; paints the traffic and progress at most about ten times a second
  // (and whenever count is 0: a new file, a new size, the start of a copy).
  void ShowTraffic(void* sender, bool sent, int32_t count);
  // Paints the traffic and progress as they stand now.
  void PaintTraffic();
  uint32_t LastTrafficPaint = 0;

  // ---- the session ----
  void PauseTimerTimer();
  // The pause between two connection attempts; false when Stop ended it.
  bool PauseBetweenAttempts();

  // ---- dial-up ----
  // Shows its stages and records its failures through this window; reads Stop from it.
  TDialUp DialUp;

  // ---- buttons ----
  void RunBtnClick();
  void StopBtnClick();
  void OptionsBtnClick();
  void UpgradeInfoBtnClick();
  void CloseBtnClick();

  // ---- controls, for the session and for tests ----
  HWND RunBtn{}, StopBtn{}, OptionsBtn{}, UpgradeInfoBtn{}, CloseBtn{};
  HWND ActiveProgramsLabel{}, LastRunCaptionLabel{}, LastRunLabel{}, VersionLabel{};
  HWND LastOutcomeLabel{};  // how the last session ended
  HWND IsRepeatingLabel{}, AttemptCountLabel{}, PauseRemaingLabel{};
  HWND Separator{};
  TControlsForm* Controls() const { return controls_.get(); }
  HWND Panel() const;
  bool HasBackground() const;
  ui::THelpLink* HelpLink() const { return help_.get(); }

  // Number of programs on the delivery list that are to be served.
  int ActiveProgramCount() const;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void FormCreate();
  void FormDestroy();
  void CreateControls();
  void LoadBackground();
  void InstallKeyPreview();
  bool KeyPreview(MSG& msg);
  void StartFollowUpProgram();
  bool IsOwnWindow(HWND hwnd) const;
  void RunSession(bool& listChanged);
  void DeliverProgram(class TProgram& program, int& handled);
  void UpgradePhase(bool& listChanged);
  void ImportFromFloppies(class TProgramList& list, bool& listChanged);
  void TellHeldBack(class TProgramList& list);
  // Under the lock: the session's temporary directory is the one the settings record when it
  // still exists, else this window's own, recorded now.
  void AdoptSessionTempDir();
  std::wstring LastOutcomeText();

  std::unique_ptr<TMainPanel> panel_;
  std::unique_ptr<TControlsForm> controls_;
  std::unique_ptr<ui::THelpLink> help_;
  HIMAGELIST buttonImages_ = nullptr;
  HFONT titleFont_ = nullptr, subtitleFont_ = nullptr;
  int keyFilter_ = 0;
  bool quitOnDestroy_ = false;
  bool created_ = false;
  bool destroyed_ = false;
};

}  // namespace dorvex

// The program's entry: the command-line registration mode first, then the main window.
#include <windows.h>

#include <exception>

#include "app/mainfrm.h"
#include "app/report.h"
#include "app/selfupgrade.h"
#include "app/sessionlock.h"
#include "common/routines.h"
#include "common/errors.h"
#include "settings/configure.h"
#include "settings/encoding.h"
#include "settings/options.h"
#include "settings/rasapi.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/pump.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace dorvex;
  if (ConfigureMode()) return ConfigureRefusal().empty() ? 0 : 1;  // registration from the command line: no window at all
  if (FindSwitch(L"/selftest", false) > 0) return AgentSelfTest();  // a new version's first start, no window
  // A settings file saved in another code page is refused before anything reads or writes it
  // (not even the lock, which would make a repository folder of a garbled name).
  const std::wstring encodingFault = SettingsEncodingFault(SettingsFileName());
  // Unattended, a second session ends at once, before it writes anything the running one does.
  SessionLockHold autoLock;
  const bool unattended = AutoMode();
  if (encodingFault.empty()) {
    LoadSettings();
    std::wstring holder;
    if (unattended && LockForAutoSession(autoLock, holder) == LockResult::Busy) return kExitBusy;
  }
  // Not before the lock: a running session may be in the middle of replacing the executable.
  RemoveReplacedAgent();
  ui::InitControls(instance);
  ui::InstallPump();
  BindSystemDownload();
  LoadRasLibrary();
  ui::SetApplicationTitle(L"Доставка обновлений");
  int code = 0;
  {
    TMainForm form;
    form.SetQuitOnDestroy(true);
    // Unattended, no box waits for a person: what it would say goes into the session's report,
    // or into the event log outside a session.
    if (unattended)
      ui::SetUnattendedSink([&form](const std::wstring& text) {
        if (form.Running) {
          form.ShowSessionMessage(&form, text);
        } else {
          ReportToEventLog(text);
          form.SessionFailed(kExitUnusable);
        }
      });
    try {
      if (!encodingFault.empty()) throw Error(encodingFault);
      form.Create();
      form.Show();
      code = ui::RunMessageLoop();
      if (unattended) code = form.SessionExitCode;
    } catch (const Error& e) {
      ui::ShowError(nullptr, e.Message());
      code = unattended ? kExitUnusable : 1;
    } catch (const std::exception& e) {
      ui::ShowError(nullptr, L"Непредвиденная ошибка программы.");
      code = unattended ? kExitUnusable : 1;
    }
    ui::SetUnattendedSink(nullptr);
  }
  FreeRasLibrary();
  UnbindSystemDownload();
  return code;
}

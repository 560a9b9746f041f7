// The program's entry: the command-line registration mode first, then the main window.
#include <windows.h>

#include <exception>

#include "app/mainfrm.h"
#include "app/selfupgrade.h"
#include "common/routines.h"
#include "common/errors.h"
#include "settings/configure.h"
#include "settings/options.h"
#include "settings/rasapi.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/pump.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace dorvex;
  if (ConfigureMode()) return 0;  // registration from the command line: no window at all
  if (FindSwitch(L"/selftest", false) > 0) return AgentSelfTest();  // a new version's first start, no window
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
    try {
      form.Create();
      form.Show();
      code = ui::RunMessageLoop();
    } catch (const Error& e) {
      ui::ShowError(nullptr, e.Message());
      code = 1;
    } catch (const std::exception& e) {
      ui::ShowError(nullptr, L"Непредвиденная ошибка программы.");
      code = 1;
    }
  }
  FreeRasLibrary();
  UnbindSystemDownload();
  return code;
}

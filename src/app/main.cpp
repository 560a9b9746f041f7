// The program's entry: the command-line registration mode first, then the main window.
#include <windows.h>

#include <exception>

#include "app/mainfrm.h"
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
      // A settings file saved in another code page is refused before anything reads or writes it.
      if (std::wstring fault = SettingsEncodingFault(SettingsFileName()); !fault.empty()) throw Error(fault);
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

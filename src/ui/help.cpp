#include "ui/help.h"

#include <windows.h>

#include "common/routines.h"
#include "ui/dialogs.h"
#include "ui/pump.h"

namespace dorvex::ui {

THelpLink::THelpLink(std::wstring executablePath) : executablePath_(std::move(executablePath)) {}

THelpLink::~THelpLink() {
  if (filter_) RemoveMessageFilter(filter_);
}

bool THelpLink::ShowHelp() const {
  if (helpFile_.empty() || !FileExists(helpFile_)) return false;
  return ShellRun(ShellRequest{L"open", helpFile_, L"", ExtractFilePath(helpFile_), SW_SHOWNORMAL});
}

void THelpLink::InstallF1Hook() {
  if (filter_) return;
  filter_ = AddMessageFilter([this](MSG& msg) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_F1) {
      ShowHelp();
      return true;
    }
    return false;
  });
}

}  // namespace dorvex::ui

#include "ui/dialogs.h"

#include <shellapi.h>

namespace dorvex::ui {

namespace {
std::wstring& Title() {
  static std::wstring title;
  return title;
}
MessageBoxHandler& BoxHandler() {
  static MessageBoxHandler handler;
  return handler;
}
ShellHandler& ShellHandlerRef() {
  static ShellHandler handler;
  return handler;
}
}  // namespace

void SetApplicationTitle(const std::wstring& title) {
  Title() = title;
}
const std::wstring& ApplicationTitle() {
  return Title();
}

void SetMessageBoxHandler(MessageBoxHandler handler) { BoxHandler() = std::move(handler); }

namespace {
std::function<void(const std::wstring&)>& UnattendedSink() {
  static std::function<void(const std::wstring&)> sink;
  return sink;
}
}  // namespace

void SetUnattendedSink(std::function<void(const std::wstring& text)> sink) {
  UnattendedSink() = std::move(sink);
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  if (BoxHandler()) return BoxHandler()(MessageBoxRequest{owner, text, caption, flags});
  if (UnattendedSink()) {
    UnattendedSink()(text);
    switch (flags & MB_TYPEMASK) {
      case MB_YESNO: return IDNO;
      case MB_OK: return IDOK;
      default: return IDCANCEL;
    }
  }
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

void ShowError(HWND owner, const std::wstring& text) {
  ShowMessageBox(owner, text, ApplicationTitle(), MB_OK | MB_ICONERROR);
}

bool AskYesNo(HWND owner, const std::wstring& text) {
  return ShowMessageBox(owner, text, ApplicationTitle(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void SetShellHandler(ShellHandler handler) { ShellHandlerRef() = std::move(handler); }

bool ShellRun(const ShellRequest& r) {
  if (ShellHandlerRef()) return ShellHandlerRef()(r);
  HINSTANCE h = ShellExecuteW(nullptr, r.verb.empty() ? nullptr : r.verb.c_str(), r.file.c_str(),
                              r.parameters.empty() ? nullptr : r.parameters.c_str(),
                              r.directory.empty() ? nullptr : r.directory.c_str(), r.show);
  return reinterpret_cast<INT_PTR>(h) > 32;
}

}  // namespace dorvex::ui

// Everything that asks the person at the keyboard: message boxes, questions, and the shell's
// open and print verbs. A test answers them in advance through the handlers below; the
// program itself never sets a handler.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace dorvex::ui {

void SetApplicationTitle(const std::wstring& title);
const std::wstring& ApplicationTitle();

struct MessageBoxRequest {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT flags;
};
// Returns the button pressed (IDOK, IDYES, IDNO, ...).
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
void SetMessageBoxHandler(MessageBoxHandler handler);  // empty: the real message box

// Unattended, no box is ever shown: what it would have said goes to the sink, and the answer
// is the cautious one (OK, No, Cancel). A test's handler still comes first. Empty: boxes shown.
void SetUnattendedSink(std::function<void(const std::wstring& text)> sink);

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
void ShowError(HWND owner, const std::wstring& text);  // error icon, OK, the application title
bool AskYesNo(HWND owner, const std::wstring& text);   // question icon, Yes/No

struct ShellRequest {
  std::wstring verb;
  std::wstring file;
  std::wstring parameters;
  std::wstring directory;
  int show;
};
using ShellHandler = std::function<bool(const ShellRequest&)>;
void SetShellHandler(ShellHandler handler);  // empty: the real shell
bool ShellRun(const ShellRequest& request);

}  // namespace dorvex::ui

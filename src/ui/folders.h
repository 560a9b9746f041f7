// The folder chooser: the shell's folder browser, answered in advance by a test through the
// handler below; the program itself never sets a handler.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace dorvex::ui {

struct FolderRequest {
  HWND owner;
  std::wstring title;    // the browser window's caption; empty keeps the system's
  std::wstring prompt;   // the text above the folder tree
  std::wstring initial;  // the folder selected when the browser opens
};
// Returns the chosen folder, or empty when the user cancelled.
using FolderHandler = std::function<std::wstring(const FolderRequest&)>;
void SetFolderHandler(FolderHandler handler);  // tests only
std::wstring ChooseFolder(const FolderRequest& request);

}  // namespace dorvex::ui

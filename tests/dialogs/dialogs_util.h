// What the settings dialogs' tests share: a prepared settings file and catalogue, recorded
// message boxes and folder choices, and the queue of actions run by each modal form shown.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "settings/programs.h"
#include "ui/dialogs.h"

namespace dorvex::test {

// Writes the settings file (cp1251), loads the settings and builds the catalogue anew; every
// program's report route records into Reported.
void PrepareSettings(const std::wstring& content);
extern std::vector<std::wstring> Reported;

// The settings file's bytes and one of its values, read from those bytes as cp1251.
std::string SettingsBytes();
std::wstring IniValue(const std::string& bytes, const std::wstring& section, const std::wstring& key);

// Message boxes: recorded, answered with the given answer to questions (IDOK otherwise).
struct Boxes {
  std::vector<ui::MessageBoxRequest> shown;
  int answer = IDYES;
  std::function<void(const ui::MessageBoxRequest&)> onShow;
  Boxes();
  ~Boxes();
  std::wstring Last() const { return shown.empty() ? std::wstring() : shown.back().text; }
};

// Folder choices: answered in turn from a list; every request is kept.
struct Folders {
  std::vector<std::wstring> answers;
  std::vector<std::wstring> prompts, titles, initials;
  Folders();
  ~Folders();
};

// Each modal form shown takes the next action (a form without one is cancelled).
struct ModalScript {
  std::vector<std::function<void(HWND form)>> actions;
  int shown = 0;
  ModalScript();
  ~ModalScript();
  void Then(std::function<void(HWND form)> action) { actions.push_back(std::move(action)); }
};

void Click(HWND form, int id);          // a button click sent as the control would
void Type(HWND control, const std::wstring& text);
std::wstring TextOf(HWND control);
bool Checked(HWND control);

}  // namespace dorvex::test

namespace dorvex::test {
// A control anywhere below a window, by identifier.
HWND GetDlgItemRecursive(HWND parent, int id);
// The window's own visible flag (its parents aside).
inline bool IsShownFlag(HWND h) { return (GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0; }
}  // namespace dorvex::test

// Small helpers the settings dialogs share: reading and setting controls, the checks that
// every typed value passes, and copying programs without losing the report routes.
#pragma once

#include <windows.h>

#include <string>

#include "settings/programs.h"

namespace dorvex::dlg {

std::wstring ItemText(HWND control);
void SetItemText(HWND control, const std::wstring& text);
bool IsChecked(HWND control);
void SetChecked(HWND control, bool checked);
// Shows or hides a set of controls.
void ShowControl(HWND control, bool show);

// True when a value holds a line break (no setting may: the settings file is line based).
bool HasLineBreak(const std::wstring& text);
// The message for a user name or password that the settings file cannot keep as typed
// (characters outside the ANSI code page); "" when it can.
std::wstring UnsavableTextMessage(const std::wstring& text, const std::wstring& fieldName);
// A whole number written with digits only, and small enough for 32 bits.
bool IsDigitsNumber(const std::wstring& text, int32_t& value);
// A port: a whole number 1..65535.
bool IsValidPort(const std::wstring& text);
// A path that names its drive or share: "C:\..." or "\\server\share...".
bool IsAbsolutePath(const std::wstring& path);
// A version number: digits with at most one decimal point or comma ("4.5" and "4,5" alike).
bool ParseVersionField(const std::wstring& text, double& value);

// A copy of every program of a list (each with its own controller and booster).
void CopyProgramList(const TProgramList& source, TProgramList& target);
// Assigns a program's values to another while keeping the target's own report routes, so
// that a copy made for a dialog never takes a window's hooks away from the real list.
void AssignKeepingRoutes(TProgram& target, const TProgram& source);

}  // namespace dorvex::dlg

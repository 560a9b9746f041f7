// Modal windows: a form that disables its owner and runs the program's message loop until it
// is closed with a result. Tests reach a modal form through the hook, which is called once the
// form is on the screen.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "ui/controls.h"

namespace dorvex::ui {

class TModalForm : public Window {
 public:
  // Shows the form over its owner and returns when it closes: IDOK, IDCANCEL or what EndModal gave.
  int ShowModal(HWND owner);
  // Makes the window (hidden) when there is none yet, owned by owner.
  void EnsureCreated(HWND owner) {
    if (!hwnd_) CreateForm(owner);
  }
  void EndModal(int result);
  bool IsModal() const { return running_; }
  // The control that takes the focus when the form is shown (else the first in tab order).
  void SetInitialFocus(HWND control) { initialFocus_ = control; }
  // A control of the form by its identifier, wherever it sits among the form's pages.
  HWND Item(int id) const;

 protected:
  // Creates the window (hidden); called by ShowModal when there is none yet.
  virtual void CreateForm(HWND owner) = 0;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  // A command from a child control; the default ends the form on IDOK and IDCANCEL.
  virtual void Command(int id, int code, HWND control);
  // Creates a top-level window of this form's own class, centred over the owner.
  void CreateFormWindow(HWND owner, const std::wstring& caption, int clientWidth, int clientHeight);
  HWND AddControl(const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w, int h, int id = 0,
                  DWORD exStyle = 0);
  // Forms laid out by dialog templates: the frame template fills the form's client area, which
  // takes the frame's size (so sizes follow the template's font and the screen's DPI); pages
  // are further templates created inside a parent over the rectangle of a placeholder control.
  // Commands and notifications of every control reach this form's HandleMessage.
  HWND CreateTemplateForm(HWND owner, const std::wstring& caption, int frameTemplate);
  // A page on a tab control (onTab) takes the tab's themed background, so that it does not
  // stand as a grey rectangle inside the tab's white body.
  HWND CreatePage(HWND parent, int pageTemplate, HWND placeholder, bool onTab = false);

 private:
  bool running_ = false;
  int result_ = IDCANCEL;
  HWND initialFocus_ = nullptr;
};

// The number of modal forms now running (a window that must not close while one runs asks).
int ModalFormCount();

// Called with each modal form's window once it is shown (tests only).
void SetModalHook(std::function<void(HWND form)> hook);

// The save-file chooser. Returns the chosen path, or empty when cancelled.
struct SaveFileRequest {
  HWND owner;
  std::wstring title;
  std::wstring initialDir;
  std::wstring fileName;
  std::wstring defaultExt;
  std::wstring filter;  // "text|pattern|text|pattern"
};
using SaveFileHandler = std::function<std::wstring(const SaveFileRequest&)>;
void SetSaveFileHandler(SaveFileHandler handler);  // tests only
std::wstring ChooseSaveFile(const SaveFileRequest& request);

}  // namespace dorvex::ui

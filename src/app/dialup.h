// Dial-up before each connection attempt: the message-only window that receives the dial
// events of the Remote Access Service for the main window.
#pragma once

#include <windows.h>

#include "ui/controls.h"

namespace dorvex {

class TMainForm;

// Stores the state or the error of each dial event in the main window's fields; the dial's
// progress loop reads them while it pumps messages.
class TRasNotifyWindow : public ui::Window {
 public:
  explicit TRasNotifyWindow(TMainForm& form);

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  TMainForm& form_;
};

}  // namespace dorvex

// Dial-up before each connection attempt: dialling the configured phone-book entry (or using a
// dial-up connection that is already up), following the dial's progress through the events of
// the Remote Access Service on a message-only window, and hanging up what this program dialled.
// It reports through a sink its owner hands it, as the protocols report through theirs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "settings/rasapi.h"
#include "ui/controls.h"

namespace dorvex {

// What dial-up shows and records, and what it asks: the owner's side of a dial.
struct DialUpSink {
  std::function<void(const std::wstring& text)> ShowAction;  // the stage shown in the window
  std::function<void(const std::wstring& text)> Record;      // a failure, for the session's messages
  std::function<bool()> StopRequested;                       // Stop was pressed
  std::function<void()> RequestStop;                         // the program is ending: stop as for Stop
};

class TDialUp;

// Stores the state or the error of each dial event; the dial's progress loop reads them while
// it pumps messages.
class TRasNotifyWindow : public ui::Window {
 public:
  explicit TRasNotifyWindow(TDialUp& dialUp);

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  TDialUp& dialUp_;
};

class TDialUp {
 public:
  explicit TDialUp(DialUpSink sink);
  ~TDialUp();
  TDialUp(const TDialUp&) = delete;
  TDialUp& operator=(const TDialUp&) = delete;

  // The window for the dial events and their registered message; Free takes the window away.
  void Prepare();
  void Free();
  // True when the attempt may go on to the source (dialled, already connected, or no dial-up).
  bool Dial();
  // Ends RasConnection; without force only a connection this attempt dialled, and only when
  // the settings ask for it.
  void HangUp(bool force);
  std::wstring DialStateText() const;  // the stage text of RasState

  TRasConnHandle RasConnection = nullptr;
  uint16_t RasState = 0;
  uint32_t RasError = 0;
  bool DialedByUs = false;
  UINT RasDialEventMessage = kRasDialEventDefault;
  HWND RasNotifyWindow = nullptr;

 private:
  void Show(const std::wstring& text) const;
  void Record(const std::wstring& text) const;
  bool Stopped() const;

  DialUpSink sink_;
  std::unique_ptr<TRasNotifyWindow> notify_;
};

}  // namespace dorvex

#include "app/dialup.h"

#include <algorithm>
#include <vector>

#include "common/text.h"
#include "settings/options.h"
#include "settings/rasapi.h"
#include "ui/pump.h"

namespace dorvex {

namespace {
const wchar_t kNotifyClass[] = L"DorvexRasNotify";
constexpr DWORD kDialPollMs = 20;       // the dial loop never holds the window longer than this
constexpr DWORD kHangUpLimitMs = 5000;  // a hang-up that takes longer is abandoned
constexpr uint32_t kConnectionSlots = 8;

// The hourglass for the life of the object; the previous cursor comes back on every way out.
class BusyCursor {
 public:
  BusyCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
  ~BusyCursor() { SetCursor(previous_); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  HCURSOR previous_;
};

// Dial parameters hold the stored password: it is wiped on every way out.
struct WipedDialParams {
  TRasDialParams p{};
  WipedDialParams() { p.dwSize = sizeof p; }
  ~WipedDialParams() { SecureZeroMemory(&p, sizeof p); }
  WipedDialParams(const WipedDialParams&) = delete;
  WipedDialParams& operator=(const WipedDialParams&) = delete;
};

// Any dial-up connection that is up will do, whichever entry it belongs to.
bool AnyConnectionUp() {
  std::vector<TRasConn> connections(kConnectionSlots);
  for (auto& c : connections) c.dwSize = sizeof(TRasConn);
  uint32_t bytes = static_cast<uint32_t>(connections.size() * sizeof(TRasConn));
  uint32_t count = 0;
  const uint32_t result = RasEnumConnections(connections.data(), bytes, count);
  if (result != 0 && result != kRasBufferTooSmall) return false;
  // On "buffer too small" the count is that of all connections; only the first 8 were written.
  for (uint32_t i = 0; i < std::min(count, kConnectionSlots); ++i) {
    if (!connections[i].hrasconn) continue;
    TRasConnStatus status{};
    status.dwSize = sizeof status;
    if (RasGetConnectStatus(connections[i].hrasconn, status) == 0 && status.rasconnstate == kRasConnected) return true;
  }
  return false;
}
}  // namespace

TRasNotifyWindow::TRasNotifyWindow(TDialUp& dialUp) : dialUp_(dialUp) {
  RegisterWindowClass(kNotifyClass, 0, nullptr);
  CreateWindowObject(kNotifyClass, L"", 0, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr);
}

LRESULT TRasNotifyWindow::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == dialUp_.RasDialEventMessage) {
    if (lp != 0)
      dialUp_.RasError = static_cast<uint32_t>(lp);
    else
      dialUp_.RasState = LOWORD(wp);
    return 0;
  }
  return Default(msg, wp, lp);
}

TDialUp::TDialUp(DialUpSink sink) : sink_(std::move(sink)) {}

TDialUp::~TDialUp() = default;

void TDialUp::Show(const std::wstring& text) const {
  if (sink_.ShowAction) sink_.ShowAction(text);
}

void TDialUp::Record(const std::wstring& text) const {
  if (sink_.Record) sink_.Record(text);
}

bool TDialUp::Stopped() const { return sink_.StopRequested && sink_.StopRequested(); }

void TDialUp::Prepare() {
  RasConnection = nullptr;
  RasState = 0;
  RasError = 0;
  UINT message = RegisterWindowMessageW(kRasDialEventName);
  RasDialEventMessage = message ? message : kRasDialEventDefault;
  notify_ = std::make_unique<TRasNotifyWindow>(*this);
  RasNotifyWindow = notify_->Handle();
}

void TDialUp::Free() {
  notify_.reset();
  RasNotifyWindow = nullptr;
}

std::wstring TDialUp::DialStateText() const {
  static const wchar_t* const kTexts[] = {
      L"Открытие порта",
      L"Порт открыт",
      L"Установка связи с «%s»",
      L"Получено соединение с устройством",
      L"Все требуемые устройства подключены",
      L"Проверка имени пользователя и пароля",
      L"Имя пользователя и пароль проверены",
      nullptr,
      L"Обратная проверка имени пользователя и пароля",
      nullptr,
      L"Вход в сеть",
      L"Определение скорости соединения",
      L"Именя пользователя и пароль подтверждены",
      L"Повторная авторизация",
      L"Идентификация подтвеждена",
      L"Подготовка к приему обратного вызова",
      L"Ожидание перезагрузки модема",
      L"Ожидание обратного вызова",
  };
  if (RasState >= std::size(kTexts) || !kTexts[RasState]) return L"";
  std::wstring text = RasState == 2 ? Fmt(kTexts[2], Settings().RasEntryName) : std::wstring(kTexts[RasState]);
  return text + L"...";
}

bool TDialUp::Dial() {
  RasConnection = nullptr;
  DialedByUs = false;
  if (SystemDownload()) return true;  // the system's download function connects by itself
  const TSettings& s = Settings();
  if (!s.RasUse) return true;
  Show(L"Установка удаленного соединения");
  if (!RasAvailable() || !RasNotifyWindow) {
    Record(
                       L"Вы указали, что необходимо использовать службу удаленного доступа, однако она не "
                       L"установлена на Вашем компьютере или недоступна. Обратитесь к администратору сети.");
    return false;
  }
  if (s.RasEntryName.empty()) {
    Record(
                       L"Не указано наименование соединения для удаленного доступа. Настройте параметры программы.");
    return false;
  }
  // A connection that is up already is used as it is, and never hung up by this program.
  if (AnyConnectionUp()) return true;

  WipedDialParams params;
  const std::string entry = RasEntryNameBytes(s.RasEntryName);
  std::copy(entry.begin(), entry.end(), params.p.szEntryName);
  bool hasPassword = false;
  if (RasGetEntryDialParams(params.p, hasPassword) != 0) {
    Record(L"Нельзя получить параметры удаленного соединения для установки связи.");
    return false;
  }

  RasConnection = nullptr;
  RasError = 0xFFFFFFFFu;
  RasState = 0;
  TRasConnHandle connection = nullptr;
  RasError = RasDial(params.p, kRasNotifierWindow, RasNotifyWindow, connection);
  RasConnection = connection;
  // The service has taken the parameters; the password need not stay in memory for the dial.
  SecureZeroMemory(params.p.szPassword, sizeof params.p.szPassword);

  // The dial's events arrive as messages while the loop pumps; it ends on the connected state,
  // on an error, on a "disconnected" state without an error code, or on Stop (also while the
  // service has not given a handle yet).
  bool droppedWithoutError = false;
  while (RasError == 0 && RasState != kRasConnected) {
    const bool quit = ui::WaitFor(nullptr, 0, kDialPollMs) == WAIT_ABANDONED;
    Show(Fmt(L"Установка удаленного соединения: %s", DialStateText()));
    const bool ending = !ui::ProcessMessages() || quit;
    if (ending && sink_.RequestStop) sink_.RequestStop();  // the program is ending
    if (RasError != 0) break;
    if (RasState == kRasDisconnected) {
      droppedWithoutError = true;
      break;
    }
    if (ending || Stopped()) {
      RasError = 0;
      break;
    }
  }

  if (RasError != 0 || droppedWithoutError) {
    const uint32_t code = RasError;
    HangUp(true);  // no half-open connection may remain
    std::wstring text = code != 0 ? RasErrorText(code) : std::wstring();
    if (text.empty()) text = L"Ошибка при попытке запуска удаленного соединения";
    Record(Fmt(L"При установке удаленного соединения: «%s»", text));
    return false;
  }
  DialedByUs = true;
  if (Stopped()) {
    HangUp(true);
    return false;
  }
  return true;
}

void TDialUp::HangUp(bool force) {
  if (!RasConnection) return;
  if (!force && (!DialedByUs || !Settings().RasHangUpAfterDownload)) return;
  BusyCursor busy;
  Show(L"Завершение удаленного соединения с сервером обновлений");
  const TRasConnHandle connection = RasConnection;
  RasHangUp(connection);
  // The connection is gone when the service no longer knows its handle.
  const DWORD start = GetTickCount();
  bool gone = false;
  for (;;) {
    TRasConnStatus status{};
    status.dwSize = sizeof status;
    if (RasGetConnectStatus(connection, status) == kRasInvalidHandle) {
      gone = true;
      break;
    }
    if (GetTickCount() - start > kHangUpLimitMs) break;
    if (ui::WaitFor(nullptr, 0, 1) == WAIT_ABANDONED) ::Sleep(1);  // ending: no messages, but no spinning
  }
  RasConnection = nullptr;
  DialedByUs = false;
  if (!gone)
    Record(
                       L"Удаленное соединение не завершилось за 5 секунд: линия может остаться занятой. "
                       L"Проверьте соединение и при необходимости разорвите его вручную.");
}

}  // namespace dorvex

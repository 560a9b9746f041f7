// The delivery session: checks, connection attempts with their pauses, the delivery of every
// program on the list, and the upgrade phase. It runs inside the Run button's handler and keeps
// the window alive by pumping its messages while it waits.
#include <windows.h>

#include <exception>

#include "app/mainfrm.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/protocol.h"
#include "repository/repairselectfrm.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "ui/dialogs.h"
#include "ui/pump.h"
#include "upgrade/chain.h"

namespace dorvex {

namespace {
constexpr int kMaxAttempts = 100;

std::wstring Informational(const std::wstring& text) { return std::wstring(1, kInformational) + text; }

TDownloadProtocol* ProtocolOf(TProgram& p) { return dynamic_cast<TDownloadProtocol*>(p.Protocol.get()); }

double RealOr(const std::wstring& text, double fallback) {
  double v = 0;
  return TryParseReal(text, v) ? v : fallback;
}

// A floppy transfer set is read instead of a source when the directory lies on a removable drive.
bool FloppySource() {
  return Settings().ConnectionType == 2 && PathDriveType(Settings().DiskRootDir) == DRIVE_REMOVABLE;
}
}  // namespace

void TMainForm::RunBtnClick() {
  if (!IsWindowEnabled(RunBtn) || Running) return;
  bool listChanged = false;
  RemoveTempDirOnExit = false;
  SessionStart = Now();
  TProgramList* list = ProgramCatalogue();
  if (list)
    for (const auto& p : *list) p->Repair = false;

  if (GetKeyState(VK_CONTROL) < 0 && list) {
    TRepairSelectForm choice(*list);
    if (choice.ShowModal(hwnd_) != IDOK) return;
  }

  SetRunning(true);
  std::wstring failure;
  try {
    RunSession(listChanged);
  } catch (const Error& e) {
    failure = e.Message();
  } catch (const std::exception&) {
    failure = L"Непредвиденная ошибка программы. Доставка обновлений прервана.";
  }
  // The end of every session, however it ended.
  ShowAction(L"");
  ShowPage(3);
  SetRunning(false);
  if (AutoMode() && !StopRequested) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  SetStopRequested(false);
  if (!failure.empty()) ui::ShowError(hwnd_, failure);
}

void TMainForm::RunSession(bool& listChanged) {
  ShowAction(L"Подготовка к соединению и проверка параметров настройки");
  AttemptNo = 1;
  SetStopRequested(false);
  BytesReceived = BytesSent = ProgramBytesReceived = 0;
  DownloadStart = 0;
  SizeForDownload = 0;
  SessionLines.clear();
  ShowSessionMessage(nullptr, L"");
  ShowConnectionState(nullptr, false);
  ShowTraffic(nullptr, true, 0);
  ShowTraffic(nullptr, false, 0);

  const std::wstring& repository = Settings().UpgradeFilesDir;
  if (!repository.empty()) ForceDirectories(repository);
  if (!DirectoryExists(repository)) {
    ShowSessionMessage(this, repository.empty()
                                 ? std::wstring(L"Не указан каталог для хранения обновлений. Зайдите в настройки и укажите его")
                                 : Fmt(L"Не найден каталог для хранения обновлений (%s)", repository));
    return;
  }
  TProgramList* list = ProgramCatalogue();
  if (!list || list->ActiveCount() == 0) {
    ShowSessionMessage(nullptr, L"В список доставки обновлений не включено ни одной программы.");
    return;
  }
  ShowAttempt(-1);
  ShowIdleInfo();
  ui::SetText(Controls()->ProgramLabel, L"");
  ShowPage(1);

  if (FloppySource()) {
    ShowSessionMessage(nullptr, L"Загрузка обновлений с дискет в этой сборке программы еще не поддерживается.");
    return;
  }

  for (;;) {
    int handled = 0;
    ShowSessionMessage(this, L"");
    if (Dial()) {
      BytesReceived = BytesSent = ProgramBytesReceived = 0;
      ShowTraffic(nullptr, true, 0);
      ShowTraffic(nullptr, false, 0);
      ShowAction(L"Загрузка файлов обновлений");
      list->ClearDownloaded();
      try {
        if (!ProtocolClassFor(ProtocolClass())) {
          ShowSessionMessage(this, Fmt(L"Способ соединения «%s» в этой сборке программы недоступен. Выберите в "
                                       L"настройках файловый протокол.",
                                       ConnectionTypeName()));
        } else {
          for (const auto& p : *list) {
            if (!p->Active) continue;
            if (StopRequested) break;
            DeliverProgram(*p, handled);
          }
        }
      } catch (...) {
        HangUp(false);
        throw;
      }
      HangUp(false);
      if (handled == list->ActiveCount()) {
        ShowAction(L"");
        RemoveTempDirOnExit = true;
        UpgradePhase(listChanged);
        return;
      }
    }
    if (StopRequested) {
      ShowSessionMessage(this, L"Соединение прервано пользователем.");
      return;
    }
    ShowAction(L"");
    ++AttemptNo;
    if (Settings().AttemptCount != 0 && AttemptNo > Settings().AttemptCount) return;
    if (AttemptNo > kMaxAttempts) {
      ShowSessionMessage(this, Fmt(L"Превышено максимальное количество попыток (%d)", kMaxAttempts));
      return;
    }
    if (!PauseBetweenAttempts()) {
      ShowSessionMessage(this, L"В процессе ожидания следующей попытки соединения, сеанс прерван пользователем.");
      return;
    }
    ShowAttempt(AttemptNo);
  }
}

bool TMainForm::PauseBetweenAttempts() {
  if (Settings().AttemptPause <= 0) return true;
  PauseElapsed = 0;
  PauseTimerTimer();
  SetTimer(hwnd_, kPauseTimerId, 1000, nullptr);
  while (PauseElapsed <= Settings().AttemptPause && !StopRequested) {
    if (!ui::PumpOneMessage()) break;
  }
  KillTimer(hwnd_, kPauseTimerId);
  ui::SetText(PauseRemaingLabel, L"");
  return !StopRequested;
}

void TMainForm::PauseTimerTimer() {
  ui::SetText(PauseRemaingLabel,
              Fmt(L"Пауза: cледующая попытка через %s", FormatDuration(Settings().AttemptPause - PauseElapsed)));
  ++PauseElapsed;
}

void TMainForm::DeliverProgram(TProgram& p, int& handled) {
  TControlsForm& c = *Controls();
  ui::SetText(c.ProgramLabel, Fmt(L"Программа «%s»", p.Title));
  ProgramBytesReceived = 0;
  ShowTraffic(nullptr, true, 0);
  ShowTraffic(nullptr, false, 0);
  SizeForDownload = 0;
  ShowAction(Fmt(L"Тестирование программы «%s» перед загрузкой файлов", p.Title));
  p.AttachProtocol(ProtocolClassFor(ProtocolClass()),
                   [this](void* sender, int64_t size, bool valid) { SetSizeForDownload(sender, size, valid); });
  TDownloadProtocol* proto = ProtocolOf(p);
  if (proto && p.Controller && p.Controller->DetectVersion() && p.CheckReady()) {
    p.TempDir = SessionTempDir;
    ShowAction(L"Подключение к серверу обновлений");
    if (proto->Connect()) {
      try {
        ShowAction(L"Вход на сервер обновлений");
        if (proto->Login()) {
          try {
            DownloadStart = Now();
            ShowAction(L"Получение карты файлов обновлений с сервера");
            if (proto->GetUpgradeMap(AbortHandler) && proto->VerifyUpgradeMap(AbortHandler)) {
              ++handled;
              ShowAction(L"Создание списка файлов для загрузки с сервера");
              MapAnalysis analysis = AnalyseUpgradeMap(*p.Controller, proto->LocalMapPath(), proto->StepList);
              if (analysis.Usable && analysis.NeedsUpgrade) {
                ShowAction(L"Загрузка файлов обновлений");
                if (proto->DownloadFiles(AbortHandler, [this](const std::wstring& t) { ShowAction(t); }))
                  p.Downloaded = true;
              }
            } else if (p.MapSignature == MapSignatureState::Refused) {
              // The reason is already recorded; a refused map is not a fetched one.
            } else if (p.IsEmergency()) {
              ++handled;
              ShowSessionMessage(this, Informational(Fmt(L"Для программы «%s» не предусмотрено аварийное обновление", p.Title)));
            } else {
              ShowSessionMessage(this, Fmt(L"Нельзя доставить файл обновления (%s) программы «%s»",
                                           proto->MapFileName(proto->RootDir), p.Title));
            }
          } catch (...) {
            proto->Logout();
            throw;
          }
          ShowAction(L"Завершение сеанса пользователя");
          proto->Logout();
        }
      } catch (...) {
        proto->Disconnect();
        throw;
      }
      ShowAction(L"Отключение от сервера обновлений");
      proto->Disconnect();
    }
  }
  ui::SetText(c.ProgramLabel, L"");
}

void TMainForm::UpgradePhase(bool& listChanged) {
  TProgramList& list = *ProgramCatalogue();
  bool any = false;
  for (const auto& p : list) any = any || p->Downloaded;
  if (any) {
    LastRun = Now();
    WriteLastRun(LastRun);
    ShowIdleInfo();
  }
  ShowAction(L"Подготовка к обновлению программ...");
  ShowPage(2);
  EnableWindow(StopBtn, FALSE);  // the upgrade phase cannot be stopped

  for (const auto& item : list) {
    TProgram& p = *item;
    TDownloadProtocol* proto = ProtocolOf(p);
    const std::vector<std::wstring> noSteps;
    const std::vector<std::wstring>& steps = proto ? proto->StepList : noSteps;
    if (!p.VirtualUpgrade && p.Downloaded) {
      const std::wstring path = p.UpgradeDir + p.UpgradeExeName;
      if (p.UpgradeInExeDir || FileExists(path)) {
        ShowAction(Fmt(L"Обновление: программа «%s»", p.Title));
        for (const auto& step : steps) {
          const std::wstring to = StepToText(step);
          std::wstring from = StepFromText(step);
          if (!(RealOr(from, 0) > p.Controller->Version)) from = p.Controller->VersionText();
          ShowAction(Fmt(L"Обновление: программа «%s» с версии %s до версии %s", p.Title, from, to));
          if (!p.Booster || !p.Booster->Upgrade(step)) break;
          ShowSessionMessage(this, Informational(Fmt(L"Обновление программы «%s» с версии %s до версии %s успешно проведено",
                                                     p.Title, from, to)));
          if (RealOr(to, -1) == p.Controller->StopVersion) {
            ShowSessionMessage(this, Fmt(L"Для программы «%s» указано, что после обновления на версию %s необходимо "
                                         L"остановить дальнейшие обновления",
                                         p.Title, to));
            break;
          }
        }
        PurgeOldVersionDirs(p);
      } else {
        ShowSessionMessage(this, Fmt(L"Нельзя произвести обновление программы «%s» (не найден файл программы обновления %s) ",
                                     p.Title, path));
      }
    } else if (!p.VirtualUpgrade) {
      PurgeOldVersionDirs(p);
    } else if (p.Downloaded) {
      const std::wstring last = steps.empty() ? std::wstring() : StepToText(steps.back());
      const double target = RealOr(last, 0);
      if (!last.empty() && target > 0) {
        ShowSessionMessage(this, Informational(Fmt(L"Доставка обновлений программы «%s» с версии %s до версии %s успешно "
                                                   L"произведена",
                                                   p.Title, FloatToDotText(p.VirtualVersion), last)));
        p.VirtualVersion = target;
        listChanged = true;
      }
    }
  }
  if (listChanged) list.SaveToIni();
  if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
  EnableWindow(StopBtn, TRUE);
}

bool TMainForm::Dial() {
  RasConnection = 0;
  DialedByUs = false;
  if (SystemDownload()) return true;
  if (!Settings().RasUse) return true;
  ShowAction(L"Установка удаленного соединения");
  // Dialling is not part of this build: the service counts as unavailable.
  ShowSessionMessage(this, L"Вы указали, что необходимо использовать службу удаленного доступа, однако она не "
                           L"установлена на Вашем компьютере или недоступна. Обратитесь к администратору сети.");
  return false;
}

void TMainForm::HangUp(bool) {
  if (RasConnection == 0) return;
  RasConnection = 0;
  DialedByUs = false;
}

}  // namespace dorvex

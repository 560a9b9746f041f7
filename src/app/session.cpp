// The delivery session: checks, connection attempts with their pauses, the delivery of every
// program on the list, and the upgrade phase. It runs inside the Run button's handler and keeps
// the window alive by pumping its messages while it waits.
#include <windows.h>

#include <algorithm>
#include <exception>
#include <functional>

#include "app/mainfrm.h"
#include "app/selfupgrade.h"
#include "app/sessionlock.h"
#include "common/clock.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/protocol.h"
#include "repository/repairselectfrm.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "transfer/importset.h"
#include "settings/datalayout.h"
#include "ui/dialogs.h"
#include "ui/elevation.h"
#include "ui/pump.h"
#include "upgrade/boosters.h"
#include "upgrade/chain.h"
#include "upgrade/mapcheck.h"

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

std::function<void()>& UnexpectedFault() {
  static std::function<void()> fault;
  return fault;
}
}  // namespace

void SetUnexpectedSessionFault(std::function<void()> fault) { UnexpectedFault() = std::move(fault); }

void TMainForm::RunBtnClick() {
  if (!IsWindowEnabled(RunBtn) || Running) return;
  if (!AutoMode() && !ui::EnsureDataWritable(hwnd_, WritableDataFolders())) return;
  bool listChanged = false;
  TProgramList* list = ProgramCatalogue();
  if (list)
    for (const auto& p : *list) p->Repair = false;

  if (GetKeyState(VK_CONTROL) < 0 && list) {
    TRepairSelectForm choice(*list);
    if (choice.ShowModal(hwnd_) != IDOK) return;
  }
  // One session at a time: refused here, before anything is written, when another holds the
  // repository.
  SessionLockHold lock;
  if (!LockForRun(hwnd_, lock)) return;
  RemoveTempDirOnExit = false;
  SessionStart = Now();
  SessionExitCode = 0;
  // What another session may have changed since this window read it.
  if (list) list->RefreshVersionsFromIni();
  LastRun = ReadLastRun();
  if (lock) {
    AdoptSessionTempDir();
    WriteLastSession(SessionOutcome::Running, SessionStart);
  }
  // Unattended, nobody can wait for an upgrade executable that does not end; a person sees it.
  SetUpgradeWaitPolicy(UpgradeWaitPolicy{AutoMode() ? Settings().UpgradeTimeLimit : 0, nullptr});

  SetRunning(true);
  std::wstring failure;
  try {
    RunSession(listChanged);
  } catch (const Error& e) {
    failure = e.Message();
  } catch (...) {
    failure = L"Непредвиденная ошибка программы. Доставка обновлений прервана.";
  }
  SetUpgradeWaitPolicy({});
  if (!failure.empty()) SessionFailed(ProgramsReached ? kExitProgramFailed : kExitUnusable);
  const bool stopped = StopRequested;
  // The end of every session, however it ended. An unexpected fault goes into the session's
  // messages first, so that the report tells it also when nobody watches the screen.
  if (!failure.empty()) ShowSessionMessage(this, failure);
  // A new version of the agent itself takes its place only once the programs are served.
  if (failure.empty() && !StopRequested)
    InstallAgentUpgrade([this](const std::wstring& t) { ShowSessionMessage(this, t); });
  ShowAction(L"");
  ShowPage(3);  // composes and files the report
  if (Controls()->ReportFailed) SessionFailed(kExitUnusable);
  SetRunning(false);
  if (lock) {
    bool any = false;
    if (list)
      for (const auto& p : *list) any = any || p->Downloaded;
    const SessionOutcome outcome = stopped                ? SessionOutcome::Interrupted
                                   : SessionExitCode != 0 ? SessionOutcome::Failed
                                   : any                  ? SessionOutcome::Delivered
                                                          : SessionOutcome::NothingToDo;
    WriteLastSession(outcome, Now());
  }
  lock.reset();
  ShowIdleInfo();
  // Unattended, the report holds the fault and the program ends as after any session: a box
  // would wait for ever for someone to press OK, and the window cannot close under it.
  const bool unattended = AutoMode();
  if (unattended && !StopRequested) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  SetStopRequested(false);
  if (!failure.empty() && !unattended) ui::ShowError(hwnd_, failure);
}

void TMainForm::SessionFailed(int code) {
  SessionExitCode = std::max(SessionExitCode, code);
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
  ProgramsReached = false;
  if (UnexpectedFault()) UnexpectedFault()();

  const std::wstring& repository = Settings().UpgradeFilesDir;
  if (!repository.empty()) ForceDirectories(repository);
  if (!DirectoryExists(repository)) {
    ShowSessionMessage(
        this, repository.empty()
                  ? std::wstring(L"Не указан каталог для хранения обновлений. Зайдите в настройки и укажите его")
                  : Fmt(L"Не найден каталог для хранения обновлений (%s)", repository));
    SessionFailed(kExitUnusable);
    return;
  }
  TProgramList* list = ProgramCatalogue();
  if (!list || list->ActiveCount() == 0) {
    ShowSessionMessage(nullptr, L"В список доставки обновлений не включено ни одной программы.");
    return;
  }
  ProgramsReached = true;
  ShowAttempt(-1);
  ShowIdleInfo();
  ui::SetText(Controls()->ProgramLabel, L"");
  ShowPage(1);

  if (FloppySource()) {
    ImportFromFloppies(*list, listChanged);
    return;
  }

  for (;;) {
    int handled = 0;
    ShowSessionMessage(this, L"");
    if (DialUp.Dial()) {
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
          SessionFailed(kExitUnusable);
        } else {
          for (const auto& p : *list) {
            if (!p->Active) continue;
            if (StopRequested) break;
            DeliverProgram(*p, handled);
          }
          if (!StopRequested)
            FetchAgentUpgrade(
                ProtocolClassFor(ProtocolClass()), SessionTempDir, AbortHandler,
                [this](const std::wstring& t) { ShowSessionMessage(this, t); },
                [this](const std::wstring& t) { ShowAction(t); });
        }
      } catch (...) {
        DialUp.HangUp(false);
        throw;
      }
      DialUp.HangUp(false);
      if (handled == list->ActiveCount()) {
        ShowAction(L"");
        RemoveTempDirOnExit = true;
        UpgradePhase(listChanged);
        return;
      }
    }
    SessionFailed(kExitProgramFailed);  // some program's map did not arrive in this attempt
    if (StopRequested) {
      ShowSessionMessage(this, L"Соединение прервано пользователем.");
      return;
    }
    ShowAction(L"");
    ++AttemptNo;
    if (Settings().AttemptCount != 0 && AttemptNo > Settings().AttemptCount) {
      TellHeldBack(*list);
      return;
    }
    if (AttemptNo > kMaxAttempts) {
      ShowSessionMessage(this, Fmt(L"Превышено максимальное количество попыток (%d)", kMaxAttempts));
      TellHeldBack(*list);
      return;
    }
    if (!PauseBetweenAttempts()) {
      ShowSessionMessage(this, L"В процессе ожидания следующей попытки соединения, сеанс прерван пользователем.");
      return;
    }
    ShowAttempt(AttemptNo);
  }
}

// The attempts are spent: the programs whose files did arrive are not upgraded either, as the
// upgrade phase waits for the whole list; the report says so of each.
void TMainForm::TellHeldBack(TProgramList& list) {
  for (const auto& p : list)
    if (p->Active && p->Downloaded)
      ShowSessionMessage(this, Informational(Fmt(L"Файлы обновлений программы «%s» загружены, но программа не "
                                                 L"обновлена: не все программы списка доставки получили свои файлы за "
                                                 L"отведенные попытки, а обновление проводится только после доставки "
                                                 L"всего списка. Файлы остаются в хранилище для следующего сеанса.",
                                                 p->Title)));
}

// A floppy transfer set: no connection, the set is read into the repository and the upgrade
// phase follows at once.
void TMainForm::ImportFromFloppies(TProgramList& list, bool& listChanged) {
  // Within a session this is the session's own lock; the entry stays apart for what else must
  // be asked before a floppy set is read into the repository.
  SessionLockHold lock;
  if (!LockForFloppyImport(hwnd_, lock)) {
    SessionFailed(kExitBusy);
    return;
  }
  list.ClearDownloaded();
  for (const auto& p : list) {
    if (!p->Active) continue;
    if (p->Controller) p->Controller->DetectVersion();
    p->AttachProtocol(ProtocolClassFor(ProtocolClass()),
                      [this](void* sender, int32_t size, bool valid) { SetSizeForDownload(sender, size, valid); });
  }
  ImportHandlers handlers;
  handlers.Stage = [this](const std::wstring& t) { ShowAction(t); };
  handlers.Size = [this](void* sender, int32_t size, bool valid) { SetSizeForDownload(sender, size, valid); };
  handlers.Traffic = [this](void* sender, bool sent, int32_t count) { ShowTraffic(sender, sent, count); };
  handlers.ProgramLine = [this](const std::wstring& t) { ui::SetText(Controls()->ProgramLabel, t); };
  AgentVersion running;
  if (SelfUpgradeWanted() && FileAgentVersion(ExecutablePath(), running))
    handlers.AgentNeeds = [running](const std::wstring& step) {
      AgentVersion v;
      return ParseAgentVersion(step, v) && v.Compare(running) > 0;
    };
  std::wstring message;
  if (!ImportTransferSet(&list, SessionTempDir, AbortHandler, handlers, message)) {
    if (StopRequested) message = L"Загрузка с дискеты прервана пользователем.";
    ShowSessionMessage(nullptr, message);
    SessionFailed(kExitProgramFailed);
    return;
  }
  TakeAgentFromSet(IncludeTrailingBackslash(SessionTempDir) + kAgentProgramID + L"\\",
                   [this](const std::wstring& t) { ShowSessionMessage(this, t); });
  ShowAction(L"");
  RemoveTempDirOnExit = true;
  UpgradePhase(listChanged);
}

bool TMainForm::PauseBetweenAttempts() {
  if (Settings().AttemptPause <= 0) return true;
  PauseElapsed = 0;
  PauseTimerTimer();
  // The window's timer ticks the seconds. When it does not (the system refused the timer, or its
  // messages do not reach the window) the pause counts them by the clock itself rather than
  // wait for ticks that never come.
  const bool timer = hwnd_ && SetTimer(hwnd_, kPauseTimerId, 1000, nullptr) != 0;
  int32_t seen = PauseElapsed;
  uint32_t lastTick = TickCount();
  while (PauseElapsed <= Settings().AttemptPause && !StopRequested) {
    if (ui::WaitFor(nullptr, 0, 250) == WAIT_ABANDONED) break;
    if (PauseElapsed != seen) {
      seen = PauseElapsed;
      lastTick = TickCount();
    } else if (TickCount() - lastTick >= (timer ? 1500u : 1000u) && !StopRequested) {
      PauseTimerTimer();
      seen = PauseElapsed;
      lastTick = TickCount();
    }
  }
  if (timer) KillTimer(hwnd_, kPauseTimerId);
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
  p.HeldBack.clear();
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
              MapAnalysis analysis = AnalyseUpgradeMap(*p.Controller, proto->MapTable(), proto->StepList);
              if (!analysis.Usable) SessionFailed(kExitProgramFailed);
              if (analysis.Usable && analysis.NeedsUpgrade) {
                ShowAction(L"Загрузка файлов обновлений");
                if (proto->DownloadFiles(AbortHandler, [this](const std::wstring& t) { ShowAction(t); }))
                  p.Downloaded = true;
                else
                  SessionFailed(kExitProgramFailed);
                PaintTraffic();  // the last counts, which the throttled painting may have held back
              }
            } else if (StopRequested || proto->Aborted) {
              // Stopped while the map or its signature arrived: the session tells the stop.
            } else if (IsRefusedMap(p.MapSignature)) {
              // The reason is already recorded. Another attempt would be refused the same way: the
              // program is done with for this session, and keeps nobody else from the upgrade phase.
              ++handled;
              std::wstring why = p.LastError;
              const std::wstring prefix = Fmt(L"Программа %s: ", p.Title);
              if (why.rfind(prefix, 0) == 0) why.erase(0, prefix.size());
              p.HeldBack = Fmt(L"ее карта файлов обновлений не принята. %s", why);
            } else if (p.IsEmergency()) {
              ++handled;
              ShowSessionMessage(
                  this, Informational(Fmt(L"Для программы «%s» не предусмотрено аварийное обновление", p.Title)));
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
    if (!p.Downloaded && p.Active && !p.HeldBack.empty())
      ShowSessionMessage(this, Fmt(L"Программа «%s» не обновлена: %s", p.Title, p.HeldBack));
    if (!p.VirtualUpgrade && p.Downloaded) {
      const std::wstring path = p.UpgradeDir + p.UpgradeExeName;
      if (p.UpgradeInExeDir || FileExists(path)) {
        ShowAction(Fmt(L"Обновление: программа «%s»", p.Title));
        double installed = p.Controller ? p.Controller->Version : 0;
        for (const auto& step : steps) {
          if (StopRequested) {
            ShowSessionMessage(this, Fmt(L"Обновление программы «%s» до версии %s не проводилось: сеанс прерван "
                                         L"пользователем.",
                                         p.Title, StepToText(step)));
            SessionFailed(kExitProgramFailed);
            break;
          }
          const std::wstring to = StepToText(step);
          std::wstring from = StepFromText(step);
          if (!(RealOr(from, 0) > p.Controller->Version)) from = p.Controller->VersionText();
          ShowAction(Fmt(L"Обновление: программа «%s» с версии %s до версии %s", p.Title, from, to));
          // Beside a step's upgrade executable lies only what the verified map names.
          if (proto && p.MapSignature == MapSignatureState::Verified && MapKeyConfigured() &&
              !proto->RemoveUnlistedFiles(step)) {
            SessionFailed(kExitProgramFailed);
            break;
          }
          if (!p.Booster || !p.Booster->Upgrade(step)) {
            SessionFailed(kExitProgramFailed);
            break;
          }
          ShowSessionMessage(
              this, Informational(Fmt(L"Обновление программы «%s» с версии %s до версии %s успешно проведено", p.Title,
                                      from, to)));
          installed = std::max(installed, RealOr(to, installed));
          if (RealOr(to, -1) == p.Controller->StopVersion) {
            ShowSessionMessage(this, Fmt(L"Для программы «%s» указано, что после обновления на версию %s необходимо "
                                         L"остановить дальнейшие обновления",
                                         p.Title, to));
            break;
          }
        }
        PurgeOldVersionDirs(p, installed);
      } else {
        ShowSessionMessage(
            this, Fmt(L"Нельзя произвести обновление программы «%s» (не найден файл программы обновления %s) ", p.Title,
                      path));
        SessionFailed(kExitProgramFailed);
      }
    } else if (!p.VirtualUpgrade) {
      PurgeOldVersionDirs(p, p.Controller ? p.Controller->Version : 0);
    } else if (p.Downloaded) {
      const std::wstring last = steps.empty() ? std::wstring() : StepToText(steps.back());
      const double target = RealOr(last, 0);
      if (!last.empty() && target > 0) {
        // Success is told only once the new version is on record: otherwise the next session
        // would start from the old one while the report said all was done.
        const double previous = p.VirtualVersion;
        p.VirtualVersion = target;
        if (list.SaveToIni()) {
          ShowSessionMessage(this, Informational(Fmt(L"Доставка обновлений программы «%s» с версии %s до версии %s "
                                                     L"успешно произведена",
                                                     p.Title, FloatToDotText(previous), last)));
        } else {
          p.VirtualVersion = previous;
          ShowSessionMessage(this,
                             Fmt(L"Файлы обновлений программы «%s» до версии %s загружены, но новую версию нельзя "
                                 L"сохранить в файле настроек (%s)",
                                 p.Title, last, SettingsFileName()));
          SessionFailed(kExitUnusable);
        }
        listChanged = true;
      }
    }
  }
  if (listChanged && !list.SaveToIni()) {
    ShowSessionMessage(this, Fmt(L"Нельзя сохранить список доставки в файле настроек (%s)", SettingsFileName()));
    SessionFailed(kExitUnusable);
  }
  if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
  EnableWindow(StopBtn, TRUE);
}

}  // namespace dorvex

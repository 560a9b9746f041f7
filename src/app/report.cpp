#include "app/report.h"

#include <windows.h>

#include <cmath>

#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/http.h"
#include "settings/datalayout.h"
#include "settings/options.h"

namespace dorvex {

namespace {
std::wstring ReportTime(TDateTime t) { return FormatDateTime(L"dd.mm.yyyy г. в hh:nn:ss", t); }

// Said only where maps are checked at all (a public key or the requirement is set).
std::wstring MapSignatureNote(MapSignatureState state) {
  switch (state) {
    case MapSignatureState::Verified: return L" [карта обновлений подписана, подпись проверена]";
    case MapSignatureState::Unsigned: return L" [карта обновлений не подписана]";
    case MapSignatureState::Refused: return L" [карта обновлений отвергнута: подпись не подтверждена]";
    case MapSignatureState::Mismatched:
      return L" [карта обновлений отвергнута: подпись верна, но карта выпущена не для этой программы, устарела или "
             L"просрочена]";
    case MapSignatureState::KeyFault:
      return L" [карта обновлений не принята: ошибка в настройках, открытый ключ (раздел [Security], ключ "
             L"MapPublicKey) не задан или не читается]";
    case MapSignatureState::FloorFailed:
      return L" [карта обновлений отвергнута: принятый номер выпуска нельзя прочитать или сохранить]";
    case MapSignatureState::NotChecked: break;
  }
  return L"";
}
}  // namespace

ComposedReport ComposeReport(const ReportInput& in, const TProgramList* programs) {
  const TSettings& s = Settings();
  ComposedReport r;
  auto& out = r.lines;
  auto add = [&](const std::wstring& line) { out.push_back(line); };

  add(L"");
  add(L"ОТЧЕТ ПО РАБОТЕ ПРОГРАММЫ «ДОРВЕКС»");
  add(L"");
  add(Fmt(L"Версия «Дорвекса»: %s от %s", ProgramVersionText(), ProgramVersionDate()));
  add(L"Начало: " + ReportTime(in.start));
  add(L"Окончание: " + ReportTime(in.end));
  const TDateTime start = in.start == 0 ? in.end : in.start;
  const int32_t duration = RoundToInt((in.end - start) * 86400.0);
  if (duration > 0) add(L"Длительность работы: " + FormatDuration(duration));

  add(L"");
  add(L"Трафик:");
  add(Fmt(L"  - принято: %s байт;", FormatGrouped(in.bytesReceived)));
  add(Fmt(L"  - передано: %s байт;", FormatGrouped(in.bytesSent)));
  add(Fmt(L"  - средняя скорость: %s CPS.",
          duration > 0 ? FormatGrouped(std::llround(static_cast<double>(in.bytesReceived) / duration))
                       : std::wstring(L"более 1М")));

  add(L"");
  add(L"Доставка обновлений для программ: ");
  if (programs)
    for (const auto& p : *programs)
      if (p->Active) add(L"  - " + p->Title + (p->IsEmergency() ? L" [аварийное обновление]" : L"") +
                         MapSignatureNote(p->MapSignature));

  add(L"");
  add(L"Способ соединения:");
  add(L"  - " + ConnectionTypeName() + L":");
  const auto restore = [](bool on) {
    return on ? std::wstring(L"    - Функция возобновления загрузки включена")
              : std::wstring(L"    - Функция возобновления загрузки отключена");
  };
  switch (s.ConnectionType) {
    case 0:
      add(L"    - Имя ftp-сервера: " + s.FtpServer);
      add(L"    - Порт ftp-сервера: " + s.FtpPort);
      add(L"    - Тайм-аут ответа: " + std::to_wstring(s.FtpTimeOut) + L" сек.");
      add(L"    - Имя пользователя для входа: " + s.FtpUserName);
      add(s.FtpPassword.empty() ? L"    - Пароль для входа не установлен" : L"    - Вход на сервер с паролем");
      add(L"    - Каталог с обновлениями на ftp-сервере: " + s.FtpRootDir);
      add(restore(s.FtpEnableRestore));
      break;
    case 1:
      add(L"    - Имя http-сервера: " + s.HttpServer);
      add(L"    - Порт http-сервера: " + THttpProtocol::ServerPort());
      add(L"    - Каталог с обновлениями на http-сервере: " + s.HttpRootDir);
      add(restore(s.HttpEnableRestore));
      if (!THttpProtocol::SecureConnectionNote().empty())
        add(L"    - Соединение с сервером защищено (HTTPS): " + THttpProtocol::SecureConnectionNote());
      else if (StartsWithText(Trim(s.HttpServer), L"https://"))
        add(L"    - Сервер указан с протоколом HTTPS; защищенное соединение не было установлено");
      break;
    case 2:
      add(L"    - Путь к файловому ресурсу с обновлениями программ: " + s.DiskRootDir);
      break;
    default:
      break;
  }
  if (s.ConnectionType == 0 || s.ConnectionType == 1) {
    if (s.ProxyUse) {
      add(L"  - Для соединения используется прокси-сервер:");
      add(L"    - Имя прокси-сервера: " + s.ProxyServerName);
      add(L"    - Порт прокси-сервера: " + s.ProxyServerPort);
      if (!THttpProtocol::ProxySchemeNote().empty())
        add(L"    - Проверка подлинности на прокси-сервере: " + THttpProtocol::ProxySchemeNote());
    } else {
      add(L"  - Прокси-сервер не используется");
    }
  }

  add(L"");
  add(L"Удаленный доступ к сети:");
  if (s.RasUse) {
    add(L"  - Используется");
    add(L"  - Наименование удаленного соединения для доступа: " + s.RasEntryName);
    add(s.RasHangUpAfterDownload ? L"  - После завершения загрузки соединение разрывается"
                                 : L"  - После завершения загрузки соединение не разрывается");
  } else {
    add(L"  - Не используется");
  }

  add(L"");
  add(L"Параметры соединения:");
  add(L"  - Число попыток при неудаче: " + std::to_wstring(s.AttemptCount));
  add(L"  - Пауза между попытками: " + std::to_wstring(s.AttemptPause) + L" сек.");

  add(L"");
  add(L"Параметры доставки:");
  add(std::wstring(L"  - Вариант использования: ") + (s.AutoRun ? L"автоматический" : L"ручной"));
  add(L"  - Каталог-хранилище обновлений: " + s.UpgradeFilesDir);
  add(std::wstring(L"  - Запись протокола работы: ") + (s.EnableLogReports ? L"ведется" : L"отключена"));

  add(L"");
  r.protocol.push_back(L"ПРОТОКОЛ доставки и обновления:");
  r.protocol.push_back(L"");
  r.protocol.insert(r.protocol.end(), in.sessionLines.begin(), in.sessionLines.end());
  out.insert(out.end(), r.protocol.begin(), r.protocol.end());
  return r;
}

std::wstring DatedReportPath(const std::wstring& repository, TDateTime end) {
  return IncludeTrailingBackslash(repository) + L"Reports\\" + FormatDateTime(L"yyyy'\\'mm'\\'", end) +
         FormatDateTime(L"ddhhnnss", end) + L".txt";
}

std::wstring FixedReportPath() { return DataLocation().report; }

void ReportToEventLog(const std::wstring& text) {
  HANDLE source = RegisterEventSourceW(nullptr, L"Дорвекс");
  if (!source) return;
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool WriteTextLines(const std::wstring& path, const std::vector<std::wstring>& lines, unsigned long* error) {
  std::wstring text;
  for (size_t i = 0; i < lines.size(); ++i) {
    text += lines[i];
    text += L"\r\n";
  }
  std::string bytes = WideToAnsi(text);
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (error) *error = GetLastError();
    return false;
  }
  DWORD put = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put != bytes.size()) {
    if (error) *error = GetLastError();
    return false;
  }
  return true;
}

}  // namespace dorvex

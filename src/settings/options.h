// The program's settings: one record read from the settings file at start-up, the file's
// location, the "Session" keys that the main window keeps there, and the derived answers
// (which source to use, automatic mode, no background).
#pragma once

#include <cstdint>
#include <string>

#include "common/clock.h"

namespace dorvex {

struct TSettings {
  bool AutoRun = false;
  std::wstring UpgradeFilesDir;

  std::wstring FtpServer = L"ftp.vorel-soft.ru";
  std::wstring FtpPort = L"21";
  int32_t FtpTimeOut = 30;
  std::wstring FtpUserName = L"anonymous";
  std::wstring FtpPassword = L"dorvex@vorel-soft.ru";
  std::wstring FtpRootDir = L"/";
  bool FtpEnableRestore = true;

  std::wstring HttpServer = L"www.vorel-soft.ru";
  std::wstring HttpPort = L"80";
  std::wstring HttpRootDir = L"/";
  bool HttpEnableRestore = false;
  int32_t HttpTimeOut = 120;  // seconds without data before a request ends; 0 = none

  std::wstring DiskRootDir = L"a:\\";

  uint8_t ConnectionType = 1;
  int32_t AttemptCount = 5;
  int32_t AttemptPause = 10;
  // The least rate a transfer keeps up over a whole time-out period, in bytes per second; 0 for
  // none. Read only, never written back.
  int32_t MinRate = 64;

  bool RasUse = false;
  bool RasHangUpAfterDownload = true;
  std::wstring RasEntryName;

  bool ProxyUse = false;
  std::wstring ProxyServerName = L"proxy";
  std::wstring ProxyServerPort = L"3128";
  bool ProxyDisableCache = true;
  std::wstring ProxyLogin;
  std::wstring ProxyPassword;
  int32_t ProxyAuthType = 0;

  bool NoBitmap = false;
  bool EnableLogReports = true;
  bool DeleteOldFiles = false;

  // Checking upgrade maps: the publisher's public key (PEM, "\n" for its line breaks, or base64
  // DER), set by the administrator and never written back; with RequireSignedMaps a map without
  // a valid signature beside it is refused.
  std::wstring MapPublicKey;
  bool RequireSignedMaps = false;
  // Servers reached over https://: certificates (PEM, "\n" for its line breaks, or base64 DER;
  // several allowed) of private authorities or of the servers themselves that the server's chain
  // must reach instead of a root of the system; and whether TLS 1.0 and 1.1 may be used with a
  // server that offers nothing newer. Set by the administrator and never written back.
  std::wstring TrustedCertificates;
  bool AllowOldTls = false;
  // Minutes an unattended session waits for one upgrade executable before it leaves it running
  // and goes on ("[Service] UpgradeTimeLimit"; a fraction of a minute allowed). Never written back.
  double UpgradeTimeLimit = 240;
};

// The one settings record of the run.
TSettings& Settings();

// The settings file of this process (settings/datalayout.h says which). Fixed on first use.
const std::wstring& SettingsFileName();

void LoadSettings();
// Replaces the settings file whole with every key of the record (the file's other keys kept).
bool SaveSettings();
// Writes every key of a settings record into an INI file; false (with the Windows error left
// in GetLastError) at the first write that fails.
bool WriteSettings(const TSettings& settings, const std::wstring& fileName);

std::wstring ReadSessionTempDir();
void WriteSessionTempDir(const std::wstring& dir);
TDateTime ReadLastRun();
bool WriteLastRun(TDateTime t);

// How the last session ended, kept in the settings ("[Session] LastOutcome", "LastSession") so
// that the idle page can tell it. Running is written as a session starts: found again with no
// session holding the repository, it means that session was cut off.
enum class SessionOutcome { None = 0, Running, Delivered, NothingToDo, Failed, Interrupted };
struct LastSessionRecord {
  SessionOutcome outcome = SessionOutcome::None;
  TDateTime when = 0;
};
LastSessionRecord ReadLastSession();
bool WriteLastSession(SessionOutcome outcome, TDateTime when);

struct IEProxy {
  bool found = false;
  bool enabled = false;
  std::wstring host;
  std::wstring port;
};
IEProxy ReadIEProxy(const std::wstring& scheme);

enum class ProtocolKind { Ftp, Http, Disk };
ProtocolKind ProtocolClass();
std::wstring ConnectionTypeName();
std::wstring ConnectionTypeName(int connectionType);

// The system's URL download function, bound once when the program starts.
using URLDownloadToFileAFunc = long(__stdcall*)(void* caller, const char* url, const char* fileName,
                                                unsigned long reserved, void* callback);
void BindSystemDownload();
void UnbindSystemDownload();
URLDownloadToFileAFunc SystemDownloadFunction();  // null when unavailable
bool SystemDownload();

bool AutoMode();
bool NoBitmapMode();

}  // namespace dorvex

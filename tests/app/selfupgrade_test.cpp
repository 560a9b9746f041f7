// The agent replacing itself: each row is a copy of the built dorvex.exe run with /auto in a
// folder of its own against a source (a directory, lighttpd over HTTPS, or a floppy set in A:)
// that publishes the agent's own signed map, then run once more to see which version the next
// session is.
#include "app/selfupgrade.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "common/routines.h"
#include "common/text.h"
#include "test_util.h"

using namespace dorvex;

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buf[1024];
  const DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : L"";
}

std::wstring VersionOf(const std::wstring& exe) {
  AgentVersion v;
  return FileAgentVersion(exe, v) ? v.Text() : L"(none)";
}

struct Row {
  const char* name;
  const wchar_t* tree;               // under build/tests/agent-sources
  int source;                        // 0: a directory, 1: lighttpd over https, 2: a floppy set
  const wchar_t* args;               // the first session's switches besides /auto
  const wchar_t* extra;              // more settings
  const wchar_t* seam;               // VARIABLE=value for the first session; "{dir}" is the agent's folder
  std::vector<std::wstring> first;   // lines of the first session's report ({old}, {new})
  bool replaced;                     // whether dorvex.exe is the new version after the first session
  std::vector<std::wstring> second;  // lines of the next session's report
  const wchar_t* agent = nullptr;    // the running agent under agent-sources; else the built one
  bool entry = false;                // with the setup's uninstall entry naming the agent's folder
};

// A floppy set in A: that carries what the tree publishes of the agent, named as the
// repository of the writing computer keeps it.
void WriteAgentSet(const std::wstring& tree) {
  ClearDirectory(L"A:\\", true);
  std::vector<std::wstring> names;
  for (const wchar_t* f : {L"Dorvex.nrm", L"Dorvex.nrm.sig"})
    if (test::PathExists(tree + f)) names.push_back(std::wstring(L"Dorvex\\") + f);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((tree + L"Dorvex\\*.*").c_str(), &fd);
  for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &fd))
    if (fd.cFileName[0] != L'.') names.push_back(std::wstring(L"Dorvex\\") + fd.cFileName + L"\\dorvex.exe");
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  std::wstring header = L"[PackageInfo]\r\nSessionID=2026-12-08 23:00:00\r\nFileCount=" + std::to_wstring(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::wstring from = tree + (names[i].find(L".nrm") != std::wstring::npos ? names[i].substr(7) : names[i]);
    header += L"\r\n[File" + std::to_wstring(i + 1) + L"]\r\nFileName=" + names[i] + L"\r\nFileSize=" +
              std::to_wstring(test::ReadBytes(from).size());
    CopyFileW(from.c_str(), (L"A:\\" + ExtractFileName(names[i])).c_str(), FALSE);
  }
  test::WriteBytes(L"A:\\files.inf", WideToAnsi(header + L"\r\n"));
}

const wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dorvex";
std::wstring DisplayVersion() {
  wchar_t text[64] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kUninstall, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, text, &size) ==
                 ERROR_SUCCESS
             ? text
             : L"";
}

const wchar_t kDone[] = L"Дорвекс обновлен с версии {old} до версии {new}";
const wchar_t kCurrent[] = L"Работает последняя опубликованная версия Дорвекса ({new})";
const wchar_t kSameOld[] = L"Версия «Дорвекса»: {old}";
const wchar_t kSameNew[] = L"Версия «Дорвекса»: {new}";
const wchar_t kOtherSigner[] = L"файл не подписан сертификатом, которым подписан работающий Дорвекс";
const wchar_t kBadDigest[] = L"подпись файла не подтверждена системой (WinVerifyTrust: 0x80096010";
const wchar_t kUnsignedMap[] = L"Дорвекс обновляется только по карте с проверенной подписью";
const wchar_t kSetFileDiffers[] = L"комплекта переноса не совпадает с картой обновлений Дорвекса";
const wchar_t kSigned[] = L"old-signed.exe";
}  // namespace

TEST(SelfUpgrade, TheAgentReplacesItselfOnlyWithAVerifiedNewerVersion) {
  const std::wstring sources = test::TestProgramDir() + L"agent-sources\\";
  const std::wstring built = test::TestProgramDir() + L"..\\dorvex.exe";
  const std::wstring oldVersion = VersionOf(built);
  const std::wstring newVersion = VersionOf(test::TestProgramDir() + L"agent-next\\dorvex.exe");
  ASSERT_TRUE(test::PathExists(sources + L"good\\Dorvex.nrm.sig"));
  ASSERT_FALSE(Env(L"DX_HTTPS_PORT").empty()) << "the https peer is started";
  ASSERT_NE(oldVersion, newVersion);
  const std::wstring key = AnsiToWide(test::ReadBytes(test::TestProgramDir() + L"keys\\a.der64"));
  const std::vector<Row> rows = {
      {"a newer version over https", L"good", true, L"", L"", L"", {kDone}, true, {kCurrent, kSameNew}},
      {"a newer version from a directory", L"good", false, L"", L"", L"", {kDone}, true, {kCurrent, kSameNew}},
      {"no agent map published",
       L"missing",
       true,
       L"",
       L"",
       L"",
       {L"Карта обновлений Дорвекса Dorvex.nrm на источнике не опубликована"},
       false,
       {}},
      {"switched off", L"good", false, L"", L"[SelfUpgrade]\r\nEnabled=0\r\n", L"", {kSameOld}, false, {}},
      {"an emergency run", L"good", false, L" /repair", L"", L"", {kSameOld}, false, {}},
      {"an unsigned agent map",
       L"unsigned",
       true,
       L"",
       L"",
       L"",
       {L"Дорвекс обновляется только по карте с проверенной подписью"},
       false,
       {}},
      {"a map for another program",
       L"otherid",
       false,
       L"",
       L"",
       L"",
       {L"указано ProgramID=Buh, а ожидалось Dorvex"},
       false,
       {}},
      {"only a lower version",
       L"lower",
       false,
       L"",
       L"",
       L"",
       {L"Работает последняя опубликованная версия Дорвекса ({old})"},
       false,
       {}},
      {"a file whose hash differs",
       L"badhash",
       true,
       L"",
       L"",
       L"",
       {L"Контрольная сумма загруженного файла dorvex.exe не совпадает"},
       false,
       {}},
      {"a file of another version",
       L"wrongversion",
       false,
       L"",
       L"",
       L"",
       {L"в ресурсе версии файла указана версия {new}, а в карте"},
       false,
       {}},
      {"a new version failing its self-test",
       L"broken",
       false,
       L"",
       L"",
       L"",
       {L"Новая версия Дорвекса (3.0.0) не запустилась; оставлена версия {old}"},
       false,
       {L"Новая версия Дорвекса (3.0.0) не запустилась; оставлена версия {old}", kSameOld}},
      {"no rights to the program's folder",
       L"good",
       true,
       L"",
       L"",
       L"DORVEX_DENY_WRITE={dir}",
       {L"будет установлено при следующем запуске по расписанию"},
       false,
       {kDone}},
      {"killed after the copy", L"good", false, L"", L"", L"DORVEX_SWAP_CRASH_AT=1", {}, false, {kDone}},
      {"killed between the renames", L"good", false, L"", L"", L"DORVEX_SWAP_CRASH_AT=2", {}, false, {kDone}},
      {"killed after the renames", L"good", false, L"", L"", L"DORVEX_SWAP_CRASH_AT=3", {}, true, {kCurrent, kSameNew}},
      {"killed after the self-test",
       L"good",
       false,
       L"",
       L"",
       L"DORVEX_SWAP_CRASH_AT=4",
       {},
       true,
       {kCurrent, kSameNew}},
      {"a floppy set, the uninstall entry following", L"good", 2, L"", L"", L"", {kDone}, true, {}, nullptr, true},
      {"an unsigned map in a floppy set", L"unsigned", 2, L"", L"", L"", {kUnsignedMap}, false, {}},
      {"a floppy set's file whose hash differs", L"badhash", 2, L"", L"", L"", {kSetFileDiffers}, false, {}},
      {"both signed by one certificate", L"signed", 0, L"", L"", L"", {kDone}, true, {}, kSigned},
      {"the new one signed by another certificate", L"othercert", 0, L"", L"", L"", {kOtherSigner}, false, {}, kSigned},
      {"the old one signed, the new one not", L"good", 0, L"", L"", L"", {kOtherSigner}, false, {}, kSigned},
      {"the new one changed after signing", L"tampered", 0, L"", L"", L"", {kBadDigest}, false, {}, kSigned},
  };
  auto expand = [&](std::wstring t) {
    for (auto [from, to] : {std::pair<std::wstring, std::wstring>{L"{old}", oldVersion}, {L"{new}", newVersion}})
      for (size_t at; (at = t.find(from)) != std::wstring::npos;) t.replace(at, from.size(), to);
    return t;
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    test::ScratchDir pc(L"agent");
    const std::wstring dir = pc / L"agent\\", exe = dir + L"dorvex.exe";
    const std::wstring source = r.source == 1 ? Env(L"DX_HTTP_ROOT") : pc / L"source\\";
    test::RemoveTree(source);
    test::CopyTree(sources + r.tree + L"\\", source);
    if (r.source == 2) WriteAgentSet(source);
    ForceDirectories(dir);
    ASSERT_TRUE(CopyFileW((r.agent ? sources + r.agent : built).c_str(), exe.c_str(), FALSE));
    HKEY entry = nullptr;
    if (r.entry) {
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstall, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &entry, nullptr),
                ERROR_SUCCESS);
      for (auto [name, value] :
           {std::pair<const wchar_t*, std::wstring>{L"InstallLocation", dir}, {L"DisplayVersion", oldVersion}})
        RegSetValueExW(entry, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    const std::wstring via = r.source == 2 ? L"[Disk]\r\nRootDir=A:\\\r\n[Connection]\r\nConnectionType=2\r\n"
                             : r.source == 1
                                 ? L"[Http]\r\nServer=https://localhost\r\nPort=" + Env(L"DX_HTTPS_PORT") +
                                       L"\r\nRootDir=/\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=1\r\n"
                                 : L"[Disk]\r\nRootDir=" + source + L"\r\n[Connection]\r\nConnectionType=2\r\n";
    test::WriteBytes(
        dir + L"dorvex.ini",
        WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + pc / L"repo\\" + L"\r\n" + via +
                   L"AttemptCount=1\r\nAttemptPause=0\r\n[Session]\r\nTempDir=" + pc / L"temp\\" +
                   L"\r\n[Security]\r\nMapPublicKey=" + key + L"\r\nRequireSignedMaps=0\r\nTrustedCertificates=" +
                   test::PemBody(Env(L"DX_CERTS") + L"ca.crt") + L"\r\n[General]\r\nActiveProgramCount=1\r\n" +
                   L"[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\nVirtualVersion=6\r\n" + r.extra));
    auto session = [&](const std::wstring& args, const std::wstring& seam) {
      DeleteFileW((dir + L"dorvex.txt").c_str());
      const size_t eq = seam.find(L'=');
      if (eq != std::wstring::npos)
        SetEnvironmentVariableW(seam.substr(0, eq).c_str(), expand(seam.substr(eq + 1)).c_str());
      test::RunningProgram agent(exe, L"/auto" + args, dir);
      const long code = agent.WaitExit(180000);
      if (eq != std::wstring::npos) SetEnvironmentVariableW(seam.substr(0, eq).c_str(), nullptr);
      EXPECT_EQ(code, seam.find(L"CRASH") != std::wstring::npos ? 9 : 0);
      return AnsiToWide(test::ReadBytes(dir + L"dorvex.txt"));
    };
    std::wstring seam = r.seam;
    if (const size_t at = seam.find(L"{dir}"); at != std::wstring::npos) seam.replace(at, 5, dir);
    const std::wstring first = session(r.args, seam);
    for (const auto& e : r.first) EXPECT_NE(first.find(expand(e)), std::wstring::npos) << WideToUtf8(first);
    if (r.first.empty() || r.first[0] != kDone) {
      EXPECT_EQ(first.find(L"Дорвекс обновлен"), std::wstring::npos);
    }
    // Between the two renames only the old file is left: the README's recovery puts it back.
    if (!test::PathExists(exe)) {
      ASSERT_TRUE(test::PathExists(exe + L".old"));
      ASSERT_TRUE(MoveFileW((exe + L".old").c_str(), exe.c_str()));
    }
    EXPECT_EQ(VersionOf(exe), r.replaced ? newVersion : oldVersion);
    if (entry) {
      EXPECT_EQ(DisplayVersion(), newVersion);
      RegCloseKey(entry);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstall);
    }
    if (r.second.empty()) continue;
    const std::wstring next = session(L"", L"");
    for (const auto& e : r.second) EXPECT_NE(next.find(expand(e)), std::wstring::npos) << WideToUtf8(next);
    EXPECT_EQ(VersionOf(exe), r.second[0] == kDone || r.replaced ? newVersion : oldVersion);
    EXPECT_FALSE(test::PathExists(exe + L".new"));
    // The next start removes the renamed old file; a session that swapped again leaves its own.
    EXPECT_EQ(test::PathExists(exe + L".old"), r.second[0] == kDone);
  }
}

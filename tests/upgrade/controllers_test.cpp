#include "upgrade/controllers.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/text.h"
#include "test_util.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
// A catalogue program with its messages collected, installed in a directory of its own.
struct Installed {
  TProgramList list;
  TProgram* p;
  std::vector<std::wstring> messages;
  explicit Installed(const std::wstring& id, const std::wstring& exeDir = L"") {
    AddCatalogueRows(list);
    p = list.FindByID(id);
    p->ExeDir = exeDir;
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
  }
  bool Detect() {
    messages.clear();
    return p->Controller->DetectVersion();
  }
  double Version() const { return p->Controller->Version; }
};

void CopyFixture(const std::wstring& fixture, const std::wstring& to) {
  ASSERT_TRUE(CopyFileW(test::FixturePath(fixture).c_str(), to.c_str(), FALSE)) << WideToUtf8(to);
}

void WriteText(const std::wstring& path, const std::wstring& text) { test::WriteBytes(path, WideToAnsi(text)); }
}  // namespace

TEST(CorvendVersion, FromTheVersionResource) {
  ScratchDir dir(L"corv");
  Installed buh(L"Buh", dir.Path());
  EXPECT_FALSE(buh.Detect());
  EXPECT_EQ(buh.messages, (std::vector<std::wstring>{
                              L"Программа Корвенд-Бухгалтерия: Исполняемый файл программы " + dir.Path() +
                              L"CvBuh.exe не найден. Убедитесь в правильности указания путей к программе."}));

  CopyFixture(L"ver_corvend.exe", dir / L"CvBuh.exe");  // "0412.00"
  EXPECT_TRUE(buh.Detect());
  EXPECT_EQ(buh.Version(), 412.0);
  EXPECT_EQ(buh.p->Controller->VersionText(), L"412");
  EXPECT_TRUE(buh.messages.empty());

  CopyFixture(L"ver_dotted.exe", dir / L"CvBuh.exe");  // "5.12.0.345" is no number
  EXPECT_TRUE(buh.Detect());
  EXPECT_EQ(buh.Version(), 0.0);
  CopyFixture(L"ver_fixed_only.exe", dir / L"CvBuh.exe");  // no string: the fixed 5.12.0.345
  EXPECT_TRUE(buh.Detect());
  EXPECT_EQ(buh.Version(), 0.0);

  CopyFixture(L"ver_none.exe", dir / L"CvBuh.exe");  // no resource: false without a message
  buh.p->Controller->Version = 5;
  EXPECT_FALSE(buh.Detect());
  EXPECT_EQ(buh.Version(), 0.0);
  EXPECT_TRUE(buh.messages.empty());
}

TEST(CorvendVersion, OwnExecutablesByCompanyName) {
  Installed buh(L"Buh");
  auto& c = *buh.p->Controller;
  EXPECT_TRUE(c.IsOwnExecutable(test::FixturePath(L"ver_corvend.exe")));
  EXPECT_TRUE(c.IsOwnExecutable(test::FixturePath(L"ver_dotted.exe")));  // leading blanks
  EXPECT_FALSE(c.IsOwnExecutable(test::FixturePath(L"ver_other_company.exe")));
  EXPECT_FALSE(c.IsOwnExecutable(test::FixturePath(L"ver_none.exe")));
  Installed mek(L"Mek"), tesk(L"Tesk");
  EXPECT_TRUE(mek.p->Controller->IsOwnExecutable(L"C:\\nothing.exe"));
  EXPECT_TRUE(tesk.p->Controller->IsOwnExecutable(L"C:\\nothing.exe"));
}

TEST(LoadOnlyVersion, TakenFromTheListForEveryKind) {
  for (const wchar_t* id : {L"Buh", L"Lavik", L"Tesk"}) {
    Installed prog(id, L"C:\\nowhere\\");
    prog.p->VirtualUpgrade = true;
    EXPECT_FALSE(prog.Detect());
    ASSERT_EQ(prog.messages.size(), 1u);
    EXPECT_EQ(prog.messages[0], L"Программа " + prog.p->Title +
                                    L": Не указан номер версии программы для доставки обновлений. Укажите номер версии "
                                    L"программы в параметрах списка доставки.");
    prog.p->VirtualVersion = 7.0;
    EXPECT_TRUE(prog.Detect());
    EXPECT_EQ(prog.Version(), 7.0);
    EXPECT_TRUE(prog.messages.empty());
  }
}

TEST(DosVersion, RevisionFileLines) {
  ScratchDir dir(L"dos");
  Installed vosta(L"Vosta", dir.Path());
  EXPECT_FALSE(vosta.Detect());
  EXPECT_EQ(vosta.messages.size(), 1u);
  EXPECT_EQ(vosta.messages[0], L"Программа Воста: Исполняемый файл программы (" + dir.Path() +
                                   L"VOSTA.EXE) не найден. Убедитесь в правильности указания путей к программе.");
  test::WriteBytes(dir / L"VOSTA.EXE", "MZ");

  // A missing revision file gives both messages, in this order.
  EXPECT_FALSE(vosta.Detect());
  EXPECT_EQ(vosta.messages, (std::vector<std::wstring>{
                                L"Программа Воста: Не найден файл с номером версии (" + dir.Path() +
                                    L"revision.ini). Убедитесь в правильности указания путей к программе.",
                                L"Программа Воста: Для программы Воста нельзя распознать номер версии  в файл (" +
                                    dir.Path() + L"revision.ini)."}));

  // "vosta" looks for QPS, trims, ignores case, and the digits stop at the first non-digit.
  WriteText(dir / L"revision.ini", L"[x]\r\nVOSTA=1\r\n  qps=0412abc\r\nQPS=999\r\n");
  EXPECT_TRUE(vosta.Detect());
  EXPECT_EQ(vosta.Version(), 412.0);

  // Blanks around the sign do not match; no match is the cannot-recognise message alone.
  WriteText(dir / L"revision.ini", L"QPS = 412\n");
  EXPECT_FALSE(vosta.Detect());
  EXPECT_EQ(vosta.messages, (std::vector<std::wstring>{L"Программа Воста: Для программы Воста нельзя распознать номер "
                                                       L"версии  в файл (" + dir.Path() + L"revision.ini)."}));

  // Only the first matching line counts, even without digits.
  WriteText(dir / L"revision.ini", L"QPS=x\r\nQPS=5\r\n");
  EXPECT_FALSE(vosta.Detect());
  WriteText(dir / L"revision.ini", L"QPS=000\r\n");
  EXPECT_FALSE(vosta.Detect());
}

TEST(DosVersion, OwnKeysAndTheParentDirectoryRule) {
  ScratchDir dir(L"dosdir");
  CreateDirectoryW((dir / L"LAVIK").c_str(), nullptr);
  CreateDirectoryW((dir / L"LAVIK\\BIN").c_str(), nullptr);
  test::WriteBytes(dir / L"LAVIK\\BIN\\LAVIK.EXE", "MZ");
  Installed lavik(L"Lavik", dir / L"LAVIK\\BIN\\");
  auto* c = static_cast<TDosVersionController*>(lavik.p->Controller.get());
  EXPECT_EQ(c->RevisionFilePath(), dir / L"LAVIK\\revision.ini");
  WriteText(dir / L"LAVIK\\revision.ini", L"LAVIK=5\r\nrvt=77\r\n");  // Lavik's key is RVT
  WriteText(dir / L"LAVIK\\BIN\\revision.ini", L"RVT=1\r\n");
  EXPECT_TRUE(lavik.Detect());
  EXPECT_EQ(lavik.Version(), 77.0);

  // One level below the root, the directory itself is used.
  Installed mek(L"Mek", L"C:\\B\\");
  EXPECT_EQ(static_cast<TDosVersionController*>(mek.p->Controller.get())->RevisionFilePath(), L"C:\\B\\revision.ini");
  Installed mek2(L"Mek", L"C:\\A\\B\\");
  EXPECT_EQ(static_cast<TDosVersionController*>(mek2.p->Controller.get())->RevisionFilePath(), L"C:\\A\\revision.ini");
  // Other console programs keep their own directory and their own ID as the key.
  Installed dbuh(L"DBuh", dir / L"LAVIK\\BIN\\");
  test::WriteBytes(dir / L"LAVIK\\BIN\\DBUH.EXE", "MZ");
  WriteText(dir / L"LAVIK\\BIN\\revision.ini", L"RVT=1\r\ndbuh=31\r\n");
  EXPECT_TRUE(dbuh.Detect());
  EXPECT_EQ(dbuh.Version(), 31.0);
}

TEST(TeskVersion, TheSmallIniFile) {
  ScratchDir dir(L"tesk");
  Installed tesk(L"Tesk", dir.Path());
  auto* c = static_cast<TTeskVersionController*>(tesk.p->Controller.get());
  EXPECT_EQ(c->VersionFilePath(), dir / L"Tesver.ini");
  const std::wstring missing = L"Программа Теск: Файл с версией программы " + dir.Path() +
                               L"Tesver.ini не найден. Убедитесь в правильности указания путей к программе.";
  EXPECT_FALSE(tesk.Detect());  // the executable itself is not looked for
  EXPECT_EQ(tesk.messages, std::vector<std::wstring>{missing});
  WriteText(dir / L"Tesver.ini", L"[AppVersion]\r\nBuild=3\r\n");
  EXPECT_FALSE(tesk.Detect());
  EXPECT_EQ(tesk.messages, std::vector<std::wstring>{missing});
  WriteText(dir / L"Tesver.ini", L"[AppVersion]\r\nVersion=211,5\r\n");
  EXPECT_TRUE(tesk.Detect());
  EXPECT_EQ(tesk.Version(), 212.0);  // rounded, halves away from zero
  WriteText(dir / L"Tesver.ini", L"[AppVersion]\r\nVersion=0\r\n");
  EXPECT_FALSE(tesk.Detect());
  EXPECT_TRUE(tesk.messages.empty());
  WriteText(dir / L"Tesver.ini", L"[AppVersion]\r\nVersion=новая\r\n");
  EXPECT_FALSE(tesk.Detect());
  EXPECT_TRUE(tesk.messages.empty());
}

#include "protocols/disk.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "test_util.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
// A directory source, a repository and a session directory, with one catalogue program.
struct Fixture {
  ScratchDir source{L"src"}, repo{L"repo"}, temp{L"sess"};
  TProgramList list;
  TProgram* p = nullptr;
  std::vector<std::wstring> messages, stages;
  std::vector<int32_t> sizes;
  int32_t sent = 0, received = 0;
  AbortMethod abortVar;  // the window's abort variable
  int windowAborts = 0;

  explicit Fixture(const std::wstring& id = L"Buh") {
    Settings() = TSettings{};
    Settings().ConnectionType = 2;
    Settings().DiskRootDir = ExcludeTrailingBackslash(source.Path());
    Settings().UpgradeFilesDir = repo.Path();
    AddCatalogueRows(list);
    p = list.FindByID(id);
    p->TempDir = temp.Path();
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
    p->OnTraffic = [this](void*, bool s, int32_t n) { (s ? sent : received) += n; };
    abortVar = [this](void*) { ++windowAborts; };
  }
  ~Fixture() { Settings() = TSettings{}; }
  void Write(const std::wstring& rel, const std::string& bytes) {
    ForceDirectories(ExtractFilePath(source / rel));
    test::WriteBytes(source / rel, bytes);
  }
  void Map(const std::wstring& text) { test::WriteBytes(temp / (p->ProgramID + L".nrm"), WideToAnsi(text)); }
  StageTextHandler Status() {
    return [this](const std::wstring& t) { stages.push_back(t); };
  }
  void Attach(TDownloadProtocol& proto) {
    proto.OnSizeForDownload = [this](void*, int32_t size, bool valid) {
      EXPECT_TRUE(valid);
      sizes.push_back(size);
    };
  }
};

// The directory source with resumption switched on, to drive the continuing branches of the
// shared download procedure; it notes what it was asked to fetch.
class ResumingDisk : public TDiskProtocol {
 public:
  using TDiskProtocol::TDiskProtocol;
  bool CanResume() override { return resume; }
  bool UsesSlashes() override { return slashes; }
  bool DownloadFile(AbortMethod& a, const std::wstring& remote, bool r, const std::wstring& local) override {
    asked.push_back(remote);
    partialAtStart.push_back(test::ReadBytes(local));
    if (slashes) {  // a network source's path: the file arrives as the wire would bring it
      ForceDirectories(ExtractFilePath(local));
      test::WriteBytes(local, "x");
      return true;
    }
    return TDiskProtocol::DownloadFile(a, remote, r, local);
  }
  bool resume = true;
  bool slashes = false;
  std::vector<std::wstring> asked;
  std::vector<std::string> partialAtStart;
};
}  // namespace

TEST(DiskSource, RootCheckAndShareMode) {
  Fixture f;
  TDiskProtocol disk(*f.p);
  EXPECT_EQ(disk.RootDir, f.source.Path());  // the backslash is added
  EXPECT_TRUE(disk.CheckServer());
  EXPECT_FALSE(disk.ShareMapMode());
  EXPECT_FALSE(disk.CanResume());
  EXPECT_TRUE(disk.Connect() && disk.Login());

  Settings().DiskRootDir = L"\\\\server\\share";
  TDiskProtocol unc(*f.p);
  EXPECT_EQ(unc.RootDir, L"\\\\server\\share\\");
  EXPECT_TRUE(unc.ShareMapMode());
  EXPECT_FALSE(unc.CheckServer());
  EXPECT_EQ(f.messages.back(), L"Программа Корвенд-Бухгалтерия: Недопустимое имя ресурса (\\\\server\\share\\). Ресурс "
                               L"не существует или недоступен.");
  Settings().DiskRootDir = L"N:\\upgrades";
  EXPECT_TRUE(TDiskProtocol(*f.p).ShareMapMode());  // a network drive
  Settings().ConnectionType = 1;
  EXPECT_FALSE(TDiskProtocol(*f.p).ShareMapMode());
  Settings().DiskRootDir = L"";
  EXPECT_EQ(TDiskProtocol(*f.p).RootDir, L"");
}

TEST(DiskSource, MapFileNamesAndTheMapCopy) {
  Fixture f;
  f.Write(L"Buh.nrm", "[12]\r\nCount=0\r\n");
  f.Write(L"Buh.emr", "[5]\r\n");
  {
    TDiskProtocol disk(*f.p);
    EXPECT_EQ(disk.MapFileName(L"X:\\"), L"X:\\Buh.nrm");
    EXPECT_TRUE(disk.GetUpgradeMap(f.abortVar));
    EXPECT_EQ(test::ReadBytes(f.temp / L"Buh.nrm"), "[12]\r\nCount=0\r\n");
    f.p->Repair = true;
    EXPECT_EQ(disk.MapFileName(L"X:\\"), L"X:\\Buh.emr");
    EXPECT_EQ(disk.StepFilePath(L"12", L"a.dll", 0), L"repair\\12\\a.dll");
    EXPECT_EQ(disk.StepFilePath(L"12", L"a.dll", 1), L"12/a.dll");
    f.p->Repair = false;
    EXPECT_EQ(disk.StepFilePath(L"12", L"a.dll", 0), L"12\\a.dll");
    EXPECT_TRUE(static_cast<bool>(f.abortVar));  // the window's handler is back
  }
  EXPECT_FALSE(test::PathExists(f.temp / L"Buh.nrm"));  // the copy goes with the protocol object
}

TEST(DiskSource, CopyFailuresAreFailures) {
  Fixture f;
  TDiskProtocol disk(*f.p);
  const std::wstring local = f.temp / L"Buh\\12\\a.dll";
  EXPECT_FALSE(disk.DownloadFile(f.abortVar, f.source / L"missing.dll", true, local));
  EXPECT_EQ(f.messages.back(),
            L"Программа Корвенд-Бухгалтерия: C файлового ресурса нельзя загрузить файл " + f.source.Path() + L"missing.dll");
  EXPECT_FALSE(test::PathExists(local));

  // A file of an earlier run is removed before the copy: a directory copy is never continued.
  f.Write(L"a.dll", test::PatternBytes(1000));
  test::WriteBytes(local, "stale stale stale stale");
  EXPECT_TRUE(disk.DownloadFile(f.abortVar, f.source / L"a.dll", true, local));
  EXPECT_EQ(test::ReadBytes(local), test::PatternBytes(1000));
  EXPECT_EQ(f.received, 1000);

  // An unwritable destination (a directory stands there) is a failure too.
  CreateDirectoryW((f.temp / L"blocked").c_str(), nullptr);
  EXPECT_FALSE(disk.DownloadFile(f.abortVar, f.source / L"a.dll", true, f.temp / L"blocked"));
}

TEST(DiskSource, StopDuringACopy) {
  Fixture f;
  f.Write(L"big.bin", test::PatternBytes(700000));
  TDiskProtocol disk(*f.p);
  // Stop is pressed while the copy runs: the window's abort variable holds the copy's hook.
  f.p->OnTraffic = [&](void*, bool, int32_t n) {
    if (n > 0 && f.abortVar) f.abortVar(nullptr);
  };
  disk.CopyProgress = f.p->OnTraffic;
  EXPECT_FALSE(disk.DownloadFile(f.abortVar, f.source / L"big.bin", false, f.temp / L"big.bin"));
  EXPECT_TRUE(disk.CopyStopped());
  EXPECT_GE(f.windowAborts, 1);  // the chain reaches the window's own handler
  EXPECT_FALSE(test::PathExists(f.temp / L"big.bin"));
}

TEST(DownloadFilesTest, EmptyStepListAndSectionsWithoutFiles) {
  Fixture f;
  f.Map(L"[12]\r\n[13]\r\nCount=0\r\n[14]\r\nCount=-3\r\nFileName1=x\r\n");
  TDiskProtocol disk(*f.p);
  f.Attach(disk);
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, f.Status()));
  EXPECT_EQ(f.sizes, std::vector<int32_t>{0});
  EXPECT_EQ(f.stages.front(), L"Загрузка файлов обновлений: подготовка сведений о размере");
  EXPECT_EQ(f.stages.back(), L"Загрузка файлов обновлений: файлы обновлений программы загружены");
  disk.StepList = {L"12", L"13", L"14"};
  f.sizes.clear();
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(f.sizes, std::vector<int32_t>{0});
  EXPECT_FALSE(test::PathExists(f.repo / L"Buh"));
}

TEST(DownloadFilesTest, FetchesIntoTheRepositoryWithDirsOfBothSeparators) {
  Fixture f;
  const std::string a = test::PatternBytes(40000, 1), b = test::PatternBytes(300, 2), c = test::PatternBytes(5, 3);
  f.Write(L"store\\v13\\a.dll", a);
  f.Write(L"store\\v13\\b.txt", b);
  f.Write(L"14\\c.ini", c);
  f.Map(L"[13]\r\nDir=/store/v13/\r\nCount=3\r\nFileName1=a.dll\r\nFileSize1=40000\r\nFileName2=\r\nFileSize2=77\r\n"
        L"FileName3=b.txt\r\nFileSize3=300\r\n[14]\r\nCount=1\r\nFileName1=c.ini\r\nFileSize1=5\r\n");
  TDiskProtocol disk(*f.p);
  f.Attach(disk);
  disk.StepList = {L"13", L"14"};
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, f.Status()));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\13\\a.dll"), a);
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\13\\b.txt"), b);
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\14\\c.ini"), c);
  EXPECT_FALSE(test::PathExists(f.temp / L"Buh\\13\\a.dll"));  // temporary copies go once stored
  EXPECT_EQ(f.sizes, std::vector<int32_t>{40382});  // the empty name's size still counts in the total
  EXPECT_EQ(f.received, 40305);
  const std::wstring whole = L"Загрузка файлов обновлений: файл a.dll загружается целиком\r[39 Kb]";
  EXPECT_NE(std::find(f.stages.begin(), f.stages.end(), whole), f.stages.end());
  EXPECT_NE(std::find(f.stages.begin(), f.stages.end(),
                      L"Загрузка файлов обновлений: файл c.ini загружен целиком, сейчас копируется в хранилище"),
            f.stages.end());
  EXPECT_TRUE(static_cast<bool>(f.abortVar));
  f.abortVar(nullptr);
  EXPECT_EQ(f.windowAborts, 1);  // the window's own handler is back in place

  // A second run finds everything complete and reports the remaining size going down to zero.
  f.sizes.clear();
  f.received = 0;
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(f.sizes, (std::vector<int32_t>{40382, 382, 82, 77}));
  EXPECT_EQ(f.received, 0);
}

TEST(DownloadFilesTest, EmergencyFilesGoUnderRepair) {
  Fixture f;
  f.Write(L"em\\5\\fix.dll", "fix");
  f.p->Repair = true;
  test::WriteBytes(f.temp / L"Buh.emr", "[5]\r\nDir=em\\5\r\nCount=1\r\nFileName1=fix.dll\r\nFileSize1=3\r\n");
  TDiskProtocol disk(*f.p);
  disk.StepList = {L"5"};
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\repair\\5\\fix.dll"), "fix");
}

TEST(DownloadFilesTest, ExactAndShortRepositoryFiles) {
  Fixture f;
  const std::string data = test::PatternBytes(1000, 9);
  f.Write(L"12\\a.dll", data);
  f.Map(L"[12]\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=1000\r\n");
  ForceDirectories(f.repo / L"Buh\\12\\");

  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", std::string(1000, 'k'));  // exactly the size: complete
  ResumingDisk disk(*f.p);
  disk.StepList = {L"12"};
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_TRUE(disk.asked.empty());
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\12\\a.dll"), std::string(1000, 'k'));

  // One byte short, with resumption: the repository copy is continued.
  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", data.substr(0, 999));
  f.stages.clear();
  f.Attach(disk);
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, f.Status()));
  ASSERT_EQ(disk.asked.size(), 1u);
  EXPECT_EQ(disk.asked[0], f.source.Path() + L"12/a.dll");
  EXPECT_EQ(disk.partialAtStart[0], data.substr(0, 999));
  EXPECT_NE(std::find(f.stages.begin(), f.stages.end(),
                      L"Загрузка файлов обновлений: файл a.dll загружен частично\r[требуется загрузить еще 1 b]"),
            f.stages.end());
  EXPECT_EQ(f.sizes, (std::vector<int32_t>{1000, 1}));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\12\\a.dll"), data);

  // A longer temporary copy is kept over a shorter repository copy.
  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", data.substr(0, 100));
  ForceDirectories(f.temp / L"Buh\\12\\");
  test::WriteBytes(f.temp / L"Buh\\12\\a.dll", data.substr(0, 700));
  disk.asked.clear();
  disk.partialAtStart.clear();
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(disk.partialAtStart[0], data.substr(0, 700));

  // Without resumption an earlier temporary file is deleted and the file is fetched whole.
  disk.resume = false;
  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", data.substr(0, 999));
  test::WriteBytes(f.temp / L"Buh\\12\\a.dll", data.substr(0, 500));
  disk.partialAtStart.clear();
  f.stages.clear();
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, f.Status()));
  EXPECT_EQ(disk.partialAtStart[0], "");
  EXPECT_NE(std::find(f.stages.begin(), f.stages.end(),
                      L"Загрузка файлов обновлений: файл a.dll загружается целиком\r[1000 b]"),
            f.stages.end());
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\12\\a.dll"), data);
}

TEST(DownloadFilesTest, RemotePathsUseSlashesForNetworkSources) {
  Fixture f;
  f.Map(L"[12]\r\nDir=\\a\\b\\\r\nCount=1\r\nFileName1=x.dll\r\nFileSize1=1\r\n[13]\r\nCount=1\r\nFileName1=y.dll\r\n"
        L"FileSize1=1\r\n");
  ResumingDisk proto(*f.p);
  proto.slashes = true;
  proto.StepList = {L"12", L"13"};
  f.p->Repair = false;
  EXPECT_TRUE(proto.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(proto.asked, (std::vector<std::wstring>{f.source.Path() + L"a/b/x.dll", f.source.Path() + L"13/y.dll"}));
}

TEST(DownloadFilesTest, StopBetweenFilesKeepsTheFirst) {
  Fixture f;
  f.Write(L"12\\one.dll", "one");
  f.Write(L"12\\two.dll", "two");
  f.Map(L"[12]\r\nCount=2\r\nFileName1=one.dll\r\nFileSize1=3\r\nFileName2=two.dll\r\nFileSize2=3\r\n");
  TDiskProtocol disk(*f.p);
  disk.StepList = {L"12"};
  // The user presses Stop while the first file is being stored.
  auto status = [&](const std::wstring& t) {
    if (t.find(L"one.dll загружен целиком") != std::wstring::npos) f.abortVar(nullptr);
  };
  EXPECT_FALSE(disk.DownloadFiles(f.abortVar, status));
  EXPECT_TRUE(disk.Aborted);
  EXPECT_EQ(f.windowAborts, 1);
  EXPECT_TRUE(test::PathExists(f.repo / L"Buh\\12\\one.dll"));
  EXPECT_FALSE(test::PathExists(f.repo / L"Buh\\12\\two.dll"));
  // The next run skips the first file as complete.
  f.received = 0;
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(f.received, 3);
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\12\\two.dll"), "two");
}

TEST(DownloadFilesTest, ALockedRepositoryFileKeepsTheDownload) {
  Fixture f;
  f.Write(L"12\\a.dll", "new data");
  f.Map(L"[12]\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=8\r\n");
  ForceDirectories(f.repo / L"Buh\\12\\");
  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", "old");
  HANDLE lock = CreateFileW((f.repo / L"Buh\\12\\a.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  TDiskProtocol disk(*f.p);
  disk.StepList = {L"12"};
  EXPECT_FALSE(disk.DownloadFiles(f.abortVar, nullptr));
  CloseHandle(lock);
  ASSERT_FALSE(f.messages.empty());
  const std::wstring& m = f.messages.back();
  EXPECT_NE(m.find(L"Нельзя скопировать загруженный файл " + f.temp.Path() + L"Buh\\12\\a.dll в хранилище обновлений (" +
                   f.repo.Path() + L"Buh\\12\\a.dll). Ошибка Windows: «"),
            std::wstring::npos)
      << WideToUtf8(m);
  EXPECT_EQ(test::ReadBytes(f.temp / L"Buh\\12\\a.dll"), "new data");
}

TEST(DownloadFilesTest, MapEntriesThatLeaveTheirPlaceAreRefused) {
  const wchar_t* bad[] = {
      L"[12]\r\nCount=1\r\nFileName1=..\\..\\evil.dll\r\nFileSize1=1\r\n",
      L"[12]\r\nCount=1\r\nFileName1=C:\\windows\\evil.dll\r\nFileSize1=1\r\n",
      L"[12]\r\nCount=1\r\nFileName1=a.dll:stream\r\nFileSize1=1\r\n",
      L"[12]\r\nDir=..\\..\\outside\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=1\r\n",
      L"[12]\r\nDir=\\\\\\server\\share\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=1\r\n",
      L"[12]\r\nDir=C:\\other\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=1\r\n",
  };
  for (const wchar_t* map : bad) {
    Fixture f;
    f.Write(L"12\\a.dll", "a");
    f.Map(map);
    TDiskProtocol disk(*f.p);
    disk.StepList = {L"12"};
    EXPECT_FALSE(disk.DownloadFiles(f.abortVar, nullptr)) << WideToUtf8(map);
    ASSERT_EQ(f.messages.size(), 1u) << WideToUtf8(map);
    EXPECT_EQ(f.messages[0].rfind(L"Программа Корвенд-Бухгалтерия: Карта файлов обновлений содержит недопустимое значение «", 0),
              0u)
        << WideToUtf8(f.messages[0]);
    EXPECT_FALSE(test::PathExists(f.repo / L"Buh"));
    EXPECT_TRUE(static_cast<bool>(f.abortVar));
  }
}

TEST(ShareMaps, BuiltFromTheTree) {
  Fixture f(L"Sklad");
  const std::wstring root = L"N:\\";
  test::RemoveTree(L"N:\\Sklad");
  Settings().DiskRootDir = root;
  ForceDirectories(L"N:\\Sklad\\12\\");
  ForceDirectories(L"N:\\Sklad\\Upgrade\\13\\");
  ForceDirectories(L"N:\\Sklad\\Upgrade\\14-15\\sub\\");
  ForceDirectories(L"N:\\Sklad\\Upgrade\\beta\\");
  ForceDirectories(L"N:\\Sklad\\Upgrade\\16\\");
  test::WriteBytes(L"N:\\Sklad\\12\\old.dll", "o");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\13\\b.dll", "bb");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\13\\A.dll", "aaa");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\13\\WHATS.NEW", "news");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\14-15\\c.dll", "cccc");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\beta\\x.dll", "x");
  test::WriteBytes(L"N:\\Sklad\\Upgrade\\16\\whats.new", "only news");

  TDiskProtocol disk(*f.p);
  ASSERT_TRUE(disk.ShareMapMode());
  EXPECT_TRUE(disk.GetUpgradeMap(f.abortVar));
  TIniFile map(f.temp / L"Sklad.nrm");
  EXPECT_EQ(map.ReadSections(), (std::vector<std::wstring>{L"14-15", L"13"}));  // written from the last to the first
  EXPECT_EQ(map.ReadString(L"13", L"Dir", L""), L"Sklad\\Upgrade\\13\\");
  EXPECT_EQ(map.ReadInteger(L"13", L"Count", 0), 2);
  EXPECT_EQ(map.ReadString(L"13", L"FileName1", L""), L"A.dll");
  EXPECT_EQ(map.ReadInteger(L"13", L"FileSize1", 0), 3);
  EXPECT_EQ(map.ReadString(L"13", L"FileName2", L""), L"b.dll");
  EXPECT_EQ(map.ReadInteger(L"14-15", L"Count", 0), 1);

  // The map drives the download: the remote path is the root, the base, the step and the name.
  disk.StepList = {L"13", L"14-15"};
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Sklad\\13\\A.dll"), "aaa");
  EXPECT_EQ(test::ReadBytes(f.repo / L"Sklad\\14-15\\c.dll"), "cccc");

  // Emergency mode without a repair level names the base it looked for.
  f.p->Repair = true;
  EXPECT_FALSE(disk.GetUpgradeMap(f.abortVar));
  EXPECT_EQ(f.messages.back(), L"Программа Корвенд-Склад: В каталоге (N:\\) с обновлениями не найдена папка с "
                               L"обновлениями (Sklad\\Upgrade\\repair\\).");
  // A program directory without version directories: false, without a message.
  f.p->Repair = false;
  test::RemoveTree(L"N:\\Sklad");
  ForceDirectories(L"N:\\Sklad\\docs\\");
  f.messages.clear();
  EXPECT_FALSE(disk.GetUpgradeMap(f.abortVar));
  EXPECT_TRUE(f.messages.empty());
  test::RemoveTree(L"N:\\Sklad");
}

TEST(DownloadFilesTest, AFileShorterThanItsMapSizeIsNotWhole) {
  Fixture f;
  const std::string data = test::PatternBytes(600, 4);
  f.Write(L"12\\a.dll", data.substr(0, 250));  // the source holds less than the map promises
  f.Map(L"[12]\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=600\r\n");
  ResumingDisk disk(*f.p);
  disk.StepList = {L"12"};
  EXPECT_FALSE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_FALSE(test::PathExists(f.repo / L"Buh\\12\\a.dll"));
  EXPECT_EQ(test::ReadBytes(f.temp / L"Buh\\12\\a.dll"), data.substr(0, 250));  // kept to be continued
  ASSERT_EQ(f.messages.size(), 1u);
  EXPECT_NE(f.messages[0].find(L"a.dll"), std::wstring::npos) << WideToUtf8(f.messages[0]);
  EXPECT_NE(f.messages[0].find(L" 250 "), std::wstring::npos) << WideToUtf8(f.messages[0]);
  EXPECT_NE(f.messages[0].find(L" 600"), std::wstring::npos) << WideToUtf8(f.messages[0]);

  // A partial copy as long as the map's size or longer is fetched anew, not continued.
  f.Write(L"12\\a.dll", data);
  test::WriteBytes(f.temp / L"Buh\\12\\a.dll", std::string(600, 'z'));
  disk.partialAtStart.clear();
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  ASSERT_EQ(disk.partialAtStart.size(), 1u);
  EXPECT_EQ(disk.partialAtStart[0], "");
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\12\\a.dll"), data);

  // A longer file than the map says is refused, both sizes named; any file of a map without sizes is whole.
  f.Map(L"[13]\r\nCount=2\r\nFileName1=b.dll\r\nFileSize1=3\r\nFileName2=c.dll\r\n");
  f.Write(L"13\\b.dll", "bbbbbb");
  f.Write(L"13\\c.dll", "cc");
  disk.StepList = {L"13"};
  EXPECT_FALSE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_NE(f.messages.back().find(L"в карте 3 байт, а источник передает не меньше 6 байт"), std::wstring::npos);
  EXPECT_FALSE(test::PathExists(f.repo / L"Buh\\13\\b.dll"));
  EXPECT_FALSE(test::PathExists(f.temp / L"Buh\\13\\b.dll"));
  f.Map(L"[13]\r\nCount=1\r\nFileName1=c.dll\r\n");
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\13\\c.dll"), "cc");
}

TEST(ShareMaps, NamesOutsideTheCodePageAreSkippedAndAnOldMapGoes) {
  Fixture f(L"Sklad");
  test::RemoveTree(L"N:\\Sklad");
  Settings().DiskRootDir = L"N:\\";
  ForceDirectories(L"N:\\Sklad\\13\\");
  test::WriteBytes(L"N:\\Sklad\\13\\Отчет.dll", "rus");          // Cyrillic: the code page holds it
  test::WriteBytes(L"N:\\Sklad\\13\\\u6587\u4EF6.dll", "cjk");    // not in the code page
  test::WriteBytes(L"N:\\Sklad\\13\\caf\u00E9\u0301.txt", "mark");  // a combining accent has no place either
  // A map left by an earlier build names a step that is no longer on the share.
  test::WriteBytes(f.temp / L"Sklad.nrm", "[12]\r\nCount=1\r\nFileName1=gone.dll\r\nFileSize1=1\r\n[13]\r\nStop=1\r\n");

  TDiskProtocol disk(*f.p);
  ASSERT_TRUE(disk.ShareMapMode());
  EXPECT_TRUE(disk.GetUpgradeMap(f.abortVar));
  TIniFile map(f.temp / L"Sklad.nrm");
  EXPECT_EQ(map.ReadSections(), (std::vector<std::wstring>{L"13"}));
  EXPECT_EQ(map.ReadInteger(L"13", L"Count", 0), 1);
  EXPECT_EQ(map.ReadString(L"13", L"FileName1", L""), L"Отчет.dll");
  EXPECT_EQ(map.ReadString(L"13", L"Stop", L"none"), L"none");
  EXPECT_EQ(test::ReadBytes(f.temp / L"Sklad.nrm").find('?'), std::string::npos);
  ASSERT_EQ(f.messages.size(), 2u);
  const std::wstring both = f.messages[0] + L"\n" + f.messages[1];
  EXPECT_NE(both.find(L"«\u6587\u4EF6.dll»"), std::wstring::npos) << WideToUtf8(both);
  EXPECT_NE(both.find(L"«caf\u00E9\u0301.txt»"), std::wstring::npos) << WideToUtf8(both);
  EXPECT_NE(f.messages[0].find(L"Файл пропущен"), std::wstring::npos) << WideToUtf8(f.messages[0]);

  disk.StepList = {L"13"};
  EXPECT_TRUE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Sklad\\13\\Отчет.dll"), "rus");
  test::RemoveTree(L"N:\\Sklad");
}

TEST(DownloadFilesTest, AHugeCountCostsNothingAndSizesAddUpPast2GiB) {
  Fixture f;
  // Two steps whose files together pass 2 GiB, and a Count far beyond the keys that exist.
  f.Map(L"[12]\r\nCount=2000000000\r\nFileName1=a.dll\r\nFileSize1=2000000000\r\n"
        L"[13]\r\nCount=2\r\nFileName1=b.dll\r\nFileSize1=2000000000\r\nFileName2=c.dll\r\nFileSize2=100\r\n");
  ForceDirectories(f.repo / L"Buh\\12\\");
  ForceDirectories(f.repo / L"Buh\\13\\");
  test::WriteBytes(f.repo / L"Buh\\12\\a.dll", "");
  TDiskProtocol disk(*f.p);
  std::vector<int64_t> sizes;
  disk.OnSizeForDownload = [&](void*, int64_t size, bool) { sizes.push_back(size); };
  disk.StepList = {L"12", L"13"};
  // The files are not on the source: the first copy fails, after the sizing.
  const DWORD start = GetTickCount();
  EXPECT_FALSE(disk.DownloadFiles(f.abortVar, nullptr));
  EXPECT_LT(GetTickCount() - start, 20000u);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes[0], 4000000100LL);
}

// The map checked is the map read: once it has been read for its check, a change to the local
// copy (another process, a second fetch) changes nothing of what the session uses.
TEST(DownloadFilesTest, TheMapReadForItsCheckIsTheMapUsed) {
  Fixture f;
  f.Write(L"Buh.nrm", "[413]\r\nDir=Buh\\413\r\nCount=1\r\nFileName1=a.dat\r\nFileSize1=1\r\n");
  f.Write(L"Buh\\413\\a.dat", "a");
  f.Write(L"Buh\\666\\evil.dat", "e");
  TDiskProtocol proto(*f.p);
  ASSERT_TRUE(proto.GetUpgradeMap(f.abortVar));
  ASSERT_TRUE(proto.VerifyUpgradeMap(f.abortVar));
  test::WriteBytes(proto.LocalMapPath(), "[666]\r\nDir=Buh\\666\r\nCount=1\r\nFileName1=evil.dat\r\nFileSize1=1\r\n");
  EXPECT_EQ(proto.MapTable().UniqueSections(), std::vector<std::wstring>{L"413"});
  proto.StepList = {L"413"};
  ASSERT_TRUE(proto.DownloadFiles(f.abortVar, f.Status()));
  EXPECT_EQ(test::ReadBytes(f.repo / L"Buh\\413\\a.dat"), "a");
  EXPECT_FALSE(test::PathExists(f.repo / L"Buh\\666"));
}

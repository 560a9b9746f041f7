// Reading transfer sets through whole sessions of the main window whose source is the floppy
// drive A:, with the disks swapped in from the message boxes that ask for them.
#include "transfer/importset.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/inifile.h"
#include "common/text.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "transfer/uploadset.h"
#include "transfer_common.h"
#include "ui/controls.h"
#include "ui/dialogs.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
const std::wstring kId = L"2026030709050412345";
const std::wstring kPrefix = L"Ошибка на 1-й попытке. ";

// A hand-made disk in the drive: a header with the entries and the data files given.
struct Entry {
  std::wstring name;
  std::wstring size;
};
void MakeHeader(const std::vector<Entry>& entries, const std::wstring& id = kId, const std::wstring& count = L"") {
  std::wstring text = L"[PackageInfo]\r\nSessionID=" + id + L"\r\nFileCount=" +
                      (count.empty() ? std::to_wstring(entries.size()) : count) + L"\r\n";
  for (size_t i = 0; i < entries.size(); ++i)
    text += L"[File" + std::to_wstring(i + 1) + L"]\r\nFileName=" + entries[i].name + L"\r\nFileSize=" +
            entries[i].size + L"\r\n";
  test::WriteBytes(L"A:\\files.inf", WideToAnsi(text));
  test::WriteBytes(L"A:\\disk1.id", WideToAnsi(L"[DiskInfo]\r\nSessionID=" + id + L"\r\n"));
}
void MakeId(int n, const std::wstring& id = kId) {
  test::WriteBytes(L"A:\\disk" + std::to_wstring(n) + L".id", WideToAnsi(L"[DiskInfo]\r\nSessionID=" + id + L"\r\n"));
}

// Answers the session's boxes: disk prompts load the disk asked for, questions take the
// answers given in order (No when none is left).
struct Operator {
  test::FloppyDrive& drive;
  std::vector<std::wstring> texts;
  std::vector<int> answers;
  std::function<void(int disk)> onNextDisk;
  std::function<void()> onFirstDisk;
  bool loadDisks = true;
  explicit Operator(test::FloppyDrive& d) : drive(d) {
    ui::SetMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
      texts.push_back(r.text);
      const std::wstring next = L"Вставьте следующую дискету (#";
      if (r.text == L"Вставьте первую дискету в дисковод и нажмите клавишу Enter.") {
        if (loadDisks) drive.Load(1);
        if (onFirstDisk) onFirstDisk();
      } else if (r.text.rfind(next, 0) == 0) {
        int n = _wtoi(r.text.c_str() + next.size());
        if (onNextDisk)
          onNextDisk(n);
        else if (loadDisks)
          drive.Load(n);
      }
      if ((r.flags & MB_YESNO) == MB_YESNO) {
        if (answers.empty()) return IDNO;
        int a = answers.front();
        answers.erase(answers.begin());
        return a;
      }
      return IDOK;
    });
  }
  ~Operator() { ui::SetMessageBoxHandler(nullptr); }
};

// Everything below a directory, as relative names.
void ListTree(const std::wstring& dir, const std::wstring& rel, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListTree(dir + n + L"\\", rel + n + L"\\", out);
    else
      out.push_back(rel + n);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}
std::vector<std::wstring> Tree(const std::wstring& dir) {
  std::vector<std::wstring> out;
  ListTree(dir, L"", out);
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace

// The writer's three disks, read back into another computer's repository and upgraded.
TEST(TransferRead, ThreeDiskSetRoundTripUpgradesInNumericOrder) {
  test::FloppyDrive a;
  std::vector<std::wstring> paths;
  std::map<std::wstring, std::string> originals;
  {
    test::Computer from(L"from");
    Settings().UpgradeFilesDir = from.repo;
    // The header lists 420 before 413-419, as a text sort of the tree would.
    paths = from.Step(L"Buh\\420", {{L"a.dat", 1000}, {L"empty.dat", 0}, {L"c.dat", 700}});
    auto second = from.Step(L"Buh\\413-419", {{L"big.dat", 3000000}, {L"s.dat", 5000}});
    paths.insert(paths.end(), second.begin(), second.end());
    for (const auto& p : paths) originals[p.substr(from.repo.size())] = test::ReadBytes(p);
    ScratchDir staging(L"stg");
    TUploadSet set;
    set.Prepare(paths, staging.Path());
    int n = 0;
    while (!set.Complete() && n < 5) {
      a.Clear();
      ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr));
      a.Save(++n);
    }
    ASSERT_EQ(n, 3);
  }
  a.Clear();

  test::Computer to(L"to");
  to.InstallBuh();          // version 412
  to.WriteSettings(L"A:");  // a drive given without its backslash
  // Disk 3 is first offered from another set; at the question the right one is put in.
  std::vector<std::wstring> texts;
  int offers = 0;
  ui::SetMessageBoxHandler([&](const ui::MessageBoxRequest& r) {
    texts.push_back(r.text);
    const std::wstring next = L"Вставьте следующую дискету (#";
    if (r.text == L"Вставьте первую дискету в дисковод и нажмите клавишу Enter.") {
      a.Load(1);
    } else if (r.text.rfind(next, 0) == 0) {
      int disk = _wtoi(r.text.c_str() + next.size());
      if (disk == 3 && offers++ == 0) {
        a.Clear();
        MakeId(3, L"99999999999999999999");
      } else {
        a.Load(disk);
      }
    } else if (r.text.find(L"не является дискетой #3") != std::wstring::npos) {
      a.Load(3);
      ++offers;
      return IDYES;
    }
    return (r.flags & MB_YESNO) == MB_YESNO ? IDNO : IDOK;
  });
  TMainForm& f = to.Open();
  to.Run();

  EXPECT_EQ(to.Lines(),
            (std::vector<std::wstring>{
                L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 419 успешно проведено",
                L"Обновление программы «Корвенд-Бухгалтерия» с версии 419 до версии 420 успешно проведено"}));
  EXPECT_EQ(offers, 2);
  ui::SetMessageBoxHandler(nullptr);
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      L"Дискета в дисководе A:\\ не является дискетой #3 загружаемого комплекта обновлений. Вставьте "
                      L"дискету #3 в дисковод. Повторить попытку чтения ?"),
            texts.end());
  // Every byte arrived.
  std::vector<std::wstring> expected;
  for (const auto& [rel, bytes] : originals) {
    expected.push_back(rel);
    EXPECT_TRUE(test::ReadBytes(to.repo + rel) == bytes) << WideToUtf8(rel);
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::wstring> got;
  for (const auto& rel : Tree(to.repo))
    if (rel.rfind(L"Reports\\", 0) != 0 && rel != L"dorvex.lock") got.push_back(rel);
  EXPECT_EQ(got, expected);
  // Each step ran once, in the order of its numbers.
  const std::string runs = to.Upgrades();
  size_t first = runs.find("Buh\\413-419"), second = runs.find("Buh\\420");
  ASSERT_NE(first, std::string::npos) << runs;
  ASSERT_NE(second, std::string::npos) << runs;
  EXPECT_LT(first, second);
  EXPECT_EQ(runs.rfind("Buh\\420"), second);  // a step with several files runs once
  EXPECT_EQ(f.CurrentPage, 3);
  EXPECT_TRUE(f.RemoveTempDirOnExit);
}

TEST(TransferRead, HeaderErrorsAndUnsafeNames) {
  test::FloppyDrive a;
  test::Computer to(L"hdr");
  to.AddLoadOnly(L"Kadry", 5);
  to.WriteSettings();
  Operator op(a);
  op.loadDisks = false;
  TMainForm& f = to.Open();
  auto runWith = [&](const std::function<void()>& disk) {
    a.Clear();
    disk();
    to.Run();
    auto lines = to.Lines();
    return lines.size() == 1 ? lines[0] : L"<" + std::to_wstring(lines.size()) + L" lines>";
  };
  auto bad = [](const std::wstring& what) {
    return kPrefix + L"На дискете в дисководе A:\\ недопустимые данные в заголовочном файле (" + what +
           L"). Вероятно дискета испорчена.";
  };
  EXPECT_EQ(runWith([] { test::WriteBytes(L"A:\\other.txt", "x"); }),
            kPrefix +
                L"В дисководе A:\\ не обнаружена первая дискета комплекта переносимых файлов обновлений (нет "
                L"заголовочного файла). Вероятно, Вы установили не ту дискету. Замените ее и повторите попытку.");
  EXPECT_EQ(runWith([] { MakeHeader({{L"Kadry\\6\\a.dat", L"1"}}, kId.substr(0, 18)); }), bad(L"идентификатор сессии"));
  EXPECT_EQ(runWith([] { MakeHeader({{L"Kadry\\6\\a.dat", L"1"}}, kId + L"0"); }), bad(L"идентификатор сессии"));
  EXPECT_EQ(runWith([] { MakeHeader({{L"Kadry\\6\\a.dat", L"1"}}, kId, L"0"); }), bad(L"количество файлов"));
  EXPECT_EQ(runWith([] {
              MakeHeader({{L"Kadry\\6\\a.dat", L"1"}, {L"", L"1"}});
            }),
            bad(L"не указано имя файла номер 2"));
  EXPECT_EQ(runWith([] { MakeHeader({{L"Kadry\\6\\a.dat", L"-1"}}); }), bad(L"размер файла номер 1"));

  // Names that would reach outside the repository and the temporary directory refuse the set
  // before anything is written.
  const std::vector<std::wstring> unsafe = {L"..\\..\\evil.dat",
                                            L"Kadry\\6\\..\\..\\..\\evil.dat",
                                            L"C:\\evil.dat",
                                            L"Kadry\\6\\a.dat:stream",
                                            L"\\\\server\\share\\e.dat",
                                            L"Kadry\\6\\CON",
                                            L"Kadry\\6\\nul.txt",
                                            L"Kadry\\6\\",
                                            L"Kadry/6/a.dat",
                                            L"Kadry\\6\\. .\\..\\e.dat"};
  for (const auto& name : unsafe) {
    std::wstring line = runWith([&] {
      MakeHeader({{L"Kadry\\6\\ok.dat", L"2"}, {name, L"4"}});
      test::WriteBytes(L"A:\\ok.dat", "ok");
      test::WriteBytes(L"A:\\evil.dat", "evil");
    });
    EXPECT_EQ(line, kPrefix +
                        L"На дискете в дисководе A:\\ недопустимые данные в заголовочном файле (недопустимое имя "
                        L"файла номер 2: «" +
                        name + L"»). Комплект не может быть загружен.")
        << WideToUtf8(name);
  }
  EXPECT_TRUE(Tree(to.repo).empty() || Tree(to.repo)[0].rfind(L"Reports\\", 0) == 0);
  std::vector<std::wstring> tmp;
  for (const auto& n : Tree(f.SessionTempDir))
    if (n.find(L"evil") != std::wstring::npos || n.find(L"ok.dat") != std::wstring::npos) tmp.push_back(n);
  EXPECT_TRUE(tmp.empty());
  EXPECT_FALSE(test::PathExists(to.root.Path() + L"evil.dat"));
  EXPECT_FALSE(test::PathExists(to.root / L"repo\\..\\evil.dat"));

  // Two entries under one bare name cannot both be read from the disks.
  std::wstring line = runWith([] { MakeHeader({{L"Kadry\\6\\a.dat", L"1"}, {L"Kadry\\7\\A.DAT", L"1"}}); });
  EXPECT_NE(line.find(L"записаны под одним именем"), std::wstring::npos) << WideToUtf8(line);
}

// A header of tens of thousands of entries: read once, its count bounded by what a set can
// hold, its bare names compared through a hashed set, and Stop heard while it is checked.
TEST(TransferRead, AHugeHeaderIsBoundedAndCanBeStopped) {
  test::FloppyDrive a;
  test::Computer to(L"huge");
  to.AddLoadOnly(L"Kadry", 5);
  to.WriteSettings();
  Operator op(a);
  op.loadDisks = false;
  TMainForm& f = to.Open();
  auto header = [](int entries, const std::wstring& last, const std::wstring& count) {
    std::string text = "[PackageInfo]\r\nSessionID=" + WideToAnsi(kId) + "\r\nFileCount=" + WideToAnsi(count) + "\r\n";
    text.reserve(static_cast<size_t>(entries) * 48);
    for (int i = 1; i <= entries; ++i)
      text += "[File" + std::to_string(i) + "]\r\nFileName=" +
              (i == entries && !last.empty() ? WideToAnsi(last) : "Kadry\\6\\f" + std::to_string(i) + ".dat") +
              "\r\nFileSize=1\r\n";
    test::WriteBytes(L"A:\\files.inf", text);
    MakeId(1);
  };
  auto bad = [](const std::wstring& what) {
    return kPrefix + L"На дискете в дисководе A:\\ недопустимые данные в заголовочном файле (" + what +
           L"). Вероятно дискета испорчена.";
  };
  struct Case {
    int entries;
    std::wstring last, count, line;
  };
  const std::vector<Case> cases = {
      // More entries than a set's header on one disk can name.
      {3, L"", L"60000", bad(L"количество файлов")},
      {3, L"", L"2147483647", bad(L"количество файлов")},
      // Within the bound: the last name clashes with the first one, case aside.
      {20000, L"Kadry\\7\\F1.DAT", L"20000",
       kPrefix + L"На дискете в дисководе A:\\ недопустимые данные в заголовочном файле (файлы «Kadry\\6\\f1.dat» и "
                 L"«Kadry\\7\\F1.DAT» записаны под одним именем). Комплект не может быть загружен."},
  };
  for (const auto& k : cases) {
    a.Clear();
    header(k.entries, k.last, k.count);
    to.Run();
    EXPECT_EQ(to.Lines(), std::vector<std::wstring>{k.line}) << k.entries;
  }
  // A header larger than any disk is not read at all.
  a.Clear();
  test::WriteBytes(L"A:\\files.inf", "[PackageInfo]\r\nSessionID=" + WideToAnsi(kId) + "\r\n;" +
                                          std::string(static_cast<size_t>(kFloppyCapacity), 'x') + "\r\n");
  to.Run();
  EXPECT_EQ(to.Lines(), std::vector<std::wstring>{
                            kPrefix + L"На дискете в дисководе A:\\ недопустимый заголовочный файл (он больше дискеты или "
                                      L"не читается). Вероятно дискета испорчена."});

  // Stop pressed as the header is checked: the session ends as stopped, nothing is placed.
  a.Clear();
  header(20000, L"", L"20000");
  op.onFirstDisk = [&] {
    PostMessageW(f.Handle(), WM_COMMAND, MAKEWPARAM(IDC_STOP, BN_CLICKED), reinterpret_cast<LPARAM>(f.StopBtn));
  };
  to.Run();
  op.onFirstDisk = nullptr;
  EXPECT_EQ(to.Lines(), std::vector<std::wstring>{kPrefix + L"Загрузка с дискеты прервана пользователем."});
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry"));
  EXPECT_FALSE(f.AbortHandler);
}

TEST(TransferRead, FilteringFreeSpaceAndInconsistentPieces) {
  test::FloppyDrive a;
  test::Computer to(L"flt");
  to.AddLoadOnly(L"Kadry", 5);
  to.WriteSettings();
  Operator op(a);
  op.loadDisks = false;
  TMainForm& f = to.Open();
  auto runWith = [&](const std::function<void()>& disk) {
    a.Clear();
    disk();
    to.Run();
    auto lines = to.Lines();
    return lines.size() == 1 ? lines[0] : L"<" + std::to_wstring(lines.size()) + L" lines>";
  };
  // Only old steps, other programs and entries without a step.
  EXPECT_EQ(runWith([] {
              MakeHeader({{L"Kadry\\5\\a.dat", L"1"},
                          {L"Kadry\\4-5\\b.dat", L"1"},
                          {L"Sklad\\9\\c.dat", L"1"},
                          {L"Kadry\\d.dat", L"1"}});
            }),
            kPrefix +
                L"На дискете в дисководе A:\\ нет обновлений, загрузка которых необходима. Там только "
                L"устаревшие обновления.");

  // A gap above the installed version (5): 6 and 8 leave 7 out.
  EXPECT_EQ(runWith([] {
              MakeHeader({{L"Kadry\\8\\a.dat", L"1"}, {L"Kadry\\6\\b.dat", L"1"}});
            }),
            kPrefix + L"Обнаружено нарушение линейности версий. Нет файлов обновления с версии #6 до версии #7");

  // The free space of the temporary directory: the total plus 65535 bytes are needed.
  auto smallSet = [] {
    MakeHeader({{L"Kadry\\6\\a.dat", L"1000"}, {L"Kadry\\5\\old.dat", L"3"}});
    test::WriteBytes(L"A:\\a.dat", test::PatternBytes(1000));
  };
  a.tempFree = 1000 + 65534;
  EXPECT_EQ(runWith(smallSet), kPrefix + L"Во временном каталоге (" + f.SessionTempDir +
                                   L") недостаточно свободного места. Требуется " + FormatByteSize(1000 + 65535) +
                                   L" байт, а доступно всего " + FormatByteSize(1000 + 65534) + L" байт");
  // Sizes near the 32-bit limit are summed without overflow.
  a.tempFree = 1000000;
  EXPECT_EQ(runWith([] {
              MakeHeader({{L"Kadry\\6\\a.dat", L"2147483647"}, {L"Kadry\\7\\b.dat", L"2147483647"}});
            }),
            kPrefix + L"Во временном каталоге (" + f.SessionTempDir + L") недостаточно свободного места. Требуется " +
                FormatByteSize(2LL * 2147483647 + 65535) + L" байт, а доступно всего " + FormatByteSize(1000000) +
                L" байт");
  a.tempFree = -1;
  EXPECT_EQ(runWith(smallSet), kPrefix +
                                   L"Нельзя получить сведения о наличии свободного места во временном каталоге (" +
                                   f.SessionTempDir + L")");
  a.tempFree = 1000 + 65535;
  EXPECT_EQ(runWith(smallSet),
            L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена");
  EXPECT_TRUE(test::ReadBytes(to.repo + L"Kadry\\6\\a.dat") == test::PatternBytes(1000));
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry\\5"));
  a.tempFree = -2;

  // A piece longer than the header says: nothing is placed.
  to.AddLoadOnly(L"Kadry", 5);
  to.programs.pop_back();
  to.WriteSettings();
  RemoveDirectoryW((to.repo + L"Kadry\\6\\a.dat").c_str());
  test::RemoveTree(to.repo + L"Kadry");
  ProgramCatalogue()->FindByID(L"Kadry")->VirtualVersion = 5;
  const std::wstring incomplete = kPrefix + L"Не удалось полностью скопировать комплект переноса файлов обновлений";
  EXPECT_EQ(runWith([] {
              MakeHeader({{L"Kadry\\6\\b.dat", L"10"}, {L"Kadry\\6\\a.dat", L"100"}});
              test::WriteBytes(L"A:\\b.dat", "0123456789");
              test::WriteBytes(L"A:\\a.dat", test::PatternBytes(150));
            }),
            incomplete);
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry"));
  // A piece shorter, and no further disk: the user gives up at the question.
  op.onNextDisk = [&](int) {
    a.Clear();
    test::WriteBytes(L"A:\\letter.txt", "not a disk of the set");
  };
  std::wstring line = runWith([] {
    MakeHeader({{L"Kadry\\6\\a.dat", L"200"}});
    test::WriteBytes(L"A:\\a.dat", test::PatternBytes(150));
  });
  EXPECT_EQ(line, kPrefix + L"Загрузка комплекта обновлений прервана, т.к. дискета #2 не была доступна.");
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry"));
  // The wrong disk, kept in: another set's identifier.
  op.onNextDisk = [&](int n) {
    a.Clear();
    MakeId(n, L"88888888888888888888");
  };
  line = runWith([] {
    MakeHeader({{L"Kadry\\6\\a.dat", L"200"}});
    test::WriteBytes(L"A:\\a.dat", test::PatternBytes(150));
  });
  EXPECT_EQ(line, kPrefix + L"Загрузка комплекта обновлений прервана, т.к. дискета #2 не была предоставлена.");
  op.onNextDisk = nullptr;

  // A repository that cannot take the file: a failure with the Windows text, never success.
  test::WriteBytes(to.repo + L"Kadry", "a file where the program's directory should be");
  line = runWith([] {
    MakeHeader({{L"Kadry\\6\\a.dat", L"5"}});
    test::WriteBytes(L"A:\\a.dat", "abcde");
  });
  EXPECT_EQ(line.rfind(kPrefix + L"Нельзя поместить файл " + to.repo +
                           L"Kadry\\6\\a.dat в хранилище обновлений. "
                           L"Ошибка Windows: «",
                       0),
            0u)
      << WideToUtf8(line);
  DeleteFileW((to.repo + L"Kadry").c_str());
}

TEST(TransferRead, DriveStatesAndStop) {
  test::FloppyDrive a;
  test::Computer to(L"drv");
  to.AddLoadOnly(L"Kadry", 5);
  to.WriteSettings();
  Operator op(a);
  op.loadDisks = false;
  TMainForm& f = to.Open();
  DriveState state = DriveState::dsEmpty;
  SetFloppyProbeSource([&](wchar_t, uint32_t& error) {
    error = state == DriveState::dsError ? 21u : 0u;
    return state;
  });
  struct Case {
    DriveState state;
    std::wstring text;
  };
  const std::vector<Case> cases = {
      {DriveState::dsEmpty,
       L"Дискета в дисководе (A:\\) пуста. Вставьте дискету #1 из комплекта переноса файлов "
       L"обновлений и повторите попытку."},
      {DriveState::dsAccessDenied,
       L"Дисковод (A:\\) занят другим процессом. Подождите, пока дисквод освободится и повторите попытку."},
      {DriveState::dsNotReady,
       L"Дисковод (A:\\) не готов к обслуживанию. Проверьте наличие дискеты #1 в дисководе и "
       L"убедитесь, что дверца привода закрыта."},
      {DriveState::dsUnformatted,
       L"Дискета в дисководе (A:\\) не отформатирована. Если Вы уверены, это дискета #1 из "
       L"комплекта переноса, то вероятно, что дискета испорчена (не читается)."},
      {DriveState::dsError,
       L"Дисковод (A:\\) недоступен. Программа не может получить доступ к дисководу. Ошибка "
       L"Windows: " +
           WindowsErrorText(21)},
  };
  for (const auto& c : cases) {
    state = c.state;
    op.texts.clear();
    op.answers = {IDYES};  // once more, then give up
    to.Run();
    EXPECT_EQ(to.Lines(), std::vector<std::wstring>{kPrefix + c.text});
    EXPECT_EQ(std::count(op.texts.begin(), op.texts.end(), c.text + L". Повторить запрос к дисководу ?"), 2);
  }
  SetFloppyProbeSource(nullptr);

  // The window's temporary directory has gone: the run takes the one the settings record.
  std::wstring saved = f.SessionTempDir;
  f.SessionTempDir = to.root / L"gone\\";
  to.Run();
  EXPECT_TRUE(DirectoryExists(f.SessionTempDir)) << WideToUtf8(f.SessionTempDir);
  EXPECT_EQ(to.Lines(), std::vector<std::wstring>{kPrefix + cases[0].text});
  f.SessionTempDir = saved;

  // Stop pressed while the second disk is asked for: the copy ends at its next portion.
  a.Clear();
  MakeHeader({{L"Kadry\\6\\a.dat", L"200000"}});
  test::WriteBytes(L"A:\\a.dat", test::PatternBytes(100000));
  op.onNextDisk = [&](int n) {
    a.Clear();
    MakeId(n);
    test::WriteBytes(L"A:\\a.dat", test::PatternBytes(100000, 7));
    f.StopBtnClick();
  };
  to.Run();
  EXPECT_EQ(to.Lines(), std::vector<std::wstring>{kPrefix + L"Загрузка с дискеты прервана пользователем."});
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry"));
  EXPECT_FALSE(f.AbortHandler);
  SetFloppyProbeSource(nullptr);
}

// The writer records every file's checksum; a disk whose data was damaged without changing its
// size, or a header with a malformed checksum, places nothing.
TEST(TransferRead, ChecksumsCarriedByTheSetGuardTheJoinedFiles) {
  test::FloppyDrive a;
  std::vector<std::wstring> paths;
  {
    test::Computer from(L"hfrom");
    Settings().UpgradeFilesDir = from.repo;
    paths = from.Step(L"Kadry\\6", {{L"k.dat", 3000}});
    ScratchDir staging(L"hstg");
    TUploadSet set;
    set.Prepare(paths, staging.Path());
    a.Clear();
    ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr));
    ASSERT_TRUE(set.Complete());
  }
  const std::wstring hash = TIniFile(L"A:\\files.inf").ReadString(L"File1", L"FileHash", L"");
  EXPECT_EQ(hash.size(), 64u) << WideToUtf8(hash);
  a.Save(1);

  test::Computer to(L"hto");
  to.AddLoadOnly(L"Kadry", 5);
  to.WriteSettings();
  Operator op(a);
  op.loadDisks = false;
  to.Open();
  // One byte of the data file changed, its size kept.
  a.Load(1);
  std::string data = test::ReadBytes(L"A:\\k.dat");
  ASSERT_EQ(data.size(), 3000u);
  data[1500] ^= 0x20;
  test::WriteBytes(L"A:\\k.dat", data);
  to.Run();
  ASSERT_EQ(to.Lines().size(), 1u);
  EXPECT_EQ(to.Lines()[0], kPrefix + L"Контрольная сумма файла Kadry\\6\\k.dat, собранного с дискет, не совпадает с "
                                     L"записанной в комплекте. Вероятно дискета испорчена. Файлы не помещены в "
                                     L"хранилище обновлений.");
  EXPECT_FALSE(test::PathExists(to.repo + L"Kadry\\6\\k.dat"));

  // A checksum that is not 64 hex digits refuses the set before anything is read.
  a.Load(1);
  TIniFile(L"A:\\files.inf").WriteString(L"File1", L"FileHash", L"abc");
  to.Run();
  ASSERT_EQ(to.Lines().size(), 1u);
  EXPECT_EQ(to.Lines()[0], kPrefix + L"На дискете в дисководе A:\\ недопустимые данные в заголовочном файле "
                                     L"(контрольная сумма файла номер 1). Комплект не может быть загружен.");

  // The undamaged disk is read and placed.
  a.Load(1);
  TIniFile(L"A:\\files.inf").WriteString(L"File1", L"FileHash", hash);
  data[1500] ^= 0x20;
  test::WriteBytes(L"A:\\k.dat", data);
  to.Run();
  EXPECT_EQ(test::ReadBytes(to.repo + L"Kadry\\6\\k.dat"), data);
}

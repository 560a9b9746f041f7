// The transfer set format and its writer: identifiers, the header, the estimate, and disks
// written one after another into the floppy drive A: of the test prefix.
#include "transfer/uploadset.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "common/clock.h"
#include "common/inifile.h"
#include "common/text.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "transfer_common.h"
#include "ui/dialogs.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
// Records every message box and answers with the given button.
struct Boxes {
  std::vector<std::wstring> texts;
  Boxes() {
    ui::SetMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
      texts.push_back(r.text);
      return IDOK;
    });
  }
  ~Boxes() { ui::SetMessageBoxHandler(nullptr); }
  std::wstring Last() const { return texts.empty() ? L"" : texts.back(); }
};

struct Seams {
  ~Seams() {
    SetFloppyProbeSource(nullptr);
    SetFloppyFormatSource(nullptr);
    SetFloppyCreateSource(nullptr);
    SetNowSource(nullptr);
    SetTickCountSource(nullptr);
  }
};

void UseRepository(const std::wstring& repo) {
  Settings().UpgradeFilesDir = repo;
}
}  // namespace

TEST(TransferFormat, RoutinesHeaderAndEstimate) {
  EXPECT_EQ(RoundUpTo(700, 0), 700);
  EXPECT_EQ(RoundUpTo(0, 512), 512);  // an empty file takes one sector
  EXPECT_EQ(RoundUpTo(300, 512), 512);
  EXPECT_EQ(RoundUpTo(1024, 512), 1024);
  EXPECT_EQ(RoundUpTo(1025, 512), 1536);
  EXPECT_EQ(RoundUpTo(3000000, 512), 3000320);

  // The identifier: the date and time, then tick counts with their bytes swapped.
  Seams seams;
  SetNowSource([] { return EncodeDateTime(2026, 3, 7, 9, 5, 4); });
  uint32_t tick = 0x1234;
  SetTickCountSource([&tick] { return tick++; });
  std::wstring id = NewSessionID();
  // 0x1234 gives 0x3412 = 13330, then 0x1235 gives 0x3512 = 13586: cut to 19 characters.
  EXPECT_EQ(id,
            L"20260307090504"
            L"13330");
  EXPECT_EQ(id.size(), 19u);
  tick = 0x0100;  // 0x0001 = 1, then 0x0101 = 257, then 0x0201 = 513: more pieces, then cut
  EXPECT_EQ(NewSessionID(),
            L"20260307090504"
            L"1"
            L"257"
            L"5");
  SetNowSource(nullptr);
  SetTickCountSource(nullptr);

  ScratchDir dir(L"fmt");
  test::Computer c(L"fmtc");
  UseRepository(c.repo);
  auto big = c.Step(L"Buh\\413", {{L"big.dat", 3000000}, {L"empty.dat", 0}});
  auto rep = c.Step(L"Buh\\repair\\414", {{L"r.dat", 10}});
  std::vector<std::wstring> paths = big;
  paths.push_back(rep[0]);
  paths.push_back(c.repo + L"Buh\\413\\vanished.dat");  // left out silently
  TUploadSet set;
  set.Prepare(paths, dir / L"DISKID\\");
  ASSERT_EQ(set.Files.size(), 3u);
  EXPECT_EQ(set.TotalSize, 3000010);
  EXPECT_EQ(set.SessionID.size(), 19u);
  TIniFile header(dir / L"DISKID\\files.inf");
  EXPECT_EQ(header.ReadString(L"PackageInfo", L"SessionID", L""), set.SessionID);
  EXPECT_EQ(header.ReadInteger(L"PackageInfo", L"FileCount", 0), 3);
  EXPECT_EQ(header.ReadString(L"File1", L"FileName", L""), L"Buh\\413\\big.dat");
  EXPECT_EQ(header.ReadInteger(L"File1", L"FileSize", -5), 3000000);
  EXPECT_EQ(header.ReadString(L"File2", L"FileName", L""), L"Buh\\413\\empty.dat");
  EXPECT_EQ(header.ReadString(L"File2", L"FileSize", L""), L"0");
  EXPECT_EQ(header.ReadString(L"File3", L"FileName", L""), L"Buh\\repair\\414\\r.dat");
  EXPECT_EQ(TIniFile(dir / L"DISKID\\each.id").ReadString(L"DiskInfo", L"SessionID", L""), set.SessionID);
  // (512 + 3000320 + 512 + 512) / 1457664 = 2, plus one.
  EXPECT_LT(FileSizeOf(dir / L"DISKID\\files.inf"), 512);
  EXPECT_EQ(set.EstimatedDisks, 3);

  // Preparing again (back and forward in the wizard) makes a new set: new identifier, header rebuilt.
  Sleep(20);
  std::wstring first = set.SessionID;
  set.Prepare(big, dir / L"DISKID\\");
  EXPECT_EQ(header.ReadInteger(L"PackageInfo", L"FileCount", 0), 2);
  EXPECT_FALSE(header.SectionExists(L"File3"));
  EXPECT_NE(set.SessionID, first);

  // Names that would overwrite each other on the disks.
  EXPECT_EQ(CheckSetNames({L"R\\Buh\\413\\a.dat", L"R\\Buh\\414\\b.dat"}), L"");
  std::wstring clash = CheckSetNames({L"R\\Buh\\413\\a.dat", L"R\\Buh\\414\\A.DAT"});
  EXPECT_NE(clash.find(L"R\\Buh\\413\\a.dat"), std::wstring::npos);
  EXPECT_NE(clash.find(L"R\\Buh\\414\\A.DAT"), std::wstring::npos);
  EXPECT_NE(CheckSetNames({L"R\\Buh\\413\\FILES.inf"}), L"");
  EXPECT_NE(CheckSetNames({L"R\\Buh\\413\\disk7.id"}), L"");
  EXPECT_EQ(CheckSetNames({L"R\\Buh\\413\\disk.idx"}), L"");
}

TEST(TransferWrite, DiskAfterDiskWithAFileCutTwice) {
  test::FloppyDrive a;
  test::Computer c(L"wr");
  UseRepository(c.repo);
  ScratchDir staging(L"stg");
  std::vector<std::wstring> paths = c.Step(L"Buh\\420", {{L"a.dat", 1000}, {L"empty.dat", 0}});
  auto second = c.Step(L"Buh\\413-419", {{L"big.dat", 3000000}, {L"s.dat", 5000}});
  paths.insert(paths.end(), second.begin(), second.end());
  TUploadSet set;
  set.Prepare(paths, staging.Path());
  EXPECT_EQ(set.EstimatedDisks, 3);
  Boxes boxes;
  std::vector<std::wstring> operations;
  int lastPercent = -1;
  auto op = [&](const std::wstring& t) { operations.push_back(t); };
  auto pc = [&](int p) { lastPercent = p; };

  // A disk of another set is used after clearing it.
  test::WriteBytes(L"A:\\disk1.id", "[DiskInfo]\r\nSessionID=11111111111111111111\r\n");
  test::WriteBytes(L"A:\\old.txt", "old");
  ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, op, pc));
  EXPECT_EQ(set.DisksWritten, 1);
  EXPECT_EQ(a.Names(), (std::vector<std::wstring>{L"a.dat", L"big.dat", L"disk1.id", L"empty.dat", L"files.inf"}));
  EXPECT_EQ(FileSizeOf(L"A:\\empty.dat"), 0);
  const int32_t piece1 = FileSizeOf(L"A:\\big.dat");
  EXPECT_EQ(piece1 % 512, 0);
  EXPECT_GT(piece1, 1400000);
  EXPECT_LT(test::FloppyFree(), 512.0);
  EXPECT_EQ(set.FileIndex, 2u);
  EXPECT_EQ(set.Offset, piece1);
  EXPECT_EQ(std::find(operations.begin(), operations.end(), L"очистка дискеты") != operations.end(), true);
  EXPECT_EQ(std::find(operations.begin(), operations.end(), L"создание заголовка первой дискеты") != operations.end(),
            true);
  EXPECT_EQ(operations.back(), L"формирование дискеты завершено");
  EXPECT_GE(lastPercent, 99);
  EXPECT_TRUE(boxes.texts.empty());
  a.Save(1);

  // Disk 1 offered again as disk 2: refused, nothing moves.
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, pc));
  EXPECT_EQ(boxes.Last(),
            L"Внимание ! Эта дискета уже используется для выгружаемого комплекта обновлений ! Замените ее "
            L"и повторите операцию.");
  EXPECT_EQ(set.DisksWritten, 1);
  EXPECT_EQ(set.Offset, piece1);
  EXPECT_TRUE(test::PathExists(L"A:\\files.inf"));

  a.Clear();
  ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, op, pc));
  EXPECT_EQ(a.Names(), (std::vector<std::wstring>{L"big.dat", L"disk2.id"}));
  const int32_t piece2 = FileSizeOf(L"A:\\big.dat");
  EXPECT_EQ(piece2 % 512, 0);
  EXPECT_EQ(set.Offset, piece1 + piece2);
  a.Save(2);
  a.Clear();
  ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, op, pc));
  EXPECT_TRUE(set.Complete());
  EXPECT_EQ(set.DisksWritten, 3);
  EXPECT_EQ(a.Names(), (std::vector<std::wstring>{L"big.dat", L"disk3.id", L"s.dat"}));
  a.Save(3);
  // The pieces continue exactly where the previous one ended.
  std::string joined = test::ReadBytes(a.store / L"disk1\\big.dat") + test::ReadBytes(a.store / L"disk2\\big.dat") +
                       test::ReadBytes(a.store / L"disk3\\big.dat");
  EXPECT_TRUE(joined == test::ReadBytes(second[0]));
  EXPECT_TRUE(test::ReadBytes(a.store / L"disk3\\s.dat") == test::ReadBytes(second[1]));
  EXPECT_EQ(TIniFile(L"A:\\disk3.id").ReadString(L"DiskInfo", L"SessionID", L""), set.SessionID);
}

TEST(TransferWrite, DriveStatesFormattingAndCopyErrors) {
  test::FloppyDrive a;
  test::Computer c(L"wrerr");
  UseRepository(c.repo);
  ScratchDir staging(L"stg");
  auto paths = c.Step(L"Buh\\413", {{L"big.dat", 2000000}, {L"b.dat", 700}});
  TUploadSet set;
  set.Prepare(paths, staging.Path());
  Boxes boxes;
  Seams seams;
  std::vector<std::wstring> ops;
  auto op = [&](const std::wstring& t) { ops.push_back(t); };

  DriveState state = DriveState::dsNotReady;
  uint32_t code = 0;
  SetFloppyProbeSource([&](wchar_t letter, uint32_t& error) {
    EXPECT_EQ(letter, L'A');
    error = code;
    return state;
  });
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.Last(),
            L"Дискета не обнаружена в дисководе. Проверьте наличие дискеты в приводе. Дверца привода "
            L"должна быть закрыта.");
  EXPECT_EQ(ops.back(), L"-");
  state = DriveState::dsAccessDenied;
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.Last(),
            L"Дисковод занят другим процессом. Дождитесь завершения текущей операции и повторите попытку.");
  state = DriveState::dsError;
  code = 31;
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.Last(), L"Нельзя получить сведения о дискете. Код ошибки: 31 [" + WindowsErrorText(31) + L"]");

  // An unformatted disk is formatted although the box is not ticked; the dialog's answers.
  state = DriveState::dsUnformatted;
  int formatResult = -2;
  unsigned formattedDrive = 99;
  SetFloppyFormatSource([&](HWND, unsigned drive) {
    formattedDrive = drive;
    SetLastError(ERROR_NOT_READY);
    return formatResult;
  });
  size_t before = boxes.texts.size();
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.texts.size(), before);  // cancelled: no message
  EXPECT_EQ(formattedDrive, 0u);
  EXPECT_NE(std::find(ops.begin(), ops.end(), L"Дискета не читается! Пробуем отформатировать..."), ops.end());
  formatResult = -3;
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.Last(), L"Форматирование дискеты не выполнено. Ошибка Windows: " + WindowsErrorText(ERROR_NOT_READY) +
                              L". Если ошибка повторяется, попробуйте заменить дискету");
  formatResult = -1;
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_EQ(boxes.Last(), L"Ошибка при форматировании дискеты. Ошибка Windows: " + WindowsErrorText(ERROR_NOT_READY) +
                              L". Если ошибка повторяется, попробуйте заменить дискету.");
  EXPECT_EQ(set.DisksWritten, 0);

  // Damaged spots where the header or the identifier must go.
  SetFloppyProbeSource(nullptr);
  std::wstring obstacle;
  SetFloppyFormatSource([&](HWND, unsigned) {
    a.Clear();
    CreateDirectoryW((L"A:\\" + obstacle).c_str(), nullptr);
    return 0;
  });
  obstacle = L"files.inf";
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", true, op, nullptr));
  EXPECT_EQ(boxes.Last().rfind(L"Не удалось создать заголовок первой дискеты. Ошибка при создании: ", 0), 0u)
      << WideToUtf8(boxes.Last());
  obstacle = L"disk1.id";
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", true, op, nullptr));
  EXPECT_EQ(boxes.Last().rfind(L"Не удалось создать идентификатор дискеты. Ошибка при создании: ", 0), 0u)
      << WideToUtf8(boxes.Last());
  EXPECT_EQ(set.DisksWritten, 0);

  // A damaged spot: the "format" leaves a directory where the data file must go. The copy fails
  // with the Windows text, the disk does not count, the position stays where the disk began.
  SetFloppyProbeSource(nullptr);
  formatResult = 0;
  SetFloppyFormatSource([&](HWND, unsigned) {
    a.Clear();
    CreateDirectoryW(L"A:\\big.dat", nullptr);
    return 0;
  });
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", true, op, nullptr));
  EXPECT_EQ(boxes.Last().rfind(L"Ошибка при копировании: '", 0), 0u) << WideToUtf8(boxes.Last());
  EXPECT_NE(boxes.Last().find(L"Вероятно, часть дискеты испорчена: замените её на другую или попробуйте "
                              L"отформатировать."),
            std::wstring::npos);
  EXPECT_EQ(set.DisksWritten, 0);
  EXPECT_EQ(set.FileIndex, 0u);
  EXPECT_EQ(set.Offset, 0);
  // The next attempt on a good disk writes the same content.
  SetFloppyFormatSource([&](HWND, unsigned) {
    a.Clear();
    return 0;
  });
  ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", true, op, nullptr));
  EXPECT_EQ(set.DisksWritten, 1);
  const int64_t offset = set.Offset;
  EXPECT_EQ(offset, FileSizeOf(L"A:\\big.dat"));

  // A source file that changed since the set was prepared stops the writer.
  test::WriteBytes(paths[0], test::PatternBytes(1000));
  a.Clear();
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, op, nullptr));
  EXPECT_NE(boxes.Last().find(L"изменился после подготовки комплекта"), std::wstring::npos) << WideToUtf8(boxes.Last());
  EXPECT_EQ(set.DisksWritten, 1);
  EXPECT_EQ(set.Offset, offset);
  EXPECT_EQ(set.FileIndex, 0u);
}

TEST(TransferWrite, TheShellFormatUnderWineCannotFormat) {
  // The real format dialog: Wine's shell answers at once that it cannot format.
  test::FloppyDrive a;
  test::Computer c(L"wrfmt");
  UseRepository(c.repo);
  ScratchDir staging(L"stg");
  TUploadSet set;
  set.Prepare(c.Step(L"Buh\\413", {{L"x.dat", 10}}), staging.Path());
  Boxes boxes;
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", true, nullptr, nullptr));
  EXPECT_EQ(boxes.Last().rfind(L"Форматирование дискеты не выполнено. Ошибка Windows: ", 0), 0u)
      << WideToUtf8(boxes.Last());
  EXPECT_EQ(set.DisksWritten, 0);
}

// A set carries, for each program and kind of map among the chosen files, the verified map and
// signature that the repository keeps beside the program's steps.
TEST(TransferFormat, TheChosenFilesBringTheirProgramsMaps) {
  test::Computer c(L"maps");
  UseRepository(c.repo);
  auto normal = c.Step(L"Buh\\413", {{L"a.dat", 3}, {L"b.dat", 4}});
  auto repair = c.Step(L"Buh\\repair\\414", {{L"r.dat", 5}});
  auto other = c.Step(L"Kadry\\6", {{L"k.dat", 6}});  // no map kept for it
  for (const wchar_t* f : {L"Buh\\Buh.nrm", L"Buh\\Buh.nrm.sig", L"Buh\\Buh.emr", L"Buh\\Buh.emr.sig"})
    test::WriteBytes(c.repo + f, "m");
  auto Rel = [&](const std::vector<std::wstring>& paths) {
    std::vector<std::wstring> out;
    for (const auto& p : paths) out.push_back(p.substr(c.repo.size()));
    return out;
  };
  EXPECT_EQ(Rel(WithProgramMaps({normal[0], normal[1], other[0]})),
            (std::vector<std::wstring>{L"Buh\\413\\a.dat", L"Buh\\413\\b.dat", L"Kadry\\6\\k.dat", L"Buh\\Buh.nrm",
                                       L"Buh\\Buh.nrm.sig"}));
  EXPECT_EQ(Rel(WithProgramMaps({repair[0]})),
            (std::vector<std::wstring>{L"Buh\\repair\\414\\r.dat", L"Buh\\Buh.emr", L"Buh\\Buh.emr.sig"}));
  ScratchDir staging(L"stage");
  TUploadSet set;
  set.Prepare({normal[0]}, staging.Path());
  ASSERT_EQ(set.Files.size(), 3u);
  EXPECT_EQ(TIniFile(staging / L"files.inf").ReadString(L"File3", L"FileName", L""), L"Buh\\Buh.nrm.sig");
  // The agent's own newest version goes along only with its verified map and signature.
  c.Step(L"Dorvex\\1.0.9", {{L"dorvex.exe", 7}});
  c.Step(L"Dorvex\\1.0.10", {{L"dorvex.exe", 8}});
  c.Step(L"Dorvex\\2.0.0", {{L"other.dat", 9}});
  test::WriteBytes(c.repo + L"Dorvex\\Dorvex.nrm", "m");
  EXPECT_EQ(Rel(WithAgentUpgrade({repair[0]})), (std::vector<std::wstring>{L"Buh\\repair\\414\\r.dat"}));
  test::WriteBytes(c.repo + L"Dorvex\\Dorvex.nrm.sig", "s");
  EXPECT_EQ(Rel(WithAgentUpgrade({repair[0]})),
            (std::vector<std::wstring>{L"Buh\\repair\\414\\r.dat", L"Dorvex\\1.0.10\\dorvex.exe", L"Dorvex\\Dorvex.nrm",
                                       L"Dorvex\\Dorvex.nrm.sig"}));
}

// A set of many small files against a root directory that takes a limited number of entries
// (224 on a real 1.44 MB disk, fewer with long names): each disk ends at the entry its root
// refuses, the next goes on from that file, and the disks together carry the whole set.
TEST(TransferWrite, ARootThatRefusesTheNthEntryEndsTheDisk) {
  test::FloppyDrive a;
  test::Computer c(L"wrroot");
  UseRepository(c.repo);
  ScratchDir staging(L"stg");
  std::vector<std::pair<std::wstring, size_t>> files;
  for (int i = 0; i < 70; ++i) files.push_back({L"f" + std::to_wstring(100 + i) + L".dat", static_cast<size_t>(10 + i)});
  auto paths = c.Step(L"Buh\\413", files);
  TUploadSet set;
  set.Prepare(paths, staging.Path());
  ASSERT_EQ(set.Files.size(), 70u);
  EXPECT_EQ(set.EstimatedDisks, 1);
  Seams seams;
  constexpr size_t kEntries = 25;
  SetFloppyCreateSource([&](const std::wstring& path) -> HANDLE {
    const bool exists = test::PathExists(path);
    if (!exists && a.Names().size() >= kEntries) {
      SetLastError(ERROR_CANNOT_MAKE);
      return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  });
  Boxes boxes;
  std::map<std::wstring, std::string> carried;
  int disks = 0;
  while (!set.Complete() && disks < 10) {
    a.Clear();
    ASSERT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr)) << WideToUtf8(boxes.Last());
    ++disks;
    EXPECT_EQ(set.DisksWritten, disks);
    EXPECT_LE(a.Names().size(), kEntries);
    EXPECT_GE(set.EstimatedDisks, set.DisksWritten);
    for (const auto& n : a.Names())
      if (n != L"files.inf" && n.rfind(L"f", 0) == 0) {
        EXPECT_TRUE(carried.emplace(n, test::ReadBytes(L"A:\\" + n)).second) << WideToUtf8(n);
      }
  }
  SetFloppyCreateSource(nullptr);
  EXPECT_TRUE(boxes.texts.empty()) << WideToUtf8(boxes.Last());
  // 23 files beside the header and the first identifier, then 24 beside each identifier.
  EXPECT_EQ(disks, 3);
  ASSERT_EQ(carried.size(), 70u);
  for (const auto& p : paths) EXPECT_TRUE(carried[ExtractFileName(p)] == test::ReadBytes(p)) << WideToUtf8(p);
}

// A disk whose free space cannot be learned, or that has less than a sector free, is refused
// with a message: it is never counted with an empty piece on it.
TEST(TransferWrite, ADiskWithoutASectorFreeIsRefused) {
  test::FloppyDrive a;
  test::Computer c(L"wrzero");
  UseRepository(c.repo);
  ScratchDir staging(L"stg");
  TUploadSet set;
  set.Prepare(c.Step(L"Buh\\413", {{L"x.dat", 3000}}), staging.Path());
  Boxes boxes;
  struct Case {
    double free;
    const wchar_t* message;
  };
  for (const Case& k : {Case{-1, L"Не удалось определить свободное место на дискете. Замените её на другую или "
                                  L"попробуйте отформатировать."},
                        Case{511, L"На дискете нет места даже для одного сектора (512 байт). Замените её на другую "
                                  L"или попробуйте отформатировать."},
                        Case{0, L"На дискете нет места даже для одного сектора (512 байт). Замените её на другую "
                                L"или попробуйте отформатировать."}}) {
    SetDiskFreeBytesSource([&](wchar_t) { return k.free; });
    a.Clear();
    EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr)) << k.free;
    EXPECT_EQ(boxes.Last(), k.message);
    EXPECT_EQ(set.DisksWritten, 0);
    EXPECT_EQ(set.FileIndex, 0u);
    EXPECT_FALSE(test::PathExists(L"A:\\x.dat"));
  }
  // Room for the header and the identifier only: refused as well, the set's position kept.
  SetDiskFreeBytesSource([&](wchar_t) { return test::FloppyFree() - (1457664.0 - 1024); });
  a.Clear();
  EXPECT_FALSE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr));
  EXPECT_EQ(boxes.Last().rfind(L"На дискете не осталось места для файлов комплекта", 0), 0u) << WideToUtf8(boxes.Last());
  EXPECT_EQ(set.DisksWritten, 0);
  EXPECT_FALSE(test::PathExists(L"A:\\x.dat"));
  SetDiskFreeBytesSource([](wchar_t) { return test::FloppyFree(); });
  a.Clear();
  EXPECT_TRUE(set.WriteDisk(nullptr, L"A:\\", false, nullptr, nullptr));
  EXPECT_TRUE(set.Complete());
}

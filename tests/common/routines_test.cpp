#include "common/routines.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/text.h"
#include "test_util.h"

using namespace dorvex;
using dorvex::test::ScratchDir;

namespace {
struct TickPin {
  explicit TickPin(uint32_t value) { SetTickCountSource([value] { return value; }); }
  ~TickPin() { SetTickCountSource(nullptr); }
};

std::wstring ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Message();
  }
  return L"(no error)";
}
}  // namespace

TEST(TempDirectory, NamesFromTheTickCountAndSkipsExistingOnes) {
  ScratchDir base(L"tmpdir");
  TickPin pin(1234567890);
  std::wstring first = CreateTempDirectory(base.Path(), L"~AB");
  EXPECT_EQ(first, base / L"~AB67890.tmp\\");
  EXPECT_TRUE(DirectoryExists(first));
  std::wstring second = CreateTempDirectory(base.Path(), L"~AB");  // the first name is taken now
  EXPECT_EQ(second, base / L"~AB67891.tmp\\");

  // A base without its backslash gets one; four prefix letters leave four digits, and the
  // leading zeros of the kept digits vanish.
  TickPin pin2(1230042);
  std::wstring path = ExcludeTrailingBackslash(base.Path());
  EXPECT_EQ(CreateTempDirectory(path, L"~ABC"), base / L"~ABC42.tmp\\");
}

TEST(TempDirectory, RefusesBadArgumentsBeforeTouchingAnything) {
  ScratchDir base(L"tmpbad");
  EXPECT_EQ(ErrorOf([] { CreateTempDirectory(L"", L"~KT"); }), L"Не указан временный каталог.");
  EXPECT_EQ(ErrorOf([&] { CreateTempDirectory(base.Path(), L"~ABCD"); }),
            L"Указан слишком длинный префикс временного каталога.");
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((base.Path() + L"*").c_str(), &fd);
  int entries = 0;
  do
    if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) ++entries;
  while (FindNextFileW(h, &fd));
  FindClose(h);
  EXPECT_EQ(entries, 0);
}

TEST(TempDirectory, FailureToCreateNamesTheCandidate) {
  TickPin pin(77);
  std::wstring message = ErrorOf([] { CreateTempDirectory(L"Z:\\no\\such\\place\\", L"~KT"); });
  EXPECT_EQ(message.rfind(L"Ошибка создания временного каталога (Z:\\no\\such\\place\\~KT77.tmp\\). Убедитесь в "
                          L"наличии прав на создание каталогов и прав на запись во временном каталоге (ошибка Windows: ",
                          0),
            0u)
      << WideToUtf8(message);
  EXPECT_TRUE(EndsWith(message, L")."));
}

TEST(TempDirectory, GivesUpAfter5001TakenNames) {
  ScratchDir base(L"tmpfull");
  TickPin pin(0);
  for (int i = 0; i <= 5000; ++i) CreateDirectoryW((base / (L"~Q" + std::to_wstring(i) + L".tmp")).c_str(), nullptr);
  EXPECT_EQ(ErrorOf([&] { CreateTempDirectory(base.Path(), L"~Q"); }),
            L"Ошибка создания временного каталога (" + base.Path() +
                L"~Q5000.tmp\\). Убедитесь в наличии прав на создание каталогов и прав на запись во временном каталоге "
                L"(превышено количество попыток).");
}

TEST(TempDirectory, SystemTempEndsWithBackslash) {
  std::wstring t = GetSystemTempDirectory();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back(), L'\\');
  EXPECT_TRUE(DirectoryExists(t));
}

TEST(ClearDirectoryTest, RecursiveRemovesEverythingButTheDirectory) {
  ScratchDir dir(L"clear");
  test::WriteBytes(dir / L"a.txt", "a");
  test::WriteBytes(dir / L"ro.txt", "r");
  SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryW((dir / L"sub").c_str(), nullptr);
  CreateDirectoryW((dir / L"sub\\deeper").c_str(), nullptr);
  test::WriteBytes(dir / L"sub\\deeper\\b.bin", "bb");
  EXPECT_EQ(ClearDirectory(dir.Path(), true), L"");
  EXPECT_TRUE(DirectoryExists(dir.Path()));
  EXPECT_FALSE(test::PathExists(dir / L"a.txt"));
  EXPECT_FALSE(test::PathExists(dir / L"ro.txt"));
  EXPECT_FALSE(test::PathExists(dir / L"sub"));
}

TEST(ClearDirectoryTest, NonRecursiveKeepsSubdirectories) {
  ScratchDir dir(L"clearflat");
  test::WriteBytes(dir / L"a.txt", "a");
  CreateDirectoryW((dir / L"sub").c_str(), nullptr);
  test::WriteBytes(dir / L"sub\\b.txt", "b");
  EXPECT_EQ(ClearDirectory(ExcludeTrailingBackslash(dir.Path()), false), L"");
  EXPECT_FALSE(test::PathExists(dir / L"a.txt"));
  EXPECT_TRUE(test::PathExists(dir / L"sub\\b.txt"));
}

TEST(ClearDirectoryTest, ReportsTheFirstFileItCannotRemoveAndGoesOn) {
  ScratchDir dir(L"clearlock");
  test::WriteBytes(dir / L"locked.txt", "x");
  test::WriteBytes(dir / L"free.txt", "y");
  HANDLE locked = CreateFileW((dir / L"locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  std::wstring message = ClearDirectory(dir.Path(), true);
  CloseHandle(locked);
  EXPECT_EQ(message.rfind(L"Нельзя удалить файл " + dir.Path() + L"locked.txt. Ошибка Windows: «", 0), 0u)
      << WideToUtf8(message);
  EXPECT_FALSE(test::PathExists(dir / L"free.txt"));
}

TEST(ClearDirectoryTest, LeavesShortPathsAndFixedRootsAlone) {
  EXPECT_EQ(ClearDirectory(L"C:", true), L"");
  EXPECT_EQ(ClearDirectory(L"", true), L"");
  // The root of a fixed disk is never touched: its Windows directory is still there after.
  EXPECT_EQ(ClearDirectory(L"C:\\", true), L"");
  EXPECT_TRUE(DirectoryExists(L"C:\\windows"));
}

TEST(CopyInPortions, CopiesInPortionsOf256KiB) {
  ScratchDir dir(L"copy");
  std::string data = test::PatternBytes(262144 + 7233);
  test::WriteBytes(dir / L"src.bin", data);
  std::vector<std::pair<bool, int32_t>> calls;
  auto progress = [&](void*, bool read, int32_t n) { calls.emplace_back(read, n); };
  EXPECT_EQ(CopyFileInPortions(nullptr, dir / L"src.bin", dir / L"dst.bin", -1, -1, progress), L"");
  EXPECT_EQ(test::ReadBytes(dir / L"dst.bin"), data);
  std::vector<std::pair<bool, int32_t>> expected = {{false, 0}, {true, 262144}, {false, 262144}, {true, 7233}, {false, 7233}};
  EXPECT_EQ(calls, expected);
}

TEST(CopyInPortions, RangesEmptyFilesAndOverwriting) {
  ScratchDir dir(L"copyrange");
  std::string data = test::PatternBytes(3000, 7);
  test::WriteBytes(dir / L"src.bin", data);
  test::WriteBytes(dir / L"dst.bin", std::string(5000, 'z'));  // an older, longer file is replaced
  int32_t written = 0;
  auto progress = [&](void*, bool read, int32_t n) {
    if (!read) written += n;
  };
  EXPECT_EQ(CopyFileInPortions(nullptr, dir / L"src.bin", dir / L"dst.bin", 500, 1000, progress), L"");
  EXPECT_EQ(test::ReadBytes(dir / L"dst.bin"), data.substr(1000, 500));
  EXPECT_EQ(written, 500);

  // From an offset to the end
  EXPECT_EQ(CopyFileInPortions(nullptr, dir / L"src.bin", dir / L"tail.bin", -1, 2990, nullptr), L"");
  EXPECT_EQ(test::ReadBytes(dir / L"tail.bin"), data.substr(2990));

  test::WriteBytes(dir / L"empty.bin", "");
  EXPECT_EQ(CopyFileInPortions(nullptr, dir / L"empty.bin", dir / L"empty2.bin", -1, -1, nullptr), L"");
  EXPECT_TRUE(test::PathExists(dir / L"empty2.bin"));
  EXPECT_EQ(FileSizeOf(dir / L"empty2.bin"), 0);
}

TEST(CopyInPortions, AMissingSourceGivesNoMessageAndNoFile) {
  ScratchDir dir(L"copymiss");
  EXPECT_EQ(CopyFileInPortions(nullptr, dir / L"nothing.bin", dir / L"dst.bin", -1, -1, nullptr), L"");
  EXPECT_FALSE(test::PathExists(dir / L"dst.bin"));
}

TEST(CopyInPortions, StopsAfterThePortionWhenTheSenderSaysSo) {
  struct Stopper : CopyStopSource {
    bool stop = false;
    bool CopyStopped() const override { return stop; }
  } stopper;
  ScratchDir dir(L"copystop");
  test::WriteBytes(dir / L"src.bin", test::PatternBytes(700000));
  int32_t written = 0;
  auto progress = [&](void*, bool read, int32_t n) {
    if (!read) {
      written += n;
      if (n > 0) stopper.stop = true;
    }
  };
  EXPECT_EQ(CopyFileInPortions(&stopper, dir / L"src.bin", dir / L"dst.bin", -1, -1, progress, &stopper), L"");
  EXPECT_EQ(written, 262144);
  EXPECT_EQ(FileSizeOf(dir / L"dst.bin"), 262144);
}

TEST(Drives, SizesTypesAndProbes) {
  ScratchDir dir(L"drive");
  test::WriteBytes(dir / L"f.bin", std::string(1234, 'q'));
  EXPECT_EQ(FileSizeOf(dir / L"f.bin"), 1234);
  EXPECT_EQ(FileSizeOf(dir / L"missing"), -1);
  EXPECT_EQ(FileSizeOf(dir.Path()), -1);
  EXPECT_EQ(PathDriveType(L"\\\\server\\share\\dir"), DRIVE_REMOTE);
  EXPECT_EQ(PathDriveType(L"C:\\windows"), DRIVE_FIXED);
  uint32_t err = 99;
  EXPECT_EQ(ProbeDrive(L'C', err), DriveState::dsReady);
  EXPECT_EQ(err, 0u);
  EXPECT_GT(DiskFreeBytes(L'C'), 0.0);
  EXPECT_EQ(DiskFreeBytes(L'Q'), -1.0);  // no such drive in the test prefix
}

TEST(Texts, Durations) {
  EXPECT_EQ(FormatDuration(0), L"0 сек.");
  EXPECT_EQ(FormatDuration(59), L"59 сек.");
  EXPECT_EQ(FormatDuration(60), L"1 мин.");
  EXPECT_EQ(FormatDuration(61), L"1 мин. 1 сек.");
  EXPECT_EQ(FormatDuration(3599), L"59 мин. 59 сек.");
  EXPECT_EQ(FormatDuration(3600), L"1 ч. 0 мин. 0 сек.");
  EXPECT_EQ(FormatDuration(7322), L"2 ч. 2 мин. 2 сек.");
}

TEST(Texts, ByteSizes) {
  const std::wstring sep = DecimalSeparator();
  EXPECT_EQ(FormatByteSize(-5), L"-5 b");
  EXPECT_EQ(FormatByteSize(512), L"512 b");
  EXPECT_EQ(FormatByteSize(1023), L"1023 b");
  EXPECT_EQ(FormatByteSize(1024), L"1 Kb");
  EXPECT_EQ(FormatByteSize(1535), L"1 Kb");
  EXPECT_EQ(FormatByteSize(1536), L"2 Kb");  // a half rounds away from zero
  EXPECT_EQ(FormatByteSize(2047), L"2 Kb");
  EXPECT_EQ(FormatByteSize(1048575), L"1024 Kb");
  EXPECT_EQ(FormatByteSize(1048576), L"1" + sep + L"00 Mb");
  EXPECT_EQ(FormatByteSize(1572864), L"1" + sep + L"50 Mb");
  EXPECT_EQ(FormatByteSize(5LL * 1024 * 1024 * 1024), L"5120" + sep + L"00 Mb");
  EXPECT_EQ(sep, L",");  // the tests run under the Russian locale
}

TEST(Texts, Rounding) {
  EXPECT_EQ(RoundToInt(2.5), 3);
  EXPECT_EQ(RoundToInt(-2.5), -3);
  EXPECT_EQ(RoundToInt(2.4999), 2);
  EXPECT_EQ(RoundToInt(9.99), 10);
  EXPECT_EQ(RoundToInt(-9.5), -10);
  EXPECT_EQ(RoundToInt(3e10), 2147483647);
  EXPECT_EQ(RoundToInt(0.0), 0);
  EXPECT_DOUBLE_EQ(RoundHalfUp(1.005, 2), 1.01);  // rounds the printed digits, not the binary value
  EXPECT_DOUBLE_EQ(RoundHalfUp(0.995, 2), 1.0);
  EXPECT_DOUBLE_EQ(RoundHalfUp(99.96, 1), 100.0);
  EXPECT_DOUBLE_EQ(RoundHalfUp(-0.15, 1), -0.2);
  EXPECT_DOUBLE_EQ(RoundHalfUp(12.0, 2), 12.0);
  EXPECT_DOUBLE_EQ(RoundHalfUp(1.25, 5), 1.25);
}

TEST(Texts, PluralForms) {
  auto files = [](int n) { return PluralNoun(n, L"файл", L"", L"а", L"ов", true); };
  EXPECT_EQ(files(1), L"1 файл");
  EXPECT_EQ(files(3), L"3 файла");
  EXPECT_EQ(files(5), L"5 файлов");
  EXPECT_EQ(files(0), L"0 файлов");
  EXPECT_EQ(files(11), L"11 файлов");
  EXPECT_EQ(files(12), L"12 файлов");
  EXPECT_EQ(files(20), L"20 файлов");
  EXPECT_EQ(files(21), L"21 файл");
  EXPECT_EQ(files(22), L"22 файла");
  EXPECT_EQ(files(25), L"25 файлов");
  EXPECT_EQ(files(101), L"101 файл");
  EXPECT_EQ(files(111), L"111 файлов");
  EXPECT_EQ(PluralNoun(4, L"диск", L"", L"а", L"ов", false), L"диска");
}

TEST(Texts, ShortDatesAndFloats) {
  EXPECT_EQ(FormatShortDate(0), L"");
  // Every separator becomes the locale's date separator; the year has two digits.
  EXPECT_EQ(FormatShortDate(EncodeDateTime(2026, 3, 7, 14, 5, 9)), L"07.03.26");
  EXPECT_EQ(FormatShortDate(EncodeDateTime(1999, 12, 31)), L"31.12.99");
  EXPECT_EQ(FloatToDotText(7), L"7");
  EXPECT_EQ(FloatToDotText(412.5), L"412.5");
  EXPECT_EQ(FloatToDotText(-0.25), L"-0.25");
  EXPECT_EQ(FloatToDotText(1e20), L"100000000000000000000.000000");
}

TEST(Texts, SmallRoutines) {
  EXPECT_EQ(QuoteIfSpaces(L"C:\\Program Files\\a.exe"), L"\"C:\\Program Files\\a.exe\"");
  EXPECT_EQ(QuoteIfSpaces(L"C:\\a.exe"), L"C:\\a.exe");
  EXPECT_EQ(QuoteIfSpaces(L"\"C:\\a b\""), L"\"C:\\a b\"");
  EXPECT_EQ(QuoteIfSpaces(L"a b\""), L"a b\"");
  EXPECT_EQ(QuoteIfSpaces(L""), L"");
  EXPECT_EQ(TrimVersionText(L"01.05.00"), L"1.05");
  EXPECT_EQ(TrimVersionText(L"0412.00"), L"412");
  EXPECT_EQ(TrimVersionText(L"5.12.0.345"), L"5.12.0.345");
  EXPECT_EQ(TrimVersionText(L"000"), L"");
  EXPECT_TRUE(ConsistsOf(L"0123", L"0123456789"));
  EXPECT_FALSE(ConsistsOf(L"", L"0123456789"));
  EXPECT_FALSE(ConsistsOf(L"12a", L"0123456789"));
  EXPECT_EQ(PadLeft(L"7", 3, L'0'), L"007");
  EXPECT_EQ(PadLeft(L"12345", 3, L'0'), L"12345");
  EXPECT_EQ(UpperCaseText(L"ворел-софт я"), L"ВОРЕЛ-СОФТ Я");
  EXPECT_EQ(IndexOfText(L"BETA", {L"alpha", L"beta"}, false), 1);
  EXPECT_EQ(IndexOfText(L"betamax", {L"alpha", L"beta"}, false), -1);
  EXPECT_EQ(IndexOfText(L"betamax", {L"alpha", L"beta"}, true), 1);
  EXPECT_TRUE(HasText(L"Alpha", {L"alpha"}, false));
  EXPECT_EQ(OemToAnsiText(std::string("\x8f\xe0\xa8\xa2\xa5\xe2")), L"Привет");  // code page 866
  EXPECT_EQ(OemToAnsiText(std::string(300, 'a')).size(), 255u);
}

TEST(Texts, SplitKeepsInnerEmptyPartsButNotTheLast) {
  std::vector<std::wstring> parts;
  SplitText(L"C:\\A\\\\B\\", parts, L"\\", false);
  EXPECT_EQ(parts, (std::vector<std::wstring>{L"C:", L"A", L"", L"B"}));
  SplitText(L" a , ,b ", parts, L",", true);
  EXPECT_EQ(parts, (std::vector<std::wstring>{L"a", L"b"}));
  parts.push_back(L"stale");
  SplitText(L"", parts, L",", false);
  EXPECT_TRUE(parts.empty());
}

TEST(Paths, Pieces) {
  EXPECT_EQ(ChangeFileExt(L"C:\\a.b\\prog.exe", L".ini"), L"C:\\a.b\\prog.ini");
  EXPECT_EQ(ChangeFileExt(L"C:\\a.b\\prog", L".ini"), L"C:\\a.b\\prog.ini");
  EXPECT_EQ(ExtractFilePath(L"C:\\dir\\f.txt"), L"C:\\dir\\");
  EXPECT_EQ(ExtractFileName(L"C:\\dir\\f.txt"), L"f.txt");
  ScratchDir dir(L"force");
  EXPECT_TRUE(ForceDirectories(dir / L"a\\b\\c\\"));
  EXPECT_TRUE(DirectoryExists(dir / L"a\\b\\c"));
}

TEST(Paths, SafeRelativeNames) {
  for (const wchar_t* ok : {L"a.dll", L"sub\\a.dll", L"12/a.dll", L"a..b.dll", L"Sklad\\Upgrade\\13\\", L"v1.2"})
    EXPECT_TRUE(IsSafeRelativePath(ok)) << WideToUtf8(ok);
  for (const wchar_t* bad : {L"", L"..", L"..\\x", L"a\\..\\..\\x", L"a/../x", L"\\x", L"/x", L"C:\\x", L"C:x", L"a:b",
                             L"\\\\srv\\share", L"a\\. .\\b", L"...\\x", L"a*", L"a?b", L"a\tb", L"a|b"})
    EXPECT_FALSE(IsSafeRelativePath(bad)) << WideToUtf8(bad);
  // Device names open a device wherever they stand, whatever their extension or letter case.
  for (const wchar_t* device : {L"CON", L"nul", L"Aux", L"PRN", L"COM1", L"com9", L"LPT1", L"lpt9", L"CONIN$",
                                L"conout$", L"nul.txt", L"NUL.tar.gz", L"12\\con.dll", L"sub/Com3.log", L"prn .x",
                                L"LPT\u00B9.dat", L"nul\\a.dll", L"LPT0"})
    EXPECT_FALSE(IsSafeRelativePath(device)) << WideToUtf8(device);
  for (const wchar_t* ok : {L"CONFIG.SYS", L"null.txt", L"COM10", L"console\\a.dll", L"aux1.dll", L"a.nul",
                            L"COM", L"prn_report.txt"})
    EXPECT_TRUE(IsSafeRelativePath(ok)) << WideToUtf8(ok);
}

TEST(Drives, TheFloppyDriveAndLargeDisks) {
  // A: is the test prefix's floppy drive, a folder of the build.
  ASSERT_EQ(PathDriveType(L"A:\\"), DRIVE_REMOVABLE);
  ClearDirectory(L"A:\\", true);
  uint32_t err = 99;
  EXPECT_EQ(ProbeDrive(L'A', err), DriveState::dsEmpty);
  EXPECT_EQ(err, 0u);
  test::WriteBytes(L"A:\\disk1.id", "1");
  CreateDirectoryW(L"A:\\sub", nullptr);
  test::WriteBytes(L"A:\\sub\\part.dat", "2");
  EXPECT_EQ(ProbeDrive(L'A', err), DriveState::dsReady);
  // The root of a removable drive is emptied, unlike a fixed disk's.
  EXPECT_EQ(ClearDirectory(L"A:\\", true), L"");
  EXPECT_FALSE(test::PathExists(L"A:\\disk1.id"));
  EXPECT_FALSE(test::PathExists(L"A:\\sub"));
  EXPECT_EQ(ProbeDrive(L'A', err), DriveState::dsEmpty);
  // The count does not wrap at 4 GB: it agrees with the system's 64-bit count, whatever the
  // size of the disk the tests run on (a margin for other programs writing meanwhile).
  ULARGE_INTEGER available{}, total{}, totalFree{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &available, &total, &totalFree));
  EXPECT_NEAR(DiskFreeBytes(L'C'), static_cast<double>(totalFree.QuadPart), 256.0 * 1024 * 1024);
  SetDiskFreeBytesSource([](wchar_t) { return 1457664.0; });
  EXPECT_EQ(DiskFreeBytes(L'A'), 1457664.0);
  SetDiskFreeBytesSource(nullptr);
}

// File and formatting routines shared by the whole program: temporary directories, clearing,
// copying in portions, drive probing, and the Russian texts for durations, sizes and dates.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"

namespace dorvex {

enum class DriveState { dsReady, dsEmpty, dsAccessDenied, dsNotReady, dsUnformatted, dsError };

// Called with (sender, read, count): read is true after a portion was read, false after it
// was written. Summing the counts of the false calls gives the bytes written so far.
using CopyProgressEvent = std::function<void(void* sender, bool read, int32_t count)>;

// A copy's sender may tell the copy to stop after the current portion.
class CopyStopSource {
 public:
  virtual ~CopyStopSource() = default;
  virtual bool CopyStopped() const = 0;
};

std::wstring GetSystemTempDirectory();
std::wstring CreateTempDirectory(const std::wstring& base, const std::wstring& prefix);  // raises Error
std::wstring ClearDirectory(const std::wstring& path, bool recursive);

std::wstring CopyFileInPortions(void* sender, const std::wstring& source, const std::wstring& destination,
                                int32_t maxCount, int32_t startOffset, const CopyProgressEvent& onProgress,
                                const CopyStopSource* stopSource = nullptr);

int64_t FileSizeOf(const std::wstring& path);  // -1 for a missing file or a directory
// The whole content of a file (shared with writers); false when it cannot be opened or read,
// or when it holds more than maxBytes (not negative).
bool ReadFileBytes(const std::wstring& path, std::string& bytes, int64_t maxBytes = -1);
// Writes the bytes as the whole new content of a file, flushed to the disk; false (with the
// Windows error left for GetLastError) when they could not all be written, and then no file stays.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);       // an existing file, not a directory
bool DirectoryExists(const std::wstring& path);  // an existing directory
bool ForceDirectories(const std::wstring& path);  // creates every missing level
int PathDriveType(const std::wstring& path);
DriveState ProbeDrive(wchar_t letter, uint32_t& windowsError);
double DiskFreeBytes(wchar_t letter);
// Tests play a floppy of a chosen capacity through this; the program never sets it.
void SetDiskFreeBytesSource(std::function<double(wchar_t)> source);

// The identity of a directory (its volume's serial number and its file index), for walks that
// must not enter one directory twice through links. False when the system cannot tell.
bool DirectoryIdentity(const std::wstring& dir, unsigned long& volume, unsigned long long& index);
// Tests play a file system that reports file index 0 for every entry through this.
void SetDirectoryIdentitySource(std::function<bool(const std::wstring&, unsigned long&, unsigned long long&)> source);

// The directories a walk has entered. A directory whose identity is unknown (no answer, or the
// file index 0 that some network file systems give every entry) always counts as new: the walk
// then relies on its skipping of links and its depth bound.
class TVisitedDirs {
 public:
  bool FirstVisit(const std::wstring& dir);
  void Clear() { seen_.clear(); }

 private:
  std::set<std::pair<unsigned long, unsigned long long>> seen_;
};

std::wstring FormatDuration(int seconds);
std::wstring FormatByteSize(int64_t bytes);
double RoundHalfUp(double value, int decimals);
int32_t RoundToInt(double value);
std::wstring PluralNoun(int count, const std::wstring& stem, const std::wstring& ending1,
                        const std::wstring& ending2, const std::wstring& ending5, bool withNumber);
std::wstring FormatShortDate(TDateTime date);
std::wstring ProgramVersionText();
std::wstring ProgramVersionDate();
std::wstring FloatToDotText(double value);
std::wstring PadLeft(const std::wstring& text, size_t width, wchar_t fill);

std::wstring QuoteIfSpaces(const std::wstring& path);
std::wstring OemToAnsiText(const std::string& oemText);
int FindSwitch(const std::wstring& text, bool prefixMode);
std::vector<std::wstring> CommandLineArguments();  // argument 0 is the program
std::wstring TrimVersionText(const std::wstring& text);
bool ConsistsOf(const std::wstring& text, const std::wstring& charSet);
int IndexOfText(const std::wstring& text, const std::vector<std::wstring>& list, bool prefixMode);
bool HasText(const std::wstring& text, const std::vector<std::wstring>& list, bool prefixMode);
void SplitText(const std::wstring& text, std::vector<std::wstring>& list, const std::wstring& delimiters,
               bool trim);

// True for a path that stays below whatever directory it is joined to: not empty, no drive,
// stream or device (":"), no leading separator, no ".." part, no wildcard or control character.
// Names that arrive from a source (maps, transfer sets, replies) must pass it before use.
bool IsSafeRelativePath(const std::wstring& path);

std::wstring ExecutablePath();                     // full path of the running program
std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext);
std::wstring ExtractFilePath(const std::wstring& path);  // up to and including the last backslash
std::wstring ExtractFileName(const std::wstring& path);

}  // namespace dorvex

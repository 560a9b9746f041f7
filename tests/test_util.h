// Helpers of the tests: scratch directories, files with chosen bytes, paths of the fixtures.
#pragma once

#include <cstdint>
#include <string>

namespace dorvex::test {

// A fresh directory under the system temporary path, removed with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& tag = L"t");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::wstring& Path() const { return path_; }  // ends with a backslash
  std::wstring operator/(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// A PEM file's base64 body without its BEGIN/END lines: a certificate as bare base64 of its DER.
std::wstring PemBody(const std::wstring& pemFile);
std::string PatternBytes(size_t size, uint32_t seed = 1);  // repeatable, not all alike
bool PathExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// Copies a folder's files and subfolders into another (both end with a backslash).
void CopyTree(const std::wstring& from, const std::wstring& to);

std::wstring TestProgramDir();                       // the directory of the running test program, with a backslash
std::wstring FixturePath(const std::wstring& name);  // a fixture program built beside the tests

}  // namespace dorvex::test

#include <windows.h>

namespace dorvex::test {

// A program started by a test, ended by its process id if it is still running at the end.
class RunningProgram {
 public:
  RunningProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory = L"");
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  bool Started() const { return process_ != nullptr; }
  DWORD Id() const { return id_; }
  // A visible top-level window of the program with the given class ("#32770" for message
  // boxes), waited for while pumping this program's messages; null when none came in time.
  HWND WaitForWindow(const std::wstring& className, DWORD timeoutMs) const;
  // The exit code, or -1 when the program did not end in time.
  long WaitExit(DWORD timeoutMs);

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// The texts of a dialog's static controls, joined by line breaks.
std::wstring DialogText(HWND dialog);

}  // namespace dorvex::test

// What the transfer-set tests share: the test prefix's floppy drive A: (a folder marked as a
// floppy), a 1.44 MB disk's free space played through the free-space seam, disks kept in
// folders and swapped into the drive, and a computer with a repository and a delivery list.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/mainfrm.h"
#include "common/routines.h"
#include "test_util.h"

namespace dorvex::test {

// The bytes a 1.44 MB disk has left: its capacity less what its files take in whole sectors.
double FloppyFree();
// Plays a 1.44 MB floppy in A: (and the host's real free space elsewhere) while it lives.
class FloppyDrive {
 public:
  FloppyDrive();
  ~FloppyDrive();
  void Clear();
  // Keeps what is in the drive as disk n / puts disk n into the drive.
  void Save(int n);
  void Load(int n);
  std::vector<std::wstring> Names() const;  // the files in the drive's root, sorted
  ScratchDir store{L"disks"};
  double tempFree = -2;  // when not -2, the free space of every other drive
};

// A computer with a repository, a temporary directory and a delivery list, run by the main window.
class Computer {
 public:
  explicit Computer(const std::wstring& tag);
  ~Computer();
  ScratchDir root;
  std::wstring repo, prog, temp, plan, log;
  std::vector<std::wstring> programs;
  std::unique_ptr<TMainForm> form;

  void InstallBuh();  // a Windows program at version 412 with its upgrade program
  void AddLoadOnly(const std::wstring& id, double version);
  // A step directory in the repository with files of the given sizes (names from the step).
  std::vector<std::wstring> Step(const std::wstring& relDir, const std::vector<std::pair<std::wstring, size_t>>& files);
  void WriteSettings(const std::wstring& rootDir = L"A:\\");
  TMainForm& Open();
  void Run();
  std::vector<std::wstring> Lines() const;
  std::string Upgrades() const { return ReadBytes(log); }
};

}  // namespace dorvex::test

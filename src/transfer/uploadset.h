// Writing a transfer set: the header "files.inf" and the identifier "each.id" prepared in a
// staging directory, the estimate of disks, and the writing of one disk after another with
// files cut across disks at multiples of 512 bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dorvex {

std::wstring NewSessionID();
// Appends the file to the header: its name relative to the repository and its size.
void AddFileEntry(const std::wstring& id, const std::wstring& header, const std::wstring& path);
int64_t RoundUpTo(int64_t n, int64_t unit);

// The set's files would overwrite each other on the disks when two share a bare name or one
// takes the name of the header or of an identifier. Returns the message, or "" when none.
std::wstring CheckSetNames(const std::vector<std::wstring>& paths);

// The chosen repository files and, for every program and kind of map among them, the verified
// map and signature the repository keeps beside the program's steps, so that the reading
// computer can check the set's files against the publisher's word.
std::vector<std::wstring> WithProgramMaps(const std::vector<std::wstring>& paths);

// The paths and, when the repository holds the agent's own verified map and signature, the newest
// version of the agent it keeps with them, so that the agent on the reading computer upgrades
// itself from the set as it would from a source.
std::vector<std::wstring> WithAgentUpgrade(const std::vector<std::wstring>& paths);

class TUploadSet {
 public:
  struct File {
    std::wstring Path;
    int32_t Size = 0;
  };

  // Builds the file list from the chosen paths and their programs' maps (vanished files are left
  // out), the header and the identifier in stagingDir, and the estimate.
  void Prepare(const std::vector<std::wstring>& paths, const std::wstring& stagingDir);
  void ResetPosition();

  // Writes the next disk into drive ("A:\"). Errors are shown in boxes owned by owner; true when
  // the disk was written and counted.
  using OperationHandler = std::function<void(const std::wstring& text)>;
  using PercentHandler = std::function<void(int percent)>;
  bool WriteDisk(HWND owner, const std::wstring& drive, bool format, const OperationHandler& operation,
                 const PercentHandler& percent);

  bool Complete() const { return FileIndex >= Files.size(); }

  std::vector<File> Files;
  int64_t TotalSize = 0;
  std::wstring SessionID;
  std::wstring StagingDir;
  int EstimatedDisks = 0;
  int DisksWritten = 0;
  size_t FileIndex = 0;
  int64_t Offset = 0;
};

}  // namespace dorvex

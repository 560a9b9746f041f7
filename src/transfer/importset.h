// Reading a floppy transfer set into the repository: the disks are asked for one after another,
// the files that the programs on the delivery list still need are joined from their pieces in
// the session's temporary directory and then placed into the repository, and their version
// steps are entered into each program's step list for the upgrade phase.
#pragma once

#include <functional>
#include <string>

#include "common/callbacks.h"
#include "settings/programs.h"

namespace dorvex {

struct ImportHandlers {
  StageTextHandler Stage;        // the stage text of the window
  SizeHandler Size;              // the size to transfer
  TrafficHandler Traffic;        // bytes received
  StageTextHandler ProgramLine;  // the program line of the report window
  // Which of the agent's own version steps (folder names under its program ID) it still needs;
  // without it the agent's files in a set are passed over. The needed ones are joined with the
  // agent's map and signature in the temporary directory, under the agent's program ID, and are
  // not placed: the agent judges them itself.
  std::function<bool(const std::wstring& step)> AgentNeeds;
};

// True on complete success; otherwise false with a message (empty when the user stopped it).
bool ImportTransferSet(TProgramList* programs, const std::wstring& tempDir, AbortMethod& abortHandler,
                       const ImportHandlers& handlers, std::wstring& message);

// True when a readable disk is in the drive (drive is "A:\"); asks again while the user agrees.
bool WaitForDisk(int diskNo, const std::wstring& drive, std::wstring& message);
// True when the disk in the drive is disk diskNo of the set id; asks again while the user agrees.
bool CheckDiskIdentity(int diskNo, const std::wstring& drive, const std::wstring& id, std::wstring& message);

// A name of a transfer-set header ("FileName") that may be joined below the temporary directory
// and the repository: relative, no drive, stream or device name, no "..", a non-empty bare name.
// The one leading backslash the writer leaves is allowed. Returns the name without it, or "".
std::wstring SafeSetEntryName(const std::wstring& name);

}  // namespace dorvex

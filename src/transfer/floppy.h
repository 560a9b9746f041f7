// The floppy drive as the transfer sets see it: its state, and the shell's format dialog.
// Both go through one place so that a test can play an unreadable, busy or unformatted disk
// and the format dialog's answers, which a folder standing in for a floppy cannot give.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/routines.h"

namespace dorvex {

// 2847 sectors of 512 bytes: the room of a 1.44 MB disk.
constexpr int64_t kFloppyCapacity = 1457664;

DriveState ProbeFloppy(wchar_t letter, uint32_t& windowsError);
// The shell's format dialog for the drive (0 for A:), with the "default" format and no
// options. Returns the dialog's result: -1 failed, -2 cancelled, -3 cannot format.
int FormatFloppy(HWND owner, unsigned driveNumber);

// Creates (or empties) a file on the disk for writing. A real floppy's root holds at most 224
// entries, fewer with long names: past that the creation fails.
HANDLE CreateFloppyFile(const std::wstring& path);

// Tests only; empty restores the real drive and the real dialog.
using FloppyProbeSource = std::function<DriveState(wchar_t letter, uint32_t& windowsError)>;
void SetFloppyProbeSource(FloppyProbeSource source);
using FloppyFormatSource = std::function<int(HWND owner, unsigned driveNumber)>;
void SetFloppyFormatSource(FloppyFormatSource source);
using FloppyCreateSource = std::function<HANDLE(const std::wstring& path)>;
void SetFloppyCreateSource(FloppyCreateSource source);

// "A:" gives "A:\\", "a:\\dir" gives "a:\\"; anything that does not begin with a drive letter gives "".
std::wstring FloppyRoot(const std::wstring& path);

}  // namespace dorvex

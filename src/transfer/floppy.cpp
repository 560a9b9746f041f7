#include "transfer/floppy.h"

#include <shlobj.h>

#include "common/text.h"

namespace dorvex {

namespace {
FloppyProbeSource& ProbeSource() {
  static FloppyProbeSource source;
  return source;
}
FloppyFormatSource& FormatSource() {
  static FloppyFormatSource source;
  return source;
}
FloppyCreateSource& CreateSource() {
  static FloppyCreateSource source;
  return source;
}
}  // namespace

void SetFloppyCreateSource(FloppyCreateSource source) { CreateSource() = std::move(source); }

HANDLE CreateFloppyFile(const std::wstring& path) {
  if (CreateSource()) return CreateSource()(path);
  return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void SetFloppyProbeSource(FloppyProbeSource source) {
  ProbeSource() = std::move(source);
}
void SetFloppyFormatSource(FloppyFormatSource source) {
  FormatSource() = std::move(source);
}

DriveState ProbeFloppy(wchar_t letter, uint32_t& windowsError) {
  if (ProbeSource()) return ProbeSource()(letter, windowsError);
  return ProbeDrive(letter, windowsError);
}

int FormatFloppy(HWND owner, unsigned driveNumber) {
  if (FormatSource()) return FormatSource()(owner, driveNumber);
  return static_cast<int>(SHFormatDrive(owner, driveNumber, SHFMT_ID_DEFAULT, 0));
}

std::wstring FloppyRoot(const std::wstring& path) {
  if (path.size() < 2 || path[1] != L':' || !IsCharAlphaW(path[0])) return L"";
  return path.substr(0, 2) + L"\\";
}

}  // namespace dorvex

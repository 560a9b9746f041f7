// The help link: shows the program's help file when F1 is pressed anywhere in the program.
#pragma once

#include <string>

namespace dorvex::ui {

class THelpLink {
 public:
  explicit THelpLink(std::wstring executablePath);
  ~THelpLink();
  THelpLink(const THelpLink&) = delete;
  THelpLink& operator=(const THelpLink&) = delete;

  void SetHelpFile(const std::wstring& file) { helpFile_ = file; }
  const std::wstring& HelpFile() const { return helpFile_; }
  // Opens the help file with the shell when it exists; false when there is none to open.
  bool ShowHelp() const;
  // Catches F1 in the program's message pump until the link is destroyed.
  void InstallF1Hook();

 private:
  std::wstring executablePath_;
  std::wstring helpFile_;
  int filter_ = 0;
};

}  // namespace dorvex::ui

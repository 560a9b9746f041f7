// The version controllers of the three program kinds.
#pragma once

#include "settings/programs.h"

namespace dorvex {

// Windows programs of the family: the executable's version resource.
class TCorvendVersionController : public TVersionController {
 public:
  using TVersionController::TVersionController;
  bool IsOwnExecutable(const std::wstring& fileName) override;
  bool DetectVersion() override;
};

// Console programs: a revision file beside the program (or one level up for some).
class TDosVersionController : public TVersionController {
 public:
  using TVersionController::TVersionController;
  bool IsOwnExecutable(const std::wstring& fileName) override;
  bool DetectVersion() override;
  std::wstring RevisionFilePath() const;
};

// The third product line: a small INI file named after the executable.
class TTeskVersionController : public TVersionController {
 public:
  using TVersionController::TVersionController;
  bool IsOwnExecutable(const std::wstring& fileName) override;
  bool DetectVersion() override;
  std::wstring VersionFilePath() const;
};

template <typename T>
std::unique_ptr<TVersionController> MakeController(TProgram& owner) {
  return std::make_unique<T>(owner);
}

// Reads a version number as the version files write it; not a number gives 0.
double ParseVersionNumber(const std::wstring& text);

}  // namespace dorvex

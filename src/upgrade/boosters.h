// The upgrade boosters: each program kind's way of running its own upgrade executable for one
// version step, and of telling success from failure.
#pragma once

#include <windows.h>

#include <string>

#include "settings/programs.h"

namespace dorvex {

class TUpgradeBoosterBase : public TUpgradeBooster {
 public:
  using TUpgradeBooster::TUpgradeBooster;
  bool Upgrade(const std::wstring& stepName) override;

  // The repository directory of a step, with "repair\" in emergency mode.
  std::wstring VersionDir(const std::wstring& stepName) const;
  std::wstring ErrorFilePath() const;

 protected:
  virtual std::wstring CommandLine(const std::wstring& versionDir) const = 0;
  virtual bool ShowNormally() const = 0;
  virtual DWORD PollInterval() const = 0;
  // Judges the ended process; fills errorText on failure.
  virtual bool Outcome(DWORD exitCode, DWORD lastError, std::wstring& errorText) = 0;
  // The whole text of the error file, trimmed; empty when there is none.
  std::string ReadErrorFileBytes() const;
};

class TCorvendUpgradeBooster : public TUpgradeBoosterBase {
 public:
  using TUpgradeBoosterBase::TUpgradeBoosterBase;

 protected:
  std::wstring CommandLine(const std::wstring& versionDir) const override;
  bool ShowNormally() const override { return false; }
  DWORD PollInterval() const override { return 100; }
  bool Outcome(DWORD exitCode, DWORD lastError, std::wstring& errorText) override;
};

class TDosUpgradeBooster : public TUpgradeBoosterBase {
 public:
  using TUpgradeBoosterBase::TUpgradeBoosterBase;
  std::wstring DefaultUpgradeDir(const std::wstring& programDir) override;

 protected:
  std::wstring CommandLine(const std::wstring& versionDir) const override;
  bool ShowNormally() const override { return true; }
  DWORD PollInterval() const override { return 50; }
  bool Outcome(DWORD exitCode, DWORD lastError, std::wstring& errorText) override;
};

class TTeskUpgradeBooster : public TUpgradeBoosterBase {
 public:
  using TUpgradeBoosterBase::TUpgradeBoosterBase;

 protected:
  std::wstring CommandLine(const std::wstring& versionDir) const override;
  bool ShowNormally() const override { return true; }
  DWORD PollInterval() const override { return 50; }
  bool Outcome(DWORD exitCode, DWORD lastError, std::wstring& errorText) override;
};

template <typename T>
std::unique_ptr<TUpgradeBooster> MakeBooster(TProgram& owner) {
  return std::make_unique<T>(owner);
}

// Renames every "name.~ext" below dir (the finished files an upgrade left) to "name.ext".
void FinishUpgradeFiles(const std::wstring& dir);

}  // namespace dorvex

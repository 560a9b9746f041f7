// The upgrade boosters: each program kind's way of running its own upgrade executable for one
// version step, and of telling success from failure.
#pragma once

#include <windows.h>

#include <functional>
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

// How long a step's upgrade executable is waited for: past the limit (0: none), or once
// stopWaiting answers true, the wait ends with the executable left running (a half-done upgrade
// is worse than a slow one), the process recorded, and the step counted as failed.
struct UpgradeWaitPolicy {
  double limitMinutes = 0;
  std::function<bool()> stopWaiting;
};
void SetUpgradeWaitPolicy(UpgradeWaitPolicy policy);

// Upgrade executables left running are recorded in the repository ("dorvex.running"), one
// section per program. Empty when none of the program's still runs (a record of an ended one
// is dropped); else the sentence that says which runs and why the program's steps wait.
std::wstring RunningUpgradeRecordPath();
std::wstring StillRunningUpgrade(const std::wstring& programID, const std::wstring& title);

template <typename T>
std::unique_ptr<TUpgradeBooster> MakeBooster(TProgram& owner) {
  return std::make_unique<T>(owner);
}

// Renames every "name.~ext" below dir (the finished files an upgrade left) to "name.ext".
void FinishUpgradeFiles(const std::wstring& dir);

}  // namespace dorvex

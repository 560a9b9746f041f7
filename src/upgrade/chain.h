// The upgrade map read against the installed version: which version steps a program needs,
// in which order, and where upgrading must stop. Also the meaning of step names ("N" and
// "A-B") everywhere, and the purge of superseded version directories.
#pragma once

#include <string>
#include <vector>

#include "common/initable.h"
#include "settings/programs.h"

namespace dorvex {

struct VersionStep {
  double From = 0;
  double To = 0;
  bool Usable() const { return From != 0 && To != 0; }
};

VersionStep ParseStepName(const std::wstring& name);
std::wstring NumberText(double value);  // the shortest decimal form, normalised
std::wstring StepFromText(const std::wstring& name);
std::wstring StepToText(const std::wstring& name);
double StepTo(const std::wstring& name);

// The platform's word sort: the user's locale, case ignored, hyphens weighed last.
bool WordSortLess(const std::wstring& a, const std::wstring& b);
// Sorts many names by the word sort, stably, in the same order as WordSortLess gives.
void SortByWords(std::vector<std::wstring>& names);

struct MapAnalysis {
  bool Usable = false;
  bool NeedsUpgrade = true;
};

// Reads the local copy of the map (mapPath) for the controller's program and fills stepList.
MapAnalysis AnalyseUpgradeMap(TVersionController& controller, const std::wstring& mapPath,
                              std::vector<std::wstring>& stepList);
// The same for a map already read (the bytes whose signature was checked).
MapAnalysis AnalyseUpgradeMap(TVersionController& controller, const TIniTable& map,
                              std::vector<std::wstring>& stepList);

// Removes the superseded version directories of a program from the repository, when the
// settings ask for it: only those of steps already applied (To at or below installedVersion,
// the version installed after the upgrade phase). The directory of the newest step is always kept.
void PurgeOldVersionDirs(TProgram& program, double installedVersion);

}  // namespace dorvex

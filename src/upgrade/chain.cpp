#include "upgrade/chain.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "common/handles.h"
#include "common/initable.h"
#include "common/links.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "upgrade/controllers.h"

namespace dorvex {

VersionStep ParseStepName(const std::wstring& raw) {
  std::wstring name = Trim(raw);
  VersionStep step;
  size_t hyphen = name.find(L'-');
  if (hyphen == std::wstring::npos) {
    step.To = ParseVersionNumber(name);
    step.From = step.To - 1;
    if (step.From < 0) step.From = 0;
  } else {
    double a = ParseVersionNumber(name.substr(0, hyphen));
    step.From = a > 1 ? a - 1 : a;
    step.To = ParseVersionNumber(name.substr(hyphen + 1));
  }
  return step;
}

std::wstring NumberText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return TrimVersionText(AnsiToWide(buf));
}

std::wstring StepFromText(const std::wstring& name) { return NumberText(ParseStepName(name).From); }
std::wstring StepToText(const std::wstring& name) { return NumberText(ParseStepName(name).To); }
double StepTo(const std::wstring& name) { return ParseStepName(name).To; }

bool WordSortLess(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                        static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

// The word sort of many names: each name's sort key is made once and the keys are compared as
// bytes, which orders as the comparison of the names themselves does, at a fraction of its cost.
void SortByWords(std::vector<std::wstring>& names) {
  std::vector<std::pair<std::string, size_t>> keyed;
  keyed.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::wstring& n = names[i];
    int size = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, n.data(), static_cast<int>(n.size()),
                            nullptr, 0);
    std::string key(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size <= 0 || LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, n.data(),
                                  static_cast<int>(n.size()), reinterpret_cast<wchar_t*>(key.data()), size) != size) {
      std::stable_sort(names.begin(), names.end(), WordSortLess);
      return;
    }
    keyed.emplace_back(std::move(key), i);
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::wstring> sorted;
  sorted.reserve(names.size());
  for (const auto& k : keyed) sorted.push_back(std::move(names[k.second]));
  names.swap(sorted);
}

MapAnalysis AnalyseUpgradeMap(TVersionController& controller, const std::wstring& mapPath,
                              std::vector<std::wstring>& stepList) {
  if (!FileExists(mapPath)) {
    controller.StopVersion = 0;
    stepList.clear();
    controller.Program.ReportMessage(&controller,
                                     L"Во временном каталоге отсутствует карта файлов обновлений на удаленном ресурсе");
    return MapAnalysis{false, true};
  }
  // The map is read once into memory; thousands of steps then cost no more than their number.
  TIniTable map;
  map.LoadFromFile(mapPath);
  return AnalyseUpgradeMap(controller, map, stepList);
}

MapAnalysis AnalyseUpgradeMap(TVersionController& controller, const TIniTable& map,
                              std::vector<std::wstring>& stepList) {
  TProgram& program = controller.Program;
  auto refuse = [&](const std::wstring& text) {
    program.ReportMessage(&controller, text);
    return MapAnalysis{false, true};
  };
  controller.StopVersion = 0;
  stepList.clear();
  if (map.ReadSections().empty())
    return refuse(Fmt(L"Нельзя получить с сервера карту обновлений для программы «%s»", program.Title));
  // A section written twice is one step: its keys are read from the first one, and its upgrade
  // must not run twice.
  std::vector<std::wstring> names = map.UniqueSections();
  // [MapInfo] says what the map is for; it is not a step and takes no place among them.
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::wstring& n) { return SameText(n, L"MapInfo"); }),
              names.end());

  SortByWords(names);
  size_t plain = 0, ranged = 0;
  for (const auto& n : names) (n.find(L'-') == std::wstring::npos ? plain : ranged)++;
  if (plain > 0 && ranged > 0)
    std::rotate(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(plain % names.size()), names.end());

  // Each name is read once; the passes below use what it says.
  std::vector<VersionStep> parsed;
  parsed.reserve(names.size());
  for (const auto& name : names) parsed.push_back(ParseStepName(name));
  // Then by the version each step reaches, equals keeping the order above. A map that the word
  // order already reads as a chain keeps that order, since along a chain the reached version never
  // falls; a chain that the word order scrambles, because its names differ in their number of
  // digits ("99", "100") or a cumulative step sorts first ("1-412", "413"), is read as a chain
  // instead of being refused as broken.
  std::vector<size_t> order(names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return parsed[a].To < parsed[b].To; });
  {
    std::vector<std::wstring> n2;
    std::vector<VersionStep> p2;
    n2.reserve(order.size());
    p2.reserve(order.size());
    for (size_t i : order) {
      n2.push_back(std::move(names[i]));
      p2.push_back(parsed[i]);
    }
    names.swap(n2);
    parsed.swap(p2);
  }

  const double kMarker = -1;
  double lowestFrom = kMarker, highestTo = kMarker, previousTo = kMarker;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::wstring& name = names[i];
    const VersionStep s = parsed[i];
    if (!s.Usable()) continue;
    if (controller.StopVersion == 0 && map.ReadBool(name, L"Stop", false)) controller.StopVersion = s.To;
    if (lowestFrom == kMarker || s.From < lowestFrom) lowestFrom = s.From;
    if (highestTo == kMarker || s.To > highestTo) highestTo = s.To;
    if (previousTo != kMarker && (previousTo < s.From || previousTo > s.To))
      return refuse(Fmt(L"Обнаружено нарушение линейности версий. Нет файлов обновления с версии #%s до версии #%s",
                        NumberText(previousTo), NumberText(s.From)));
    previousTo = s.To;
  }
  // Sections, but not one that names a version step: say so, rather than name version -1.
  if (highestTo == kMarker)
    return refuse(Fmt(L"Карта файлов обновлений программы «%s» не содержит ни одного пригодного шага обновления",
                      program.Title));

  const double v = controller.Version;
  if (v < lowestFrom)
    return refuse(Fmt(L"Версия #%s программы «%s», установленная на Вашем компьютере, устарела. В настоящий момент "
                      L"доступны обновления для программы версии не ниже #%s (до версии #%s). Обратитесь в отдел "
                      L"сопровождения Ворел-Софт или к Вашему региональному дилеру для получения рекомендаций",
                      NumberText(v), program.Title, NumberText(lowestFrom), NumberText(highestTo)));
  if (v > highestTo)
    return refuse(Fmt(L"Версия программы «%s» (#%s), установленная на Вашем компьютере, не нуждается в обновлении. В "
                      L"настоящий момент доступны обновления только до версии #%s. Обратитесь в отдел сопровождения "
                      L"Ворел-Софт или к Вашему региональному дилеру для получения разъяснений",
                      program.Title, NumberText(v), NumberText(highestTo)));
  if (v == highestTo) {
    std::wstring text =
        program.VirtualUpgrade
            ? Fmt(L"Программа «%s» (версия #%s) не нуждается в загрузке обновлений. У Вас загружена последняя "
                  L"действующая версия",
                  program.Title, NumberText(v))
            : Fmt(L"Версия программы «%s» (#%s), установленная на Вашем компьютере, не нуждается в обновлении. У Вас "
                  L"установлена последняя действующая версия",
                  program.Title, NumberText(v));
    program.ReportMessage(&controller, std::wstring(1, kInformational) + text);
    return MapAnalysis{true, false};
  }
  for (size_t i = 0; i < names.size(); ++i)
    if (parsed[i].Usable() && parsed[i].To > v) stepList.push_back(names[i]);
  return MapAnalysis{true, true};
}

void PurgeOldVersionDirs(TProgram& program, double installedVersion) {
  if (!Settings().DeleteOldFiles || Settings().UpgradeFilesDir.empty()) return;
  const std::wstring dir = IncludeTrailingBackslash(Settings().UpgradeFilesDir) + program.ProgramID + L"\\";
  // A program directory that leads elsewhere is not the program's to empty.
  if (!LinkOnPath(Settings().UpgradeFilesDir, program.ProgramID).empty()) return;

  std::vector<std::wstring> entries;
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((dir + L"*.*").c_str(), &fd));
  if (!find) return;
  do {
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && fd.cFileName[0] != L'.') entries.push_back(fd.cFileName);
  } while (FindNextFileW(find.get(), &fd));
  find.reset();

  // The newest step is the one with the highest To, whatever the text order says ("9" sorts
  // after "12"): its directory, and any other reaching as far, is kept.
  double newest = 0;
  for (const auto& name : entries) {
    VersionStep s = ParseStepName(name);
    if (s.Usable() && s.To > newest) newest = s.To;
  }
  std::sort(entries.begin(), entries.end(), WordSortLess);
  for (const auto& name : entries) {
    VersionStep s = ParseStepName(name);
    // A step not yet applied (it failed, or came after a stop) is still needed next time.
    if (!s.Usable() || s.To >= newest || s.To > installedVersion) continue;
    const std::wstring path = dir + name + L"\\";
    // An old step directory that is a link goes as the link, and what it leads to stays.
    if (IsLinkEntry(path)) {
      RemoveDirectoryW((dir + name).c_str());
      continue;
    }
    ClearDirectory(path, false);
    RemoveDirectoryW(ExcludeTrailingBackslash(path).c_str());
  }
}

}  // namespace dorvex

// Reader of the version resource of an executable file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace dorvex {

class TVersionInfo {
 public:
  explicit TVersionInfo(const std::wstring& fileName);

  bool Valid() const { return valid_; }
  const std::wstring& FileName() const { return fileName_; }

  struct Translation {
    uint16_t language;
    uint16_t codePage;
  };
  std::optional<Translation> GetTranslation() const;
  std::wstring TranslationText() const;  // e.g. "041904E3"; empty when none
  std::wstring StringValue(const std::wstring& name) const;
  std::wstring CompanyName() const { return StringValue(L"CompanyName"); }
  std::wstring ProductVersion() const;  // the string, or the fixed product version
  TDateTime FileDate() const;           // modification time of the file; 0 when it is missing

 private:
  std::wstring fileName_;
  bool valid_ = false;
  std::vector<uint8_t> block_;
};

// The agent's own program ID: the name of its map and of its folder in sources and repository.
constexpr wchar_t kAgentProgramID[] = L"Dorvex";
// Its one file in each published version.
constexpr wchar_t kAgentExeName[] = L"dorvex.exe";

struct AgentVersion {
  unsigned part[3] = {0, 0, 0};
  std::wstring Text() const;
  int Compare(const AgentVersion& other) const;
};
// "major.minor.build" in decimal digits, each part below 65536; false for anything else.
bool ParseAgentVersion(const std::wstring& text, AgentVersion& version);
// The first three parts of the file version in an executable's version resource.
bool FileAgentVersion(const std::wstring& exe, AgentVersion& version);

}  // namespace dorvex

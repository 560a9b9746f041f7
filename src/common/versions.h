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

}  // namespace dorvex

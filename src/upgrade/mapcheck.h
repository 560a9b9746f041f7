// What a signed upgrade map must say of itself before it is trusted, and the judgement of a
// map's bytes and its detached signature against the settings' public key.
//
// A signature proves who wrote a map, not what it was written for: the section [MapInfo]
// names the program and the kind of map, a serial that grows with every publication and the
// last day the map is good for. A map accepted once raises the serial this computer expects
// from then on, so that an older map served again (by a stale mirror or on purpose) is refused.
#pragma once

#include <cstdint>
#include <string>

#include "common/initable.h"
#include "settings/programs.h"

namespace dorvex {

// The largest map and signature the program takes; larger ones are refused while they arrive.
constexpr int64_t kMaxMapBytes = 16 * 1024 * 1024;
constexpr int64_t kMaxSignatureBytes = 16 * 1024;

struct TMapInfo {
  std::wstring ProgramID;
  std::wstring Kind;  // "Normal" or "Emergency"
  uint64_t Serial = 0;
  std::wstring SerialText;
  int ExpiresYear = 0, ExpiresMonth = 0, ExpiresDay = 0;
  std::wstring ExpiresText;
};

// Reads [MapInfo]. False with a Russian reason (without the map's name) when the section is
// missing or a value is not what the publisher's tool writes.
bool ReadMapInfo(const TIniTable& map, TMapInfo& info, std::wstring& reason);

// The kind of map named in [MapInfo] for a normal or an emergency map.
const wchar_t* MapKindName(bool emergency);

// Compares a read [MapInfo] with what was asked for: the program, the kind, the date (today as
// year, month, day of the computer's clock) and the highest serial accepted before (0: none).
// Empty when the map may be used, else the Russian reason with the values found and expected.
std::wstring CheckMapInfo(const TMapInfo& info, const std::wstring& mapName, const std::wstring& programID,
                          bool emergency, int year, int month, int day, uint64_t acceptedSerial);

// The highest serial accepted per map ("Buh.nrm") on this computer, in a small INI file beside
// the settings file, and again in a second file beside it: the higher of the two counts, so
// that deleting one file does not lower the floor. Each is replaced whole in one rename, so
// that a crash leaves the old or the new file, never a damaged one.
std::wstring SerialStatePath();
std::wstring SerialStateCopyPath();

// What the two files say of a map: whether either knows it (a signed map of that name was
// accepted here), the higher serial, and, when a file exists but cannot be read or is not what
// this program writes, the Russian reason naming it (the floor is then unknown).
struct AcceptedSerialFloor {
  bool Known = false;
  uint64_t Serial = 0;
  std::wstring Damage;
};
AcceptedSerialFloor ReadAcceptedSerial(const std::wstring& mapName);
// Raises the map's serial in both files. False, with the reason in Russian when asked for, when
// either cannot be read or written; a file that cannot be read is never overwritten.
bool RecordAcceptedSerial(const std::wstring& mapName, uint64_t serial, std::wstring* failure = nullptr);

// The outcome of judging a map by the settings' key and requirement.
struct MapJudgement {
  MapSignatureState State = MapSignatureState::NotChecked;
  std::wstring Refusal;  // for the refused states: why, in Russian
  std::wstring Note;     // for an accepted map: what the report should say besides (a first serial)
};

// True when the settings hold a key or require signed maps.
bool MapChecksConfigured();
// True when the settings hold a public key (whatever its quality).
bool MapKeyConfigured();

// Judges a map's bytes: signature is null when none arrived (missingDetail then says why, for
// the message). With a verified signature [MapInfo] is checked and, when all holds, its serial
// is recorded as accepted; a serial that cannot be recorded refuses the map. Once a signed map
// of a name was accepted, an unsigned one of that name is refused whatever the requirement.
MapJudgement JudgeMap(const std::string& map, const std::string* signature, const std::wstring& mapName,
                      const std::wstring& programID, bool emergency, const std::wstring& missingDetail);

}  // namespace dorvex

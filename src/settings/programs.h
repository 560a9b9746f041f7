// The delivery list: one TProgram per catalogue row, held in one TProgramList, with the user's
// choices read from and written to the settings file. The version controller, the upgrade
// booster and the download protocol of a program are declared here as abstract bases; their
// kinds live with the upgrade and protocol code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/callbacks.h"

namespace dorvex {

class TProgram;

// Reads which version of its program is installed.
class TVersionController {
 public:
  explicit TVersionController(TProgram& owner) : Program(owner) {}
  virtual ~TVersionController() = default;
  virtual bool IsOwnExecutable(const std::wstring& fileName) = 0;
  virtual bool DetectVersion() = 0;
  std::wstring VersionText() const;  // Version as normalised text

  TProgram& Program;
  double StopVersion = 0;  // the version after which upgrading must stop; 0 = none
  double Version = 0;      // the installed version; 0 = unknown
};

// Runs one version step's upgrade executable.
class TUpgradeBooster {
 public:
  explicit TUpgradeBooster(TProgram& owner) : Program(owner) {}
  virtual ~TUpgradeBooster() = default;
  // The upgrade directory to suggest for a program installed in programDir.
  virtual std::wstring DefaultUpgradeDir(const std::wstring& programDir) { return programDir; }
  virtual bool Upgrade(const std::wstring& stepName) = 0;

  TProgram& Program;
};

// What a program knows of the download protocol attached to it for one connection attempt.
class TProgramProtocol {
 public:
  virtual ~TProgramProtocol() = default;
  virtual bool CheckSettings() = 0;
  virtual void SetSizeHandler(SizeHandler handler) = 0;
};

// Class references: make an object of the class for its owning program.
using ControllerClass = std::unique_ptr<TVersionController> (*)(TProgram& owner);
using BoosterClass = std::unique_ptr<TUpgradeBooster> (*)(TProgram& owner);
using ProtocolClassRef = std::unique_ptr<TProgramProtocol> (*)(TProgram& owner);

enum class ProgramKind { Corvend, Dos, Tesk };

// What became of the upgrade map's signature in the last attempt: not checked (no key is
// configured), no signature beside the map, a valid signature, a map refused for its signature,
// or a map whose valid signature vouches for another program, another kind of map, an expired
// or an older map than this computer has accepted, or a map refused because the serials accepted
// on this computer cannot be read or its own cannot be recorded; or no check possible because the
// settings' public key cannot be read (or is required and missing).
enum class MapSignatureState { NotChecked, Unsigned, Verified, Refused, Mismatched, FloorFailed, KeyFault };
inline bool IsRefusedMap(MapSignatureState s) {
  return s == MapSignatureState::Refused || s == MapSignatureState::Mismatched || s == MapSignatureState::FloorFailed ||
         s == MapSignatureState::KeyFault;
}

class TProgram {
 public:
  TProgram() = default;
  ~TProgram();
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  bool Active = false;
  std::wstring ExeDir;
  std::unique_ptr<TProgramProtocol> Protocol;
  std::wstring LastError;
  std::wstring ProgramID;
  std::wstring RevisionKey;
  std::wstring ExeName;
  std::wstring Description;
  bool Downloaded = false;
  MapSignatureState MapSignature = MapSignatureState::NotChecked;
  std::wstring HeldBack;  // why the delivery of this session holds the program back, for the report
  bool Repair = false;
  std::wstring Title;
  std::wstring TempDir;
  std::wstring UpgradeDir;
  std::wstring UpgradeExeName;
  bool UpgradeInExeDir = false;
  std::unique_ptr<TUpgradeBooster> Booster;
  bool VirtualUpgrade = false;
  double VirtualVersion = 0;
  std::unique_ptr<TVersionController> Controller;
  MessageHandler OnMessage;
  ConnectionHandler OnConnectionState;
  TrafficHandler OnTraffic;

  ProgramKind Kind = ProgramKind::Corvend;
  ControllerClass ControllerType = nullptr;
  BoosterClass BoosterType = nullptr;

  void Assign(const TProgram& source);
  bool CheckPaths();
  bool CheckReady();
  bool IsEmergency() const;
  void ReportMessage(void* sender, const std::wstring& text);
  void AttachProtocol(ProtocolClassRef protocolClass, SizeHandler progress);
};

class TProgramList {
 public:
  TProgram& AddProgram(const std::wstring& programID, const std::wstring& revisionKey, ProgramKind kind,
                       BoosterClass booster, ControllerClass controller, const std::wstring& upgradeExeName,
                       const std::wstring& exeName, const std::wstring& description, const std::wstring& title);
  int ActiveCount() const;
  int Count() const { return static_cast<int>(items_.size()); }
  TProgram& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  TProgram* FindByID(const std::wstring& id) const;
  void ClearDownloaded();
  void LoadFromIni();
  // Takes again from the settings file what a session may have changed since the list was read
  // (the load-only programs' versions), for the programs the file lists.
  void RefreshVersionsFromIni();
  // False when the settings file could not be written; the file is then as it was. The file is
  // replaced whole.
  bool SaveToIni() const;
  // The same into any INI file (GetLastError tells the failure).
  bool WriteToIni(const std::wstring& fileName) const;

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TProgram>> items_;
};

// The number of "Program%d" sections worth reading: ActiveProgramCount, but never past the
// highest such section the file holds.
int ProgramSectionBound(const class TIniFile& ini);

// The VirtualVersion the settings file holds for a program; false when it lists none.
bool StoredVirtualVersion(const std::wstring& fileName, const std::wstring& programID, double& version);

// The one program list of the run: made when the main window is created, freed when it goes.
TProgramList* ProgramCatalogue();
void SetProgramCatalogue(std::unique_ptr<TProgramList> list);
void FreeProgramCatalogue();

// A message that begins with this character is information, not an error.
constexpr wchar_t kInformational = L'\x01';
inline bool IsInformational(const std::wstring& text) { return !text.empty() && text[0] == kInformational; }

}  // namespace dorvex

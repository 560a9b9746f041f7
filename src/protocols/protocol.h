// The download source of one program for one connection attempt: the calling order every
// source offers, the naming of the upgrade map, the repository layout, and the one download
// procedure all sources share.
#pragma once

#include <string>
#include <vector>

#include "common/callbacks.h"
#include "common/initable.h"
#include "settings/options.h"
#include "settings/programs.h"

namespace dorvex {

class TDownloadProtocol : public TProgramProtocol {
 public:
  explicit TDownloadProtocol(TProgram& owner);
  // Deletes the local map copy. A source with a connection closes it in its own destructor.
  ~TDownloadProtocol() override;

  virtual bool CanResume() = 0;
  virtual bool CheckServer() = 0;
  virtual bool UsesSlashes() = 0;
  virtual bool Connect() = 0;
  virtual void Disconnect() = 0;
  virtual bool Login() = 0;
  virtual void Logout() = 0;
  virtual bool DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                            const std::wstring& localPath) = 0;
  virtual bool GetUpgradeMap(AbortMethod& abortHandler);

  bool CheckSettings() override { return CheckServer(); }
  void SetSizeHandler(SizeHandler handler) override { OnSizeForDownload = std::move(handler); }

  void SetConnected(bool value);
  std::wstring MapFileName(const std::wstring& dir) const;
  std::wstring StepFilePath(const std::wstring& dir, const std::wstring& fileName, int kind) const;
  void ReportSizeForDownload(int64_t size, bool valid);
  void AbortHook(void* sender);
  bool DownloadFiles(AbortMethod& abortHandler, const StageTextHandler& status);
  // After GetUpgradeMap: checks the map's detached signature ("ID.nrm.sig" beside it on the
  // source) against the settings' public key. False, with the reason reported, when the map
  // must not be used; true for a verified map and, unless signatures are required, for a map
  // without a signature or with no key configured. Owner.MapSignature tells which.
  bool VerifyUpgradeMap(AbortMethod& abortHandler);

  // Where the map's local copy lies for this program now.
  std::wstring LocalMapPath() const { return MapFileName(Owner.TempDir); }
  // The map as read once after its fetch (what the signature was checked against), as a table;
  // before the check, the local copy as it lies.
  TIniTable MapTable();
  // Reads the local map copy once into MapData, which MapTable answers from then on; false,
  // with the reason reported, when it is missing, unreadable or over the bound.
  bool LoadMapBytes();
  // Takes a map and signature verified elsewhere (a transfer set) as this program's map.
  void AdoptMap(std::string map, std::string signature) {
    MapData = std::move(map);
    SignatureData = std::move(signature);
    mapLoaded_ = true;
  }
  // Deletes the files of a step's repository directory that the verified map does not list, and
  // checks that every file it lists lies there with its size and checksum. False, with the
  // reason reported, when one cannot be deleted, a listed file is missing or differs, or the
  // step's directory or a file is a link. Only for a verified map.
  bool RemoveUnlistedFiles(const std::wstring& step);

  // The map's bytes as read once after its fetch, and its signature once verified.
  std::string MapData;
  std::string SignatureData;
  // The most bytes the transfer in progress may bring (0: no bound). A source that would pass
  // it ends the transfer, sets FetchLimitHit and fails.
  int64_t FetchLimit = 0;
  bool FetchLimitHit = false;
  // Why a transfer passed FetchLimit, in Russian: reached is the size it would have had. A step
  // file's bound is its size in the map, and the text names both.
  std::wstring LimitText(int64_t reached) const;
  // The step file being fetched has a SHA-256 in the map, which judges the whole file: its
  // partial copy may be continued without the server's validator.
  bool JudgedByChecksum = false;
  // True when the map was built here from a share's tree rather than fetched: no publisher's
  // signature can match it.
  bool MapBuiltHere = false;
  bool Aborted = false;
  bool Connected = false;
  std::vector<std::wstring> StepList;
  SizeHandler OnSizeForDownload;
  AbortMethod SavedAbortHandler;
  TProgram& Owner;
  std::wstring RootDir;

 private:
  bool CheckMapEntries(const TIniTable& map);
  bool limitFromMap_ = false;  // FetchLimit is a step file's size in the map
  // Fetches a file of the source under a bound of its size; stopped tells whether Stop ended it.
  bool FetchWatched(AbortMethod& abortHandler, const std::wstring& remotePath, const std::wstring& localPath,
                    int64_t limit, bool& stopped);
  void KeepVerifiedMap();
  bool mapLoaded_ = false;
};

// The class to make for the configured source; null for a source this build cannot serve.
ProtocolClassRef ProtocolClassFor(ProtocolKind kind);

}  // namespace dorvex

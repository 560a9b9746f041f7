// The download source of one program for one connection attempt: the calling order every
// source offers, the naming of the upgrade map, the repository layout, and the one download
// procedure all sources share.
#pragma once

#include <string>
#include <vector>

#include "common/callbacks.h"
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

  bool Aborted = false;
  bool Connected = false;
  std::vector<std::wstring> StepList;
  SizeHandler OnSizeForDownload;
  AbortMethod SavedAbortHandler;
  TProgram& Owner;
  std::wstring RootDir;

 private:
  bool CheckMapEntries(const class TIniTable& map);
};

// The class to make for the configured source; null for a source this build cannot serve.
ProtocolClassRef ProtocolClassFor(ProtocolKind kind);

}  // namespace dorvex

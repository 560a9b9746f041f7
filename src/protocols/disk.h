// Upgrades from a directory: a local disk, a CD, or a network share (UNC path or network
// drive), where the map can be built from the directory tree itself.
#pragma once

#include "common/routines.h"
#include "protocols/protocol.h"

namespace dorvex {

class TDiskProtocol : public TDownloadProtocol, public CopyStopSource {
 public:
  explicit TDiskProtocol(TProgram& owner);

  bool CanResume() override { return false; }
  bool CheckServer() override;
  bool UsesSlashes() override { return false; }
  bool Connect() override { return true; }
  void Disconnect() override {}
  bool Login() override { return true; }
  void Logout() override {}
  bool DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                    const std::wstring& localPath) override;
  bool GetUpgradeMap(AbortMethod& abortHandler) override;

  bool ShareMapMode() const;
  bool BuildMapFromTree();
  bool CopyStopped() const override { return copyStopped_; }

  CopyProgressEvent CopyProgress;
  AbortMethod DiskSavedAbortHandler;

 private:
  bool copyStopped_ = false;
};

}  // namespace dorvex

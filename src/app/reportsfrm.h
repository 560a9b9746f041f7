// The report browser: the dated session reports of the repository as a tree of years,
// months, days and report times; a double click opens a report in the system's text viewer.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ui/modal.h"

namespace dorvex {

class TReportsForm : public ui::TModalForm {
 public:
  TReportsForm();
  ~TReportsForm() override;
  // Builds the tree for a repository directory; raises Error when it has no reports directory.
  void ShowReports(const std::wstring& repository);

  HWND TreeView() const { return tree_; }
  HWND PathLabel() const { return label_; }
  // The data of a node: its caption, or for a report its file's full path.
  std::wstring NodeData(HTREEITEM item) const;
  std::wstring NodeText(HTREEITEM item) const;

  void TreeViewChange();
  void TreeViewDblClick();

 protected:
  void CreateForm(HWND owner) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  HTREEITEM AddNode(HTREEITEM parent, const std::wstring& text, int icon, const std::wstring* data);
  void ScanReportsDir(HTREEITEM node, int level, const std::wstring& dir);
  std::wstring Caption(HTREEITEM item) const;

  HWND tree_ = nullptr;
  HWND label_ = nullptr;
  HIMAGELIST icons_ = nullptr;
};

}  // namespace dorvex

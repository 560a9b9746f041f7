// The repository manager: the repository as a tree of programs, version steps and files with
// their sizes, steps already installed shown greyed, deletion of a step's directory, and the
// start of the floppy writer.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/routines.h"
#include "settings/programs.h"
#include "transfer/uploadfrm.h"
#include "ui/modal.h"

namespace dorvex {

bool IsStepDirName(const std::wstring& name);

class TUpgradeManagerForm : public ui::TModalForm {
 public:
  TUpgradeManagerForm(TProgramList* programs, std::wstring sessionTempDir);
  ~TUpgradeManagerForm() override;

  // Asked before a step's directory is deleted: false refuses the deletion; what it hands back
  // is held until the directory is gone (the main window's session lock).
  std::function<bool(HWND owner, std::shared_ptr<void>& hold)> BeforeDelete;

  void FormCreate();
  void FormDestroy();
  void BuildRepositoryTree();
  void ScanRepositoryDir(HTREEITEM node, int level, const std::wstring& directory);
  void TreeViewChange();
  void TreeViewDeletion(HTREEITEM node, LPARAM data);
  int TreeViewGetSelectedIndex(HTREEITEM node) const;
  void TreeViewKeyDown(WORD key);
  void DeleteBtnClick();
  void MoireCheckBoxClick();
  void UploadBtnClick();

  // The directory a step node stands for, as deletion would remove it.
  std::wstring StepDirectory(HTREEITEM node) const { return DirectoryOf(node); }
  // What the tests look at.
  HWND TreeView() const { return tree_; }
  HWND DeleteBtn() const { return delete_; }
  HWND UploadBtn() const { return upload_; }
  HWND MoireCheckBox() const { return moire_; }
  HWND DirLabel() const { return dirLabel_; }
  const UploadPathMap& PathMap() const { return pathMap_; }
  const std::vector<HTREEITEM>& ObsoleteNodes() const { return obsolete_; }
  int KindOf(HTREEITEM node) const;
  bool IsGreyed(HTREEITEM node) const;
  std::wstring TextOf(HTREEITEM node) const;
  HTREEITEM FindNode(const std::wstring& path) const;  // by texts joined with "/", from the root's children
  int LiveNodeData() const { return liveData_; }

 protected:
  void CreateForm(HWND owner) override;
  void Command(int id, int code, HWND control) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  struct NodeData {
    int Kind = 0;
    TProgram* Program = nullptr;
    std::wstring Step;
    std::wstring Name;  // the node's own directory name, for programs, "repair" and steps
    std::wstring Sort;  // the text the node sorts by
    bool Obsolete = false;
    bool Greyed = false;
  };
  HTREEITEM AddNode(HTREEITEM parent, const std::wstring& text, int kind, TProgram* program = nullptr,
                    const std::wstring& step = L"");
  NodeData* DataOf(HTREEITEM node) const;
  std::wstring DirectoryOf(HTREEITEM node) const;  // from the node's chain of parents
  static int CALLBACK CompareNodes(LPARAM a, LPARAM b, LPARAM self);
  void Forget(HTREEITEM node);  // drops a node and everything below it from the lists
  static LRESULT CALLBACK TreeProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

  TProgramList* programs_;
  std::wstring sessionTempDir_;
  UploadPathMap pathMap_;
  std::vector<HTREEITEM> obsolete_;
  int liveData_ = 0;
  HWND tree_ = nullptr, delete_ = nullptr, upload_ = nullptr, moire_ = nullptr, dirLabel_ = nullptr;
  HWND tips_ = nullptr;
  HIMAGELIST icons_ = nullptr;
  TVisitedDirs visited_;
};

}  // namespace dorvex

// dialogshots OUTDIR /CONF:settings.ini
// Opens every page of the settings dialogs over a prepared settings file and a prepared
// directory tree, the main window's four pages, the report browser and the emergency-update
// choice, and saves each, as the screen shows it, into OUTDIR as a 24-bit BMP file.
// Used by scripts/dialog-screenshots under Wine on the virtual display.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/mainfrm.h"
#include "app/report.h"
#include "app/reportsfrm.h"
#include "common/clock.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/optionsfrm.h"
#include "dialogs/optionsprogramsautofindfrm.h"
#include "dialogs/optionsprogramseditfrm.h"
#include "repository/repairselectfrm.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/modal.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"
#include "windowbmp.h"

using namespace dorvex;

namespace {
std::wstring g_out;
int g_failures = 0;


void Shot(HWND window, const std::wstring& name) {
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  ui::Sleep(400);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  ui::Sleep(100);
  if (!dorvex::tools::SaveWindowBmp(window, g_out + name + L".bmp")) ++g_failures;
  wprintf(L"%ls\n", name.c_str());
}

// Each modal form shown runs the next action of the queue.
std::vector<std::function<void(HWND)>> g_actions;
void Queue(std::function<void(HWND)> action) { g_actions.push_back(std::move(action)); }

class FakePhoneBook : public TRasPhoneBook {
 public:
  int mode = 0;  // 0 entries, 1 empty
  bool Available() override { return true; }
  unsigned long ListEntries(std::vector<std::wstring>& names) override {
    if (mode == 0) names = {L"Ростелеком", L"Провайдер Связь-Инфо", L"Резервный модем"};
    return 0;
  }
  std::wstring EntryUserName(const std::wstring& e) override { return e == L"Ростелеком" ? L"client042" : L"user"; }
  unsigned long EditEntry(HWND, const std::wstring&) override { return 0; }
  unsigned long CreateEntry(HWND) override { return 0; }
  std::wstring ErrorText(unsigned long code) override { return WindowsErrorText(code); }
};

void Press(HWND form, int id) { PostMessageW(form, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  g_out = IncludeTrailingBackslash(argv[1]);
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  ui::SetApplicationTitle(L"Доставка обновлений");
  ui::SetMessageBoxHandler([](const ui::MessageBoxRequest& r) { return (r.flags & MB_YESNO) ? IDYES : IDOK; });
  BindSystemDownload();
  BuildCatalogue(nullptr, nullptr, nullptr);
  LoadSettings();
  ui::SetModalHook([](HWND form) {
    if (g_actions.empty()) {
      PostMessageW(form, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    auto action = g_actions.front();
    g_actions.erase(g_actions.begin());
    action(form);
  });

  FakePhoneBook book;
  const wchar_t* names[] = {L"options-1-common", L"options-2-programs", L"options-3-connection",
                            L"options-4-proxy",  L"options-5-dialup-list", L"options-6-service"};
  {
    TOptionsForm options;
    options.SetPhoneBook(&book);
    Queue([&](HWND form) {
      for (int page = 0; page < TOptionsForm::kPageCount; ++page) {
        options.SelectPage(page);
        Shot(form, names[page]);
      }
      options.SelectPage(TOptionsForm::ConnectionPage);
      // Sent, not posted: each protocol page runs its own modal loop and returns first.
      SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_CONN_FTP_SETUP, BN_CLICKED), 0);
      SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_CONN_HTTP_SETUP, BN_CLICKED), 0);
      SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_CONN_DISK_SETUP, BN_CLICKED), 0);
      Press(form, IDCANCEL);
    });
    Queue([](HWND f) { Shot(f, L"protocol-1-ftp"); Press(f, IDCANCEL); });
    Queue([](HWND f) { Shot(f, L"protocol-2-http"); Press(f, IDCANCEL); });
    Queue([](HWND f) { Shot(f, L"protocol-3-disk"); Press(f, IDCANCEL); });
    options.ShowModal(nullptr);
  }
  {
    book.mode = 1;
    TOptionsForm options;
    options.SetPhoneBook(&book);
    Queue([&](HWND form) {
      options.SelectPage(TOptionsForm::RasPage);
      Shot(form, L"options-5-dialup-empty");
      Press(form, IDCANCEL);
    });
    options.ShowModal(nullptr);
  }
  {
    TOptionsForm options;
    Queue([&](HWND form) {
      options.SelectPage(TOptionsForm::RasPage);
      Shot(form, L"options-5-dialup-not-installed");
      Press(form, IDCANCEL);
    });
    options.ShowModal(nullptr);
  }
  // The editor: a console program, the third line's program, a load-only program's version page.
  auto editor = [](const std::wstring& id, bool virtualUpgrade, const std::wstring& name) {
    TOptionsProgramsEditForm ed;
    ed.EnsureCreated(nullptr);
    ed.SetPrograms(*ProgramCatalogue());
    TProgram& p = *ProgramCatalogue()->FindByID(id);
    p.VirtualUpgrade = virtualUpgrade;
    p.VirtualVersion = virtualUpgrade ? 412 : 0;
    p.ExeDir = virtualUpgrade ? L"" : L"C:\\VOREL\\" + p.ExeName.substr(0, p.ExeName.size() - 4) + L"\\";
    p.UpgradeDir = p.UpgradeInExeDir || virtualUpgrade ? L"" : p.ExeDir + L"Upgrade\\";
    ed.EditProgram(p);
    Queue([name](HWND f) { Shot(f, name); Press(f, IDCANCEL); });
    ed.ShowModal(nullptr);
  };
  editor(L"Lavik", false, L"editor-1-console");
  editor(L"Tesk", false, L"editor-2-third-line");
  editor(L"Buh", true, L"editor-3-version");
  // Auto-find over the tree the script prepared (its path in DORVEX_SHOT_TREE).
  wchar_t tree[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"DORVEX_SHOT_TREE", tree, MAX_PATH);
  SetDriveListSource([&] {
    return std::vector<DriveRoot>{{tree, DRIVE_FIXED}, {L"N:\\", DRIVE_REMOTE}};
  });
  {
    TOptionsProgramsAutoFindForm finder;
    finder.EnsureCreated(nullptr);
    finder.SetPrograms(ProgramCatalogue());
    bool shotSearch = false;
    finder.OnDirectory = [&](const std::wstring& dir) {
      if (!shotSearch && dir.find(L"Lavik") != std::wstring::npos) {
        shotSearch = true;
        Shot(finder.Handle(), L"autofind-2-searching");
      }
    };
    Queue([&](HWND f) {
      Shot(f, L"autofind-1-parameters");
      SendMessageW(finder.Item(IDC_AF_NETWORK), BM_SETCHECK, BST_UNCHECKED, 0);
      finder.SearchBtnClick();
      ui::WaitUntil([&] { return finder.ActivePage() == TOptionsProgramsAutoFindForm::ResultsPage; }, 60000);
      Shot(f, L"autofind-3-results");
      Press(f, IDCANCEL);
    });
    finder.ShowModal(nullptr);
  }
  {
    SetDriveListSource([&] { return std::vector<DriveRoot>{{std::wstring(tree) + L"Empty\\", DRIVE_FIXED}}; });
    TOptionsProgramsAutoFindForm finder;
    finder.EnsureCreated(nullptr);
    finder.SetPrograms(ProgramCatalogue());
    Queue([&](HWND f) {
      finder.SearchBtnClick();
      ui::WaitUntil([&] { return finder.ActivePage() == TOptionsProgramsAutoFindForm::ResultsPage; }, 60000);
      Shot(f, L"autofind-4-nothing-found");
      Press(f, IDCANCEL);
    });
    finder.ShowModal(nullptr);
  }
  // Last: the main window takes the delivery list over, and its end releases it.
  // The main window, each of its pages in turn, over the settings' delivery list.
  try {
    TMainForm main;
    main.Create();
    main.Show();
    ui::ProcessMessages();
    const wchar_t* pages[] = {L"main-1-idle", L"main-2-session", L"main-3-pause", L"main-4-report"};
    for (int page = 0; page < 4; ++page) {
      main.ShowPage(page);
      Shot(main.Handle(), pages[page]);
    }
    // The emergency-update choice, as Ctrl with the Run button opens it.
    if (TProgramList* list = ProgramCatalogue()) {
      TRepairSelectForm choice(*list);
      Queue([](HWND f) {
        Shot(f, L"emergency-choice");
        Press(f, IDCANCEL);
      });
      choice.ShowModal(main.Handle());
    }
    // The report browser over a repository with a few reports of two months.
    const std::wstring repository = Settings().UpgradeFilesDir;
    const TDateTime days[] = {EncodeDateTime(2026, 11, 3, 9, 15, 2), EncodeDateTime(2026, 11, 17, 14, 40, 9),
                              EncodeDateTime(2026, 12, 1, 8, 5, 44)};
    for (TDateTime d : days) {
      const std::wstring path = DatedReportPath(repository, d);
      ForceDirectories(ExtractFilePath(path));
      WriteTextLines(path, {L"Отчет о работе программы доставки обновлений", L"Обновления загружены."}, nullptr);
    }
    TReportsForm browser;
    browser.EnsureCreated(main.Handle());
    browser.ShowReports(repository);
    Queue([&](HWND f) {
      HWND tree = browser.TreeView();
      for (HTREEITEM n = TreeView_GetRoot(tree); n; n = TreeView_GetNextVisible(tree, n))
        TreeView_Expand(tree, n, TVE_EXPAND);
      HTREEITEM last = TreeView_GetRoot(tree);
      for (HTREEITEM n = last; n; n = TreeView_GetNextVisible(tree, n)) last = n;
      TreeView_SelectItem(tree, last);
      Shot(f, L"reports-browser");
      Press(f, IDCANCEL);
    });
    browser.ShowModal(main.Handle());
    main.Close();
  } catch (const Error& e) {
    wprintf(L"main window: %ls\n", e.Message().c_str());
    ++g_failures;
  }

  return g_failures == 0 ? 0 : 1;
}

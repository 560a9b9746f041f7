#include "upgrade/catalogue.h"

#include "upgrade/boosters.h"
#include "upgrade/controllers.h"

namespace dorvex {

namespace {
struct Row {
  ProgramKind kind;
  const wchar_t* id;
  const wchar_t* title;
  const wchar_t* description;
  const wchar_t* exeName;
  const wchar_t* upgradeExeName;
};

// 5 Windows programs, 7 console programs, 2 more Windows programs, 1 of the third line.
const Row kRows[] = {
    {ProgramKind::Corvend, L"Buh", L"Корвенд-Бухгалтерия", L"Бухгалтерский учет и отчетность", L"CvBuh.exe", L"CvUpgrade.exe"},
    {ProgramKind::Corvend, L"Sklad", L"Корвенд-Склад", L"Складской учет", L"CvSklad.exe", L"CvUpgrade.exe"},
    {ProgramKind::Corvend, L"Kadry", L"Корвенд-Кадры", L"Кадры и заработная плата", L"CvKadry.exe", L"CvUpgrade.exe"},
    {ProgramKind::Corvend, L"Bank", L"Корвенд-Банк", L"Банковские документы", L"CvBank.exe", L"CvUpgrade.exe"},
    {ProgramKind::Corvend, L"Nalog", L"Корвенд-Отчетность", L"Налоговая отчетность", L"CvNalog.exe", L"CvUpgrade.exe"},
    {ProgramKind::Dos, L"Lavik", L"Лавик", L"Лавик для DOS", L"LAVIK.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"Mek", L"МЭК", L"МЭК для DOS", L"MEK.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"Vosta", L"Воста", L"Воста для DOS", L"VOSTA.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"DBuh", L"Бухгалтерия DOS", L"Бухгалтерия для DOS", L"DBUH.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"DSklad", L"Склад DOS", L"Склад для DOS", L"DSKLAD.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"DKadry", L"Кадры DOS", L"Кадры для DOS", L"DKADRY.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Dos, L"DKassa", L"Касса DOS", L"Касса для DOS", L"DKASSA.EXE", L"UPGRADE.EXE"},
    {ProgramKind::Corvend, L"Kassa", L"Корвенд-Касса", L"Кассовые операции", L"CvKassa.exe", L"CvUpg2.exe"},
    {ProgramKind::Corvend, L"Torg", L"Корвенд-Торговля", L"Торговля и склад", L"CvTorg.exe", L"CvUpg2.exe"},
    {ProgramKind::Tesk, L"Tesk", L"Теск", L"Теск — учет договоров", L"Tesk32.exe", L"UPGRADE.EXE"},
};

ControllerClass ControllerOf(ProgramKind kind) {
  switch (kind) {
    case ProgramKind::Corvend: return &MakeController<TCorvendVersionController>;
    case ProgramKind::Dos: return &MakeController<TDosVersionController>;
    case ProgramKind::Tesk: return &MakeController<TTeskVersionController>;
  }
  return nullptr;
}

BoosterClass BoosterOf(ProgramKind kind) {
  switch (kind) {
    case ProgramKind::Corvend: return &MakeBooster<TCorvendUpgradeBooster>;
    case ProgramKind::Dos: return &MakeBooster<TDosUpgradeBooster>;
    case ProgramKind::Tesk: return &MakeBooster<TTeskUpgradeBooster>;
  }
  return nullptr;
}
}  // namespace

void AddCatalogueRows(TProgramList& list) {
  for (const Row& r : kRows) {
    TProgram& p = list.AddProgram(r.id, L"", r.kind, BoosterOf(r.kind), ControllerOf(r.kind), r.upgradeExeName,
                                  r.exeName, r.description, r.title);
    if (r.kind == ProgramKind::Tesk) p.UpgradeInExeDir = true;
  }
}

void BuildCatalogue(TrafficHandler onTraffic, ConnectionHandler onConnectionState, MessageHandler onMessage) {
  if (ProgramCatalogue()) return;
  auto list = std::make_unique<TProgramList>();
  AddCatalogueRows(*list);
  for (const auto& p : *list) {
    p->OnTraffic = onTraffic;
    p->OnConnectionState = onConnectionState;
    p->OnMessage = onMessage;
  }
  list->LoadFromIni();
  SetProgramCatalogue(std::move(list));
}

}  // namespace dorvex

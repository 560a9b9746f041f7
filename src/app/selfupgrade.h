// The agent's own upgrades. The publisher ships a new dorvex.exe through a map like the
// programs' ones ("Dorvex.nrm" with its signature, [MapInfo] ProgramID=Dorvex, one section per
// published version named major.minor.build). A session fetches it from its source while it is
// connected; the verified file replaces the running executable only after the upgrade phase:
// put beside it under a temporary name, the running file renamed, the new one renamed into its
// place and started with /selftest; when that does not end with 0 the old file is put back.
#pragma once

#include <functional>
#include <string>

#include "common/callbacks.h"
#include "common/versions.h"
#include "settings/programs.h"

namespace dorvex {

using LineHandler = std::function<void(const std::wstring&)>;

// True when this session may fetch the agent's map: a key in the settings, no emergency run,
// and [SelfUpgrade] Enabled not 0.
bool SelfUpgradeWanted();

// While the session is connected: fetches and judges the agent's map from the configured source,
// fetches the newest version above the running one into the repository and checks it. Every
// outcome is one line for the session's record.
void FetchAgentUpgrade(ProtocolClassRef source, const std::wstring& tempDir, AbortMethod& abortHandler,
                       const LineHandler& say, const StageTextHandler& stage);

// After a floppy set was read: judges the agent's map, signature and newest file the set carried
// (joined in setDir as they lie in the repository's folder of the agent) as a fetch from a source
// would, and places what holds into the repository to wait for the end of the session.
void TakeAgentFromSet(const std::wstring& setDir, const LineHandler& say);

// After the upgrade phase: puts a verified new version in place of the running executable.
void InstallAgentUpgrade(const LineHandler& say);

// At every start: removes what an earlier swap left behind (the renamed old file, an unfinished
// temporary copy).
void RemoveReplacedAgent();

// /selftest: loads the settings and the program list without a window; the process's exit code.
int AgentSelfTest();

// May this process create and rename files in the folder? One question, asked before the swap.
bool MayWriteFolder(const std::wstring& dir);

}  // namespace dorvex

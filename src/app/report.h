// The session report: composed line by line from the session's record and the settings in
// force, filed under the repository's "Reports" tree and beside the program.
#pragma once

#include <string>
#include <vector>

#include "common/clock.h"
#include "settings/programs.h"

namespace dorvex {

struct ReportInput {
  std::vector<std::wstring> sessionLines;
  int64_t bytesSent = 0;
  int64_t bytesReceived = 0;
  TDateTime start = 0;
  TDateTime end = 0;
};

struct ComposedReport {
  std::vector<std::wstring> lines;     // the whole report
  std::vector<std::wstring> protocol;  // what the report page shows: from the protocol heading on
};

// The report's lines, for the programs of the list (may be null) and the current settings.
ComposedReport ComposeReport(const ReportInput& input, const TProgramList* programs);

// The dated file of a session that ended at the given time: Reports\yyyy\mm\ddhhnnss.txt.
std::wstring DatedReportPath(const std::wstring& repository, TDateTime end);
// The fixed report: beside the program in the portable layout, beside the settings in the
// installed one (settings/datalayout.h).
std::wstring FixedReportPath();

// Records a text in the Windows event log (application log, source "Дорвекс"): where an
// unattended run tells what it could not put in its report.
void ReportToEventLog(const std::wstring& text);

// Writes lines in the ANSI code page, joined by CR LF; false with the Windows error on failure.
bool WriteTextLines(const std::wstring& path, const std::vector<std::wstring>& lines, unsigned long* error);

}  // namespace dorvex

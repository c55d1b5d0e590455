// What tolvane-getlog tells: the lines of standard error after a request,
// from its report, and the --list text, from a plan. Each function returns
// whole lines without their line feed; the caller prints them.

#ifndef TOLVANE_TOOLS_RENDERING_H_
#define TOLVANE_TOOLS_RENDERING_H_

#include <string>
#include <vector>

#include "Options.h"
#include "tolvane_report.h"

namespace tolvane_getlog {

// `text` with each control byte, DEL and backslash written as a visible
// escape (\n, \t, \\, \x01), so that a file name stays on one line and sends
// the terminal nothing it would act on. Bytes from 0x80 up (UTF-8) pass.
std::string Escaped(const std::string& text);

// What `report` tells of the request `options` asked for, in this order:
// the position's warnings, the --since warning, the missing generations,
// the damaged pieces, what --max-size dropped (with a cursor file), the
// rotation the run ends before, the pieces left out and the failure.
std::vector<std::string> ReportLines(const Options& options,
                                     const nq_tolvane::Report& report);

// The last line of a run that signal `signal` stopped.
std::string StoppedLine(int signal);
// The last line of a request that did not complete.
std::string IncompleteLine(const Options& options);
// The last line when --to-command's COMMAND did not exit 0: `waitStatus` is
// its status as waitpid() gives it, or -1 when it is not known.
std::string CommandFailedLine(const Options& options, int waitStatus);

// The --list text: a line naming the tab-separated fields, one line per
// piece (with a selection also when it ended and whether it is selected),
// then lines that start with '#' for what the plan found.
std::string ListHeader(const Options& options);
std::string PieceLine(const Options& options,
                      const nq_tolvane::PlannedPiece& piece);
std::vector<std::string> ListFooter(const Options& options,
                                    const nq_tolvane::Plan& plan);
// All of it for a plan that kept its pieces.
std::vector<std::string> ListLines(const Options& options,
                                   const nq_tolvane::Plan& plan);

}  // namespace tolvane_getlog

#endif  // TOLVANE_TOOLS_RENDERING_H_

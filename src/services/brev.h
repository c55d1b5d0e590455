// The device's brev debug-log facility.
//
// Every message goes to syslog(3) at priority `level` under the ident "brev".
// When the environment variable BREV_STDERR holds a level 0 to 7, messages
// of that level or a more severe one (a lower number) are also written to
// stderr as one line: "<level> <sourceFile>: <text>\n". Safe to call from
// any thread; never fails towards its caller.

#ifndef TOLVANE_SRC_SERVICES_BREV_H_
#define TOLVANE_SRC_SERVICES_BREV_H_

#include "tolvane_export.h"

extern "C" TOLVANE_EXPORT void __brev_printf(int level, const char* sourceFile,
                                             const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // TOLVANE_SRC_SERVICES_BREV_H_

#include "diagnostics/CapsReport.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"

int RunDevCaps(std::ostream& out) {
    char report[kCapsReportSize];
    BuildCapsReport(report);
    out << report;
    out.flush();
    if (!out) {
        throw CliError(kExitOutputUnwritable, "cannot write the report to the standard output");
    }
    return kExitOk;
}

#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Extras.h"

int RunDevCaps(std::ostream& out) {
    char report[kCapsReportSize];
    Extras().BuildCapsReport(report);
    out << report;
    out.flush();
    if (!out) {
        throw CliError(kExitOutputUnwritable, "cannot write the report to the standard output");
    }
    return kExitOk;
}

#include "app/MainForm.h"
#include "diagnostics/CapsReport.h"

void TForm1::Button2Click(TObject* /*Sender*/) {
    char report[kCapsReportSize];
    BuildCapsReport(report);
    Application->MessageBox(report, "Soundcard Device Capabilities", MB_OK);
}

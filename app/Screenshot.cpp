// Draws the main window as a person sees it while a steady 3000 RPM reading is shown, and
// writes the picture as PNG: `velmorant-screenshot FILE.png`. Runs on the offscreen desktop
// unless QT_QPA_PLATFORM names another.
#include "app/MainForm.h"
#include "display/Oscilloscope.h"
#include "display/Readout.h"
#include "measure/BlockAnalysis.h"
#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "signal/TestSignal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmorant-screenshot FILE.png\n");
        return 2;
    }
    const std::string path = argv[1];
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    application.Initialize();
    application.SetTitle("Velmorant");
    application.CreateForm(Form1);

    // One impulse per revolution at 50 Hz, as the capture cycle would show a completed block.
    const SampleBlock block = SineBlock(50.0, 10000.0);
    const BlockReading reading = AnalyseBlock(block, 1);
    ShowReading(*Form1->FreqLabel, reading);
    DrawScopeFrame(*Form1->Image1);
    DrawScopeTrace(*Form1->Image1, block, reading.FullRms);

    const auto picture = GrabClientArea(*Form1);
    if (!SavePng(*picture, path)) {
        std::fprintf(stderr, "velmorant-screenshot: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %dx%d, readout %d RPM\n", path.c_str(), picture->Width(), picture->Height(),
                int(reading.Rpm));
    return 0;
}

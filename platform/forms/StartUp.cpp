#include "platform/forms/StartUp.h"

#include "platform/forms/Forms.h"

#include <string>

struct InstanceTag {};

int RunWinMain(int argc, char** argv, const char* version, const char* desktopId) {
    static InstanceTag instance;
    TApplication application(argc, argv);
    application.SetVersion(version != nullptr ? version : "");
    if (desktopId != nullptr) {
        application.SetDesktopId(desktopId);
    }
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    return WinMain(&instance, nullptr, commandLine.data(), SW_SHOWDEFAULT);
}

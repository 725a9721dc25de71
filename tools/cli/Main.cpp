#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <cstdlib>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
    InstallStopHandlers();
    // Colour is for people at a terminal; NO_COLOR is the common way to turn it off.
    const bool colour = isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
    return RunCli(argc, argv, std::cout, std::cerr, colour);
}

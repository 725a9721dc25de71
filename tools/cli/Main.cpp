#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <iostream>

int main(int argc, char** argv) {
    InstallStopHandlers();
    return RunCli(argc, argv, std::cout, std::cerr);
}

// The process's entry for a program written against WinMain.
#include "platform/forms/StartUp.h"

int main(int argc, char** argv) {
    return RunWinMain(argc, argv, VELMORANT_VERSION, VELMORANT_DESKTOP_ID);
}

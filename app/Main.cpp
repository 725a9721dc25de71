// The program's entry, called by the platform's start-up with the application object in place.
#include "app/MainForm.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StartUp.h"

#include <exception>

int WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
            int /*showCommand*/) {
    try {
        Application->Initialize();
        Application->SetTitle("Velmorant");
        Application->CreateForm(Form1);
        Application->Run();
    } catch (const std::exception& exception) {
        Application->ShowException(exception);
    } catch (...) {
        Application->ShowException(Exception("An unknown error occurred"));
    }
    return 0;
}

// placeholder: the device report arrives with the diagnostics work.
#include "app/MainForm.h"

void TForm1::Button2Click(TObject* /*Sender*/) {}

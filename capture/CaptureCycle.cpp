// placeholder: the capture cycle's handlers arrive with the capture work.
#include "app/MainForm.h"

void TForm1::Button1Click(TObject* /*Sender*/) {}

void TForm1::StopButtonClick(TObject* /*Sender*/) {}

void TForm1::FormClose(TObject* /*Sender*/, TCloseAction& /*Action*/) {}

void TForm1::MMWimData(TMessage& /*Message*/) {}

bool TForm1::RequeueBuffer(std::int32_t /*index*/) {
    return false;
}

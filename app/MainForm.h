// The main window: every control of the tachometer, the capture fields, and the handlers the
// buttons, the close event and the capture device's completion message reach.
//
// Thread: user-interface thread only. The form is created once, by WinMain, as the
// application's main form.
#pragma once

#include "platform/forms/ExtCtrls.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"
#include "platform/wave/WaveAudio.h"

#include <cstdint>

class TForm1 : public TForm {
public:
    // Controls, created by the constructor from the form's layout; owned by the form.
    TGroupBox* GroupBox1 = nullptr;
    TShape* Shape1 = nullptr;
    TLabel* FreqLabel = nullptr; // the readout
    TLabel* Label2 = nullptr;
    TButton* Button1 = nullptr; // "&Start"
    TComboBox* ComboBox1 = nullptr;
    TGroupBox* GroupBox3 = nullptr;
    TButton* Button2 = nullptr; // "DevCaps"
    TImage* Image1 = nullptr;   // the oscilloscope, 177 x 145
    TButton* StopButton = nullptr;
    TGroupBox* GroupBox2 = nullptr;
    TLabel* Label1 = nullptr;
    TComboBox* ImpPerRevCombo = nullptr; // impulses per revolution, "1" to "6"
    TLabel* Label3 = nullptr;

    // Capture fields. Between queuing a buffer and its completion message the device holds
    // that buffer and its header.
    std::int16_t SampleBuffers[2][8192]; // buffer 1 follows buffer 0 directly
    std::int32_t CurrentBuffer;          // 0 or 1: the buffer whose completion comes next
    std::int32_t Recording;              // 1 while capture runs
    HWAVEIN WaveInHandle;
    WAVEHDR WaveHeaders[2]; // header i describes buffer i

    // Builds the window from its layout, resets the capture fields, draws the empty scope and
    // selects 1 impulse per revolution.
    explicit TForm1(TComponent* Owner);

    void Button1Click(TObject* Sender);    // Start
    void StopButtonClick(TObject* Sender); // Stop
    void FormClose(TObject* Sender, TCloseAction& Action);
    void Button2Click(TObject* Sender); // DevCaps
    // A capture buffer is complete (MM_WIM_DATA).
    void MMWimData(TMessage& Message);
    // Arms header `index` and queues its buffer; true when the device took it.
    bool RequeueBuffer(std::int32_t index);
    // Analyses buffer CurrentBuffer and shows the reading and trace, if the device filled it
    // whole; a short buffer leaves the screen as it is.
    void ShowCompletedBlock();
    // Takes every buffer back from the open input device at once and closes it.
    void AbandonDevice();

    // MM_WIM_DATA goes to MMWimData; every other message to the inherited dispatch.
    void Dispatch(TMessage& Message) override;
};

// The one main form, set when the application creates it.
extern TForm1* Form1;

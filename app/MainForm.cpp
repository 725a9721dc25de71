#include "app/MainForm.h"

#include "display/Oscilloscope.h"
#include "platform/forms/FormDescription.h"

#include <cstring>
#include <string_view>

TForm1* Form1 = nullptr;

namespace {

constexpr std::string_view kFilterItems[] = {"Unfiltered", "A 440", "C 262"};
constexpr std::string_view kImpulseItems[] = {"1", "2", "3", "4", "5", "6"};

constexpr std::string_view kNoteText =
    "This is a quick hack from the Harlenby. Results are not thoroughly tested. Uses 22050Hz "
    "sampling, 8192 sample buffer. Advise 8Hz minimum impulse rate for meaningful results. If "
    "more than one impulse/rev they must be evenly spaced.";

constexpr TFontDescription kReadoutFont{"Arial", -48, clLime, fsBold, ANSI_CHARSET};
constexpr TFontDescription kUnitFont{"Arial", -21, clLime, fsBold, ANSI_CHARSET};

// The window, control by control in creation order, which is also the stacking order: the
// black shape comes before the two labels that draw their lime figures over it.
// Labels other than the readout size themselves to their text (the sizes given are what that
// gave with the original faces), so the substitute faces never clip a caption.
using Row = TControlDescription<TForm1>;
const Row kControls[] = {
    {.Control = &TForm1::Label3,
     .Name = "Label3",
     .Left = 8,
     .Top = 176,
     .Width = 235,
     .Height = 78,
     .Caption = kNoteText,
     .WordWrap = true},
    {.Control = &TForm1::GroupBox1,
     .Name = "GroupBox1",
     .Left = 8,
     .Top = 8,
     .Width = 241,
     .Height = 97,
     .Caption = "Frequency",
     .TabOrder = 0},
    {.Control = &TForm1::Shape1,
     .Name = "Shape1",
     .Parent = "GroupBox1",
     .Left = 8,
     .Top = 16,
     .Width = 225,
     .Height = 73,
     .Shape = stRectangle,
     .BrushColor = clBlack},
    {.Control = &TForm1::FreqLabel,
     .Name = "FreqLabel",
     .Parent = "GroupBox1",
     .Left = 8,
     .Top = 24,
     .Width = 161,
     .Height = 56,
     .Caption = "0",
     .Alignment = taRightJustify,
     .AutoSize = false,
     .Color = clBlack,
     .Font = kReadoutFont},
    {.Control = &TForm1::Label2,
     .Name = "Label2",
     .Parent = "GroupBox1",
     .Left = 176,
     .Top = 48,
     .Width = 46,
     .Height = 24,
     .Caption = "RPM",
     .Color = clBlack,
     .Font = kUnitFont},
    {.Control = &TForm1::Button1,
     .Name = "Button1",
     .Left = 384,
     .Top = 192,
     .Width = 73,
     .Height = 25,
     .Caption = "&Start",
     .TabOrder = 1,
     .OnClick = &TForm1::Button1Click},
    {.Control = &TForm1::ComboBox1,
     .Name = "ComboBox1",
     .Left = 280,
     .Top = 192,
     .Width = 81,
     .Height = 21,
     .Caption = "Unfiltered",
     .Items = kFilterItems,
     .TabOrder = 2,
     .Enabled = false,
     .Style = csDropDown,
     .ItemHeight = 13},
    {.Control = &TForm1::GroupBox3,
     .Name = "GroupBox3",
     .Left = 264,
     .Top = 8,
     .Width = 193,
     .Height = 169,
     .Caption = "Oscilloscope",
     .TabOrder = 3},
    {.Control = &TForm1::Image1,
     .Name = "Image1",
     .Parent = "GroupBox3",
     .Left = 8,
     .Top = 16,
     .Width = 177,
     .Height = 145},
    {.Control = &TForm1::Button2,
     .Name = "Button2",
     .Left = 288,
     .Top = 224,
     .Width = 73,
     .Height = 25,
     .Caption = "DevCaps",
     .TabOrder = 4,
     .OnClick = &TForm1::Button2Click},
    {.Control = &TForm1::StopButton,
     .Name = "StopButton",
     .Left = 384,
     .Top = 224,
     .Width = 75,
     .Height = 25,
     .Caption = "Sto&p",
     .TabOrder = 5,
     .OnClick = &TForm1::StopButtonClick},
    {.Control = &TForm1::GroupBox2,
     .Name = "GroupBox2",
     .Left = 8,
     .Top = 112,
     .Width = 241,
     .Height = 57,
     .Caption = "Settings",
     .TabOrder = 6},
    {.Control = &TForm1::Label1,
     .Name = "Label1",
     .Parent = "GroupBox2",
     .Left = 16,
     .Top = 24,
     .Width = 108,
     .Height = 13,
     .Caption = "Impulses per revolution"},
    {.Control = &TForm1::ImpPerRevCombo,
     .Name = "ImpPerRevCombo",
     .Parent = "GroupBox2",
     .Left = 136,
     .Top = 24,
     .Width = 57,
     .Height = 21,
     .Items = kImpulseItems,
     .TabOrder = 0,
     .Style = csDropDownList,
     .ItemHeight = 13},
};

const TFormDescription<TForm1> kForm1{
    .Left = 279,
    .Top = 383,
    .ClientWidth = 466,
    .ClientHeight = 258,
    .BorderStyle = bsSingle,
    .Caption = "RPM indicator, from Quillet v1.3beta",
    .Font = {"MS Sans Serif", -11, clWindowText, 0, DEFAULT_CHARSET},
    .OnClose = &TForm1::FormClose,
    .Controls = kControls,
};

} // namespace

TForm1::TForm1(TComponent* Owner) : TForm(Owner) {
    LoadForm(*this, kForm1);

    // The input device this form opens announces each completed buffer to its window as
    // MM_WIM_DATA; the form library's thread-safe post carries it to Dispatch.
    SetWaveInWindowNotifier(&PostMessage);

    CurrentBuffer = 0;
    Recording = 0;
    WaveInHandle = nullptr;
    std::memset(SampleBuffers, 0, sizeof(SampleBuffers));
    for (WAVEHDR& header : WaveHeaders) {
        header = WAVEHDR{};
    }

    DrawScopeFrame(*Image1);
    ImpPerRevCombo->SetItemIndex(0);
}

void TForm1::Dispatch(TMessage& Message) {
    if (Message.Msg == MM_WIM_DATA) {
        MMWimData(Message);
    } else {
        TForm::Dispatch(Message);
    }
}

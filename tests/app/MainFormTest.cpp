// The main window as built: every control where the layout puts it, the start-up state, the
// wiring of buttons and close, and what the screen shows.
#include "app/MainForm.h"

#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "platform/forms/StartUp.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

enum class Kind { Label, Button, ComboBox, GroupBox, Shape, Image };

bool IsKind(const TControl* control, Kind kind) {
    switch (kind) {
    case Kind::Label:
        return dynamic_cast<const TLabel*>(control) != nullptr;
    case Kind::Button:
        return dynamic_cast<const TButton*>(control) != nullptr;
    case Kind::ComboBox:
        return dynamic_cast<const TComboBox*>(control) != nullptr;
    case Kind::GroupBox:
        return dynamic_cast<const TGroupBox*>(control) != nullptr;
    case Kind::Shape:
        return dynamic_cast<const TShape*>(control) != nullptr;
    case Kind::Image:
        return dynamic_cast<const TImage*>(control) != nullptr;
    }
    return false;
}

std::string TextOf(const TControl* control) {
    if (const auto* label = dynamic_cast<const TLabel*>(control)) {
        return label->Caption();
    }
    if (const auto* button = dynamic_cast<const TButton*>(control)) {
        return button->Caption();
    }
    if (const auto* group = dynamic_cast<const TGroupBox*>(control)) {
        return group->Caption();
    }
    if (const auto* combo = dynamic_cast<const TComboBox*>(control)) {
        return combo->Text();
    }
    return "";
}

const std::string kNote =
    "This is a quick hack from the Harlenby. Results are not thoroughly tested. Uses 22050Hz "
    "sampling, 8192 sample buffer. Advise 8Hz minimum impulse rate for meaningful results. If "
    "more than one impulse/rev they must be evenly spaced.";

// The window's controls in creation order. Labels that size themselves to their text have no
// fixed size here (std::nullopt); the word-wrapped note keeps its width.
struct Expected {
    std::string Name;
    Kind Class;
    std::string Parent; // empty: the form
    int Left;
    int Top;
    std::optional<int> Width;
    std::optional<int> Height;
    std::string Text;
    std::optional<int> TabOrder;
};
const std::vector<Expected> kLayout = {
    {"Label3", Kind::Label, "", 8, 176, 235, std::nullopt, kNote, std::nullopt},
    {"GroupBox1", Kind::GroupBox, "", 8, 8, 241, 97, "Frequency", 0},
    {"Shape1", Kind::Shape, "GroupBox1", 8, 16, 225, 73, "", std::nullopt},
    {"FreqLabel", Kind::Label, "GroupBox1", 8, 24, 161, 56, "0", std::nullopt},
    {"Label2", Kind::Label, "GroupBox1", 176, 48, std::nullopt, std::nullopt, "RPM", std::nullopt},
    {"Button1", Kind::Button, "", 384, 192, 73, 25, "&Start", 1},
    {"ComboBox1", Kind::ComboBox, "", 280, 192, 81, 21, "Unfiltered", 2},
    {"GroupBox3", Kind::GroupBox, "", 264, 8, 193, 169, "Oscilloscope", 3},
    {"Image1", Kind::Image, "GroupBox3", 8, 16, 177, 145, "", std::nullopt},
    {"Button2", Kind::Button, "", 288, 224, 73, 25, "DevCaps", 4},
    {"StopButton", Kind::Button, "", 384, 224, 75, 25, "Sto&p", 5},
    {"GroupBox2", Kind::GroupBox, "", 8, 112, 241, 57, "Settings", 6},
    {"Label1", Kind::Label, "GroupBox2", 16, 24, std::nullopt, std::nullopt,
     "Impulses per revolution", std::nullopt},
    {"ImpPerRevCombo", Kind::ComboBox, "GroupBox2", 136, 24, 57, 21, "1", 0},
};

class MainFormTest : public ::testing::Test {
protected:
    std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(nullptr);
};

TEST_F(MainFormTest, ControlsAreCreatedInOrderWithTheirPlaceTextAndTabOrder) {
    ASSERT_EQ(Form->ComponentCount(), int(kLayout.size()));
    for (std::size_t i = 0; i < kLayout.size(); ++i) {
        const Expected& expected = kLayout[i];
        SCOPED_TRACE(expected.Name);
        const auto* control = dynamic_cast<const TControl*>(Form->Components(int(i)));
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->Name(), expected.Name);
        EXPECT_TRUE(IsKind(control, expected.Class));
        const TWinControl* parent = control->Parent();
        ASSERT_NE(parent, nullptr);
        if (expected.Parent.empty()) {
            EXPECT_EQ(parent, Form.get());
        } else {
            EXPECT_EQ(parent->Name(), expected.Parent);
        }
        EXPECT_EQ(control->Left(), expected.Left);
        EXPECT_EQ(control->Top(), expected.Top);
        if (expected.Width) {
            EXPECT_EQ(control->Width(), *expected.Width);
        }
        if (expected.Height) {
            EXPECT_EQ(control->Height(), *expected.Height);
        }
        EXPECT_EQ(TextOf(control), expected.Text);
        if (const auto* windowed = dynamic_cast<const TWinControl*>(control)) {
            ASSERT_TRUE(expected.TabOrder.has_value());
            EXPECT_EQ(windowed->TabOrder(), *expected.TabOrder);
        }
        EXPECT_TRUE(control->Visible());
    }
}

TEST_F(MainFormTest, FieldsNameTheirControls) {
    const std::vector<std::pair<const TControl*, std::string>> fields = {
        {Form->GroupBox1, "GroupBox1"},
        {Form->Shape1, "Shape1"},
        {Form->FreqLabel, "FreqLabel"},
        {Form->Label2, "Label2"},
        {Form->Button1, "Button1"},
        {Form->ComboBox1, "ComboBox1"},
        {Form->GroupBox3, "GroupBox3"},
        {Form->Button2, "Button2"},
        {Form->Image1, "Image1"},
        {Form->StopButton, "StopButton"},
        {Form->GroupBox2, "GroupBox2"},
        {Form->Label1, "Label1"},
        {Form->ImpPerRevCombo, "ImpPerRevCombo"},
        {Form->Label3, "Label3"},
    };
    for (const auto& [field, name] : fields) {
        ASSERT_NE(field, nullptr) << name;
        EXPECT_EQ(field, Form->FindComponent(name)) << name;
    }
}

TEST_F(MainFormTest, SelfSizingLabelsFitWithoutOverlappingTheirNeighbours) {
    EXPECT_FALSE(Form->FreqLabel->AutoSize());
    for (const TLabel* label : {Form->Label1, Form->Label2, Form->Label3}) {
        EXPECT_TRUE(label->AutoSize()) << label->Name();
    }
    // "RPM" stays on the black shape; the selector's caption ends before the selector.
    EXPECT_LE(Form->Label2->Left() + Form->Label2->Width(),
              Form->Shape1->Left() + Form->Shape1->Width());
    EXPECT_LE(Form->Label2->Top() + Form->Label2->Height(),
              Form->Shape1->Top() + Form->Shape1->Height());
    EXPECT_LE(Form->Label1->Left() + Form->Label1->Width(), Form->ImpPerRevCombo->Left());
    EXPECT_TRUE(Form->Label3->WordWrap());
    EXPECT_LE(Form->Label3->Top() + Form->Label3->Height(), Form->ClientHeight());
}

TEST_F(MainFormTest, TheWindowHasItsPlaceSizeCaptionAndFont) {
    EXPECT_EQ(Form->Left(), 279);
    EXPECT_EQ(Form->Top(), 383);
    EXPECT_EQ(Form->ClientWidth(), 466);
    EXPECT_EQ(Form->ClientHeight(), 258);
    EXPECT_EQ(Form->BorderStyle(), bsSingle);
    EXPECT_EQ(Form->Caption(), "RPM indicator, from Quillet v1.3beta");
    EXPECT_EQ(Form->Font().Name(), "MS Sans Serif");
    EXPECT_EQ(Form->Font().Height(), -11);
    EXPECT_EQ(Form->Font().Color(), clWindowText);
    EXPECT_EQ(Form->Font().Style(), 0u);
    EXPECT_EQ(Form->Font().Charset(), DEFAULT_CHARSET);
    const TRenderedFont rendered = RenderedFont(*Form);
    EXPECT_EQ(rendered.Family, "Liberation Sans");
    EXPECT_EQ(rendered.PixelSize, 11);
}

TEST_F(MainFormTest, TheWindowCannotBeResized) {
    const TSizeLimits limits = ClientSizeLimits(*Form);
    EXPECT_EQ(limits.MinWidth, 466);
    EXPECT_EQ(limits.MaxWidth, 466);
    EXPECT_EQ(limits.MinHeight, 258);
    EXPECT_EQ(limits.MaxHeight, 258);
}

TEST_F(MainFormTest, ReadoutLabelsAreLimeArialBoldOnBlack) {
    struct Case {
        const TLabel* Label;
        int Height;
        TAlignment Alignment;
    };
    for (const Case& c :
         {Case{Form->FreqLabel, -48, taRightJustify}, Case{Form->Label2, -21, taLeftJustify}}) {
        SCOPED_TRACE(c.Label->Name());
        EXPECT_EQ(c.Label->Color(), clBlack);
        EXPECT_EQ(c.Label->Alignment(), c.Alignment);
        EXPECT_EQ(c.Label->Font().Name(), "Arial");
        EXPECT_EQ(c.Label->Font().Height(), c.Height);
        EXPECT_EQ(c.Label->Font().Style(), TFontStyles(fsBold));
        EXPECT_EQ(c.Label->Font().Color(), clLime);
        EXPECT_EQ(c.Label->Font().Charset(), ANSI_CHARSET);
        const TRenderedFont rendered = RenderedFont(*c.Label);
        EXPECT_EQ(rendered.Family, "Liberation Sans"); // Arial's metric twin
        EXPECT_EQ(rendered.PixelSize, -c.Height);
        EXPECT_TRUE(rendered.Bold);
        EXPECT_EQ(rendered.Color, clLime);
    }
    EXPECT_EQ(Form->Shape1->Shape(), stRectangle);
    EXPECT_EQ(Form->Shape1->Brush().Color(), clBlack);
    EXPECT_EQ(Form->Shape1->Pen().Color(), clBlack);
}

TEST_F(MainFormTest, SelectorsOfferTheirItems) {
    EXPECT_EQ(Form->ImpPerRevCombo->Style(), csDropDownList);
    EXPECT_EQ(Form->ImpPerRevCombo->Items(),
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(Form->ImpPerRevCombo->ItemHeight(), 13);
    EXPECT_TRUE(Form->ImpPerRevCombo->Enabled());
    EXPECT_EQ(Form->ComboBox1->Style(), csDropDown);
    EXPECT_EQ(Form->ComboBox1->Items(), (std::vector<std::string>{"Unfiltered", "A 440", "C 262"}));
    EXPECT_EQ(Form->ComboBox1->ItemHeight(), 13);
}

TEST_F(MainFormTest, StartsShowingZeroInLimeSelectorOnOneFilterGreyedAndCaptureReset) {
    EXPECT_EQ(Form->FreqLabel->Caption(), "0");
    EXPECT_EQ(Form->FreqLabel->Font().Color(), clLime);
    EXPECT_EQ(Form->ImpPerRevCombo->ItemIndex(), 0);
    EXPECT_EQ(Form->ImpPerRevCombo->Text(), "1");
    EXPECT_EQ(Form->ComboBox1->Text(), "Unfiltered");
    EXPECT_FALSE(Form->ComboBox1->Enabled());
    EXPECT_EQ(Form->CurrentBuffer, 0);
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_EQ(Form->WaveInHandle, nullptr);
    for (const WAVEHDR& header : Form->WaveHeaders) {
        EXPECT_EQ(header.lpData, nullptr);
        EXPECT_EQ(header.dwFlags, 0u);
        EXPECT_EQ(header.dwBufferLength, 0u);
    }
}

TEST_F(MainFormTest, StartsWithAnEmptyScopeFrame) {
    const TBitmap* scope = Form->Image1->Bitmap();
    ASSERT_NE(scope, nullptr);
    ASSERT_EQ(scope->Width(), 177);
    ASSERT_EQ(scope->Height(), 145);
    for (int y = 0; y < scope->Height(); ++y) {
        for (int x = 0; x < scope->Width(); ++x) {
            ASSERT_EQ(scope->Canvas().Pixels(x, y), (y == 40 || y == 104) ? clBlack : clWhite)
                << x << "," << y;
        }
    }
}

TEST_F(MainFormTest, TheScreenShowsTheReadoutBoxAndTheScopeWhereTheLayoutPutsThem) {
    Form->Show();
    Application->ProcessMessages();
    EXPECT_EQ(Form->Left(), 279);
    EXPECT_EQ(Form->Top(), 383);
    const auto screen = GrabClientArea(*Form);
    ASSERT_EQ(screen->Width(), 466);
    ASSERT_EQ(screen->Height(), 258);

    // The readout box: GroupBox1 (8, 8) + Shape1 (8, 16), 225 x 73; only shades of green on
    // black inside it, with lime figures.
    int lime = 0;
    for (int y = 24; y < 24 + 73; ++y) {
        for (int x = 16; x < 16 + 225; ++x) {
            const std::uint32_t colour = screen->Canvas().Pixels(x, y);
            ASSERT_EQ(colour & 0xFF00FF, 0u) << x << "," << y; // no red, no blue
            lime += colour == clLime ? 1 : 0;
        }
    }
    EXPECT_GT(lime, 100);
    EXPECT_NE(screen->Canvas().Pixels(15, 60), clBlack); // just outside the box
    EXPECT_NE(screen->Canvas().Pixels(241, 60), clBlack);

    // The scope: GroupBox3 (264, 8) + Image1 (8, 16), 177 x 145, white with black rows at 40 and
    // 104.
    for (int y = 0; y < 145; ++y) {
        for (int x = 0; x < 177; ++x) {
            ASSERT_EQ(screen->Canvas().Pixels(272 + x, 24 + y),
                      (y == 40 || y == 104) ? clBlack : clWhite)
                << x << "," << y;
        }
    }
}

TEST_F(MainFormTest, ButtonsAndCloseReachTheirHandlers) {
    TForm1* form = Form.get();
    EXPECT_TRUE(form->Button1->OnClick == TNotifyEvent(form, &TForm1::Button1Click));
    EXPECT_TRUE(form->StopButton->OnClick == TNotifyEvent(form, &TForm1::StopButtonClick));
    EXPECT_TRUE(form->Button2->OnClick == TNotifyEvent(form, &TForm1::Button2Click));
    EXPECT_TRUE(form->OnClose == TCloseEvent(form, &TForm1::FormClose));
}

TEST_F(MainFormTest, AltSPressesStartAndAltPPressesStop) {
    // The handlers themselves belong to the capture cycle; here the presses are counted on the
    // buttons, whose bindings to Button1Click and StopButtonClick are checked above.
    struct Probe {
        std::vector<TObject*> Pressed;
        void Clicked(TObject* sender) { Pressed.push_back(sender); }
    } probe;
    Form->Button1->OnClick = TNotifyEvent(&probe, &Probe::Clicked);
    Form->StopButton->OnClick = TNotifyEvent(&probe, &Probe::Clicked);
    Form->Button2->OnClick = TNotifyEvent(&probe, &Probe::Clicked);
    const TestWatchdog watchdog(10000);
    PressAltKey(*Form, 's');
    Application->ProcessMessagesUntil([&] { return probe.Pressed.size() == 1; }, 5000);
    PressAltKey(*Form, 'p');
    Application->ProcessMessagesUntil([&] { return probe.Pressed.size() == 2; }, 5000);
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_EQ(probe.Pressed, (std::vector<TObject*>{Form->Button1, Form->StopButton}));
}

TEST_F(MainFormTest, TabMovesThroughTheControlsInTabOrder) {
    EXPECT_EQ(FocusChain(*Form), (std::vector<std::string>{"Button1", "ComboBox1", "Button2",
                                                           "StopButton", "ImpPerRevCombo"}));
}

// While idle, the capture handler's only effect on a completion naming the current device
// (none, here) is to switch CurrentBuffer, which shows whether a message reached it. Only
// MM_WIM_DATA may; the message's result is never touched.
TEST_F(MainFormTest, OnlyMMWimDataReachesTheCaptureHandler) {
    struct Case {
        UINT Msg;
        std::int32_t BufferAfter;
    };
    const Case cases[] = {
        {MM_WIM_DATA, 1}, {MM_WIM_DATA - 1, 0}, {MM_WIM_DATA + 1, 0}, {0x0401, 0}, {0, 0}};
    for (const Case& messageCase : cases) {
        SCOPED_TRACE(messageCase.Msg);
        Form->CurrentBuffer = 0;
        TMessage message{messageCase.Msg, reinterpret_cast<WPARAM>(Form->WaveInHandle), 0, 77};
        Form->Dispatch(message);
        EXPECT_EQ(Form->CurrentBuffer, messageCase.BufferAfter);
        EXPECT_EQ(Form->Recording, 0);
        EXPECT_EQ(message.Result, 77);
    }
}

TEST(WinMain, RunsTheMainFormTitledVelmorantUntilItClosesAndReturnsZero) {
    int argc = 1;
    char name[] = "velmorant";
    char* argv[] = {name, nullptr};
    TApplication application(argc, argv);
    const TestWatchdog watchdog(10000);
    bool shown = false;
    RunFromMessageLoop([&] {
        shown = Form1 != nullptr && Form1->Visible();
        Form1->Close();
    });
    char commandLine[] = "";
    EXPECT_EQ(WinMain(nullptr, nullptr, commandLine, SW_SHOWDEFAULT), 0);
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_TRUE(shown);
    EXPECT_EQ(application.Title(), "Velmorant");
    ASSERT_NE(Form1, nullptr);
    EXPECT_EQ(application.MainForm(), Form1);
    EXPECT_FALSE(Form1->Visible());
    Form1 = nullptr; // the application destroys it
}

} // namespace

// Controls and forms as the user and the screen meet them: accelerators, events, fonts, sizes,
// stacking, focus order, shapes and images.
#include "ProbeForm.h"

#include "platform/forms/ExtCtrls.h"
#include "platform/forms/FormDescription.h"
#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "platform/forms/StdCtrls.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

TEST(Event, BindingsCompareByObjectAndMethod) {
    EventProbe first;
    EventProbe second;
    const TNotifyEvent bound(&first, &EventProbe::Clicked);
    EXPECT_TRUE(bound == TNotifyEvent(&first, &EventProbe::Clicked));
    EXPECT_FALSE(bound == TNotifyEvent(&second, &EventProbe::Clicked));
    EXPECT_FALSE(bound == TNotifyEvent());
    EXPECT_TRUE(bound);
    EXPECT_FALSE(TNotifyEvent());
}

TEST(Event, CallingReachesTheBoundMethodAndAnEmptyBindingDoesNothing) {
    EventProbe probe;
    TObject sender;
    TNotifyEvent(&probe, &EventProbe::Clicked)(&sender);
    TNotifyEvent()(&sender);
    EXPECT_EQ(probe.Clicks, 1);
    EXPECT_EQ(probe.LastSender, &sender);
}

TEST(Button, AltAndTheMarkedLetterClickIt) {
    const TestWatchdog watchdog(10000);
    TForm form(nullptr);
    form.SetClientWidth(200);
    form.SetClientHeight(100);
    auto* start = form.CreateComponent<TButton>();
    start->SetParent(&form);
    start->SetBounds(10, 10, 80, 25);
    start->SetCaption("&Start");
    auto* stop = form.CreateComponent<TButton>();
    stop->SetParent(&form);
    stop->SetBounds(100, 10, 80, 25);
    stop->SetCaption("Sto&p");
    EventProbe startProbe;
    EventProbe stopProbe;
    start->OnClick = TNotifyEvent(&startProbe, &EventProbe::Clicked);
    stop->OnClick = TNotifyEvent(&stopProbe, &EventProbe::Clicked);

    PressAltKey(form, 'p');
    EXPECT_TRUE(Application->ProcessMessagesUntil([&] { return stopProbe.Clicks == 1; }, 5000));
    PressAltKey(form, 's');
    EXPECT_TRUE(Application->ProcessMessagesUntil([&] { return startProbe.Clicks == 1; }, 5000));
    EXPECT_EQ(startProbe.Clicks, 1);
    EXPECT_EQ(stopProbe.Clicks, 1);
    EXPECT_EQ(startProbe.LastSender, start);
    EXPECT_FALSE(watchdog.Fired());
}

TEST(Button, ClickFiresOnClickAndAnEscapingExceptionIsShown) {
    TForm form(nullptr);
    auto* button = form.CreateComponent<TButton>();
    button->SetParent(&form);
    EventProbe probe;
    button->OnClick = TNotifyEvent(&probe, &EventProbe::Clicked);
    button->Click();
    EXPECT_EQ(probe.Clicks, 1);

    struct Thrower {
        void Clicked(TObject*) { throw Exception("No sound input device"); }
    } thrower;
    button->OnClick = TNotifyEvent(&thrower, &Thrower::Clicked);
    const TestWatchdog watchdog(10000);
    MessageBoxRecorder recorder;
    PressAltKey(form, 'x'); // no accelerator: nothing happens
    button->SetCaption("E&xit");
    PressAltKey(form, 'x');
    Application->ProcessMessagesUntil([&] { return !recorder.Records().empty(); }, 5000);
    ASSERT_EQ(recorder.Records().size(), 1u);
    EXPECT_EQ(recorder.Records()[0].Text, "No sound input device.");
}

TEST(Label, AutoSizeFitsTheTextUnlessSwitchedOff) {
    TForm form(nullptr);
    auto* label = form.CreateComponent<TLabel>();
    label->SetParent(&form);
    label->SetBounds(10, 20, 300, 100);
    label->SetCaption("Impulses per revolution");
    EXPECT_TRUE(label->AutoSize());
    EXPECT_EQ(label->Left(), 10);
    EXPECT_EQ(label->Top(), 20);
    EXPECT_LT(label->Width(), 300);
    EXPECT_GT(label->Width(), 50);
    EXPECT_LT(label->Height(), 30);

    auto* fixed = form.CreateComponent<TLabel>();
    fixed->SetParent(&form);
    fixed->SetAutoSize(false);
    fixed->SetBounds(10, 60, 161, 56);
    fixed->SetCaption("0");
    fixed->Font().SetHeight(-48);
    EXPECT_EQ(fixed->Width(), 161);
    EXPECT_EQ(fixed->Height(), 56);
}

TEST(Label, WordWrapKeepsTheWidthAndGrowsDownwards) {
    TForm form(nullptr);
    auto* label = form.CreateComponent<TLabel>();
    label->SetParent(&form);
    label->SetWordWrap(true);
    label->SetBounds(0, 0, 120, 10);
    label->SetCaption("A long note that cannot fit on one line of this label at all.");
    EXPECT_EQ(label->Width(), 120);
    EXPECT_GT(label->Height(), 20);
}

TEST(ComboBox, ListStyleSelectsOnlyItsItems) {
    TForm form(nullptr);
    auto* combo = form.CreateComponent<TComboBox>();
    combo->SetParent(&form);
    combo->SetStyle(csDropDownList);
    constexpr std::string_view items[] = {"1", "2", "3"};
    combo->SetItems(items);
    EXPECT_EQ(combo->Items(), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "");

    struct Case {
        int Index;
        int ExpectedIndex;
        std::string ExpectedText;
    };
    for (const Case& c :
         {Case{0, 0, "1"}, Case{2, 2, "3"}, Case{3, -1, ""}, Case{-1, -1, ""}, Case{1, 1, "2"}}) {
        combo->SetItemIndex(c.Index);
        EXPECT_EQ(combo->ItemIndex(), c.ExpectedIndex) << c.Index;
        EXPECT_EQ(combo->Text(), c.ExpectedText) << c.Index;
    }
    combo->SetText("3");
    EXPECT_EQ(combo->ItemIndex(), 2);
    combo->SetText("7");
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "");
}

TEST(ComboBox, DropDownStyleShowsAnyTextAndKeepsItWhenItemsChange) {
    TForm form(nullptr);
    auto* combo = form.CreateComponent<TComboBox>();
    combo->SetParent(&form);
    EXPECT_EQ(combo->Style(), csDropDown);
    combo->SetText("Unfiltered");
    constexpr std::string_view items[] = {"Unfiltered", "A 440", "C 262"};
    combo->SetItems(items);
    EXPECT_EQ(combo->Text(), "Unfiltered");
    EXPECT_EQ(combo->ItemIndex(), -1);
    combo->SetItemHeight(13);
    EXPECT_EQ(combo->ItemHeight(), 13);
}

TEST(Font, LayoutFacesResolveToMetricCompatibleOnes) {
    TForm form(nullptr);
    auto* label = form.CreateComponent<TLabel>();
    label->SetParent(&form);
    struct Case {
        std::string Name;
        int Height;
        TFontStyles Style;
    };
    for (const Case& c : {Case{"Arial", -48, fsBold}, Case{"MS Sans Serif", -11, 0}}) {
        label->Font().SetName(c.Name);
        label->Font().SetHeight(c.Height);
        label->Font().SetStyle(c.Style);
        const TRenderedFont rendered = RenderedFont(*label);
        EXPECT_EQ(rendered.Family, "Liberation Sans") << c.Name;
        EXPECT_EQ(rendered.PixelSize, -c.Height) << c.Name;
        EXPECT_EQ(rendered.Bold, c.Style == fsBold) << c.Name;
    }
}

TEST(Font, ControlsFollowTheirParentsFontUntilGivenTheirOwn) {
    TForm form(nullptr);
    auto* group = form.CreateComponent<TGroupBox>();
    group->SetParent(&form);
    auto* inherits = form.CreateComponent<TLabel>();
    inherits->SetParent(group);
    auto* own = form.CreateComponent<TLabel>();
    own->SetParent(group);
    own->Font().SetColor(clLime);

    form.Font().SetHeight(-15);
    form.Font().SetColor(clRed);
    EXPECT_TRUE(inherits->ParentFont());
    EXPECT_EQ(inherits->Font().Height(), -15);
    EXPECT_EQ(RenderedFont(*inherits).PixelSize, 15);
    EXPECT_EQ(RenderedFont(*inherits).Color, clRed);
    EXPECT_FALSE(own->ParentFont());
    EXPECT_EQ(own->Font().Height(), -11);
    EXPECT_EQ(RenderedFont(*own).PixelSize, 11);
    EXPECT_EQ(RenderedFont(*own).Color, clLime);
}

TEST(Form, SingleBorderFixesTheSizeAndSizeableFreesIt) {
    TForm form(nullptr);
    form.SetBorderStyle(bsSingle);
    form.SetClientWidth(466);
    form.SetClientHeight(258);
    const TSizeLimits fixed = ClientSizeLimits(form);
    EXPECT_EQ(fixed.MinWidth, 466);
    EXPECT_EQ(fixed.MaxWidth, 466);
    EXPECT_EQ(fixed.MinHeight, 258);
    EXPECT_EQ(fixed.MaxHeight, 258);

    form.SetBorderStyle(bsSizeable);
    const TSizeLimits free = ClientSizeLimits(form);
    EXPECT_LT(free.MinWidth, 466);
    EXPECT_GT(free.MaxWidth, 466);
    EXPECT_EQ(form.ClientWidth(), 466);
    EXPECT_EQ(form.ClientHeight(), 258);
}

TEST(Form, PositionAndCaptionHoldOnceShown) {
    TForm form(nullptr);
    form.SetCaption("RPM indicator");
    form.SetLeft(279);
    form.SetTop(383);
    form.SetClientWidth(120);
    form.SetClientHeight(80);
    EXPECT_FALSE(form.Visible());
    form.Show();
    Application->ProcessMessages();
    EXPECT_TRUE(form.Visible());
    EXPECT_EQ(form.Left(), 279);
    EXPECT_EQ(form.Top(), 383);
    EXPECT_EQ(form.Caption(), "RPM indicator");
    form.Hide();
    EXPECT_FALSE(form.Visible());
}

TEST(Form, TabVisitsControlsByTabOrderDescendingIntoGroups) {
    TForm form(nullptr);
    auto make = [&form](std::string_view name, TWinControl* parent, int tabOrder) {
        auto* button = form.CreateComponent<TButton>();
        button->SetName(name);
        button->SetParent(parent);
        button->SetTabOrder(tabOrder);
        return button;
    };
    auto* group = form.CreateComponent<TGroupBox>();
    group->SetParent(&form);
    group->SetTabOrder(1);
    make("Last", &form, 2);
    make("InGroupSecond", group, 1);
    make("First", &form, 0);
    make("InGroupFirst", group, 0);
    EXPECT_EQ(FocusChain(form),
              (std::vector<std::string>{"First", "InGroupFirst", "InGroupSecond", "Last"}));
}

TEST(Form, ControlsStackInTheOrderTheyArePlaced) {
    TForm form(nullptr);
    form.SetClientWidth(60);
    form.SetClientHeight(40);
    auto* below = form.CreateComponent<TLabel>();
    below->SetParent(&form);
    below->SetAutoSize(false);
    below->SetBounds(0, 0, 40, 40);
    below->SetColor(clRed);
    auto* above = form.CreateComponent<TLabel>();
    above->SetParent(&form);
    above->SetAutoSize(false);
    above->SetBounds(20, 0, 40, 40);
    above->SetColor(clBlue);
    const auto picture = GrabClientArea(form);
    EXPECT_EQ(picture->Canvas().Pixels(10, 20), clRed);
    EXPECT_EQ(picture->Canvas().Pixels(30, 20), clBlue); // the overlap shows the later one
    EXPECT_EQ(picture->Canvas().Pixels(50, 20), clBlue);
}

TEST(Form, ADisabledControlKeepsItsPlaceAndShowsItsState) {
    TForm form(nullptr);
    auto* combo = form.CreateComponent<TComboBox>();
    combo->SetParent(&form);
    EXPECT_TRUE(combo->Enabled());
    combo->SetEnabled(false);
    EXPECT_FALSE(combo->Enabled());
    combo->SetEnabled(true);
    EXPECT_TRUE(combo->Enabled());
}

TEST(Shape, FillsWithTheBrushAndOutlinesWithThePen) {
    TForm form(nullptr);
    form.SetClientWidth(40);
    form.SetClientHeight(30);
    auto* shape = form.CreateComponent<TShape>();
    shape->SetParent(&form);
    shape->SetBounds(5, 5, 20, 10);
    EXPECT_EQ(shape->Brush().Color(), clWhite);
    EXPECT_EQ(shape->Pen().Color(), clBlack);
    const auto white = GrabClientArea(form);
    EXPECT_EQ(white->Canvas().Pixels(5, 5), clBlack);   // outline, top-left
    EXPECT_EQ(white->Canvas().Pixels(24, 14), clBlack); // outline, bottom-right
    EXPECT_EQ(white->Canvas().Pixels(15, 10), clWhite); // inside

    shape->Brush().SetColor(clBlack);
    const auto black = GrabClientArea(form);
    for (int y = 5; y < 15; ++y) {
        for (int x = 5; x < 25; ++x) {
            ASSERT_EQ(black->Canvas().Pixels(x, y), clBlack) << x << "," << y;
        }
    }
    EXPECT_NE(black->Canvas().Pixels(25, 10), clBlack);
    EXPECT_NE(black->Canvas().Pixels(15, 15), clBlack);
}

TEST(Image, TheCanvasAppearsOnFirstUseWithTheControlsSizeAndShowsOnScreen) {
    TForm form(nullptr);
    form.SetClientWidth(60);
    form.SetClientHeight(50);
    auto* image = form.CreateComponent<TImage>();
    image->SetParent(&form);
    image->SetBounds(10, 5, 30, 20);
    EXPECT_EQ(image->Bitmap(), nullptr);

    TCanvas& canvas = image->Canvas();
    ASSERT_NE(image->Bitmap(), nullptr);
    EXPECT_EQ(image->Bitmap()->Width(), 30);
    EXPECT_EQ(image->Bitmap()->Height(), 20);
    EXPECT_EQ(canvas.Brush().Color(), clWhite);
    EXPECT_EQ(canvas.Pen().Color(), clBlack);
    canvas.MoveTo(0, 3);
    canvas.LineTo(100, 3);

    const auto picture = GrabClientArea(form);
    EXPECT_EQ(picture->Canvas().Pixels(10, 8), clBlack); // image (0, 3)
    EXPECT_EQ(picture->Canvas().Pixels(39, 8), clBlack); // image (29, 3)
    EXPECT_EQ(picture->Canvas().Pixels(10, 9), clWhite);
    EXPECT_NE(picture->Canvas().Pixels(40, 8), clBlack); // clipped at the image's edge
}

// A form built from a description, as the program's main window is.
class DescribedForm : public TForm {
public:
    explicit DescribedForm(TComponent* owner) : TForm(owner) {}
    TGroupBox* Group = nullptr;
    TLabel* Caption1 = nullptr;
    TButton* Go = nullptr;
    TComboBox* Choice = nullptr;
    EventProbe Probe;
    void GoClick(TObject* sender) { Probe.Clicked(sender); }
    void Closing(TObject* sender, TCloseAction& action) { Probe.Closing(sender, action); }
};

TEST(FormDescription, BuildsTheControlsInOrderWithTheirProperties) {
    static constexpr std::string_view kItems[] = {"a", "b"};
    static const TControlDescription<DescribedForm> kRows[] = {
        {.Control = &DescribedForm::Group,
         .Name = "Group",
         .Left = 4,
         .Top = 5,
         .Width = 100,
         .Height = 60,
         .Caption = "Settings",
         .TabOrder = 1},
        {.Control = &DescribedForm::Caption1,
         .Name = "Caption1",
         .Parent = "Group",
         .Left = 8,
         .Top = 16,
         .Width = 50,
         .Height = 13,
         .Caption = "Value",
         .AutoSize = false},
        {.Control = &DescribedForm::Choice,
         .Name = "Choice",
         .Parent = "Group",
         .Left = 60,
         .Top = 16,
         .Width = 30,
         .Height = 21,
         .Items = kItems,
         .Style = csDropDownList},
        {.Control = &DescribedForm::Go,
         .Name = "Go",
         .Left = 120,
         .Top = 10,
         .Width = 60,
         .Height = 25,
         .Caption = "&Go",
         .TabOrder = 0,
         .OnClick = &DescribedForm::GoClick},
    };
    static const TFormDescription<DescribedForm> kDescription{.Left = 30,
                                                              .Top = 40,
                                                              .ClientWidth = 200,
                                                              .ClientHeight = 80,
                                                              .BorderStyle = bsSingle,
                                                              .Caption = "Described",
                                                              .OnClose = &DescribedForm::Closing,
                                                              .Controls = kRows};

    DescribedForm form(nullptr);
    LoadForm(form, kDescription);
    EXPECT_EQ(form.Caption(), "Described");
    EXPECT_EQ(form.ClientWidth(), 200);
    EXPECT_EQ(ClientSizeLimits(form).MaxWidth, 200);
    ASSERT_EQ(form.ComponentCount(), 4);
    EXPECT_EQ(form.Components(0), form.Group);
    EXPECT_EQ(form.Components(3), form.Go);
    EXPECT_EQ(form.Caption1->Parent(), form.Group);
    EXPECT_EQ(form.Caption1->Caption(), "Value");
    EXPECT_EQ(form.Caption1->Width(), 50);
    EXPECT_EQ(form.Choice->Style(), csDropDownList);
    EXPECT_EQ(form.Choice->Items().size(), 2u);
    EXPECT_EQ(form.Group->ControlCount(), 2);
    EXPECT_TRUE(form.Go->OnClick == TNotifyEvent(&form, &DescribedForm::GoClick));
    EXPECT_EQ(FocusChain(form), (std::vector<std::string>{"Go", "Choice"}));
    form.Go->Click();
    EXPECT_EQ(form.Probe.Clicks, 1);
    form.Show();
    form.Close();
    EXPECT_EQ(form.Probe.Closes, 1);
}

TEST(FormDescription, RejectsRowsThatCannotBeBuilt) {
    static const TControlDescription<DescribedForm> kUnknownParent[] = {
        {.Control = &DescribedForm::Caption1, .Name = "Caption1", .Parent = "Nowhere"}};
    static const TControlDescription<DescribedForm> kWrongProperty[] = {
        {.Control = &DescribedForm::Caption1, .Name = "Caption1", .TabOrder = 3}};
    for (const auto rows : {std::span(kUnknownParent), std::span(kWrongProperty)}) {
        DescribedForm form(nullptr);
        EXPECT_THROW(LoadForm(form, TFormDescription<DescribedForm>{.Controls = rows}), Exception);
    }
}

} // namespace

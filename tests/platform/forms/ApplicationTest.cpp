// The application object: main form, message loop, message boxes, exception display.
#include "ProbeForm.h"

#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// A second application object for one test, sharing the desktop connection, so each test
// starts with no forms and no main form; the suite's own comes back afterwards.
class ApplicationTest : public ::testing::Test {
protected:
    int Argc = 1;
    char Name[16] = "forms_tests";
    char* Argv[2] = {Name, nullptr};
    TApplication App{Argc, Argv};
};

TEST_F(ApplicationTest, IsTheGlobalApplicationWhileItLives) {
    EXPECT_EQ(Application, &App);
    TApplication* outer = nullptr;
    {
        TApplication inner(Argc, Argv);
        EXPECT_EQ(Application, &inner);
        outer = &inner;
    }
    EXPECT_EQ(Application, &App);
    EXPECT_NE(outer, &App);
}

TEST_F(ApplicationTest, TheFirstFormCreatedIsTheMainForm) {
    EXPECT_EQ(App.MainForm(), nullptr);
    ProbeForm* first = nullptr;
    ProbeForm* second = nullptr;
    App.CreateForm(first);
    App.CreateForm(second);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(App.MainForm(), first);
    EXPECT_EQ(first->Owner(), &App);
    EXPECT_EQ(App.ComponentCount(), 2);
}

TEST_F(ApplicationTest, RunShowsTheMainFormAndReturnsWhenItCloses) {
    const TestWatchdog watchdog(10000);
    ProbeForm* mainForm = nullptr;
    ProbeForm* other = nullptr;
    App.CreateForm(mainForm);
    App.CreateForm(other);
    EventProbe probe;
    mainForm->OnClose = TCloseEvent(&probe, &EventProbe::Closing);
    EventProbe otherProbe;
    other->OnClose = TCloseEvent(&otherProbe, &EventProbe::Closing);
    bool shownWhileRunning = false;
    mainForm->OnMessage = [&](TMessage&) {
        shownWhileRunning = mainForm->Visible();
        mainForm->Close();
    };
    PostMessage(mainForm->Handle(), kProbeMessage, 0, 0);

    App.Run();

    EXPECT_FALSE(watchdog.Fired());
    EXPECT_TRUE(shownWhileRunning);
    EXPECT_EQ(probe.Closes, 1);
    EXPECT_EQ(probe.LastSender, mainForm);
    EXPECT_EQ(otherProbe.Closes, 0); // ending the loop closes no other form
    EXPECT_FALSE(mainForm->Visible());
    EXPECT_TRUE(App.Terminated());
}

TEST_F(ApplicationTest, CloseActionNoneKeepsTheMainFormOpen) {
    const TestWatchdog watchdog(10000);
    ProbeForm* mainForm = nullptr;
    App.CreateForm(mainForm);
    EventProbe probe;
    probe.CloseActions = {caNone, caHide};
    mainForm->OnClose = TCloseEvent(&probe, &EventProbe::Closing);
    bool openAfterRefusal = false;
    mainForm->OnMessage = [&](TMessage& message) {
        mainForm->Close();
        if (message.WParam == 1) {
            openAfterRefusal = mainForm->Visible() && !App.Terminated();
        }
    };
    PostMessage(mainForm->Handle(), kProbeMessage, 1, 0);
    PostMessage(mainForm->Handle(), kProbeMessage, 2, 0);

    App.Run();

    EXPECT_FALSE(watchdog.Fired());
    EXPECT_TRUE(openAfterRefusal);
    EXPECT_EQ(probe.Closes, 2);
}

TEST_F(ApplicationTest, RunReturnsAtOnceWithoutAMainFormOrAfterTerminate) {
    App.Run(); // no main form
    ProbeForm* mainForm = nullptr;
    App.CreateForm(mainForm);
    App.Terminate();
    App.Run();
    EXPECT_FALSE(mainForm->Visible());
}

TEST_F(ApplicationTest, AFormClosedWithCaFreeIsDestroyedFromTheLoop) {
    ProbeForm* mainForm = nullptr;
    ProbeForm* dialog = nullptr;
    App.CreateForm(mainForm);
    App.CreateForm(dialog);
    EventProbe probe;
    probe.CloseActions = {caFree};
    dialog->OnClose = TCloseEvent(&probe, &EventProbe::Closing);
    const HWND handle = dialog->Handle();
    dialog->Show();
    dialog->Close();
    EXPECT_EQ(App.ComponentCount(), 2); // not from inside its own close
    EXPECT_TRUE(App.ProcessMessagesUntil([&] { return App.ComponentCount() == 1; }, 5000));
    EXPECT_EQ(App.Components(0), mainForm);
    EXPECT_FALSE(PostMessage(handle, kProbeMessage, 0, 0));
}

TEST_F(ApplicationTest, AMainFormThatIsDestroyedIsNoLongerTheMainForm) {
    ProbeForm* mainForm = nullptr;
    App.CreateForm(mainForm);
    App.RemoveComponent(mainForm).reset();
    EXPECT_EQ(App.MainForm(), nullptr);
    App.Run(); // returns at once
}

TEST_F(ApplicationTest, TitleAndVersion) {
    App.SetTitle("Velmorant");
    App.SetVersion("1.2.2.0");
    EXPECT_EQ(App.Title(), "Velmorant");
    EXPECT_EQ(App.Version(), "1.2.2.0");
}

TEST_F(ApplicationTest, ShowExceptionUsesTheTitleAsCaptionAndEndsTheSentence) {
    App.SetTitle("Velmorant");
    struct Case {
        std::string Message;
        std::string Shown;
    };
    const Case cases[] = {
        {"Device unavailable", "Device unavailable."},
        {"Already a sentence.", "Already a sentence."},
        {"Is it plugged in?", "Is it plugged in?"},
        {"", ""},
    };
    for (const Case& c : cases) {
        MessageBoxRecorder recorder;
        App.ShowException(std::runtime_error(c.Message));
        ASSERT_EQ(recorder.Records().size(), 1u);
        const TMessageBoxRecord& box = recorder.Records()[0];
        EXPECT_EQ(box.Text, c.Shown);
        EXPECT_EQ(box.Caption, "Velmorant");
        EXPECT_EQ(box.Flags, MB_OK | MB_ICONERROR);
        EXPECT_EQ(box.Owner, App.Handle());
    }
}

TEST_F(ApplicationTest, MessageBoxesAreOwnedByTheApplicationWindow) {
    MessageBoxRecorder recorder;
    EXPECT_EQ(App.MessageBox("Soundcard text", "Soundcard Device Capabilities", MB_OK), IDOK);
    EXPECT_EQ(App.MessageBox("Failed to start recording", nullptr, int(MB_OK | MB_ICONWARNING)),
              IDOK);
    ASSERT_EQ(recorder.Records().size(), 2u);
    EXPECT_EQ(recorder.Records()[0].Caption, "Soundcard Device Capabilities");
    EXPECT_EQ(recorder.Records()[0].Flags, MB_OK);
    EXPECT_EQ(recorder.Records()[1].Caption, "Error"); // the default caption
    EXPECT_EQ(recorder.Records()[1].Flags, MB_OK | MB_ICONWARNING);
    for (const TMessageBoxRecord& box : recorder.Records()) {
        EXPECT_EQ(box.Owner, App.Handle());
    }
}

TEST(MessageBox, NullTextAndCaptionShowAnEmptyBoxCaptionedError) {
    MessageBoxRecorder recorder;
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
    ASSERT_EQ(recorder.Records().size(), 1u);
    EXPECT_EQ(recorder.Records()[0].Text, "");
    EXPECT_EQ(recorder.Records()[0].Caption, "Error");
}

TEST(MessageBox, RecordersNestAndTheNewestRecords) {
    MessageBoxRecorder outer;
    {
        MessageBoxRecorder inner;
        MessageBoxA(nullptr, "inner", "c", MB_OK);
        EXPECT_EQ(inner.Records().size(), 1u);
    }
    MessageBoxA(nullptr, "outer", "c", MB_OK);
    ASSERT_EQ(outer.Records().size(), 1u);
    EXPECT_EQ(outer.Records()[0].Text, "outer");
}

TEST(MessageBox, WhileShownRunsWithTheBoxUpAndMayShowAnother) {
    MessageBoxRecorder recorder;
    std::vector<std::string> seen;
    recorder.SetWhileShown([&](const TMessageBoxRecord& box) {
        seen.push_back(box.Text);
        if (box.Text == "first") {
            MessageBoxA(nullptr, "nested", nullptr, MB_OK);
        }
    });
    MessageBoxA(nullptr, "first", nullptr, MB_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "nested"}));
    ASSERT_EQ(recorder.Records().size(), 2u);
}

TEST(MessageBox, ARealBoxShowsTheTextAndReturnsOkWhenDismissed) {
    const TestWatchdog watchdog(10000);
    ProbeForm form(nullptr);
    std::string shown;
    form.OnMessage = [&](TMessage&) {
        shown = ActiveMessageBoxText();
        DismissActiveMessageBox();
    };
    PostMessage(form.Handle(), kProbeMessage, 0, 0);
    EXPECT_EQ(MessageBoxA(form.Handle(), "<b>Line In</b> & more", "Soundcard", MB_OK), IDOK);
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_EQ(shown, "<b>Line In</b> & more");
    EXPECT_EQ(ActiveMessageBoxText(), "");
}

} // namespace

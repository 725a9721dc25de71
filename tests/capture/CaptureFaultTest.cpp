// The capture cycle when the device misbehaves or the user does: a device that vanishes,
// stalls or returns short buffers, buttons pressed again and again, a box up while blocks keep
// coming, and the window closed at every point of the cycle.
#include "tests/capture/CaptureFixture.h"

#include "app/MainForm.h"
#include "measure/BlockAnalysis.h"
#include "platform/forms/Forms.h"
#include "platform/wave/ScriptedWaveDevice.h"
#include "signal/TestSignal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const SampleBlock kFiftyHertz = SineBlock(50.0, 10000.0);    // "3000"
const SampleBlock kHundredHertz = SineBlock(100.0, 10000.0); // "6000"

class CaptureFaultTest : public CaptureFixture {
protected:
    void StartShowing(const SampleBlock& block, const char* text) {
        Form->Button1->Click();
        ASSERT_EQ(Form->Recording, 1);
        Device.CompleteNext(block);
        ASSERT_TRUE(ReadoutShows(text));
    }
};

// How a device goes away while capturing: both buffers held, or one of them just completed
// and on its way to the window.
struct Loss {
    const char* Name;
    bool OneCompletedFirst;
};

void PrintTo(const Loss& loss, std::ostream* out) {
    *out << loss.Name;
}

class LossTest : public CaptureFaultTest, public ::testing::WithParamInterface<Loss> {};

TEST_P(LossTest, IsReportedOnceAndEndsCaptureSoStartWorksAtOnce) {
    StartShowing(kFiftyHertz, "3000");
    if (GetParam().OneCompletedFirst) {
        Device.CompleteNext(kHundredHertz);
    }
    Device.Vanish("the USB sound card was unplugged");
    ASSERT_TRUE(ProcessUntil([&] { return Form->Recording == 0; }));
    Settle();

    ASSERT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Boxes.Records()[0].Text, "Failed to read block from device");
    EXPECT_EQ(Readout(), GetParam().OneCompletedFirst ? "6000" : "3000");
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.OpenCount(), Device.CloseCount());

    Form->StopButton->Click(); // harmless
    EXPECT_EQ(Device.CloseCount(), 1);
    Form->Button1->Click(); // a device plugged back in records at once
    ASSERT_EQ(Form->Recording, 1);
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("3000"));
    EXPECT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Device.Violations(), 0);
}

const Loss kLosses[] = {{"BothBuffersHeld", false}, {"OneCompletionOnItsWay", true}};

INSTANTIATE_TEST_SUITE_P(Cases, LossTest, ::testing::ValuesIn(kLosses),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CaptureFaultTest, VanishingDeviceLetsTheWindowCloseAtOnce) {
    StartShowing(kFiftyHertz, "3000");
    Device.Vanish();
    ASSERT_TRUE(ProcessUntil([&] { return !Boxes.Records().empty(); }));
    Form->Close();
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
}

TEST_F(CaptureFaultTest, ShortBufferIsNotShownAsAReading) {
    StartShowing(kFiftyHertz, "3000");
    // Half a block of a faster signal, then the device goes on normally.
    Device.CompleteNext(std::span(kHundredHertz).first(4096));
    ASSERT_TRUE(Device.WaitUntilScriptDone(5s));
    Settle();
    EXPECT_EQ(Readout(), "3000");
    EXPECT_EQ(Form->Recording, 1);

    Device.CompleteNext(kHundredHertz);
    EXPECT_TRUE(ReadoutShows("6000"));
    EXPECT_TRUE(Boxes.Records().empty());
    EXPECT_EQ(Device.Violations(), 0);
}

TEST_F(CaptureFaultTest, StopWithBothBuffersHeldReturnsAtOnceAndCloses) {
    StartShowing(kFiftyHertz, "3000");
    ASSERT_TRUE(Device.WaitForHeldBuffers(2, std::chrono::milliseconds(kPatienceMs)));
    // Nothing more is scripted: the device holds both buffers and never fills them.
    const auto start = Clock::now();
    Form->StopButton->Click();
    const auto waited = Clock::now() - start;
    // A structural limit, not a timing goal: less than one block period.
    EXPECT_LT(waited, 372ms) << "Stop waited " << std::chrono::duration<double>(waited).count()
                             << " s";
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    Settle();
    EXPECT_EQ(Readout(), "3000");
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureFaultTest, StartAndStopAlternatedAThousandTimesWithBlocksInFlight) {
    // A block every half millisecond: always some in flight, yet few enough per round that
    // a thousand rounds stay quick.
    Device.Feed(
        [](std::span<std::int16_t> samples, std::int64_t) {
            std::memcpy(samples.data(), kFiftyHertz.data(), samples.size_bytes());
        },
        500us);
    for (int i = 0; i < 1000; ++i) {
        Form->Button1->Click();
        if (i % 3 == 0) {
            Form->Button1->Click(); // again, while capturing
        }
        // One block shown, the next one on its way.
        ASSERT_TRUE(ProcessUntil([&] { return Form->CurrentBuffer == 1; })) << "round " << i;
        Form->StopButton->Click();
        if (i % 5 == 0) {
            Form->StopButton->Click(); // again, while idle
        }
        ASSERT_EQ(Form->Recording, 0) << "round " << i;
        if (i % 2 == 0) {
            Application->ProcessMessages(); // sometimes the last completions arrive before Start
        }
    }
    Device.StopFeeding();
    Settle();
    EXPECT_EQ(Device.OpenCount(), 1000);
    EXPECT_EQ(Device.CloseCount(), 1000);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.Violations(), 0);
    EXPECT_EQ(Readout(), "3000");
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureFaultTest, CompletionsOfAnEarlierDeviceAreNotTakenForTheNewOne) {
    StartShowing(kFiftyHertz, "3000");
    Form->StopButton->Click();
    // Start again before the old device's last two completions have been handled.
    Form->Button1->Click();
    ASSERT_EQ(Form->Recording, 1);
    Settle();
    EXPECT_EQ(Form->CurrentBuffer, 0);
    EXPECT_EQ(Device.HeldBuffers(), 2);

    Device.CompleteNext(kHundredHertz);
    ASSERT_TRUE(ReadoutShows("6000"));
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("3000"));
    EXPECT_TRUE(Boxes.Records().empty());
    EXPECT_EQ(Device.Violations(), 0);
}

TEST_F(CaptureFaultTest, ReadoutKeepsUpWhileABoxIsShown) {
    StartShowing(kFiftyHertz, "3000");
    // The report stays up until the next block has been shown behind it.
    Boxes.SpinWhileShownUntil([&] { return Readout() == "6000"; }, kPatienceMs);
    Boxes.SetWhileShown([&](const TMessageBoxRecord&) { Device.CompleteNext(kHundredHertz); });
    Form->Button2->Click();
    EXPECT_EQ(Readout(), "6000");
    EXPECT_EQ(Form->Recording, 1);
    EXPECT_EQ(Device.Violations(), 0);
}

// Where in the cycle the window is closed.
struct ClosePoint {
    const char* Name;
    std::function<void(CaptureFaultTest&, ScriptedWaveDevice&, TForm1&)> Arrange;
};

class CloseTest : public CaptureFaultTest, public ::testing::WithParamInterface<ClosePoint> {};

TEST_P(CloseTest, ClosingEndsCaptureAndLeavesNothingBehind) {
    GetParam().Arrange(*this, Device, *Form);
    Form->Close();
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.HeldBuffers(), 0);
    EXPECT_EQ(Device.OpenCount(), Device.CloseCount());
    // Messages still on their way find the form gone.
    Form.reset();
    Settle();
    EXPECT_EQ(Device.Violations(), 0);
}

const ClosePoint kClosePoints[] = {
    {"Idle", [](CaptureFaultTest&, ScriptedWaveDevice&, TForm1&) {}},
    {"JustAfterStart",
     [](CaptureFaultTest&, ScriptedWaveDevice&, TForm1& form) { form.Button1->Click(); }},
    {"MidBlock",
     [](CaptureFaultTest&, ScriptedWaveDevice& device, TForm1& form) {
         form.Button1->Click();
         device.Deliver(std::span(kFiftyHertz).first(3000));
         device.WaitUntilScriptDone(5s);
     }},
    {"WithACompletionQueued",
     [](CaptureFaultTest&, ScriptedWaveDevice& device, TForm1& form) {
         form.Button1->Click();
         device.CompleteNext(kFiftyHertz);
         device.WaitUntilScriptDone(5s);
     }},
};

INSTANTIATE_TEST_SUITE_P(Points, CloseTest, ::testing::ValuesIn(kClosePoints),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CaptureFaultTest, ClosingWhileABoxIsUpEndsCapture) {
    StartShowing(kFiftyHertz, "3000");
    Boxes.SetWhileShown([&](const TMessageBoxRecord&) { Form->Close(); });
    Form->Button2->Click();
    ASSERT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    Form.reset();
    Settle();
    EXPECT_EQ(Device.Violations(), 0);
}

} // namespace

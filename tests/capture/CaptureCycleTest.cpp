// The capture cycle against the scripted input device: what the window shows for each block,
// how buffers circulate, and how every failure of the device is reported and left behind.
#include "tests/capture/CaptureFixture.h"

#include "app/MainForm.h"
#include "measure/BlockAnalysis.h"
#include "platform/forms/Forms.h"
#include "platform/wave/ScriptedWaveDevice.h"
#include "signal/TestSignal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr UINT kWarning = MB_OK | MB_ICONWARNING;

const SampleBlock kFiftyHertz = SineBlock(50.0, 10000.0); // 3000 RPM at 1 impulse per rev

std::vector<std::uint32_t> PixelsOf(const TBitmap& bitmap) {
    std::vector<std::uint32_t> pixels;
    for (int row = 0; row < bitmap.Height(); ++row) {
        pixels.insert(pixels.end(), bitmap.ScanLine(row), bitmap.ScanLine(row) + bitmap.Width());
    }
    return pixels;
}

class CaptureTest : public CaptureFixture {
protected:
    static std::string RpmOf(const SampleBlock& block, int impulses = 1) {
        return std::to_string(AnalyseBlock(block, impulses).Rpm);
    }
};

TEST_F(CaptureTest, EachCompletedBlockIsShownAndItsBufferGoesBack) {
    Form->Button1->Click();
    ASSERT_EQ(Form->Recording, 1);
    EXPECT_EQ(Device.HeldBuffers(), 2);
    EXPECT_EQ(Readout(), "0");

    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ReadoutShows("3000"));
    EXPECT_EQ(ReadoutColour(), clLime);
    // The trace starts at the sine's zero crossing, on the zero line the empty frame leaves white.
    EXPECT_EQ(Form->Image1->Canvas().Pixels(0, 72), clBlack);
    EXPECT_TRUE(Device.WaitForHeldBuffers(2, std::chrono::milliseconds(kPatienceMs)));
    EXPECT_EQ(Form->CurrentBuffer, 1);
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureTest, BlocksAreShownInTheOrderRecordedWithBuffersAlternating) {
    const double frequencies[] = {20.0, 25.0, 40.0, 50.0, 60.0, 75.0, 100.0};
    Form->Button1->Click();
    int handled = 0;
    for (double frequency : frequencies) {
        SCOPED_TRACE(frequency);
        const SampleBlock block = SineBlock(frequency, 8000.0);
        Device.CompleteNext(block);
        ASSERT_TRUE(ReadoutShows(RpmOf(block)));
        ++handled;
        EXPECT_EQ(Form->CurrentBuffer, handled % 2);
    }
    EXPECT_EQ(Readout(), "6000");
    EXPECT_EQ(Device.Violations(), 0);
    EXPECT_EQ(Device.OpenCount(), 1);
}

TEST_F(CaptureTest, SelectorChangeTakesEffectWithTheNextBlock) {
    Form->ImpPerRevCombo->SetItemIndex(1); // while idle: nothing on screen changes
    Application->ProcessMessages();
    EXPECT_EQ(Readout(), "0");

    Form->Button1->Click();
    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ReadoutShows("1500"));

    Form->ImpPerRevCombo->SetItemIndex(3);
    Application->ProcessMessages();
    EXPECT_EQ(Readout(), "1500");
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("750"));
}

TEST_F(CaptureTest, StopTakesBothBuffersBackAtOnceClosesAndKeepsTheLastReading) {
    Form->Button1->Click();
    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ReadoutShows("3000"));
    ASSERT_TRUE(Device.WaitForHeldBuffers(2, std::chrono::milliseconds(kPatienceMs)));
    const std::vector<std::uint32_t> scope = PixelsOf(*Form->Image1->Bitmap());
    const std::int64_t completed = Device.CompletedBuffers();

    // The device holds both buffers and fills neither: Stop does not wait for them.
    Form->StopButton->Click();
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.CloseCount(), 1);
    EXPECT_EQ(Device.CompletedBuffers(), completed + 2); // handed back, not filled

    // Their completion messages arrive after Stop and change nothing on screen.
    const std::int32_t before = Form->CurrentBuffer;
    Settle();
    EXPECT_EQ(Form->CurrentBuffer, before); // two completions, two flips
    EXPECT_EQ(Readout(), "3000");
    EXPECT_EQ(ReadoutColour(), clLime);
    EXPECT_EQ(PixelsOf(*Form->Image1->Bitmap()), scope);
    EXPECT_EQ(Device.Violations(), 0);
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureTest, StopWhileIdleDoesNothing) {
    Form->StopButton->Click();
    Form->StopButton->Click();
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_EQ(Device.OpenCount(), 0);
    EXPECT_EQ(Device.CloseCount(), 0);
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureTest, StartWhileCapturingLeavesTheRunningCaptureAlone) {
    Form->Button1->Click();
    Form->Button1->Click();
    Form->Button1->Click();
    EXPECT_EQ(Device.OpenCount(), 1);
    EXPECT_EQ(Device.Violations(), 0);
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("3000"));
    EXPECT_TRUE(Boxes.Records().empty());
}

TEST_F(CaptureTest, StartAfterStopCapturesAgain) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Form->Button1->Click();
        const SampleBlock block = SineBlock(30.0 + 10.0 * round, 9000.0);
        Device.CompleteNext(block);
        ASSERT_TRUE(ReadoutShows(RpmOf(block)));
        Form->StopButton->Click();
        ASSERT_EQ(Form->Recording, 0);
        Application->ProcessMessages();
    }
    EXPECT_EQ(Device.OpenCount(), 3);
    EXPECT_EQ(Device.CloseCount(), 3);
    EXPECT_EQ(Device.Violations(), 0);
}

struct StartFailure {
    const char* Name;
    void (*Arrange)(ScriptedWaveDevice&);
    const char* Text;
    const char* Caption;
};

const StartFailure kStartFailures[] = {
    {"OpenFails",
     [](ScriptedWaveDevice& d) { d.SetOpenResult(MMSYSERR_NODRIVER, "No sound input device"); },
     "No sound input device", "Failed to open waveform input device."},
    {"FirstBufferRefused", [](ScriptedWaveDevice& d) { d.SetAddBufferResult(MMSYSERR_NOMEM, 0); },
     "Failed to read block from device", "Error"},
    {"SecondBufferRefused", [](ScriptedWaveDevice& d) { d.SetAddBufferResult(MMSYSERR_NOMEM, 1); },
     "Failed to read block from device", "Error"},
    {"StartRefused", [](ScriptedWaveDevice& d) { d.SetStartResult(MMSYSERR_ERROR); },
     "Failed to start recording", "Error"},
};

class StartFailureTest : public CaptureTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, IsReportedOnceAndLeavesNothingOpen) {
    const StartFailure& failure = GetParam();
    failure.Arrange(Device);
    Form->Button1->Click();

    ASSERT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Boxes.Records()[0].Text, failure.Text);
    EXPECT_EQ(Boxes.Records()[0].Caption, failure.Caption);
    EXPECT_EQ(Boxes.Records()[0].Flags, kWarning);
    EXPECT_EQ(Boxes.Records()[0].Owner, Application->Handle());
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.HeldBuffers(), 0);
    EXPECT_EQ(Readout(), "0");

    // Once the device works again, so does Start.
    Device.SetOpenResult(MMSYSERR_NOERROR);
    Device.SetAddBufferResult(MMSYSERR_NOERROR);
    Device.SetStartResult(MMSYSERR_NOERROR);
    Application->ProcessMessages();
    Form->Button1->Click();
    EXPECT_EQ(Form->Recording, 1);
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("3000"));
    EXPECT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Device.Violations(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartFailureTest, ::testing::ValuesIn(kStartFailures),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CaptureTest, RefusedRequeueIsReportedAndCaptureStaysOn) {
    Device.SetAddBufferResult(MMSYSERR_NOMEM, 2);
    Form->Button1->Click();
    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ProcessUntil([&] { return !Boxes.Records().empty(); }));

    EXPECT_EQ(Boxes.Records()[0].Text, "Failed to read block from device");
    EXPECT_EQ(Boxes.Records()[0].Caption, "Error");
    EXPECT_EQ(Boxes.Records()[0].Flags, kWarning);
    EXPECT_EQ(Readout(), "3000"); // the block was still shown
    EXPECT_EQ(Form->Recording, 1);
    EXPECT_EQ(Form->CurrentBuffer, 0);
}

// After a refused re-queue, what the next completion brings.
struct Refusal {
    const char* Name;
    bool AcceptedAgain; // the device takes buffers again before the next completion
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.Name;
}

class RefusalTest : public CaptureTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, NextCompletionIsShownAndTheRefusedBufferOfferedAgain) {
    Device.SetAddBufferResult(MMSYSERR_NOMEM, 2); // Start's two, then refusals
    Form->Button1->Click();
    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ProcessUntil([&] { return !Boxes.Records().empty(); }));
    if (GetParam().AcceptedAgain) {
        Device.SetAddBufferResult(MMSYSERR_NOERROR);
    }
    const std::int32_t addsBefore = Device.AddBufferCalls();

    const SampleBlock hundredHertz = SineBlock(100.0, 10000.0);
    Device.CompleteNext(hundredHertz); // the other buffer, full of fresh samples
    EXPECT_TRUE(ReadoutShows("6000"));
    Settle();
    EXPECT_GE(Device.AddBufferCalls(), addsBefore + 1); // the refused buffer, offered again
    EXPECT_EQ(Boxes.Records().size(), 1u);

    if (GetParam().AcceptedAgain) {
        // Both buffers circulate again, in the order queued.
        EXPECT_EQ(Form->Recording, 1);
        EXPECT_TRUE(Device.WaitForHeldBuffers(2, std::chrono::milliseconds(kPatienceMs)));
        for (double frequency : {40.0, 60.0, 75.0}) {
            const SampleBlock block = SineBlock(frequency, 9000.0);
            Device.CompleteNext(block);
            EXPECT_TRUE(ReadoutShows(RpmOf(block))) << frequency;
        }
        EXPECT_EQ(Boxes.Records().size(), 1u);
    } else {
        // A second refusal: the device is gone. Capture ends cleanly, reported once.
        EXPECT_EQ(Form->Recording, 0);
        EXPECT_FALSE(Device.IsOpen());
        EXPECT_EQ(Device.HeldBuffers(), 0);
        Form->StopButton->Click(); // harmless
        Device.SetAddBufferResult(MMSYSERR_NOERROR);
        Form->Button1->Click(); // works at once
        EXPECT_EQ(Form->Recording, 1);
        Device.CompleteNext(kFiftyHertz);
        EXPECT_TRUE(ReadoutShows("3000"));
    }
    EXPECT_EQ(Device.Violations(), 0);
}

const Refusal kRefusals[] = {{"Temporary", true}, {"Lasting", false}};

INSTANTIATE_TEST_SUITE_P(Cases, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CaptureTest, ClosingTheWindowWhileCapturingTakesTheBuffersBackAndCloses) {
    Form->Button1->Click();
    Device.CompleteNext(kFiftyHertz);
    ASSERT_TRUE(ReadoutShows("3000"));

    TCloseAction action = caHide;
    Form->FormClose(Form.get(), action);
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.HeldBuffers(), 0);
    EXPECT_EQ(Device.Violations(), 0);

    // The returned buffers' messages may still be queued when the form is gone.
    Form.reset();
    Application->ProcessMessages();
    Form = std::make_unique<TForm1>(nullptr);
}

TEST_F(CaptureTest, DevCapsReportsWhatTheDevicesClaimAtAnyTime) {
    WAVEOUTCAPS output{};
    std::strcpy(output.szPname, "Scripted output");
    output.dwFormats = WAVE_FORMAT_2M16 | WAVE_FORMAT_4S16;
    output.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
    WAVEINCAPS input{};
    std::strcpy(input.szPname, "Scripted input");
    input.dwFormats = WAVE_FORMAT_2M16;
    Device.SetOutputCaps(output);
    Device.SetInputCaps(input);
    Device.SetVolume(0x80004000);
    const std::string expected = "WaveOut driver: Scripted output\n"
                                 " 22.050kHz : 16bit mono\n"
                                 " 44.100kHz : 16bit stereo\n"
                                 " Supports volume control (L/R independent)\n"
                                 " Present volume: L:0x4000 R:0x8000\n"
                                 " /!\\ Does NOT claim sample-accurate position information\n"
                                 "\n"
                                 "WaveIn driver: Scripted input\n"
                                 " 22.050kHz : 16bit mono\n";

    Form->Button2->Click(); // idle
    Form->Button1->Click();
    Form->Button2->Click(); // capturing
    ASSERT_EQ(Boxes.Records().size(), 2u);
    for (const TMessageBoxRecord& box : Boxes.Records()) {
        EXPECT_EQ(box.Text, expected);
        EXPECT_EQ(box.Caption, "Soundcard Device Capabilities");
        EXPECT_EQ(box.Flags, MB_OK);
    }
    EXPECT_EQ(Form->Recording, 1);
    Device.CompleteNext(kFiftyHertz);
    EXPECT_TRUE(ReadoutShows("3000"));
}

} // namespace

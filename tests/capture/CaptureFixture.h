// The main form on the scripted input device, with message boxes recorded: the fixture of the
// capture cycle's tests.
#pragma once

#include "app/MainForm.h"
#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "platform/wave/ScriptedWaveDevice.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

class CaptureFixture : public ::testing::Test {
protected:
    static constexpr int kPatienceMs = 5000; // only ever reached when something is broken

    ~CaptureFixture() override {
        // Whatever a test left running goes the way a window close takes it.
        if (Form != nullptr) {
            TCloseAction action = caHide;
            Form->FormClose(Form.get(), action);
            Form.reset();
        }
        Application->ProcessMessages();
    }

    bool ProcessUntil(const std::function<bool()>& done) {
        return Application->ProcessMessagesUntil(done, kPatienceMs);
    }
    // Lets every message that is on its way arrive.
    void Settle() {
        Application->ProcessMessagesUntil([] { return false; }, 100);
    }

    std::string Readout() const { return Form->FreqLabel->Caption(); }
    TColor ReadoutColour() const { return Form->FreqLabel->Font().Color(); }
    bool ReadoutShows(const std::string& text) {
        return ProcessUntil([&] { return Readout() == text; });
    }

    ScriptedWaveDevice Device;
    MessageBoxRecorder Boxes;
    std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(nullptr);
};

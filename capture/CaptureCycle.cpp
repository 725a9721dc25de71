// The capture cycle: two buffers circulate between the input device and the form. While the
// device holds a buffer (from waveInAddBuffer until its completion) nothing here touches it.

#include "app/MainForm.h"
#include "display/Oscilloscope.h"
#include "display/Readout.h"
#include "measure/BlockAnalysis.h"
#include "platform/wave/WaveAudio.h"

#include <cstring>

namespace {

constexpr WAVEFORMATEX kCaptureFormat = [] {
    WAVEFORMATEX format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 22050;
    format.nAvgBytesPerSec = 44100;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    return format;
}();

constexpr DWORD kBufferBytes = sizeof(SampleBlock);
constexpr UINT kHeaderSize = sizeof(WAVEHDR);
constexpr UINT kWarningBox = MB_OK | MB_ICONWARNING;

// The selector always holds "1" to "6"; an empty or non-numeric text reads as 0.
std::int32_t LeadingNumber(const std::string& text) {
    std::int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 100000000) {
            break;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// How long the user-interface thread may wait for the device to hand a buffer back: a
// completion message is posted only after its buffer was returned, and after waveInReset the
// device holds nothing, so the wait is normally over at once. The bound keeps a device that
// breaks that promise from freezing the window for longer than a block period.
constexpr DWORD kReleaseWaitMs = 372;

// Whether the device has handed the buffer back, waiting for that without using the processor.
bool WaitUntilReleased(HWAVEIN device, WAVEHDR& header) {
    return waveInUnprepareHeaderWait(device, &header, kHeaderSize, kReleaseWaitMs) !=
           WAVERR_STILLPLAYING;
}

} // namespace

bool TForm1::RequeueBuffer(std::int32_t index) {
    WAVEHDR& header = WaveHeaders[index];
    header.lpData = reinterpret_cast<char*>(SampleBuffers[index]);
    header.dwBufferLength = kBufferBytes;
    header.dwBytesRecorded = 0;
    header.dwUser = 0;
    header.dwFlags = 0;
    header.dwLoops = 0;
    waveInPrepareHeader(WaveInHandle, &header, kHeaderSize);
    return waveInAddBuffer(WaveInHandle, &header, kHeaderSize) == MMSYSERR_NOERROR;
}

void TForm1::Button1Click(TObject* /*Sender*/) {
    // A second Start while capturing would re-arm headers the device holds.
    if (Recording) {
        return;
    }

    const MMRESULT opened = waveInOpen(&WaveInHandle, WAVE_MAPPER, &kCaptureFormat,
                                       reinterpret_cast<DWORD_PTR>(Handle()), 0, CALLBACK_WINDOW);
    if (opened != MMSYSERR_NOERROR) {
        char text[256];
        waveInGetErrorTextA(opened, text, sizeof text);
        Application->MessageBox(text, "Failed to open waveform input device.", kWarningBox);
        return;
    }

    for (CurrentBuffer = 0; CurrentBuffer < 2; ++CurrentBuffer) {
        if (!RequeueBuffer(CurrentBuffer)) {
            AbandonDevice();
            MessageBoxA(Application->Handle(), "Failed to read block from device", nullptr,
                        kWarningBox);
            return;
        }
    }

    CurrentBuffer = 0;
    if (waveInStart(WaveInHandle) != MMSYSERR_NOERROR) {
        AbandonDevice();
        MessageBoxA(Application->Handle(), "Failed to start recording", nullptr, kWarningBox);
        return;
    }
    Recording = 1;
}

void TForm1::MMWimData(TMessage& Message) {
    // A completion from a device closed earlier (Stop, then Start before its last messages
    // arrived) says nothing about the device now open. Taking it for one would wait on a buffer
    // the new device has only just begun to fill, and leave every later block one behind.
    if (reinterpret_cast<HWAVEIN>(Message.WParam) != WaveInHandle) {
        return;
    }
    if (!WaitUntilReleased(WaveInHandle, WaveHeaders[CurrentBuffer])) {
        return; // not this buffer's message after all; its own comes later
    }
    if (!Recording) {
        CurrentBuffer = 1 - CurrentBuffer;
        return;
    }
    // The expected buffer was never filled: queuing it again failed, which has been reported.
    // This completion is the other buffer's. Offer the refused one again first (the device
    // holds nothing now), then handle this one as usual; a second refusal means the device
    // is gone.
    if ((WaveHeaders[CurrentBuffer].dwFlags & WHDR_DONE) == 0) {
        const std::int32_t refused = CurrentBuffer;
        CurrentBuffer = 1 - refused;
        if (!WaitUntilReleased(WaveInHandle, WaveHeaders[CurrentBuffer])) {
            CurrentBuffer = refused;
            return;
        }
        if (!RequeueBuffer(refused)) {
            ShowCompletedBlock();
            AbandonDevice();
            Recording = 0;
            return;
        }
    }
    ShowCompletedBlock();

    if (!RequeueBuffer(CurrentBuffer)) {
        MessageBoxA(Application->Handle(), "Failed to read block from device", nullptr,
                    kWarningBox);
        return;
    }
    CurrentBuffer = 1 - CurrentBuffer;
}

void TForm1::ShowCompletedBlock() {
    // A buffer the device gave back before filling it (it failed, or Stop came mid-block) is
    // not a whole block; showing it would be a wrong reading, so the readout keeps the last one.
    const WAVEHDR& header = WaveHeaders[CurrentBuffer];
    if (header.dwBytesRecorded != header.dwBufferLength) {
        return;
    }
    SampleBlock block;
    std::memcpy(block.data(), SampleBuffers[CurrentBuffer], sizeof block);
    const std::int32_t impulsesPerRevolution = LeadingNumber(ImpPerRevCombo->Text());
    const BlockReading reading = AnalyseBlock(block, impulsesPerRevolution);

    ShowReading(*FreqLabel, reading);
    DrawScopeFrame(*Image1);
    DrawScopeTrace(*Image1, block, reading.FullRms);
}

void TForm1::StopButtonClick(TObject* /*Sender*/) {
    if (!Recording) {
        return;
    }
    // What the device would still record is never shown (Recording is 0 by the time its
    // completions are handled), so it is taken back at once instead of waited for.
    waveInReset(WaveInHandle);
    WaitUntilReleased(WaveInHandle, WaveHeaders[0]);
    WaitUntilReleased(WaveInHandle, WaveHeaders[1]);
    waveInClose(WaveInHandle);
    Recording = 0;
}

void TForm1::FormClose(TObject* /*Sender*/, TCloseAction& /*Action*/) {
    if (Recording) {
        // The buffers are fields of this form: take them back from the device before the
        // form can go, rather than leaving the device writing into freed memory.
        AbandonDevice();
        Recording = 0;
    }
}

void TForm1::AbandonDevice() {
    waveInReset(WaveInHandle);
    waveInClose(WaveInHandle);
}

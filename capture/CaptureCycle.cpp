// The capture cycle: two buffers circulate between the input device and the form. While the
// device holds a buffer (from waveInAddBuffer until its completion) nothing here touches it.

#include "app/MainForm.h"
#include "display/Oscilloscope.h"
#include "display/Readout.h"
#include "measure/BlockAnalysis.h"
#include "platform/wave/WaveAudio.h"

#include <cstring>
#include <thread>

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

// Busy-waits until the device has filled the buffer. Yielding between the calls leaves the
// device's own thread the processor (and the layer's lock) it needs to finish the buffer.
void WaitUntilReleased(HWAVEIN device, WAVEHDR& header) {
    while (waveInUnprepareHeader(device, &header, kHeaderSize) == WAVERR_STILLPLAYING) {
        std::this_thread::yield();
    }
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
    WAVEHDR& header = WaveHeaders[CurrentBuffer];
    WaitUntilReleased(WaveInHandle, header);
    if (!Recording) {
        CurrentBuffer = 1 - CurrentBuffer;
        return;
    }
    // The device never filled this buffer: queuing it failed, which has been reported. There is
    // nothing new to show, and queuing it again would only fail again.
    if ((header.dwFlags & WHDR_DONE) == 0) {
        return;
    }

    // A buffer the device gave back before filling it (it failed or stalled) is not a whole
    // block; showing it would be a wrong reading, so the readout keeps the last one.
    if (header.dwBytesRecorded == header.dwBufferLength) {
        SampleBlock block;
        std::memcpy(block.data(), SampleBuffers[CurrentBuffer], sizeof block);
        const std::int32_t impulsesPerRevolution = LeadingNumber(ImpPerRevCombo->Text());
        const BlockReading reading = AnalyseBlock(block, impulsesPerRevolution);

        ShowReading(*FreqLabel, reading);
        DrawScopeFrame(*Image1);
        DrawScopeTrace(*Image1, block, reading.FullRms);
    }

    if (!RequeueBuffer(CurrentBuffer)) {
        MessageBoxA(Application->Handle(), "Failed to read block from device", nullptr,
                    kWarningBox);
        return;
    }
    CurrentBuffer = 1 - CurrentBuffer;
}

void TForm1::StopButtonClick(TObject* /*Sender*/) {
    if (!Recording) {
        return;
    }
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

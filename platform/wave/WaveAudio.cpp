// The legacy-named front end: checks arguments, keeps the table of open devices and the
// error texts, and hands everything else to the selected backend.
#include "platform/wave/WaveAudio.h"

#include "platform/wave/WaveBackend.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD kCallbackTypeMask = 0x00070000;
// Far from small integers so that a device number passed by mistake is never a live handle.
constexpr std::uintptr_t kHandleBase = 0x5EC0'0000;

struct OpenDevice {
    std::uint64_t Serial = 0;
    WaveBackend* Backend = nullptr;
    std::unique_ptr<WaveInCore> Core;
    std::unique_ptr<WaveInStream> Stream;
};

// Everything the front end keeps. One lock serialises the front end; device threads never take
// it, so waiting for a device thread under it cannot deadlock.
class Layer {
public:
    // The system's backend is built first so that it is destroyed after the devices below.
    Layer() : System(PortAudioWaveBackend()) {}
    ~Layer() {
        // A program may end with a device still open; its thread must stop before the process
        // tears down what it uses.
        for (auto& device : Devices) {
            device->Stream.reset();
        }
    }

    WaveBackend& System;
    std::mutex Mutex;
    WaveBackend* Installed = nullptr; // a test's device; nullptr: the system's
    std::vector<std::unique_ptr<OpenDevice>> Devices;
    std::uint64_t NextSerial = 1;
    // The full text of the last failure with each code, where the layer knew more than the code.
    std::array<std::string, 64> LastTexts;
    bool RecordedInCall = false; // the current call has set its failure's text

    OpenDevice* Find(HWAVEIN handle) {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        for (auto& device : Devices) {
            if (kHandleBase + device->Serial == value) {
                return device.get();
            }
        }
        return nullptr;
    }

    MMRESULT Record(MMRESULT code, std::string text) {
        RecordedInCall = true;
        if (code < LastTexts.size()) {
            LastTexts[code] = std::move(text);
        }
        return code;
    }

    WaveBackend& Backend() { return Installed != nullptr ? *Installed : System; }
};

Layer& TheLayer() {
    static Layer layer;
    return layer;
}

// Outside the layer, so that installing it (the main form does, when it is built) does not build
// the layer before a test's backend, which must outlive the layer.
constinit std::atomic<WaveInWindowNotifier> Notifier{nullptr};

// One call of the front end, under the layer's lock. A failure that set no text of its own
// forgets the text an earlier failure with the same code left, so waveInGetErrorTextA always
// describes the latest failure with a code, never an older one.
template <class Body> MMRESULT Serialised(Body body) {
    Layer& layer = TheLayer();
    std::lock_guard lock(layer.Mutex);
    layer.RecordedInCall = false;
    const MMRESULT result = body(layer);
    if (result != MMSYSERR_NOERROR && !layer.RecordedInCall) {
        layer.Record(result, {});
    }
    return result;
}

std::string Joined(std::string_view what, std::string_view reason) {
    std::string text(what);
    if (!reason.empty()) {
        text += ": ";
        text += reason;
    }
    return text;
}

// The system's own texts where nothing more specific was recorded.
const char* BaseText(MMRESULT code) {
    switch (code) {
    case MMSYSERR_NOERROR:
        return "The operation completed successfully";
    case MMSYSERR_ERROR:
        return "The sound system reported an unspecified error";
    case MMSYSERR_BADDEVICEID:
        return "There is no sound device with that number";
    case MMSYSERR_NOTENABLED:
        return "The sound driver could not be enabled";
    case MMSYSERR_ALLOCATED:
        return "The sound device is already in use";
    case MMSYSERR_INVALHANDLE:
        return "The sound device is not open";
    case MMSYSERR_NODRIVER:
        return "No sound input device is available";
    case MMSYSERR_NOMEM:
        return "Not enough memory, or too many buffers queued on the sound device";
    case MMSYSERR_NOTSUPPORTED:
        return "The sound device does not support this operation";
    case MMSYSERR_BADERRNUM:
        return "The error code is not one of the sound system's";
    case MMSYSERR_INVALFLAG:
        return "An invalid flag was passed to the sound device";
    case MMSYSERR_INVALPARAM:
        return "An invalid parameter was passed to the sound device";
    case WAVERR_BADFORMAT:
        return "The sound device cannot record in this format";
    case WAVERR_STILLPLAYING:
        return "The sound device still holds buffers";
    case WAVERR_UNPREPARED:
        return "The buffer header is not prepared";
    default:
        return nullptr;
    }
}

// Checks what every backend relies on; the backend decides whether it records the format.
bool CheckPcmFormat(const WAVEFORMATEX& format, std::string& problem) {
    char text[160];
    if (format.wFormatTag != WAVE_FORMAT_PCM) {
        std::snprintf(text, sizeof text, "only PCM is recorded, not format tag %u",
                      unsigned{format.wFormatTag});
    } else if (format.nChannels != 1 && format.nChannels != 2) {
        std::snprintf(text, sizeof text, "%u channels requested; 1 or 2 are possible",
                      unsigned{format.nChannels});
    } else if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) {
        std::snprintf(text, sizeof text, "%u bits per sample requested; 8 or 16 are possible",
                      unsigned{format.wBitsPerSample});
    } else if (format.nSamplesPerSec == 0) {
        std::snprintf(text, sizeof text, "a sample rate of 0 Hz was requested");
    } else if (format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        std::snprintf(text, sizeof text, "block alignment %u does not match %u x %u bits",
                      unsigned{format.nBlockAlign}, unsigned{format.nChannels},
                      unsigned{format.wBitsPerSample});
    } else if (format.nAvgBytesPerSec !=
               static_cast<std::uint64_t>(format.nSamplesPerSec) * format.nBlockAlign) {
        std::snprintf(text, sizeof text, "%u bytes per second do not match %u Hz x %u bytes",
                      unsigned{format.nAvgBytesPerSec}, unsigned{format.nSamplesPerSec},
                      unsigned{format.nBlockAlign});
    } else {
        return true;
    }
    problem = text;
    return false;
}

bool NamesDefaultDevice(UINT_PTR id) {
    return id == 0 || id == WAVE_MAPPER || id == static_cast<UINT_PTR>(-1);
}

} // namespace

void CopyName(std::span<char> field, std::string_view text) {
    if (field.empty()) {
        return;
    }
    std::size_t length = std::min(text.size(), field.size() - 1);
    // Device names are UTF-8; a cut inside a character would leave an invalid sequence behind.
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(field.data(), text.data(), length);
    std::memset(field.data() + length, 0, field.size() - length);
}

bool InstallWaveBackend(WaveBackend* backend) {
    Layer& layer = TheLayer();
    std::lock_guard lock(layer.Mutex);
    if (backend != layer.Installed && !layer.Devices.empty()) {
        return false;
    }
    layer.Installed = backend;
    return true;
}

void SetWaveInWindowNotifier(WaveInWindowNotifier notifier) {
    Notifier.store(notifier, std::memory_order_relaxed);
}

MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
    return Serialised([&](Layer& layer) -> MMRESULT {
        if (phwi == nullptr || pwfx == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (!NamesDefaultDevice(uDeviceID)) {
            return MMSYSERR_BADDEVICEID;
        }
        const DWORD callbackType = fdwOpen & kCallbackTypeMask;
        if ((fdwOpen & ~kCallbackTypeMask) != 0 ||
            (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW)) {
            return layer.Record(MMSYSERR_INVALFLAG,
                                "An invalid flag was passed to the sound device: only window "
                                "notification or none is possible");
        }
        std::string problem;
        if (!CheckPcmFormat(*pwfx, problem)) {
            return layer.Record(WAVERR_BADFORMAT, Joined(BaseText(WAVERR_BADFORMAT), problem));
        }

        auto device = std::make_unique<OpenDevice>();
        device->Serial = layer.NextSerial;
        device->Backend = &layer.Backend();
        const auto handle = reinterpret_cast<HWAVEIN>(kHandleBase + device->Serial);
        const WaveInWindowNotifier notifier =
            callbackType == CALLBACK_WINDOW ? Notifier.load(std::memory_order_relaxed) : nullptr;
        device->Core =
            std::make_unique<WaveInCore>(handle, reinterpret_cast<HWND>(dwCallback), notifier,
                                         pwfx->nBlockAlign, device->Backend->Statistics());
        std::string text;
        const MMRESULT result =
            device->Backend->OpenInput(*pwfx, *device->Core, device->Stream, text);
        if (result != MMSYSERR_NOERROR) {
            return layer.Record(result, std::move(text));
        }
        ++layer.NextSerial;
        layer.Devices.push_back(std::move(device));
        *phwi = handle;
        return MMSYSERR_NOERROR;
    });
}

namespace {

// Every call on an open device: under the layer's lock, with the handle looked up; a handle that
// names no open device (never opened, or closed) gets MMSYSERR_INVALHANDLE.
template <class Action> MMRESULT WithDevice(HWAVEIN hwi, Action action) {
    return Serialised([&](Layer& layer) -> MMRESULT {
        OpenDevice* device = layer.Find(hwi);
        if (device == nullptr) {
            return MMSYSERR_INVALHANDLE;
        }
        return action(layer, *device);
    });
}

bool IsHeaderArgument(const WAVEHDR* pwh, UINT cbwh) {
    return pwh != nullptr && cbwh >= sizeof(WAVEHDR);
}

MMRESULT RecordStoppedWorking(Layer& layer, const WaveInCore& core) {
    return layer.Record(MMSYSERR_NODRIVER,
                        Joined("The sound input device stopped working", core.FailureReason()));
}

} // namespace

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return WithDevice(hwi, [&](Layer& /*layer*/, OpenDevice& device) -> MMRESULT {
        if (!IsHeaderArgument(pwh, cbwh)) {
            return MMSYSERR_INVALPARAM;
        }
        if (device.Core->Holds(pwh)) {
            device.Core->CountViolation();
            return WAVERR_STILLPLAYING;
        }
        pwh->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return WithDevice(hwi, [&](Layer& layer, OpenDevice& device) -> MMRESULT {
        if (!IsHeaderArgument(pwh, cbwh)) {
            return MMSYSERR_INVALPARAM;
        }
        WaveInCore& core = *device.Core;
        if (core.Holds(pwh)) {
            core.CountViolation();
            return WAVERR_STILLPLAYING;
        }
        if ((pwh->dwFlags & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if (pwh->lpData == nullptr || pwh->dwBufferLength < core.BlockAlign()) {
            return MMSYSERR_INVALPARAM;
        }
        if (core.Failed()) {
            return RecordStoppedWorking(layer, core);
        }
        std::string text;
        const MMRESULT admitted = device.Stream->AdmitBuffer(text);
        if (admitted != MMSYSERR_NOERROR) {
            return layer.Record(admitted, std::move(text));
        }
        const MMRESULT result = core.Add(pwh);
        if (result == MMSYSERR_NODRIVER) {
            return RecordStoppedWorking(layer, core);
        }
        if (result == MMSYSERR_NOERROR) {
            device.Stream->BufferAdded();
        }
        return result;
    });
}

MMRESULT waveInStart(HWAVEIN hwi) {
    return WithDevice(hwi, [](Layer& layer, OpenDevice& device) -> MMRESULT {
        if (device.Core->Failed()) {
            return RecordStoppedWorking(layer, *device.Core);
        }
        std::string text;
        const MMRESULT result = device.Stream->Start(text);
        return result == MMSYSERR_NOERROR ? result : layer.Record(result, std::move(text));
    });
}

MMRESULT waveInStop(HWAVEIN hwi) {
    return WithDevice(hwi, [](Layer& /*layer*/, OpenDevice& device) -> MMRESULT {
        device.Stream->Stop();
        device.Core->ReturnPartial();
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInReset(HWAVEIN hwi) {
    return WithDevice(hwi, [](Layer& /*layer*/, OpenDevice& device) -> MMRESULT {
        device.Stream->Stop();
        device.Core->ReturnAll();
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return WithDevice(hwi, [&](Layer& /*layer*/, OpenDevice& device) -> MMRESULT {
        if (!IsHeaderArgument(pwh, cbwh)) {
            return MMSYSERR_INVALPARAM;
        }
        if (device.Core->Holds(pwh)) {
            return WAVERR_STILLPLAYING;
        }
        pwh->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInUnprepareHeaderWait(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh, DWORD timeoutMs) {
    return WithDevice(hwi, [&](Layer& /*layer*/, OpenDevice& device) -> MMRESULT {
        if (!IsHeaderArgument(pwh, cbwh)) {
            return MMSYSERR_INVALPARAM;
        }
        // Under the layer's lock: the device threads never take it, so they go on returning.
        if (!device.Core->WaitUntilReleased(pwh, std::chrono::milliseconds(timeoutMs))) {
            return WAVERR_STILLPLAYING;
        }
        pwh->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInClose(HWAVEIN hwi) {
    return WithDevice(hwi, [](Layer& layer, OpenDevice& device) -> MMRESULT {
        if (device.Core->HeldCount() > 0) {
            return layer.Record(WAVERR_STILLPLAYING,
                                "The sound device still holds buffers; reset it before closing");
        }
        device.Stream.reset();
        std::erase_if(layer.Devices, [&device](const auto& open) { return open.get() == &device; });
        return MMSYSERR_NOERROR;
    });
}

MMRESULT waveInGetErrorTextA(MMRESULT mmrError, char* pszText, UINT cchText) {
    if (pszText == nullptr || cchText == 0) {
        return MMSYSERR_INVALPARAM;
    }
    Layer& layer = TheLayer();
    std::lock_guard lock(layer.Mutex);
    const std::span<char> field(pszText, cchText);
    if (mmrError < layer.LastTexts.size() && !layer.LastTexts[mmrError].empty()) {
        CopyName(field, layer.LastTexts[mmrError]);
        return MMSYSERR_NOERROR;
    }
    if (const char* text = BaseText(mmrError)) {
        CopyName(field, text);
        return MMSYSERR_NOERROR;
    }
    char unknown[64];
    std::snprintf(unknown, sizeof unknown, "Unknown sound system error %u", unsigned{mmrError});
    CopyName(field, unknown);
    return MMSYSERR_BADERRNUM;
}

namespace {

// Both capability queries: a failed one reports a cleared record, and only `size` bytes of the
// caller's record are written.
template <class Caps>
MMRESULT QueryCaps(UINT_PTR deviceId, Caps* out, UINT size,
                   MMRESULT (WaveBackend::*query)(Caps&, std::string&)) {
    return Serialised([&](Layer& layer) -> MMRESULT {
        if (out == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (!NamesDefaultDevice(deviceId)) {
            return MMSYSERR_BADDEVICEID;
        }
        Caps caps{};
        std::string text;
        const MMRESULT result = (layer.Backend().*query)(caps, text);
        if (result != MMSYSERR_NOERROR) {
            caps = Caps{};
            layer.Record(result, std::move(text));
        }
        std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof caps));
        return result;
    });
}

} // namespace

MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, WAVEINCAPS* pwic, UINT cbwic) {
    return QueryCaps(uDeviceID, pwic, cbwic, &WaveBackend::InputCaps);
}

MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, WAVEOUTCAPS* pwoc, UINT cbwoc) {
    return QueryCaps(uDeviceID, pwoc, cbwoc, &WaveBackend::OutputCaps);
}

MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume) {
    return Serialised([&](Layer& layer) -> MMRESULT {
        if (pdwVolume == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (!NamesDefaultDevice(reinterpret_cast<UINT_PTR>(hwo))) {
            return MMSYSERR_INVALHANDLE;
        }
        DWORD volume = 0;
        std::string text;
        const MMRESULT result = layer.Backend().OutputVolume(volume, text);
        if (result != MMSYSERR_NOERROR) {
            return layer.Record(result, std::move(text));
        }
        *pdwVolume = volume;
        return MMSYSERR_NOERROR;
    });
}

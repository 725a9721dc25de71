// Waveform audio input and device queries: legacy-named front end over pluggable backends.
// Depends on nothing of the program's own beyond the shared Windows-style types.
//
// Every function may be called from the user-interface thread (calls from other threads are
// serialised). The device fills queued buffers on a thread of its own. For a device opened with
// CALLBACK_WINDOW, each filled buffer's completion is announced through the window notifier the
// client installed (SetWaveInWindowNotifier) as MM_WIM_DATA (wParam: the device handle, lParam:
// the header's address) for the window given at open. Buffers complete in the order queued.
// Samples that arrive while no buffer is queued are dropped.
//
// When the stream fails (the device is unplugged, its sound server goes away, or it delivers no
// samples for several seconds while running, far longer than the pauses of a suspended source
// or a Bluetooth profile switch; a test's device only on command), every
// buffer the device holds is returned at once as complete, with what it holds, and each is
// announced; from then on waveInAddBuffer and waveInStart fail with MMSYSERR_NODRIVER and a text
// naming the reason, and only unprepare, reset and close remain useful. A buffer returned with
// fewer bytes than its length (see dwBytesRecorded) reads as silence (zeros) beyond what was
// recorded, never as older samples.
//
// The backend is the system's sound input (PortAudio); tests install another one through the
// hook in platform/wave/WaveBackend.h.
#pragma once

#include "platform/wintypes/WaveCaps.h"
#include "platform/wintypes/WinTypes.h"

using MMRESULT = UINT;

struct WaveInDevice;
using HWAVEIN = WaveInDevice*;
struct WaveOutDevice;
using HWAVEOUT = WaveOutDevice*;

// Result codes. Every one has a text from waveInGetErrorTextA.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;       // unspecified failure
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2; // no such device
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;   // device busy
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5; // handle not open (or already closed)
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;    // no sound system / no input device
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;       // out of memory, or too many buffers queued
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9; // waveInGetErrorTextA: unknown code
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;    // format not accepted by the device
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33; // the device still holds buffers
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;   // header not prepared

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1); // the default device
inline constexpr DWORD CALLBACK_NULL = 0x00000000;         // no completion messages
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;       // dwCallback is an HWND
inline constexpr UINT MM_WIM_DATA = 0x3C0;
inline constexpr WORD WAVE_FORMAT_PCM = 1;

// Header flags, set by the layer.
inline constexpr DWORD WHDR_DONE = 0x01; // the device has filled and returned the buffer
inline constexpr DWORD WHDR_PREPARED = 0x02;
inline constexpr DWORD WHDR_INQUEUE = 0x10; // the device holds the buffer

#pragma pack(push, 2)
struct WAVEFORMATEX {
    WORD wFormatTag = 0;
    WORD nChannels = 0;
    DWORD nSamplesPerSec = 0;
    DWORD nAvgBytesPerSec = 0;
    WORD nBlockAlign = 0;
    WORD wBitsPerSample = 0;
    WORD cbSize = 0;
};
#pragma pack(pop)

// Describes one buffer. Between waveInAddBuffer and its completion the device owns both the
// header and the memory it points at; the device publishes a completion by setting WHDR_DONE
// last (an atomic store), so whoever sees it, or sees waveInUnprepareHeader succeed, may read the
// samples. Preparing or queuing a header the device holds is refused and counted as a fault of
// the caller.
struct WAVEHDR {
    char* lpData = nullptr;    // buffer memory, owned by the caller
    DWORD dwBufferLength = 0;  // bytes
    DWORD dwBytesRecorded = 0; // bytes filled, set on completion
    DWORD dwUser = 0;
    DWORD dwFlags = 0; // WHDR_* bits
    DWORD dwLoops = 0;
    DWORD dwReserved = 0;
};
static_assert(sizeof(void*) != 8 || sizeof(WAVEHDR) == 32);

// Announces one completed buffer of a device opened with CALLBACK_WINDOW: window is the HWND
// given at open, message MM_WIM_DATA, wParam the device handle, lParam the header's address.
// Called on a notifier thread of the open device's own (an ordinary thread, never a real-time
// audio callback), in the order the buffers were returned, a moment after each return; also for
// the buffers waveInStop and waveInReset return, and waveInClose announces what is still
// unannounced before it returns. It may take short locks and allocate; it must return promptly
// and must not call any function of this header. The form library's PostMessage is the one the
// window program installs.
using WaveInWindowNotifier = bool (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Installs the notifier for devices opened from now on (a device keeps the one it was opened
// with); nullptr removes it. Without one, a device opened with CALLBACK_WINDOW announces nothing
// and its caller sees completion only in the header (WHDR_DONE, waveInUnprepareHeader).
void SetWaveInWindowNotifier(WaveInWindowNotifier notifier);

// Opens the input device (WAVE_MAPPER or 0 for the default; there is no other) with the given
// PCM format. With CALLBACK_WINDOW, dwCallback is the HWND that MM_WIM_DATA is announced for;
// with CALLBACK_NULL nothing is announced and the caller watches WHDR_DONE or
// waveInUnprepareHeader. On success stores the handle in *phwi and returns 0. A handle stays valid
// until waveInClose succeeds; afterwards every call with it returns MMSYSERR_INVALHANDLE (handles
// are never reused). Fails with WAVERR_BADFORMAT for a format the device does not record, and with
// MMSYSERR_NODRIVER when there is no input device (the text gives the sound system's reason).
MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
// Marks a header usable for queuing. A header the device holds is left alone and answered with
// WAVERR_STILLPLAYING.
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
// Hands a prepared buffer to the device; it completes after every buffer queued before it.
// Refuses a header the device already holds (WAVERR_STILLPLAYING), an unprepared one
// (WAVERR_UNPREPARED), one shorter than a sample frame (MMSYSERR_INVALPARAM), more than 32
// queued buffers (MMSYSERR_NOMEM), and every buffer once the stream has failed
// (MMSYSERR_NODRIVER).
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops capture. A buffer that is partly filled is returned at once with what it holds (and
// announced); empty buffers keep their place in the queue, and waveInStart resumes into them.
MMRESULT waveInStop(HWAVEIN hwi);
// Stops capture and returns every queued buffer at once, marked done, each with its
// MM_WIM_DATA. Afterwards the device holds nothing and waveInClose succeeds.
MMRESULT waveInReset(HWAVEIN hwi);
// Returns WAVERR_STILLPLAYING while the device holds the buffer; otherwise releases it. Never
// waits: callers that must have the buffer back use waveInUnprepareHeaderWait.
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
// waveInUnprepareHeader once the device has returned the buffer, waiting for that up to
// timeoutMs milliseconds without using the processor (woken by the device's return); after
// waveInReset it never waits. WAVERR_STILLPLAYING when the device still holds the buffer at the
// end. Other threads' calls into this layer wait meanwhile.
MMRESULT waveInUnprepareHeaderWait(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh, DWORD timeoutMs);
// Closes the device; refuses with WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveInClose(HWAVEIN hwi);
// A readable, NUL-terminated text for any result code, cut to cchText - 1 characters. Where the
// sound system gave a reason for the last failure with that code, the text includes it. An
// unknown code gets a text saying so and the result MMSYSERR_BADERRNUM.
MMRESULT waveInGetErrorTextA(MMRESULT mmrError, char* pszText, UINT cchText);

// Capabilities of the default (WAVE_MAPPER or 0) device. Fills at most cbwic bytes. Every
// format and feature bit set is one the device accepts or has; what cannot be established is
// left clear. Without a device the record is cleared and MMSYSERR_NODRIVER returned.
MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, WAVEINCAPS* pwic, UINT cbwic);
MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, WAVEOUTCAPS* pwoc, UINT cbwoc);
// Output volume: left channel in the low word, right in the high word, 0..0xFFFF each (both
// words equal when the channels share one control). A handle of (HWAVEOUT)-1, WAVE_MAPPER cast
// to a handle, or 0 names the default output. MMSYSERR_NOTSUPPORTED, with *pdwVolume untouched,
// where the output has no readable volume control (waveOutGetDevCapsA then claims none).
MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume);

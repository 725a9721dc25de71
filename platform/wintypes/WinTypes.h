// The Windows-style integer and handle types the platform's layers share: the form library's
// messages and the waveform-audio layer's calls are made of them. Types only; no code.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Opaque handle of a form's window. The form library hands them out and says how long each is
// valid; to everyone else it is a value to pass on.
struct WindowHandleTag;
using HWND = WindowHandleTag*;

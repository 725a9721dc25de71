// The readout: each reading's RPM in large figures, coloured by its verdicts.
//
// Thread: user-interface thread (ShowReading); the pure functions may be called from any.
#pragma once

#include "measure/BlockAnalysis.h"
#include "platform/forms/Graphics.h"
#include "platform/forms/StdCtrls.h"

#include <array>
#include <cstddef>
#include <string_view>

// A readout text held in place, so producing it allocates nothing.
struct ReadoutText {
    std::array<char, 12> Chars{}; // NUL-terminated; "-2147483648" is the longest
    std::size_t Length = 0;
    std::string_view View() const { return {Chars.data(), Length}; }
};

// The reading's Rpm as "%i" formats it: decimal, no padding, no digit grouping, a minus sign
// for a negative value.
ReadoutText ReadingText(const BlockReading& reading);

// clLime for a steady reading, clGreen for an unsteady one, clRed for an overloaded one,
// steady or not.
TColor ReadingColour(const BlockReading& reading);

// Puts the reading on the readout label: its font colour becomes ReadingColour, then its
// caption ReadingText. Nothing else of the label changes.
void ShowReading(TLabel& label, const BlockReading& reading);

#include "display/Readout.h"

#include <cstdio>

ReadoutText ReadingText(const BlockReading& reading) {
    ReadoutText text;
    const int length = std::snprintf(text.Chars.data(), text.Chars.size(), "%i", int(reading.Rpm));
    text.Length = length > 0 ? std::size_t(length) : 0;
    return text;
}

TColor ReadingColour(const BlockReading& reading) {
    // Overload outranks steadiness: a clipped signal's rate cannot be trusted however even.
    TColor colour = clLime;
    if (!reading.Stable) {
        colour = clGreen;
    }
    if (reading.Overload) {
        colour = clRed;
    }
    return colour;
}

void ShowReading(TLabel& label, const BlockReading& reading) {
    const ReadoutText text = ReadingText(reading);
    label.Font().SetColor(ReadingColour(reading));
    label.SetCaption(text.View());
}

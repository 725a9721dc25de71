// The readout: text and colour of each reading, and what ShowReading changes on the label.
#include "display/Readout.h"

#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

BlockReading Reading(std::int32_t rpm, bool stable, bool overload) {
    BlockReading reading;
    reading.Rpm = rpm;
    reading.Stable = stable;
    reading.Overload = overload;
    return reading;
}

TEST(Readout, ColourFollowsTheVerdicts) {
    struct Case {
        bool Stable;
        bool Overload;
        TColor Expected;
    };
    const Case cases[] = {
        {true, false, clLime},
        {false, false, clGreen},
        {true, true, clRed},
        {false, true, clRed}, // overload outranks unsteadiness
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadingColour(Reading(3000, c.Stable, c.Overload)), c.Expected)
            << "stable " << c.Stable << ", overload " << c.Overload;
    }
}

TEST(Readout, TextIsTheRpmAsPlainDecimal) {
    struct Case {
        std::int32_t Rpm;
        std::string Expected;
    };
    const Case cases[] = {
        {0, "0"},
        {3000, "3000"},
        {540, "540"},
        {100000, "100000"}, // no digit grouping
        {INT_MAX, "2147483647"},
        {-1, "-1"},
        {INT_MIN, "-2147483648"},
    };
    for (const Case& c : cases) {
        const ReadoutText text = ReadingText(Reading(c.Rpm, true, false));
        EXPECT_EQ(text.View(), c.Expected);
        EXPECT_EQ(std::string(text.Chars.data()), c.Expected); // NUL-terminated too
    }
}

TEST(Readout, ShowReadingSetsCaptionAndColourOnly) {
    TForm form(nullptr);
    auto* label = form.CreateComponent<TLabel>();
    label->SetParent(&form);
    label->SetAutoSize(false);
    label->SetBounds(8, 24, 161, 56);
    label->Font().SetName("Arial");
    label->Font().SetHeight(-48);
    label->Font().SetStyle(fsBold);
    label->SetColor(clBlack);

    struct Step {
        BlockReading Reading;
        std::string Caption;
        TColor Colour;
    };
    const Step steps[] = {
        {Reading(3000, true, false), "3000", clLime}, {Reading(540, false, false), "540", clGreen},
        {Reading(12000, true, true), "12000", clRed}, {Reading(0, false, true), "0", clRed},
        {Reading(3000, true, false), "3000", clLime}, // lime again after red
    };
    for (const Step& step : steps) {
        ShowReading(*label, step.Reading);
        EXPECT_EQ(label->Caption(), step.Caption);
        EXPECT_EQ(label->Font().Color(), step.Colour) << step.Caption;
    }
    EXPECT_EQ(label->Font().Name(), "Arial");
    EXPECT_EQ(label->Font().Height(), -48);
    EXPECT_EQ(label->Font().Style(), TFontStyles(fsBold));
    EXPECT_EQ(label->Color(), clBlack);
    EXPECT_EQ(label->Width(), 161);
    EXPECT_EQ(label->Height(), 56);
}

} // namespace

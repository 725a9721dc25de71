// Standard controls: label, button, combo box, group box.
//
// Thread: user-interface thread only. Text is UTF-8.
#pragma once

#include "platform/forms/Controls.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

// Static text.
class TLabel : public TGraphicControl {
public:
    explicit TLabel(TComponent* owner);

    std::string Caption() const;
    // Shown as plain text, never interpreted as markup.
    void SetCaption(std::string_view caption);
    // Horizontal placement of the text; vertically it sits at the top.
    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment alignment);
    // When on (the default), the label takes the size of its text after every change of
    // caption or font, keeping its top-left corner; with WordWrap it keeps its width.
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool autoSize);
    // Breaks the text into lines at word boundaries to fit the width.
    bool WordWrap() const;
    void SetWordWrap(bool wordWrap);

protected:
    void FontApplied() override { FitToText(); }

private:
    void FitToText();

    TAlignment FAlignment = taLeftJustify;
    bool FAutoSize = true;
};

// A push button. An '&' in the caption marks the next letter as its accelerator: Alt and that
// letter press the button ("&&" shows one '&').
class TButton : public TWinControl {
public:
    explicit TButton(TComponent* owner);

    std::string Caption() const;
    void SetCaption(std::string_view caption);
    // Does what a press does: fires OnClick.
    void Click();

    // Fired when the user presses the button (mouse, space bar or accelerator). An exception
    // that escapes the handler is shown by the application's exception display.
    TNotifyEvent OnClick;
};

enum TComboBoxStyle {
    csDropDown,     // an edit field with a list: any text may be typed
    csDropDownList, // a list only: the text is always one of the items, or empty
};

// A selector with a drop-down list of items.
class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* owner);

    TComboBoxStyle Style() const;
    void SetStyle(TComboBoxStyle style);

    std::vector<std::string> Items() const;
    // Replaces the items; afterwards no item is selected (the typed text of a csDropDown box
    // stays).
    void SetItems(std::span<const std::string_view> items);

    // The selected item, or -1 for none.
    int ItemIndex() const;
    // Selects an item; -1 or an index outside the items selects none (and empties the text).
    void SetItemIndex(int index);

    // The text shown: the selected item or, in a csDropDown box, what was typed. The reference
    // stays valid until the text next changes; reading it allocates nothing.
    const std::string& Text() const { return FText; }
    // csDropDown: shows the text. csDropDownList: selects the first item equal to it, or none.
    void SetText(std::string_view text);

    // Height of one entry of the drop-down list, pixels.
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int height);

private:
    void TextChanged();

    std::string FText;
    int FItemHeight = 13;
};

// A frame with a caption that groups other controls; its children are placed relative to its
// top-left corner.
class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* owner);

    std::string Caption() const;
    void SetCaption(std::string_view caption);
};

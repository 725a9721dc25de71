// Form descriptions: a form's window and controls written as one table of properties, from
// which LoadForm builds the form, like a resource the platform streams a form from.
//
// A row names the form's field that receives the control; the field's type gives the
// control's class. Rows are created in table order, which is also the stacking order, and a
// row's parent must be an earlier row (or the form). Only the properties a row gives are set;
// the others keep the class's defaults.
//
// Thread: user-interface thread only.
#pragma once

#include "platform/forms/ExtCtrls.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

struct TFontDescription {
    std::string_view Name = "MS Sans Serif";
    int Height = -11; // pixels; see TFont
    TColor Color = clWindowText;
    TFontStyles Style = 0;
    TFontCharset Charset = DEFAULT_CHARSET;
};

template <class TFormClass> struct TControlDescription {
    using Field =
        std::variant<TLabel * TFormClass::*, TButton * TFormClass::*, TComboBox * TFormClass::*,
                     TGroupBox * TFormClass::*, TShape * TFormClass::*, TImage * TFormClass::*>;

    Field Control = {};           // the form's field that receives the new control
    std::string_view Name = {};   // the component's name
    std::string_view Parent = {}; // name of an earlier row; empty for the form itself
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    std::string_view Caption = {};                // label, button, group box; combo box: text
    std::span<const std::string_view> Items = {}; // combo box
    std::optional<int> TabOrder = {};             // button, combo box, group box
    bool Enabled = true;
    std::optional<TAlignment> Alignment = {};        // label
    std::optional<bool> AutoSize = {};               // label
    bool WordWrap = false;                           // label
    std::optional<TColor> Color = {};                // background
    std::optional<TFontDescription> Font = {};       // otherwise the parent's font
    std::optional<TComboBoxStyle> Style = {};        // combo box
    std::optional<int> ItemHeight = {};              // combo box
    std::optional<TShapeType> Shape = {};            // shape
    std::optional<TColor> BrushColor = {};           // shape
    void (TFormClass::*OnClick)(TObject*) = nullptr; // button
};

template <class TFormClass> struct TFormDescription {
    int Left = 0;
    int Top = 0;
    int ClientWidth = 0;
    int ClientHeight = 0;
    TFormBorderStyle BorderStyle = bsSizeable;
    std::string_view Caption = {};
    TFontDescription Font = {};
    void (TFormClass::*OnClose)(TObject*, TCloseAction&) = nullptr;
    std::span<const TControlDescription<TFormClass>> Controls = {};
};

namespace FormsImpl {

void ApplyFontDescription(TFont& font, const TFontDescription& description);
// The control named `parent` among the form's components, or the form for an empty name.
// Throws Exception when there is no such container.
TWinControl& FindParent(TForm& form, std::string_view parent, std::string_view child);
// Throws Exception: `property` does not apply to the class of the control `name`.
[[noreturn]] void RejectProperty(std::string_view name, std::string_view property);

template <class TClass, class TFormClass>
void ApplyDescription(TFormClass& form, TClass& control,
                      const TControlDescription<TFormClass>& row) {
    constexpr bool isLabel = std::is_same_v<TClass, TLabel>;
    constexpr bool isButton = std::is_same_v<TClass, TButton>;
    constexpr bool isCombo = std::is_same_v<TClass, TComboBox>;
    constexpr bool isGroupBox = std::is_same_v<TClass, TGroupBox>;
    constexpr bool isShape = std::is_same_v<TClass, TShape>;

    control.SetName(row.Name);
    control.SetParent(&FindParent(form, row.Parent, row.Name));
    // Properties that decide how the control sizes itself come before its size and font, so
    // that a label with auto-sizing off keeps the size given and one with it on fits its text.
    if constexpr (isLabel) {
        if (row.AutoSize) {
            control.SetAutoSize(*row.AutoSize);
        }
        control.SetWordWrap(row.WordWrap);
        if (row.Alignment) {
            control.SetAlignment(*row.Alignment);
        }
    } else if (row.AutoSize || row.WordWrap || row.Alignment) {
        RejectProperty(row.Name, "AutoSize, WordWrap or Alignment");
    }
    if (row.Color) {
        control.SetColor(*row.Color);
    }
    if (row.Font) {
        ApplyFontDescription(control.Font(), *row.Font);
    }
    control.SetBounds(row.Left, row.Top, row.Width, row.Height);
    control.SetEnabled(row.Enabled);

    if constexpr (std::is_base_of_v<TWinControl, TClass>) {
        if (row.TabOrder) {
            control.SetTabOrder(*row.TabOrder);
        }
    } else if (row.TabOrder) {
        RejectProperty(row.Name, "TabOrder");
    }

    if constexpr (isCombo) {
        if (row.Style) {
            control.SetStyle(*row.Style);
        }
        control.SetItems(row.Items);
        if (row.ItemHeight) {
            control.SetItemHeight(*row.ItemHeight);
        }
        if (!row.Caption.empty()) {
            control.SetText(row.Caption);
        }
    } else if (row.Style || !row.Items.empty() || row.ItemHeight) {
        RejectProperty(row.Name, "Style, Items or ItemHeight");
    }

    if constexpr (isLabel || isButton || isGroupBox) {
        control.SetCaption(row.Caption);
    } else if (!isCombo && !row.Caption.empty()) {
        RejectProperty(row.Name, "Caption");
    }

    if constexpr (isShape) {
        if (row.Shape) {
            control.SetShape(*row.Shape);
        }
        if (row.BrushColor) {
            control.Brush().SetColor(*row.BrushColor);
        }
    } else if (row.Shape || row.BrushColor) {
        RejectProperty(row.Name, "Shape or BrushColor");
    }

    if constexpr (isButton) {
        if (row.OnClick != nullptr) {
            control.OnClick = TNotifyEvent(&form, row.OnClick);
        }
    } else if (row.OnClick != nullptr) {
        RejectProperty(row.Name, "OnClick");
    }
}

} // namespace FormsImpl

// Builds `form` from its description: the window's properties, then every control in table
// order, each stored in its field. Throws Exception when a row is inconsistent (unknown parent,
// a property its class does not have).
template <class TFormClass>
void LoadForm(TFormClass& form, const TFormDescription<TFormClass>& description) {
    form.SetCaption(description.Caption);
    form.SetBorderStyle(description.BorderStyle);
    FormsImpl::ApplyFontDescription(form.Font(), description.Font);
    form.SetLeft(description.Left);
    form.SetTop(description.Top);
    form.SetClientWidth(description.ClientWidth);
    form.SetClientHeight(description.ClientHeight);
    if (description.OnClose != nullptr) {
        form.OnClose = TCloseEvent(&form, description.OnClose);
    }
    for (const TControlDescription<TFormClass>& row : description.Controls) {
        std::visit(
            [&](auto field) {
                using TClass = std::remove_pointer_t<std::remove_cvref_t<decltype(form.*field)>>;
                TClass* control = form.template CreateComponent<TClass>();
                FormsImpl::ApplyDescription(form, *control, row);
                form.*field = control;
            },
            row.Control);
    }
}

#include "platform/forms/FormDescription.h"

namespace FormsImpl {

void ApplyFontDescription(TFont& font, const TFontDescription& description) {
    // Built apart and assigned once, so the control applies the font a single time.
    TFont described;
    described.SetName(description.Name);
    described.SetHeight(description.Height);
    described.SetColor(description.Color);
    described.SetStyle(description.Style);
    described.SetCharset(description.Charset);
    font.Assign(described);
}

TWinControl& FindParent(TForm& form, std::string_view parent, std::string_view child) {
    if (parent.empty()) {
        return form;
    }
    if (auto* container = dynamic_cast<TWinControl*>(form.FindComponent(parent))) {
        return *container;
    }
    throw Exception("Form description: the parent \"" + std::string(parent) + "\" of \"" +
                    std::string(child) + "\" is not a container described before it");
}

void RejectProperty(std::string_view name, std::string_view property) {
    throw Exception("Form description: \"" + std::string(name) + "\" has no property " +
                    std::string(property));
}

} // namespace FormsImpl

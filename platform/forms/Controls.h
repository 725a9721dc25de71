// Controls: the things a form is made of, placed on a parent, with position, size, colour
// and font.
//
// Coordinates are pixels relative to the top-left corner of the parent (a group box's own
// top-left corner, caption included). Controls stack in the order they were given their
// parent: a control given its parent later is drawn over earlier ones.
//
// Thread: user-interface thread only. A control is owned by the component that created it
// (normally its form); its parent only shows it.
#pragma once

#include "platform/forms/Classes.h"
#include "platform/forms/Graphics.h"

#include <memory>
#include <vector>

namespace FormsImpl {
class ControlPeer;
}

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

class TWinControl;

class TControl : public TComponent {
public:
    ~TControl() override;

    TWinControl* Parent() const { return FParent; }
    // Places the control on `parent` (on top of its siblings) or, with nullptr, takes it off.
    void SetParent(TWinControl* parent);

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int left);
    void SetTop(int top);
    void SetWidth(int width);
    void SetHeight(int height);
    virtual void SetBounds(int left, int top, int width, int height);

    // A control is visible on screen when it and all its parents are.
    bool Visible() const;
    void SetVisible(bool visible);
    // A disabled control is greyed out and takes no input.
    bool Enabled() const;
    void SetEnabled(bool enabled);

    // The background colour. Until set, the control shows its parent's background.
    TColor Color() const { return FColor; }
    void SetColor(TColor color);

    // The font. Until changed, it follows the parent's font (ParentFont).
    TFont& Font() { return FFont; }
    const TFont& Font() const { return FFont; }
    bool ParentFont() const { return FParentFont; }

    // For the form library's own use.
    FormsImpl::ControlPeer& Peer() const { return *FPeer; }

protected:
    TControl(TComponent* owner, std::unique_ptr<FormsImpl::ControlPeer> peer);
    // Called after the font the control draws with has changed (its own or its parent's).
    virtual void FontApplied() {}

private:
    friend class TWinControl;
    void FontChanged(TObject* sender);
    // Copies the parent's font into every ParentFont child, all the way down.
    void PropagateFont();

    std::unique_ptr<FormsImpl::ControlPeer> FPeer;
    TWinControl* FParent = nullptr;
    bool FVisible = true;
    TColor FColor = clBtnFace;
    TFont FFont;
    bool FParentFont = true;
};

// A control drawn on its parent; it cannot take the keyboard focus.
class TGraphicControl : public TControl {
protected:
    using TControl::TControl;
};

// A control that can hold other controls and take the keyboard focus in tab order.
class TWinControl : public TControl {
public:
    ~TWinControl() override;

    // The children, bottom of the stack first.
    int ControlCount() const { return static_cast<int>(FControls.size()); }
    TControl* Controls(int index) const { return FControls.at(std::size_t(index)); }

    // Position among the parent's children when the Tab key moves the focus, 0 first; equal
    // values keep the order in which the controls were placed.
    int TabOrder() const { return FTabOrder; }
    void SetTabOrder(int tabOrder);

protected:
    using TControl::TControl;

private:
    friend class TControl;
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);
    // Lays the keyboard focus chain of the whole window out again in tab order.
    void UpdateTabChain();
    void CollectTabStops(std::vector<TWinControl*>& stops) const;

    std::vector<TControl*> FControls;
    int FTabOrder = 0;
};

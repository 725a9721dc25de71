#include "platform/forms/Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) : FOwner(owner) {}

TComponent::~TComponent() {
    DestroyComponents();
}

void TComponent::SetName(std::string_view name) {
    FName = name;
}

TComponent* TComponent::Components(int index) const {
    return FComponents.at(std::size_t(index)).get();
}

TComponent* TComponent::FindComponent(std::string_view name) const {
    for (const auto& component : FComponents) {
        if (component->Name() == name) {
            return component.get();
        }
    }
    return nullptr;
}

void TComponent::InsertComponent(std::unique_ptr<TComponent> component) {
    if (component == nullptr) {
        return;
    }
    component->FOwner = this;
    FComponents.push_back(std::move(component));
}

std::unique_ptr<TComponent> TComponent::RemoveComponent(TComponent* component) {
    const auto found =
        std::find_if(FComponents.begin(), FComponents.end(),
                     [component](const auto& owned) { return owned.get() == component; });
    if (found == FComponents.end()) {
        return nullptr;
    }
    std::unique_ptr<TComponent> removed = std::move(*found);
    FComponents.erase(found);
    removed->FOwner = nullptr;
    return removed;
}

void TComponent::DestroyComponents() {
    // One at a time from the back: a component's destructor may still look its siblings up.
    while (!FComponents.empty()) {
        std::unique_ptr<TComponent> last = std::move(FComponents.back());
        FComponents.pop_back();
        last.reset();
    }
}

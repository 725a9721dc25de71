// Root classes of the form library: objects, owned components, bound event methods and the
// library's exception type.
//
// Thread: everything here belongs to the user-interface thread, except TEvent and Exception,
// which are plain values.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// Root of every platform object; event handlers receive their sender as a TObject*.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

// The error the platform raises. Its text is meant for the user: the application's exception
// display shows it as it stands.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string Message() const { return what(); }
};

// A bound method: one object and one of its member functions, called as one, e.g.
// `Button1->OnClick = {this, &TForm1::Button1Click};`. Two bindings compare equal when they
// name the same object and the same method, so a test can tell which handler an event reaches.
// Binding, copying and calling allocate nothing. Calling an empty binding does nothing.
// The bound object must outlive every call.
template <class... Args> class TEvent {
public:
    TEvent() = default;

    template <class TTarget, class TOwner>
    requires std::is_base_of_v<TOwner, TTarget> TEvent(TTarget* object,
                                                       void (TOwner::*method)(Args...))
        : FObject(static_cast<TOwner*>(object)), FCall(object ? &CallMethod<TOwner> : nullptr) {
        static_assert(sizeof(method) <= sizeof(FMethod), "member pointer too large to store");
        std::memcpy(FMethod, &method, sizeof(method));
    }

    explicit operator bool() const { return FCall != nullptr; }

    void operator()(Args... args) const {
        if (FCall != nullptr) {
            FCall(FObject, FMethod, args...);
        }
    }

    friend bool operator==(const TEvent& left, const TEvent& right) {
        return left.FObject == right.FObject && left.FCall == right.FCall &&
               std::memcmp(left.FMethod, right.FMethod, sizeof(FMethod)) == 0;
    }

private:
    // The member pointer travels as bytes so that a binding is one small value whatever the
    // class; CallMethod<TOwner> restores its type. Kept out of line: inlined into a caller,
    // GCC cannot tell the restored pointer names no virtual method and warns that the object's
    // (absent) virtual table may be read uninitialised.
    template <class TOwner>
    [[gnu::noinline]] static void CallMethod(void* object, const unsigned char* stored,
                                             Args... args) {
        void (TOwner::*method)(Args...) = nullptr;
        std::memcpy(&method, stored, sizeof(method));
        (static_cast<TOwner*>(object)->*method)(args...);
    }

    void* FObject = nullptr;
    alignas(std::max_align_t) unsigned char FMethod[4 * sizeof(void*)] = {};
    void (*FCall)(void*, const unsigned char*, Args...) = nullptr;
};

using TNotifyEvent = TEvent<TObject*>;

// A component may own other components; owned components are destroyed with their owner,
// newest first. Components carry a name by which their owner finds them.
class TComponent : public TObject {
public:
    // `owner` is recorded only; ownership passes with CreateComponent or InsertComponent.
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(std::string_view name);

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const; // 0 <= index < ComponentCount()
    // The first owned component with this name, or nullptr.
    TComponent* FindComponent(std::string_view name) const;

    // Creates a component of class T owned by this one and returns it (never nullptr).
    template <class T, class... TArgs> T* CreateComponent(TArgs&&... args) {
        auto component = std::make_unique<T>(this, std::forward<TArgs>(args)...);
        T* result = component.get();
        InsertComponent(std::move(component));
        return result;
    }

    // Takes ownership of a component.
    void InsertComponent(std::unique_ptr<TComponent> component);
    // Gives up ownership of a component; returns nullptr when this one does not own it.
    std::unique_ptr<TComponent> RemoveComponent(TComponent* component);

protected:
    // Destroys every owned component now, newest first.
    void DestroyComponents();

private:
    TComponent* FOwner = nullptr;
    std::string FName;
    std::vector<std::unique_ptr<TComponent>> FComponents;
};

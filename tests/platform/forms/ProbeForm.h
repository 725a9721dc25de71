// A form that records the messages its dispatch receives, for the form library's tests.
#pragma once

#include "platform/forms/Forms.h"

#include <functional>
#include <thread>
#include <vector>

inline constexpr UINT kProbeMessage = 0x0401;

class ProbeForm : public TForm {
public:
    using TForm::TForm;

    void Dispatch(TMessage& message) override {
        Received.push_back(message);
        Threads.push_back(std::this_thread::get_id());
        if (OnMessage) {
            OnMessage(message);
        }
    }

    std::vector<TMessage> Received;
    std::vector<std::thread::id> Threads;
    std::function<void(TMessage&)> OnMessage;
};

// Counts how often an event fired and can set the close action it hands back.
struct EventProbe {
    int Clicks = 0;
    int Closes = 0;
    TObject* LastSender = nullptr;
    std::vector<TCloseAction> CloseActions; // used in turn; caHide once they run out

    void Clicked(TObject* sender) {
        ++Clicks;
        LastSender = sender;
    }
    void Closing(TObject* sender, TCloseAction& action) {
        LastSender = sender;
        if (std::size_t(Closes) < CloseActions.size()) {
            action = CloseActions[std::size_t(Closes)];
        }
        ++Closes;
    }
};

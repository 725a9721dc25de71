// A hidden form whose window receives the layer's posts, delivered by the application's message
// loop as in the program.
#include "tests/platform/wave/CompletionRecorder.h"

#include "platform/forms/Forms.h"

namespace {

class RecordingForm : public TForm {
public:
    RecordingForm() : TForm(nullptr) {}
    void Dispatch(TMessage& message) override { Received.push_back(message); }

    std::vector<TMessage> Received;
};

} // namespace

class CompletionRecorder::Impl {
public:
    RecordingForm Form;
};

CompletionRecorder::CompletionRecorder() : Self(std::make_unique<Impl>()) {}

CompletionRecorder::~CompletionRecorder() = default;

HWND CompletionRecorder::Window() const {
    return Self->Form.Handle();
}

bool CompletionRecorder::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
    return Application->ProcessMessagesUntil(
        [this, count] { return Self->Form.Received.size() >= count; },
        static_cast<int>(timeout.count()));
}

std::vector<TMessage> CompletionRecorder::Messages() {
    Application->ProcessMessages();
    return Self->Form.Received;
}

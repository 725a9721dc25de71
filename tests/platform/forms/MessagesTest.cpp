// Posted messages: from any thread to a form's dispatch, safe against forms that are gone,
// and still delivered while a message box is up.
#include "ProbeForm.h"

#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

TEST(PostMessage, FromAnotherThreadReachesDispatchOnTheUiThreadInOrder) {
    ProbeForm form(nullptr);
    const HWND handle = form.Handle();
    constexpr int kCount = 500;
    std::atomic<int> refused = 0;
    std::thread poster([&] {
        for (int i = 0; i < kCount; ++i) {
            if (!PostMessage(handle, kProbeMessage, WPARAM(i), LPARAM(-i))) {
                ++refused;
            }
        }
    });
    const bool all = Application->ProcessMessagesUntil(
        [&] { return form.Received.size() == std::size_t(kCount); }, 10000);
    poster.join();
    ASSERT_TRUE(all) << form.Received.size() << " of " << kCount;
    EXPECT_EQ(refused, 0);
    for (int i = 0; i < kCount; ++i) {
        const TMessage& message = form.Received[std::size_t(i)];
        EXPECT_EQ(message.Msg, kProbeMessage);
        EXPECT_EQ(message.WParam, WPARAM(i));
        EXPECT_EQ(message.LParam, LPARAM(-i));
        EXPECT_EQ(message.Result, 0);
        EXPECT_EQ(form.Threads[std::size_t(i)], std::this_thread::get_id());
    }
}

TEST(PostMessage, EachFormReceivesOnlyItsOwnMessages) {
    ProbeForm first(nullptr);
    ProbeForm second(nullptr);
    ASSERT_NE(first.Handle(), second.Handle());
    EXPECT_TRUE(PostMessage(first.Handle(), kProbeMessage, 1, 0));
    EXPECT_TRUE(PostMessage(second.Handle(), kProbeMessage, 2, 0));
    EXPECT_TRUE(PostMessage(first.Handle(), kProbeMessage, 3, 0));
    Application->ProcessMessagesUntil([&] { return first.Received.size() == 2; }, 5000);
    Application->ProcessMessagesUntil([&] { return second.Received.size() == 1; }, 5000);
    ASSERT_EQ(first.Received.size(), 2u);
    ASSERT_EQ(second.Received.size(), 1u);
    EXPECT_EQ(first.Received[0].WParam, 1u);
    EXPECT_EQ(first.Received[1].WParam, 3u);
    EXPECT_EQ(second.Received[0].WParam, 2u);
}

TEST(PostMessage, ToAFormThatIsGoneIsRefusedAndWhatWasQueuedIsDropped) {
    auto form = std::make_unique<ProbeForm>(nullptr);
    const HWND handle = form->Handle();
    EXPECT_TRUE(PostMessage(handle, kProbeMessage, 1, 0));
    form.reset(); // with the message still queued
    EXPECT_FALSE(PostMessage(handle, kProbeMessage, 2, 0));
    Application->ProcessMessages();

    // Handles are not reused: the stale one never reaches a newer form.
    ProbeForm newer(nullptr);
    EXPECT_NE(newer.Handle(), handle);
    EXPECT_FALSE(PostMessage(handle, kProbeMessage, 3, 0));
    Application->ProcessMessages();
    EXPECT_TRUE(newer.Received.empty());
}

TEST(PostMessage, AFormMayGoWhileAnotherThreadKeepsPosting) {
    auto form = std::make_unique<ProbeForm>(nullptr);
    const HWND handle = form->Handle();
    std::atomic<int> accepted = 0;
    std::thread poster([&] {
        while (PostMessage(handle, kProbeMessage, 0, 0)) {
            ++accepted;
        }
    });
    Application->ProcessMessagesUntil([&] { return form->Received.size() >= 100; }, 5000);
    form.reset();
    poster.join(); // ends once posting is refused
    Application->ProcessMessages();
    EXPECT_GE(accepted.load(), 100);
}

TEST(PostMessage, RefusesHandlesThatNameNoWindow) {
    EXPECT_FALSE(PostMessage(nullptr, kProbeMessage, 0, 0));
    EXPECT_FALSE(PostMessage(reinterpret_cast<HWND>(~std::uintptr_t(0)), kProbeMessage, 0, 0));
}

// Posted messages arrive in the order posted, so once the probe's own message is in, the one
// posted before it to `target` has been handled: it must have gone nowhere else and shown no
// error.
void ExpectConsumedSilently(HWND target) {
    ProbeForm probe(nullptr);
    MessageBoxRecorder boxes;
    EXPECT_TRUE(PostMessage(target, kProbeMessage, 1, 0));
    EXPECT_TRUE(PostMessage(probe.Handle(), kProbeMessage, 2, 0));
    ASSERT_TRUE(Application->ProcessMessagesUntil([&] { return !probe.Received.empty(); }, 5000));
    Application->ProcessMessages();
    ASSERT_EQ(probe.Received.size(), 1u);
    EXPECT_EQ(probe.Received[0].WParam, 2u);
    EXPECT_TRUE(boxes.Records().empty());
}

TEST(PostMessage, TheApplicationWindowAcceptsAndIgnoresMessages) {
    ExpectConsumedSilently(Application->Handle());
}

TEST(PostMessage, BaseDispatchIgnoresMessages) {
    TForm form(nullptr);
    TMessage message{kProbeMessage, 1, 2, 77};
    form.Dispatch(message);
    EXPECT_EQ(message.Result, 77); // left alone, not reset
    ExpectConsumedSilently(form.Handle());
}

TEST(PostMessage, IsDispatchedWhileARealMessageBoxIsUp) {
    const TestWatchdog watchdog(10000);
    ProbeForm form(nullptr);
    std::string boxSeenByHandler;
    form.OnMessage = [&](TMessage&) {
        boxSeenByHandler = ActiveMessageBoxText();
        DismissActiveMessageBox();
    };
    // Queued from another thread before the box comes up: only the box's loop can deliver it.
    std::thread([&] { PostMessage(form.Handle(), kProbeMessage, 7, 0); }).join();
    EXPECT_EQ(MessageBoxA(Application->Handle(), "Waiting for the device", "Capture",
                          MB_OK | MB_ICONWARNING),
              IDOK);
    EXPECT_FALSE(watchdog.Fired());
    ASSERT_EQ(form.Received.size(), 1u);
    EXPECT_EQ(form.Received[0].WParam, 7u);
    EXPECT_EQ(boxSeenByHandler, "Waiting for the device");
}

TEST(PostMessage, IsDispatchedWhileARecordedMessageBoxIsUp) {
    ProbeForm form(nullptr);
    MessageBoxRecorder recorder;
    std::size_t boxesWhenDispatched = 0;
    form.OnMessage = [&](TMessage&) { boxesWhenDispatched = recorder.Records().size(); };
    recorder.SpinWhileShownUntil([&] { return !form.Received.empty(); }, 5000);
    std::thread poster([&] { PostMessage(form.Handle(), kProbeMessage, 0, 0); });
    EXPECT_EQ(MessageBoxA(form.Handle(), "Failed to read block from device", nullptr,
                          MB_OK | MB_ICONWARNING),
              IDOK);
    poster.join();
    ASSERT_EQ(form.Received.size(), 1u);
    EXPECT_EQ(boxesWhenDispatched, 1u); // the handler ran while the box was "up"
}

TEST(PostMessage, AnExceptionFromDispatchIsShownAndLaterMessagesStillArrive) {
    ProbeForm form(nullptr);
    MessageBoxRecorder recorder;
    form.OnMessage = [](TMessage& message) {
        if (message.WParam == 1) {
            throw Exception("The device vanished");
        }
    };
    PostMessage(form.Handle(), kProbeMessage, 1, 0);
    PostMessage(form.Handle(), kProbeMessage, 2, 0);
    Application->ProcessMessagesUntil([&] { return form.Received.size() == 2; }, 5000);
    ASSERT_EQ(form.Received.size(), 2u);
    ASSERT_EQ(recorder.Records().size(), 1u);
    EXPECT_EQ(recorder.Records()[0].Text, "The device vanished.");
    EXPECT_EQ(recorder.Records()[0].Flags, MB_OK | MB_ICONERROR);
}

} // namespace

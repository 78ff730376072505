// The headless host as a user and as other threads meet it: buttons, keys,
// typing, posted messages and timers on an injected clock.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "tests/ui/test_dialog.h"

namespace uitest {
namespace {

using HeadlessHostTest = DialogTest;

using namespace std::chrono_literals;
using ui::headless::Key;

TEST_F(HeadlessHostTest, KeysAndButtonsReachOkAndCancel) {
    struct Case {
        const char* what;
        std::function<bool(ui::headless::HeadlessHost&)> act;
        int oks;
        int cancels;
    };
    const Case cases[] = {
        {"button 1", [](auto& h) { return h.PressButton(IDOK); }, 1, 0},
        {"Enter", [](auto& h) { return h.PressKey(Key::Enter); }, 1, 0},
        {"button 2", [](auto& h) { return h.PressButton(IDCANCEL); }, 0, 1},
        {"Escape", [](auto& h) { return h.PressKey(Key::Escape); }, 0, 1},
        {"close box", [](auto& h) { return h.ClickCloseBox(); }, 0, 1},
    };
    for (const auto& c : cases) {
        TestDialog dialog;
        auto& host = Open(dialog);
        EXPECT_TRUE(c.act(host)) << c.what;
        EXPECT_EQ(dialog.oks, c.oks) << c.what;
        EXPECT_EQ(dialog.cancels, c.cancels) << c.what;
        EXPECT_EQ(host.IsEnded(), c.cancels == 1) << c.what;
        if (c.cancels == 1) {
            EXPECT_EQ(host.Result(), IDCANCEL) << c.what;
        }
        dialog.DestroyWindow();
    }
}

TEST_F(HeadlessHostTest, DisabledButtonsTakeNoPressAndEnterFollowsTheDefaultButton) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.GetDlgItem(IDOK).EnableWindow(FALSE);
    EXPECT_FALSE(host.PressButton(IDOK));
    EXPECT_FALSE(host.PressKey(Key::Enter));
    dialog.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
    EXPECT_FALSE(host.PressKey(Key::Escape));
    EXPECT_EQ(dialog.oks, 0);
    EXPECT_EQ(dialog.cancels, 0);
    EXPECT_FALSE(host.PressButton(kTextField));  // an edit is no button
}

TEST_F(HeadlessHostTest, TypingHonoursTheFieldStyles) {
    struct Case {
        int field;
        const char* typed;
        bool accepted;
        const char* text;
        const char* shown;
    };
    const Case cases[] = {
        {kNumberField, "123", true, "123", "123"},
        {kNumberField, "12a3", false, "123", "123"},
        {kNumberField, "-5", false, "5", "5"},
        {kNumberField, "", true, "", ""},
        {kTextField, "Provider=x;Password=y", true, "Provider=x;Password=y",
         "Provider=x;Password=y"},
        {kSecretField, "kiwa", true, "kiwa", "****"},
        {kSecretField, "密码", true, "密码", "**"},
    };
    for (const auto& c : cases) {
        TestDialog dialog;
        auto& host = Open(dialog);
        EXPECT_EQ(host.TypeText(c.field, c.typed), c.accepted) << c.typed;
        EXPECT_EQ(host.Text(c.field), c.text) << c.typed;
        EXPECT_EQ(host.ShownText(c.field), c.shown) << c.typed;
        dialog.DestroyWindow();
    }
}

TEST_F(HeadlessHostTest, DisabledFieldsRefuseTypingButTheProgramMayStillSetThem) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.GetDlgItem(kTextField).EnableWindow(FALSE);
    EXPECT_FALSE(host.TypeText(kTextField, "typed"));
    EXPECT_EQ(host.Text(kTextField), "");
    dialog.SetDlgItemText(kNumberField, "-90");  // only typing is filtered
    EXPECT_EQ(host.Text(kNumberField), "-90");
}

TEST_F(HeadlessHostTest, AutoCheckBoxesToggleWhenPressed) {
    TestDialog dialog;
    auto& host = Open(dialog);
    EXPECT_EQ(dialog.IsDlgButtonChecked(kBox), BST_UNCHECKED);
    EXPECT_TRUE(host.PressButton(kBox));
    EXPECT_EQ(dialog.IsDlgButtonChecked(kBox), BST_CHECKED);
    EXPECT_TRUE(host.PressButton(kBox));
    EXPECT_EQ(dialog.IsDlgButtonChecked(kBox), BST_UNCHECKED);
    dialog.CheckDlgButton(kBox, BST_CHECKED);
    EXPECT_TRUE(host.IsChecked(kBox));
    dialog.CheckDlgButton(kTextField, BST_CHECKED);  // not a check box
    EXPECT_FALSE(host.IsChecked(kTextField));
    EXPECT_EQ(dialog.oks + dialog.cancels, 0);
}

TEST_F(HeadlessHostTest, PostsFromManyThreadsArriveOnceEachAndInOrderPerThread) {
    TestDialog dialog;
    auto& host = Open(dialog);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    HWND hwnd = dialog.GetSafeHwnd();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([hwnd, t] {
            for (int i = 0; i < kPerThread; ++i) {
                hwnd->PostMessage(WM_USER + static_cast<UINT>(t), static_cast<WPARAM>(i), 0);
            }
        });
    }
    // Deliver while the others still post.
    std::size_t delivered = 0;
    while (delivered < kThreads * kPerThread) {
        delivered += host.RunUntilIdle();
        std::this_thread::yield();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host.RunUntilIdle(), 0u);
    ASSERT_EQ(dialog.received.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<WPARAM> next(kThreads, 0);
    for (const auto& r : dialog.received) {
        const auto t = r.message - WM_USER;
        ASSERT_LT(t, static_cast<UINT>(kThreads));
        EXPECT_EQ(r.wParam, next[t]);
        next[t] = r.wParam + 1;
    }
}

TEST_F(HeadlessHostTest, AfterEndDialogNothingMoreIsDelivered) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.PostMessage(WM_USER, 1);
    dialog.PostMessage(WM_CLOSE);
    dialog.PostMessage(WM_USER, 2);
    host.RunUntilIdle();
    EXPECT_EQ(dialog.received, (std::vector<Received>{{WM_USER, 1, 0}}));
    EXPECT_TRUE(host.IsEnded());
    EXPECT_FALSE(host.PressButton(IDOK));
}

// A handler that throws: the message fails, one line says so, and the
// window goes on with what comes next (the window-less server must not end
// where the window would carry on).
class ThrowingDialog : public TestDialog {
public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_USER + 1) {
            throw std::runtime_error("no such row\nat all");
        }
        if (message == WM_USER + 2) {
            throw 42;
        }
        if (message == WM_TIMER) {
            ++timerCalls;
            if (timerCalls == 1) {
                throw std::logic_error("tick");
            }
        }
        return TestDialog::WindowProc(message, wParam, lParam);
    }
    int timerCalls = 0;
};

TEST_F(HeadlessHostTest, AHandlersExceptionIsLoggedInOneLineAndTheWindowGoesOn) {
    std::vector<std::string> lines;
    app.SetLogSink([&](const std::string& line) { lines.push_back(line); });
    ThrowingDialog dialog;
    auto& host = Open(dialog);
    dialog.SetTimer(1, 1000);
    dialog.PostMessage(WM_USER + 1, 1);
    dialog.PostMessage(WM_USER + 2, 2);
    dialog.PostMessage(WM_USER, 3);
    EXPECT_EQ(host.RunUntilIdle(), 3u);
    EXPECT_EQ(host.Send(WM_USER + 1), 0);
    testsupport::RunFor(host, clock, 2s);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "message 0x401 failed: no such row at all", "message 0x402 failed",
                  "message 0x401 failed: no such row at all", "message 0x113 failed: tick"}));
    EXPECT_EQ(dialog.received, (std::vector<Received>{{WM_USER, 3, 0}}));
    EXPECT_EQ(dialog.timerCalls, 2);
    EXPECT_EQ(dialog.ticks.size(), 1u);
    EXPECT_FALSE(host.IsEnded());
}

TEST_F(HeadlessHostTest, TimersTickEveryPeriodOnTheInjectedClock) {
    TestDialog dialog;
    auto& host = Open(dialog);
    const auto start = clock.WallNow();
    EXPECT_EQ(dialog.SetTimer(1, 1000), 1u);
    EXPECT_EQ(host.RunUntilIdle(), 0u);  // nothing due yet
    testsupport::RunFor(host, clock, 3500ms);
    ASSERT_EQ(dialog.ticks.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(dialog.ticks[i].first, 1u);
        EXPECT_EQ(dialog.ticks[i].second, start + std::chrono::seconds(i + 1));
    }
}

TEST_F(HeadlessHostTest, MissedTicksFoldIntoOne) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.SetTimer(1, 1000);
    clock.Advance(5500ms);  // a busy window: five periods pass unserved
    EXPECT_EQ(host.RunUntilIdle(), 1u);
    ASSERT_TRUE(host.NextTimerDue());
    EXPECT_EQ(*host.NextTimerDue(), clock.SteadyNow() + 1s);
}

TEST_F(HeadlessHostTest, PostedMessagesGoBeforeTimers) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.SetTimer(1, 1000);
    clock.Advance(1s);
    dialog.PostMessage(WM_USER, 9);
    host.RunUntilIdle();
    ASSERT_EQ(dialog.received.size(), 1u);
    ASSERT_EQ(dialog.ticks.size(), 1u);
}

TEST_F(HeadlessHostTest, KillTimerStopsTicksAndShortPeriodsAreRaised) {
    TestDialog dialog;
    auto& host = Open(dialog);
    dialog.SetTimer(2, 0);
    EXPECT_EQ(host.TimerPeriod(2), 10ms);
    EXPECT_TRUE(dialog.KillTimer(2));
    EXPECT_FALSE(dialog.KillTimer(2));
    testsupport::RunFor(host, clock, 1s);
    EXPECT_TRUE(dialog.ticks.empty());
    EXPECT_FALSE(host.NextTimerDue());
}

}  // namespace
}  // namespace uitest

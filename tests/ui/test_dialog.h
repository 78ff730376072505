#pragma once
// A small dialog for exercising the framework: it records what reaches it.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "testsupport/clock/manual_clock.h"
#include "ui/dialog.h"
#include "ui/headless/headless_application.h"

namespace uitest {

constexpr int kDialogId = 7;
constexpr int kNumberField = 10;
constexpr int kSecretField = 11;
constexpr int kTextField = 12;
constexpr int kBox = 20;
constexpr int kList = 30;
constexpr int kMissingDialogId = 99;
constexpr int kGreetingString = 5;

const ui::ResourceTable& TestResources();

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    friend bool operator==(const Received&, const Received&) = default;
};

class TestDialog : public CDialog {
public:
    explicit TestDialog(UINT id = kDialogId) : CDialog(id) {}

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnOK() override { ++oks; }
    void OnCancel() override {
        ++cancels;
        CDialog::OnCancel();
    }
    void OnTimer(UINT_PTR id) override { ticks.push_back({id, GetClock().WallNow()}); }
    void OnSysCommand(UINT nID, LPARAM lParam) override {
        sysCommands.push_back(nID);
        CDialog::OnSysCommand(nID, lParam);
    }
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, kList, list); }
    BOOL DestroyWindow() override {
        ++destroys;
        return CDialog::DestroyWindow();
    }

    CListCtrl list;
    int inits = 0;
    int oks = 0;
    int cancels = 0;
    int destroys = 0;
    std::vector<std::pair<UINT_PTR, std::chrono::system_clock::time_point>> ticks;
    std::vector<UINT> sysCommands;
    std::vector<Received> received;  // user messages (WM_USER and up)
};

// An application with a manual clock and a message-box sink that only counts.
class DialogTest : public ::testing::Test {
protected:
    DialogTest();

    ui::headless::HeadlessHost& Open(TestDialog& dialog);

    testsupport::ManualClock clock;
    std::vector<ui::headless::MessageBoxRecord> sunk;
    ui::headless::HeadlessApplication app;
};

}  // namespace uitest

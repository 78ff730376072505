#pragma once
// What the window tests share: the program's own resources on the widget
// host, and a plain dialog over the main template that records what reaches
// it, so the host can be tried without the service behind the dialog.

#include <gtest/gtest.h>

#include <QIcon>
#include <functional>
#include <string>
#include <vector>

#include "ui/afx.h"
#include "ui/dialog.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/qt_host.h"

namespace qttest {

// The program icon, from the resources compiled into the test.
QIcon ProgramIcon();

// Lets Qt work until `done` holds; false if it never did (a cap against
// hangs, not a timing condition).
bool ProcessEventsUntil(const std::function<bool()>& done);

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    friend bool operator==(const Received&, const Received&) = default;
};

// Template 102 with the window side of the main dialog's start-up: list
// columns, a ticked first channel box, the About entry, the icon and timer 1.
class PlainMainDialog : public CDialog {
public:
    PlainMainDialog();

    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnOK() override { ++oks; }
    void OnCancel() override {
        ++cancels;
        CDialog::OnCancel();
    }
    void OnSysCommand(UINT nID, LPARAM lParam) override;
    void OnTimer(UINT_PTR id) override { ticks.push_back(id); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    CListCtrl list;
    int oks = 0;
    int cancels = 0;
    int abouts = 0;
    INT_PTR aboutResult = 0;
    std::vector<UINT_PTR> ticks;
    std::vector<Received> received;  // WM_USER and up
};

class QtHostTest : public ::testing::Test {
protected:
    QtHostTest();
    ~QtHostTest() override;

    // Opens the dialog's window without a modal loop; the test drives it.
    ui::qt::QtDialogHost& Open(CDialog& dialog);

    ui::qt::QtApplication app;
};

}  // namespace qttest

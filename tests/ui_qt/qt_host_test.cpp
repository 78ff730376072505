// The widget host with the program's own templates: where the controls sit,
// how keys, buttons and the close box reach the dialog, posted messages,
// timers, message boxes and the About entry.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "app/res/resource.h"
#include "tests/ui_qt/host_fixture.h"

namespace qttest {
namespace {

using ui::ControlKind;
using ui::qt::QtDialogHost;

const char* ClassFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
            return "QPushButton";
        case ControlKind::CheckBox:
            return "QCheckBox";
        case ControlKind::Edit:
            return "QLineEdit";
        case ControlKind::Label:
        case ControlKind::Icon:
            return "QLabel";
        case ControlKind::ListView:
            return "ui::qt::ReportView";
    }
    return "";
}

// Shows the window and makes it the active one, as a user's click would.
void Activate(QWidget* window) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
}

TEST_F(QtHostTest, EveryControlSitsWhereTheTemplatePutsItInTemplateOrder) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    const ui::DialogTemplate& main = host.Template();
    const ui::qt::BaseUnits units = host.Units();
    ASSERT_GT(units.x, 0);
    ASSERT_GT(units.y, 0);
    ASSERT_EQ(main.controls.size(), 24u);  // the status line last
    for (std::size_t i = 0; i < main.controls.size(); ++i) {
        const ui::ControlTemplate& spec = main.controls[i];
        QWidget* widget = host.ControlAt(i);
        ASSERT_NE(widget, nullptr) << i;
        EXPECT_EQ(widget->parentWidget(), host.Window()) << i;
        EXPECT_STREQ(widget->metaObject()->className(), ClassFor(spec.kind)) << i;
        EXPECT_EQ(widget->geometry(), ui::qt::ToPixels(spec.rect, units)) << i << " " << spec.text;
        if (spec.id != ui::kStaticId) {
            EXPECT_EQ(host.Control(spec.id), widget) << spec.id;
        }
    }
    QWidget* window = host.Window();
    EXPECT_EQ(window->windowTitle(), "VardoEventServer");
    EXPECT_EQ(window->size(), ui::qt::ToPixels(408, 258, units));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // fixed size
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Window);  // a window of its own: a taskbar entry
    EXPECT_EQ(window->parentWidget(), nullptr);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->font().families().contains("Noto Sans CJK SC"));
    EXPECT_FALSE(window->windowIcon().isNull());
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, ControlsShowTheirTemplateTextsAndStyles) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    auto* ok = qobject_cast<QPushButton*>(host.Control(IDOK));
    auto* cancel = qobject_cast<QPushButton*>(host.Control(IDCANCEL));
    ASSERT_TRUE(ok && cancel);
    EXPECT_EQ(ok->text(), "确定");
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(cancel->text(), "取消");
    EXPECT_FALSE(cancel->isDefault());
    EXPECT_EQ(qobject_cast<QLineEdit*>(host.Control(IDC_PASSWORD))->echoMode(),
              QLineEdit::Password);
    const int channels[] = {IDC_CHN01, IDC_CHN02, IDC_CHN03, IDC_CHN04};
    for (int i = 0; i < 4; ++i) {
        auto* box = qobject_cast<QCheckBox*>(host.Control(channels[i]));
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QString("Chn0%1").arg(i + 1));
        EXPECT_EQ(box->isChecked(), i == 0) << i;
    }
    // The labels, centred, and the duration in seconds.
    const auto* duration = qobject_cast<QLabel*>(host.ControlAt(18));
    ASSERT_NE(duration, nullptr);
    EXPECT_EQ(duration->text(), "(seconds)");
    EXPECT_TRUE(duration->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(duration->textFormat(), Qt::PlainText);

    dialog.DestroyWindow();
}

TEST_F(QtHostTest, TabWalksTheTabStopsInTemplateOrder) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    Activate(host.Window());
    std::vector<QWidget*> expected;
    for (std::size_t i = 0; i < host.Template().controls.size(); ++i) {
        if (host.Template().controls[i].style & ui::cs::kTabStop) {
            expected.push_back(host.ControlAt(i));
        }
    }
    ASSERT_EQ(expected.size(), 14u);
    // Focus starts on the first tab stop, button 1.
    EXPECT_EQ(QApplication::focusWidget(), expected[0]);
    for (std::size_t step = 1; step <= expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected[step % expected.size()]) << step;
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), expected.back());
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, NumberFieldsTakeDigitsOnlyAndTextFieldsTakeEverything) {
    struct Case {
        int field;
        const char* typed;
        const char* text;
    };
    const Case cases[] = {
        {IDC_TCP_PORT, "6605", "6605"},      {IDC_UDP_PORT, "66a0-5", "6605"},
        {IDC_RECORD_DURATION, " 30s", "30"}, {IDC_CENTER_SERVER, "10.0.0.1", "10.0.0.1"},
        {IDC_USER_NAME, "Ops 1", "Ops 1"},   {IDC_PASSWORD, "p&<b>", "p&<b>"},
    };
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    Activate(host.Window());
    for (const auto& c : cases) {
        auto* edit = qobject_cast<QLineEdit*>(host.Control(c.field));
        ASSERT_NE(edit, nullptr);
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, c.typed);
        EXPECT_EQ(dialog.GetDlgItemText(c.field), c.text) << c.typed;
    }
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, EnterAnywhereButOnButton2PressesButton1) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    Activate(host.Window());
    const int places[] = {
        IDC_CONNECT_STRING, IDC_CENTER_SERVER,   IDC_TCP_PORT, IDC_UDP_PORT,    IDC_USER_NAME,
        IDC_PASSWORD,       IDC_RECORD_DURATION, IDC_CHN02,    IDC_DEVICE_LIST, IDOK};
    int presses = 0;
    for (int id : places) {
        QWidget* widget = host.Control(id);
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key_Return);
        EXPECT_EQ(dialog.oks, ++presses) << id;
        QTest::keyClick(widget, Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(dialog.oks, ++presses) << id;
    }
    EXPECT_EQ(dialog.cancels, 0);
    // A disabled button 1 takes no Enter.
    dialog.GetDlgItem(IDOK).EnableWindow(FALSE);
    host.Control(IDC_CONNECT_STRING)->setFocus();
    QTest::keyClick(host.Control(IDC_CONNECT_STRING), Qt::Key_Return);
    EXPECT_EQ(dialog.oks, presses);
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, Button2EscapeAndTheCloseBoxReachOnCancel) {
    struct Case {
        const char* what;
        std::function<void(QtDialogHost&)> act;
    };
    const Case cases[] = {
        {"button 2",
         [](QtDialogHost& h) { qobject_cast<QPushButton*>(h.Control(IDCANCEL))->click(); }},
        {"Escape in a field",
         [](QtDialogHost& h) {
             h.Control(IDC_CONNECT_STRING)->setFocus();
             QTest::keyClick(h.Control(IDC_CONNECT_STRING), Qt::Key_Escape);
         }},
        {"Escape on the list",
         [](QtDialogHost& h) { QTest::keyClick(h.Control(IDC_DEVICE_LIST), Qt::Key_Escape); }},
        {"close box", [](QtDialogHost& h) { h.Window()->close(); }},
    };
    for (const auto& c : cases) {
        PlainMainDialog dialog;
        QtDialogHost& host = Open(dialog);
        Activate(host.Window());
        c.act(host);
        EXPECT_EQ(dialog.cancels, 1) << c.what;
        EXPECT_EQ(dialog.oks, 0) << c.what;
        EXPECT_TRUE(host.IsEnded()) << c.what;
        EXPECT_EQ(host.Result(), IDCANCEL) << c.what;
        EXPECT_FALSE(host.Window()->isVisible()) << c.what;
        dialog.DestroyWindow();
    }
}

TEST_F(QtHostTest, DoModalRunsUntilTheDialogEndsAndTearsTheWindowDown) {
    PlainMainDialog dialog;
    QPointer<QWidget> window;
    app.SetInitHook([&](QtDialogHost& host) {
        window = host.Window();
        // Once the loop runs: the operator presses Escape.
        QTimer::singleShot(0, host.Window(), [&host] {
            QTest::keyClick(host.Control(IDC_CONNECT_STRING), Qt::Key_Escape);
        });
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.cancels, 1);
    EXPECT_EQ(dialog.GetHost(), nullptr);
    EXPECT_TRUE(window.isNull());
    EXPECT_FALSE(dialog.PostMessage(WM_USER + 1));
}

TEST_F(QtHostTest, MessagesPostedFromOtherThreadsArriveInOrderOnTheWindowThread) {
    PlainMainDialog dialog;
    Open(dialog);
    constexpr int kThreads = 4;
    constexpr int kEach = 2500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&dialog, t] {
            for (int i = 0; i < kEach; ++i) {
                dialog.PostMessage(WM_USER + 0x100, static_cast<WPARAM>(t), i);
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog.received.size() == kThreads * kEach; }));
    std::vector<LPARAM> next(kThreads, 0);
    for (const Received& r : dialog.received) {
        EXPECT_EQ(r.message, WM_USER + 0x100);
        ASSERT_LT(r.wParam, static_cast<WPARAM>(kThreads));
        EXPECT_EQ(r.lParam, next[r.wParam]++);
    }
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, MessagesStillQueuedOrPostedAfterTheWindowIsGoneAreDropped) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    ui::DialogHost* target = &host;
    for (int i = 0; i < 100; ++i) {
        dialog.PostMessage(WM_USER + 1, 0, i);
    }
    dialog.DestroyWindow();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.received.empty());
    EXPECT_FALSE(dialog.PostMessage(WM_USER + 1));
    (void)target;
}

TEST_F(QtHostTest, Timer1IsAQtTimerThatTicksIntoOnTimer) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    QTimer* timer = host.Timer(1);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_FALSE(timer->isSingleShot());
    // Restarting changes the period; killing stops it; a second kill says so.
    EXPECT_EQ(dialog.SetTimer(1, 5), 1u);
    EXPECT_EQ(host.Timer(1), timer);
    EXPECT_EQ(timer->interval(), 10);  // never faster than 10 ms
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog.ticks.size() >= 3; }));
    EXPECT_EQ(dialog.ticks, std::vector<UINT_PTR>(dialog.ticks.size(), 1));
    EXPECT_TRUE(dialog.KillTimer(1));
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(dialog.KillTimer(1));
    EXPECT_FALSE(dialog.KillTimer(2));
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, MessageBoxesWarnWithOneOkButtonTheProgramNameAndPlainText) {
    struct Seen {
        QMessageBox::Icon icon;
        int buttons;
        bool okIsThere;
        QString title;
        QString text;
        Qt::TextFormat format;
        bool modal;
    };
    std::vector<Seen> seen;
    app.SetMessageBoxHook([&](QMessageBox& box) {
        seen.push_back({box.icon(), static_cast<int>(box.buttons().size()),
                        box.button(QMessageBox::Ok) != nullptr, box.windowTitle(), box.text(),
                        box.textFormat(), box.isModal()});
        box.button(QMessageBox::Ok)->click();
    });
    PlainMainDialog dialog;
    Open(dialog);
    const std::string text = "can't connect database:Provider=x;Password=<b>y</b>&z";
    EXPECT_EQ(dialog.MessageBox(text), IDOK);
    EXPECT_EQ(dialog.MessageBox("can't create thread!", {}, MB_OK | MB_ICONEXCLAMATION), IDOK);
    ASSERT_EQ(seen.size(), 2u);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.icon, QMessageBox::Warning);
        EXPECT_EQ(s.buttons, 1);
        EXPECT_TRUE(s.okIsThere);
        EXPECT_EQ(s.title, "vardo-event-server");
        EXPECT_EQ(s.format, Qt::PlainText);
        EXPECT_TRUE(s.modal);
    }
    EXPECT_EQ(seen[0].text.toStdString(), text);
    ASSERT_EQ(app.MessageBoxes().size(), 2u);
    EXPECT_EQ(app.MessageBoxes()[1].text, "can't create thread!");
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, TheAboutEntrySitsInTheContextMenuWithAltAAndOpensTheAboutBox) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    Activate(host.Window());
    QMenu* menu = host.ContextMenu();
    ASSERT_NE(menu, nullptr);
    QAction* about = host.SystemCommand(IDM_ABOUTBOX);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "关于 VardoEventServer(&A)...");
    EXPECT_EQ(about->shortcut(), QKeySequence(Qt::ALT | Qt::Key_A));
    EXPECT_TRUE(menu->actions().contains(about));
    EXPECT_TRUE(menu->actions().front()->isSeparator());

    struct AboutSeen {
        QString caption;
        QStringList texts;
        bool iconDrawn = false;
        bool windowIcon = false;
        QWidget* parent = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        bool visible = false;
    };
    std::vector<AboutSeen> seen;
    app.SetInitHook([&](QtDialogHost& box) {
        if (box.Template().id != IDD_ABOUTBOX) {
            return;
        }
        QTimer::singleShot(0, box.Window(), [&seen, &box] {
            AboutSeen s;
            s.caption = box.Window()->windowTitle();
            for (std::size_t i = 0; i < box.Template().controls.size(); ++i) {
                if (auto* label = qobject_cast<QLabel*>(box.ControlAt(i))) {
                    if (!label->pixmap().isNull()) {
                        s.iconDrawn = true;
                    } else {
                        s.texts << label->text();
                    }
                }
            }
            s.windowIcon = !box.Window()->windowIcon().isNull();
            s.parent = box.Window()->parentWidget();
            s.modality = box.Window()->windowModality();
            s.visible = box.Window()->isVisible();
            seen.push_back(s);
            qobject_cast<QPushButton*>(box.Control(IDOK))->click();
        });
    });
    // From the menu item, and from anywhere in the window with Alt+A.
    about->trigger();
    ASSERT_EQ(dialog.abouts, 1);
    // The main window is active again once the box has gone.
    ASSERT_TRUE(QTest::qWaitForWindowActive(host.Window()));
    QTest::keyClick(host.Control(IDC_CONNECT_STRING), Qt::Key_A, Qt::AltModifier);
    ASSERT_EQ(dialog.abouts, 2);
    EXPECT_EQ(dialog.aboutResult, IDOK);
    ASSERT_EQ(seen.size(), 2u);
    for (const AboutSeen& s : seen) {
        EXPECT_EQ(s.caption, "关于 VardoEventServer");
        ASSERT_EQ(s.texts.size(), 2);
        EXPECT_EQ(s.texts[0], "VardoEventServer 1.0 版");
        EXPECT_FALSE(s.texts[1].isEmpty());
        EXPECT_TRUE(s.iconDrawn);
        EXPECT_TRUE(s.visible);
        EXPECT_EQ(s.parent, host.Window());
        EXPECT_EQ(s.modality, Qt::ApplicationModal);
    }
    EXPECT_EQ(dialog.GetDlgItemText(IDC_CONNECT_STRING), "");  // Alt+A typed nothing
    EXPECT_EQ(dialog.cancels, 0);
    EXPECT_TRUE(host.Window()->isVisible());
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, ACloseRequestFromAnotherThreadClosesLikeTheCloseBox) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    std::thread([this] { app.RequestClose(); }).join();
    ASSERT_TRUE(ProcessEventsUntil([&] { return host.IsEnded(); }));
    EXPECT_EQ(dialog.cancels, 1);
    dialog.DestroyWindow();
}

// A dialog whose handler fails: the window survives it.
class ThrowingDialog : public PlainMainDialog {
public:
    void OnOK() override { throw std::runtime_error("handler failed"); }
};

TEST_F(QtHostTest, AnExceptionFromAHandlerStopsAtTheWindow) {
    ThrowingDialog dialog;
    QtDialogHost& host = Open(dialog);
    testing::internal::CaptureStderr();
    qobject_cast<QPushButton*>(host.Control(IDOK))->click();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("handler failed"), std::string::npos) << said;
    qobject_cast<QPushButton*>(host.Control(IDCANCEL))->click();
    EXPECT_EQ(dialog.cancels, 1);
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, ControlCallsFollowTheDialogAndIgnoreUnknownIds) {
    PlainMainDialog dialog;
    QtDialogHost& host = Open(dialog);
    dialog.SetDlgItemText(IDC_CONNECT_STRING, "sqlite:events.db");
    EXPECT_EQ(qobject_cast<QLineEdit*>(host.Control(IDC_CONNECT_STRING))->text(),
              "sqlite:events.db");
    dialog.SetDlgItemText(IDC_TCP_PORT, "abc");  // the program may set what a user cannot type
    EXPECT_EQ(dialog.GetDlgItemText(IDC_TCP_PORT), "abc");
    EXPECT_EQ(dialog.GetDlgItemInt(IDC_TCP_PORT), 0u);
    for (int unknown : {0, -1, 999, 5000}) {
        dialog.SetDlgItemText(unknown, "x");
        EXPECT_EQ(dialog.GetDlgItemText(unknown), "") << unknown;
        EXPECT_EQ(dialog.GetDlgItem(unknown).EnableWindow(FALSE), FALSE) << unknown;
        EXPECT_EQ(host.GetList(unknown), nullptr) << unknown;
    }
    // Clicking a channel box ticks it and tells the dialog.
    auto* box = qobject_cast<QCheckBox*>(host.Control(IDC_CHN04));
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(dialog.IsDlgButtonChecked(IDC_CHN04), BST_CHECKED);
    dialog.DestroyWindow();
}

}  // namespace
}  // namespace qttest

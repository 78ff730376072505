// CDialog over the headless host: opening and closing, control access by id,
// numbers in fields, message boxes and the system menu.

#include <gtest/gtest.h>

#include <thread>

#include "tests/ui/test_dialog.h"

namespace uitest {
namespace {

using ui::headless::Key;

TEST(DlgItemInt, ParsesAsTheFrameworkDoes) {
    struct Case {
        const char* text;
        bool isSigned;
        bool ok;
        UINT value;
    };
    const Case cases[] = {
        {"90", true, true, 90},
        {"  42\t", true, true, 42},
        {"-5", true, true, static_cast<UINT>(-5)},
        {"-5", false, false, 0},
        {"", true, false, 0},
        {"   ", true, false, 0},
        {"abc", true, false, 0},
        {"12ab", true, false, 0},
        {"1 2", true, false, 0},
        {"+5", true, false, 0},
        {"--5", true, false, 0},
        {"-", true, false, 0},
        {"2147483647", true, true, 2147483647u},
        {"2147483648", true, false, 0},
        {"-2147483648", true, true, 0x80000000u},
        {"-2147483649", true, false, 0},
        {"4294967295", false, true, 4294967295u},
        {"4294967296", false, false, 0},
        {"99999999999999999999999", false, false, 0},
        {"007", true, true, 7},
    };
    for (const auto& c : cases) {
        UINT value = 12345;
        EXPECT_EQ(ui::ParseDlgItemInt(c.text, c.isSigned, &value), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

TEST_F(DialogTest, CreateBuildsTheControlsOfTheTemplateAndInitialisesOnce) {
    TestDialog dialog;
    auto& host = Open(dialog);
    EXPECT_EQ(dialog.inits, 1);
    EXPECT_EQ(dialog.GetDlgItemText(kNumberField), "7");
    EXPECT_EQ(dialog.GetDlgItemText(IDOK), "OK");
    EXPECT_TRUE(dialog.GetDlgItem(kTextField).Exists());
    EXPECT_FALSE(dialog.GetDlgItem(4242).Exists());
    EXPECT_FALSE(dialog.GetDlgItem(ui::kStaticId).Exists());
    EXPECT_TRUE(dialog.list.IsAttached());
    EXPECT_NE(dialog.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(host.IsEnded());
}

TEST_F(DialogTest, UnknownControlsTakeEveryCallAndGiveNothing) {
    TestDialog dialog;
    Open(dialog);
    dialog.SetDlgItemText(4242, "x");
    dialog.CheckDlgButton(4242, BST_CHECKED);
    EXPECT_EQ(dialog.GetDlgItemText(4242), "");
    EXPECT_EQ(dialog.IsDlgButtonChecked(4242), BST_UNCHECKED);
    EXPECT_EQ(dialog.GetDlgItem(4242).EnableWindow(FALSE), FALSE);
    EXPECT_EQ(dialog.GetDlgItem(4242).IsWindowEnabled(), FALSE);
    BOOL translated = TRUE;
    EXPECT_EQ(dialog.GetDlgItemInt(4242, &translated), 0u);
    EXPECT_EQ(translated, FALSE);
}

TEST_F(DialogTest, GetDlgItemIntReadsTheFieldAndReportsText) {
    TestDialog dialog;
    Open(dialog);
    BOOL translated = FALSE;
    dialog.SetDlgItemText(kTextField, "-17");
    EXPECT_EQ(static_cast<int>(dialog.GetDlgItemInt(kTextField, &translated, TRUE)), -17);
    EXPECT_EQ(translated, TRUE);
    dialog.SetDlgItemText(kTextField, "seventeen");
    EXPECT_EQ(dialog.GetDlgItemInt(kTextField, &translated, TRUE), 0u);
    EXPECT_EQ(translated, FALSE);
    EXPECT_EQ(dialog.GetDlgItemInt(kTextField), 0u);
}

TEST_F(DialogTest, NothingHappensWithoutAWindow) {
    TestDialog dialog;
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_EQ(dialog.PostMessage(WM_USER), FALSE);
    EXPECT_EQ(dialog.SetTimer(1, 1000), 0u);
    EXPECT_EQ(dialog.GetSystemMenu(FALSE), nullptr);
    EXPECT_EQ(dialog.DestroyWindow(), FALSE);
    dialog.SetDlgItemText(kTextField, "x");
    EXPECT_EQ(dialog.GetDlgItemText(kTextField), "");
    EXPECT_EQ(dialog.MessageBox("nobody sees this"), IDOK);
    EXPECT_TRUE(sunk.empty());
}

TEST_F(DialogTest, DialogsWithoutATemplateDoNotOpen) {
    TestDialog dialog(kMissingDialogId);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(dialog.Create(), FALSE);
    EXPECT_EQ(dialog.inits, 0);
}

TEST_F(DialogTest, MessageBoxUsesTheApplicationTitleAndIsKept) {
    TestDialog dialog;
    auto& host = Open(dialog);
    EXPECT_EQ(dialog.MessageBox("can't do it:\nreally", {}, MB_OK | MB_ICONEXCLAMATION), IDOK);
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(host.MessageBoxes()[0].text, "can't do it:\nreally");
    EXPECT_EQ(host.MessageBoxes()[0].caption, "test-app");
    EXPECT_EQ(host.MessageBoxes()[0].type, MB_OK | MB_ICONEXCLAMATION);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(ui::headless::MessageBoxLine(sunk[0]), "test-app: can't do it: really");
}

TEST_F(DialogTest, SystemMenuCommandsReachTheDialog) {
    TestDialog dialog;
    auto& host = Open(dialog);
    CMenu* menu = dialog.GetSystemMenu(FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->AppendMenu(MF_SEPARATOR));
    EXPECT_TRUE(menu->AppendMenu(MF_STRING, 0x0010, "About..."));
    ASSERT_EQ(host.SystemMenuItems().size(), 2u);
    EXPECT_EQ(host.SystemMenuItems()[1].text, "About...");

    EXPECT_TRUE(host.ChooseSystemCommand(0x0010));
    EXPECT_FALSE(host.ChooseSystemCommand(0x0020));  // not in the menu
    EXPECT_EQ(dialog.sysCommands, std::vector<UINT>{0x0010});
    EXPECT_FALSE(host.IsEnded());
}

TEST_F(DialogTest, DestroyWindowDetachesListsAndDropsLaterPosts) {
    TestDialog dialog;
    auto& host = Open(dialog);
    HWND hwnd = dialog.GetSafeHwnd();
    EXPECT_EQ(hwnd, &host);
    EXPECT_EQ(dialog.DestroyWindow(), TRUE);
    EXPECT_EQ(dialog.destroys, 1);
    EXPECT_FALSE(dialog.list.IsAttached());
    EXPECT_EQ(dialog.list.InsertItem(0, "x"), -1);
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_EQ(dialog.PostMessage(WM_USER), FALSE);
}

TEST_F(DialogTest, DoModalRunsUntilACloseRequestFromAnotherThread) {
    TestDialog dialog;
    std::thread closer;
    // Ask for the close only once the loop is known to run: the dialog has
    // handled the message posted at init.
    app.SetInitHook([&](ui::headless::HeadlessHost& host) {
        host.PostMessage(WM_USER + 1, 2, 3);
        closer = std::thread([this] { app.RequestClose(); });
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    closer.join();
    EXPECT_EQ(dialog.received, (std::vector<Received>{{WM_USER + 1, 2, 3}}));
    EXPECT_EQ(dialog.cancels, 1);
    EXPECT_EQ(dialog.destroys, 1);
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
}

TEST_F(DialogTest, ACloseRequestBeforeTheWindowOpensStillClosesIt) {
    app.RequestClose();
    TestDialog dialog;
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.inits, 1);
    EXPECT_EQ(dialog.cancels, 1);
}

TEST_F(DialogTest, EndDialogDuringInitEndsTheLoopAtOnce) {
    TestDialog dialog;
    app.SetInitHook([](ui::headless::HeadlessHost& host) { host.PressKey(Key::Escape); });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.destroys, 1);
}

}  // namespace
}  // namespace uitest

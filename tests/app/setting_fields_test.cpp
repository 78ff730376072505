// The settings table of the main dialog, checked against the dialog template
// and against what a start accepts, so that a field added, moved or retyped
// on one side cannot silently miss the other.

#include "app/setting_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/start_checks.h"
#include "settings/config.h"
#include "testsupport/config/temp_program_dir.h"

namespace {

std::vector<SettingBinding> Bindings() {
    std::vector<SettingBinding> rows;
    for (const SettingBinding* b = g_settingBindings; b->nID != 0; ++b) {
        rows.push_back(*b);
    }
    return rows;
}

const ui::DialogTemplate& Main() {
    const auto* dialog = app::res::Resources().FindDialog(IDD_VARDOEVENTSERVER_DIALOG);
    if (dialog == nullptr) {
        throw std::runtime_error("main dialog template missing");
    }
    return *dialog;
}

const char* DefaultOf(int id) {
    for (const SettingBinding& b : Bindings()) {
        if (b.nID == id) {
            return b.pszDefault;
        }
    }
    return nullptr;
}

TEST(SettingFields, EveryEditFieldOfTheDialogShowsExactlyOneSetting) {
    ASSERT_FALSE(Bindings().empty());
    std::set<int> ids;
    std::set<std::string_view> keys;
    for (const SettingBinding& b : Bindings()) {
        SCOPED_TRACE(b.pszKey);
        EXPECT_TRUE(ids.insert(b.nID).second) << "field shown twice";
        EXPECT_TRUE(keys.insert(b.pszKey).second) << "key read twice";
        const ui::ControlTemplate* control = Main().FindControl(b.nID);
        ASSERT_NE(control, nullptr) << "no such field in the dialog";
        EXPECT_EQ(control->kind, ui::ControlKind::Edit);
    }
    for (const ui::ControlTemplate& control : Main().controls) {
        if (control.kind == ui::ControlKind::Edit) {
            EXPECT_EQ(ids.count(control.id), 1u) << control.id << " shows no setting";
        }
    }
}

// Tab goes through the fields in the order they are loaded, disabled and
// enabled again.
TEST(SettingFields, TheTableFollowsTheTabOrderOfTheFields) {
    std::vector<int> tabOrder;
    for (const ui::ControlTemplate& control : Main().controls) {
        if (control.kind == ui::ControlKind::Edit) {
            tabOrder.push_back(control.id);
        }
    }
    std::vector<int> tableOrder;
    for (const SettingBinding& b : Bindings()) {
        tableOrder.push_back(b.nID);
    }
    EXPECT_EQ(tableOrder, tabOrder);
}

TEST(SettingFields, WithoutConfigIniEveryFieldShowsItsDefault) {
    testsupport::TempProgramDir home;
    for (const SettingBinding& b : Bindings()) {
        SCOPED_TRACE(b.pszKey);
        EXPECT_TRUE(std::string_view(b.pszKey).starts_with("EventServer_"));
        ASSERT_NE(b.pszDefault, nullptr);
        EXPECT_NE(std::string_view(b.pszDefault), "");
        EXPECT_EQ(ReadConfigString(b.pszKey, b.pszDefault), b.pszDefault);
    }
}

// A fresh install starts without the box refusing its own defaults.
TEST(SettingFields, EveryDefaultIsAValueTheFieldAndAStartAccept) {
    for (const SettingBinding& b : Bindings()) {
        const ui::ControlTemplate* control = Main().FindControl(b.nID);
        ASSERT_NE(control, nullptr) << b.pszKey;
        if ((control->style & ui::cs::kDigitsOnly) != 0) {
            const std::string_view value = b.pszDefault;
            EXPECT_TRUE(std::all_of(value.begin(), value.end(),
                                    [](char c) { return c >= '0' && c <= '9'; }))
                << b.pszKey << " defaults to what its field cannot hold";
        }
    }
    ASSERT_NE(DefaultOf(IDC_TCP_PORT), nullptr);
    ASSERT_NE(DefaultOf(IDC_UDP_PORT), nullptr);
    ASSERT_NE(DefaultOf(IDC_RECORD_DURATION), nullptr);
    EXPECT_EQ(app::PortProblem("TCP Port", DefaultOf(IDC_TCP_PORT)), "");
    EXPECT_EQ(app::PortProblem("UDP Port", DefaultOf(IDC_UDP_PORT)), "");
    EXPECT_NE(std::string_view(DefaultOf(IDC_TCP_PORT)), DefaultOf(IDC_UDP_PORT));
    EXPECT_EQ(app::DurationWarning(DefaultOf(IDC_RECORD_DURATION)), "");
}

}  // namespace

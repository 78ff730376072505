// The event server's dialog templates: the controls the dialog logic and the
// operator rely on, where they sit, and how they behave.

#include <gtest/gtest.h>

#include <set>

#include "app/res/resource.h"
#include "ui/win_types.h"

namespace {

using ui::ControlKind;
namespace cs = ui::cs;
namespace ds = ui::ds;

const ui::DialogTemplate& Main() {
    const auto* dialog = app::res::Resources().FindDialog(IDD_VARDOEVENTSERVER_DIALOG);
    if (dialog == nullptr) {
        throw std::runtime_error("main dialog template missing");
    }
    return *dialog;
}

TEST(MainDialogTemplate, EveryAddressedControlHasItsKindTextPlaceAndStyle) {
    struct Case {
        int id;
        ControlKind kind;
        std::string_view text;
        ui::Rect rect;
        std::uint32_t mustHave;
        std::uint32_t mustNotHave;
    };
    const Case cases[] = {
        {IDOK, ControlKind::PushButton, "确定", {351, 7, 50, 16}, cs::kDefaultButton, 0},
        {IDCANCEL, ControlKind::PushButton, "取消", {351, 28, 50, 16}, 0, cs::kDefaultButton},
        {IDC_DEVICE_LIST,
         ControlKind::ListView,
         "",
         {7, 84, 394, 156},
         cs::kReportView | cs::kAlignLeft | cs::kBorder,
         0},
        {IDC_CONNECT_STRING,
         ControlKind::Edit,
         "",
         {79, 8, 262, 14},
         cs::kBorder | cs::kAutoHScroll,
         cs::kDigitsOnly | cs::kPassword},
        {IDC_CENTER_SERVER,
         ControlKind::Edit,
         "",
         {79, 29, 117, 14},
         cs::kBorder | cs::kAutoHScroll,
         cs::kDigitsOnly | cs::kPassword},
        {IDC_TCP_PORT, ControlKind::Edit, "", {79, 45, 72, 14}, cs::kDigitsOnly, cs::kPassword},
        {IDC_UDP_PORT, ControlKind::Edit, "", {79, 61, 72, 14}, cs::kDigitsOnly, cs::kPassword},
        {IDC_USER_NAME,
         ControlKind::Edit,
         "",
         {251, 22, 90, 14},
         cs::kAutoHScroll,
         cs::kDigitsOnly | cs::kPassword},
        {IDC_PASSWORD, ControlKind::Edit, "", {251, 36, 90, 14}, cs::kPassword, cs::kDigitsOnly},
        {IDC_RECORD_DURATION,
         ControlKind::Edit,
         "",
         {251, 64, 72, 14},
         cs::kDigitsOnly,
         cs::kPassword},
        {IDC_CHN01, ControlKind::CheckBox, "Chn01", {252, 52, 36, 10}, cs::kAutoCheck, 0},
        {IDC_CHN02, ControlKind::CheckBox, "Chn02", {289, 52, 36, 10}, cs::kAutoCheck, 0},
        {IDC_CHN03, ControlKind::CheckBox, "Chn03", {326, 52, 36, 10}, cs::kAutoCheck, 0},
        {IDC_CHN04, ControlKind::CheckBox, "Chn04", {363, 52, 36, 10}, cs::kAutoCheck, 0},
    };
    for (const auto& c : cases) {
        const ui::ControlTemplate* control = Main().FindControl(c.id);
        ASSERT_NE(control, nullptr) << c.id;
        EXPECT_EQ(control->kind, c.kind) << c.id;
        EXPECT_EQ(control->text, c.text) << c.id;
        EXPECT_EQ(control->rect, c.rect) << c.id;
        EXPECT_EQ(control->style & c.mustHave, c.mustHave) << c.id;
        EXPECT_EQ(control->style & c.mustNotHave, 0u) << c.id;
        if (c.kind != ControlKind::PushButton) {
            EXPECT_NE(control->style & cs::kTabStop, 0u) << c.id << " is no tab stop";
        }
    }
}

TEST(MainDialogTemplate, LabelsAreCentredAndTheDurationIsInSeconds) {
    struct Label {
        std::string_view text;
        ui::Rect rect;
    };
    const Label labels[] = {
        {"DataBase:", {7, 11, 66, 8}},         {"Center Server:", {7, 32, 66, 8}},
        {"TCP Port:", {7, 48, 66, 8}},         {"UDP Port:", {7, 64, 66, 8}},
        {"UserName:", {208, 25, 39, 8}},       {"Password:", {208, 39, 39, 8}},
        {"Record Channel:", {179, 53, 66, 8}}, {"Record Duration:", {179, 67, 66, 8}},
        {"(seconds)", {326, 67, 66, 8}},
    };
    std::vector<const ui::ControlTemplate*> found;
    for (const auto& control : Main().controls) {
        if (control.kind == ControlKind::Label && control.id != IDC_STATUS_LINE) {
            found.push_back(&control);
        }
    }
    ASSERT_EQ(found.size(), std::size(labels));
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i]->id, ui::kStaticId);
        EXPECT_EQ(found[i]->text, labels[i].text);
        EXPECT_EQ(found[i]->rect, labels[i].rect) << labels[i].text;
        EXPECT_NE(found[i]->style & cs::kCenter, 0u) << labels[i].text;
    }
}

TEST(MainDialogTemplate, TabOrderFollowsTheTemplate) {
    std::vector<int> ids;
    for (const auto& control : Main().controls) {
        if (control.id != ui::kStaticId) {
            ids.push_back(control.id);
        }
    }
    EXPECT_EQ(ids, (std::vector<int>{IDOK, IDCANCEL, 1000, 1001, 1002, 1003, 1004, 1005, 1006, 1010,
                                     1007, 1008, 1009, 1011, IDC_STATUS_LINE}));
}

TEST(MainDialogTemplate, TheStatusLineRunsUnderTheListAcrossItsWidth) {
    const ui::ControlTemplate* status = Main().FindControl(IDC_STATUS_LINE);
    const ui::ControlTemplate* list = Main().FindControl(IDC_DEVICE_LIST);
    ASSERT_NE(status, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(status->kind, ControlKind::Label);
    EXPECT_GE(status->rect.y, list->rect.y + list->rect.height);
    EXPECT_EQ(status->rect.x, list->rect.x);
    EXPECT_EQ(status->rect.width, list->rect.width);
    // Text from a driver or a device name may hold '&': shown as it is.
    EXPECT_NE(status->style & cs::kNoPrefix, 0u);
}

TEST(MainDialogTemplate, WindowIsAFixedSizeAppWindowWithoutMaximise) {
    const auto& dialog = Main();
    EXPECT_EQ(dialog.caption, "VardoEventServer");
    EXPECT_EQ(dialog.fontName, "宋体");
    EXPECT_EQ(dialog.fontPointSize, 9);
    EXPECT_EQ(dialog.rect.width, 408);
    EXPECT_EQ(dialog.rect.height, 258);  // the list, and the status line under it
    const auto wanted = ds::kPopup | ds::kVisible | ds::kCaption | ds::kSystemMenu |
                        ds::kMinimizeBox | ds::kModalFrame | ds::kAppWindow;
    EXPECT_EQ(dialog.style, wanted);
    ASSERT_NE(dialog.DefaultButton(), nullptr);
    EXPECT_EQ(dialog.DefaultButton()->id, IDOK);
}

TEST(DialogTemplates, ControlsLieInsideTheirDialogAndIdsAreUnique) {
    for (const auto& dialog : app::res::Resources().dialogs) {
        std::set<int> ids;
        for (const auto& control : dialog.controls) {
            const auto& r = control.rect;
            EXPECT_GE(r.x, 0) << dialog.id << ": " << control.text;
            EXPECT_GE(r.y, 0) << dialog.id << ": " << control.text;
            EXPECT_LE(r.x + r.width, dialog.rect.width) << dialog.id << ": " << control.text;
            EXPECT_LE(r.y + r.height, dialog.rect.height) << dialog.id << ": " << control.text;
            if (control.id != ui::kStaticId) {
                EXPECT_TRUE(ids.insert(control.id).second) << dialog.id << ": " << control.id;
            }
        }
    }
}

TEST(AboutBoxTemplate, HasTheIconTwoLinesAndAClosingDefaultButton) {
    const auto* about = app::res::Resources().FindDialog(IDD_ABOUTBOX);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->caption, "关于 VardoEventServer");
    EXPECT_EQ(about->rect.width, 235);
    EXPECT_EQ(about->rect.height, 55);
    ASSERT_EQ(about->controls.size(), 4u);
    EXPECT_EQ(about->controls[0].kind, ControlKind::Icon);
    EXPECT_EQ(about->controls[0].iconId, IDR_MAINFRAME);
    EXPECT_EQ(about->controls[0].rect.x, 11);
    EXPECT_EQ(about->controls[0].rect.y, 17);
    EXPECT_EQ(about->controls[1].text, "VardoEventServer 1.0 版");
    EXPECT_NE(about->controls[1].style & cs::kNoPrefix, 0u);
    EXPECT_EQ(about->controls[1].rect, (ui::Rect{40, 10, 119, 8}));
    EXPECT_EQ(about->controls[2].rect, (ui::Rect{40, 25, 119, 8}));
    EXPECT_FALSE(about->controls[2].text.empty());
    ASSERT_NE(about->DefaultButton(), nullptr);
    EXPECT_EQ(about->DefaultButton()->id, IDOK);
    EXPECT_EQ(about->DefaultButton()->rect, (ui::Rect{178, 7, 50, 16}));
}

TEST(StringResources, AboutEntryOfTheSystemMenu) {
    EXPECT_EQ(app::res::Resources().FindString(IDS_ABOUTBOX), "关于 VardoEventServer(&A)...");
    EXPECT_EQ(app::res::Resources().FindString(4242), "");
}

}  // namespace

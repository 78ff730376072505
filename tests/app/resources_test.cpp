// The event server's dialog templates: the controls the dialog logic and the
// operator rely on, where they sit, and how they behave.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/res/resource.h"
#include "vardoappcore/api/win_types.h"

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

// The dialog logic addresses these controls by id and treats each as one
// kind; a control of another kind would leave its calls doing nothing.
TEST(MainDialogTemplate, EveryAddressedControlHasTheKindTheLogicExpects) {
    const std::pair<int, ControlKind> expected[] = {
        {IDOK, ControlKind::PushButton},          {IDCANCEL, ControlKind::PushButton},
        {IDC_DEVICE_LIST, ControlKind::ListView}, {IDC_STATUS_LINE, ControlKind::Label},
        {IDC_CHN01, ControlKind::CheckBox},       {IDC_CHN02, ControlKind::CheckBox},
        {IDC_CHN03, ControlKind::CheckBox},       {IDC_CHN04, ControlKind::CheckBox},
    };
    for (const auto& [id, kind] : expected) {
        const ui::ControlTemplate* control = Main().FindControl(id);
        ASSERT_NE(control, nullptr) << id;
        EXPECT_EQ(control->kind, kind) << id;
    }
    EXPECT_EQ(Main().FindControl(IDC_DEVICE_LIST)->style & cs::kReportView, cs::kReportView);
    for (const auto& control : Main().controls) {
        if (control.id == ui::kStaticId || control.kind == ControlKind::PushButton ||
            control.id == IDC_STATUS_LINE) {
            continue;
        }
        EXPECT_NE(control.style & cs::kTabStop, 0u) << control.id << " is no tab stop";
        if (control.kind == ControlKind::CheckBox) {
            EXPECT_NE(control.style & cs::kAutoCheck, 0u) << control.id;
        }
    }
    ASSERT_NE(Main().DefaultButton(), nullptr);
    EXPECT_EQ(Main().DefaultButton()->id, IDOK);  // Enter starts, never closes
}

TEST(MainDialogTemplate, FieldsTakeWhatTheyHold) {
    for (const auto& control : Main().controls) {
        if (control.kind != ControlKind::Edit) {
            continue;
        }
        const bool password = control.id == IDC_PASSWORD;
        const bool number = control.id == IDC_TCP_PORT || control.id == IDC_UDP_PORT ||
                            control.id == IDC_RECORD_DURATION;
        EXPECT_EQ((control.style & cs::kPassword) != 0, password) << control.id;
        EXPECT_EQ((control.style & cs::kDigitsOnly) != 0, number) << control.id;
        if (!password && !number) {
            // Addresses, connection strings and names run longer than the field.
            EXPECT_NE(control.style & cs::kAutoHScroll, 0u) << control.id;
        }
    }
}

// Every field and the row of channel boxes has its centred label on its
// left, on the same line; the duration says it is in seconds.
TEST(MainDialogTemplate, EveryFieldHasItsLabelOnItsLeft) {
    const auto labelLeftOf = [](const ui::Rect& field) -> const ui::ControlTemplate* {
        for (const auto& control : Main().controls) {
            const ui::Rect& r = control.rect;
            const int middle = r.y + r.height / 2;
            if (control.kind == ControlKind::Label && control.id == ui::kStaticId &&
                r.x + r.width <= field.x && middle >= field.y && middle < field.y + field.height) {
                return &control;
            }
        }
        return nullptr;
    };
    std::vector<int> labelled;
    for (const auto& control : Main().controls) {
        if (control.kind == ControlKind::Edit || control.id == IDC_CHN01) {
            labelled.push_back(control.id);
        }
    }
    ASSERT_EQ(labelled.size(), 8u);
    for (int id : labelled) {
        const ui::ControlTemplate* label = labelLeftOf(Main().FindControl(id)->rect);
        ASSERT_NE(label, nullptr) << id;
        EXPECT_FALSE(label->text.empty()) << id;
        EXPECT_NE(label->style & cs::kCenter, 0u) << label->text;
    }
    const ui::Rect& duration = Main().FindControl(IDC_RECORD_DURATION)->rect;
    bool seconds = false;
    for (const auto& control : Main().controls) {
        seconds = seconds ||
                  (control.text == "(seconds)" && control.rect.x >= duration.x + duration.width &&
                   control.rect.y >= duration.y && control.rect.y < duration.y + duration.height);
    }
    EXPECT_TRUE(seconds);
}

TEST(MainDialogTemplate, TheChannelBoxesRunInChannelOrder) {
    const int boxes[] = {IDC_CHN01, IDC_CHN02, IDC_CHN03, IDC_CHN04};
    std::vector<int> tabOrder;
    for (const auto& control : Main().controls) {
        if (control.kind == ControlKind::CheckBox) {
            tabOrder.push_back(control.id);
        }
    }
    EXPECT_EQ(tabOrder, std::vector<int>(std::begin(boxes), std::end(boxes)));
    for (std::size_t n = 1; n < std::size(boxes); ++n) {
        const ui::ControlTemplate* left = Main().FindControl(boxes[n - 1]);
        const ui::ControlTemplate* right = Main().FindControl(boxes[n]);
        EXPECT_EQ(right->rect.y, left->rect.y);
        EXPECT_GE(right->rect.x, left->rect.x + left->rect.width);
    }
    for (std::size_t n = 0; n < std::size(boxes); ++n) {
        EXPECT_EQ(Main().FindControl(boxes[n])->text, "Chn0" + std::to_string(n + 1));
    }
}

TEST(MainDialogTemplate, NoTwoControlsOverlap) {
    const auto overlap = [](const ui::Rect& a, const ui::Rect& b) {
        return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
               b.y < a.y + a.height;
    };
    const auto& controls = Main().controls;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(overlap(controls[i].rect, controls[j].rect))
                << controls[i].id << " '" << controls[i].text << "' and " << controls[j].id << " '"
                << controls[j].text << "'";
        }
    }
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

TEST(AboutBoxTemplate, ShowsTheIconTheVersionAndAClosingDefaultButton) {
    const auto* about = app::res::Resources().FindDialog(IDD_ABOUTBOX);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->caption, "关于 VardoEventServer");
    ASSERT_EQ(about->controls.size(), 4u);
    EXPECT_EQ(about->controls[0].kind, ControlKind::Icon);
    EXPECT_EQ(about->controls[0].iconId, IDR_MAINFRAME);
    EXPECT_EQ(about->controls[1].text, "VardoEventServer 1.0 版");
    EXPECT_NE(about->controls[1].style & cs::kNoPrefix, 0u);
    EXPECT_FALSE(about->controls[2].text.empty());
    // The two lines stand one under the other, right of the icon.
    EXPECT_EQ(about->controls[2].rect.x, about->controls[1].rect.x);
    EXPECT_GT(about->controls[2].rect.y, about->controls[1].rect.y);
    EXPECT_GE(about->controls[1].rect.x, about->controls[0].rect.x + about->controls[0].rect.width);
    ASSERT_NE(about->DefaultButton(), nullptr);
    EXPECT_EQ(about->DefaultButton()->id, IDOK);
}

TEST(StringResources, AboutEntryOfTheSystemMenu) {
    EXPECT_EQ(app::res::Resources().FindString(IDS_ABOUTBOX), "关于 VardoEventServer(&A)...");
    EXPECT_EQ(app::res::Resources().FindString(4242), "");
}

}  // namespace

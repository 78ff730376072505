#include "tests/ui/test_dialog.h"

#include <array>

namespace uitest {
namespace {

using ui::ControlKind;
using ui::ControlTemplate;
namespace cs = ui::cs;

constexpr std::array kControls{
    ControlTemplate{
        IDOK, ControlKind::PushButton, "OK", {100, 5, 40, 14}, cs::kDefaultButton | cs::kTabStop},
    ControlTemplate{IDCANCEL, ControlKind::PushButton, "Cancel", {100, 25, 40, 14}, cs::kTabStop},
    ControlTemplate{ui::kStaticId, ControlKind::Label, "Number:", {5, 5, 40, 8}, cs::kCenter},
    ControlTemplate{kNumberField, ControlKind::Edit, "7", {50, 5, 40, 14}, cs::kDigitsOnly},
    ControlTemplate{kSecretField, ControlKind::Edit, "", {50, 25, 40, 14}, cs::kPassword},
    ControlTemplate{kTextField, ControlKind::Edit, "", {50, 45, 40, 14}, 0},
    ControlTemplate{kBox, ControlKind::CheckBox, "Box", {5, 45, 40, 10}, cs::kAutoCheck},
    ControlTemplate{kList, ControlKind::ListView, "", {5, 60, 140, 40}, cs::kReportView},
};

const std::array kDialogs{
    ui::DialogTemplate{kDialogId,
                       "Test",
                       "Sans",
                       9,
                       {0, 0, 150, 105},
                       ui::ds::kCaption | ui::ds::kSystemMenu,
                       kControls},
};

constexpr std::array kStrings{ui::StringResource{kGreetingString, "hello"}};

const ui::ResourceTable kResources{kDialogs, kStrings};

}  // namespace

const ui::ResourceTable& TestResources() {
    return kResources;
}

LRESULT TestDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        received.push_back({message, wParam, lParam});
        return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL TestDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    ++inits;
    return TRUE;
}

DialogTest::DialogTest() : app(TestResources(), "test-app", clock) {
    app.SetMessageBoxSink([this](const ui::headless::MessageBoxRecord& r) { sunk.push_back(r); });
}

ui::headless::HeadlessHost& DialogTest::Open(TestDialog& dialog) {
    EXPECT_TRUE(dialog.Create());
    auto* host = ui::headless::HostOf(dialog);
    if (host == nullptr) {
        throw std::runtime_error("dialog has no headless host");
    }
    return *host;
}

}  // namespace uitest

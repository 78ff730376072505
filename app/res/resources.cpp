// The dialog templates and strings of the event server, as data. Positions
// and sizes are dialog units; the widget host converts them with the font's
// metrics.

#include <array>

#include "app/res/resource.h"
#include "vardoappcore/api/win_types.h"

namespace app::res {
namespace {

using ui::ControlKind;
using ui::ControlTemplate;
using ui::kStaticId;
namespace cs = ui::cs;
namespace ds = ui::ds;

constexpr std::uint32_t kLabel = cs::kCenter;
constexpr std::uint32_t kTextEdit = cs::kBorder | cs::kAutoHScroll | cs::kTabStop;
constexpr std::uint32_t kNumberEdit = kTextEdit | cs::kDigitsOnly;
constexpr std::uint32_t kChannelBox = cs::kAutoCheck | cs::kTabStop;

// Template order is tab order.
constexpr std::array kMainControls{
    ControlTemplate{
        IDOK, ControlKind::PushButton, "确定", {351, 7, 50, 16}, cs::kDefaultButton | cs::kTabStop},
    ControlTemplate{IDCANCEL, ControlKind::PushButton, "取消", {351, 28, 50, 16}, cs::kTabStop},
    ControlTemplate{kStaticId, ControlKind::Label, "DataBase:", {7, 11, 66, 8}, kLabel},
    ControlTemplate{IDC_DEVICE_LIST,
                    ControlKind::ListView,
                    "",
                    {7, 84, 394, 156},
                    cs::kReportView | cs::kAlignLeft | cs::kBorder | cs::kTabStop},
    ControlTemplate{IDC_CONNECT_STRING, ControlKind::Edit, "", {79, 8, 262, 14}, kTextEdit},
    ControlTemplate{kStaticId, ControlKind::Label, "Center Server:", {7, 32, 66, 8}, kLabel},
    ControlTemplate{IDC_CENTER_SERVER, ControlKind::Edit, "", {79, 29, 117, 14}, kTextEdit},
    ControlTemplate{kStaticId, ControlKind::Label, "TCP Port:", {7, 48, 66, 8}, kLabel},
    ControlTemplate{IDC_TCP_PORT, ControlKind::Edit, "", {79, 45, 72, 14}, kNumberEdit},
    ControlTemplate{kStaticId, ControlKind::Label, "UDP Port:", {7, 64, 66, 8}, kLabel},
    ControlTemplate{IDC_UDP_PORT, ControlKind::Edit, "", {79, 61, 72, 14}, kNumberEdit},
    ControlTemplate{kStaticId, ControlKind::Label, "UserName:", {208, 25, 39, 8}, kLabel},
    ControlTemplate{IDC_USER_NAME, ControlKind::Edit, "", {251, 22, 90, 14}, kTextEdit},
    ControlTemplate{kStaticId, ControlKind::Label, "Password:", {208, 39, 39, 8}, kLabel},
    ControlTemplate{
        IDC_PASSWORD, ControlKind::Edit, "", {251, 36, 90, 14}, kTextEdit | cs::kPassword},
    ControlTemplate{kStaticId, ControlKind::Label, "Record Channel:", {179, 53, 66, 8}, kLabel},
    ControlTemplate{kStaticId, ControlKind::Label, "Record Duration:", {179, 67, 66, 8}, kLabel},
    ControlTemplate{IDC_RECORD_DURATION, ControlKind::Edit, "", {251, 64, 72, 14}, kNumberEdit},
    // The duration is counted in seconds, so the label says so.
    ControlTemplate{kStaticId, ControlKind::Label, "(seconds)", {326, 67, 66, 8}, kLabel},
    ControlTemplate{IDC_CHN01, ControlKind::CheckBox, "Chn01", {252, 52, 36, 10}, kChannelBox},
    ControlTemplate{IDC_CHN02, ControlKind::CheckBox, "Chn02", {289, 52, 36, 10}, kChannelBox},
    ControlTemplate{IDC_CHN03, ControlKind::CheckBox, "Chn03", {326, 52, 36, 10}, kChannelBox},
    ControlTemplate{IDC_CHN04, ControlKind::CheckBox, "Chn04", {363, 52, 36, 10}, kChannelBox},
    // The status line: center, database, counters, recordings.
    ControlTemplate{IDC_STATUS_LINE, ControlKind::Label, "", {7, 244, 394, 10}, cs::kNoPrefix},
};

constexpr std::array kAboutControls{
    ControlTemplate{kStaticId, ControlKind::Icon, "", {11, 17, 20, 20}, 0, IDR_MAINFRAME},
    ControlTemplate{
        kStaticId, ControlKind::Label, "VardoEventServer 1.0 版", {40, 10, 119, 8}, cs::kNoPrefix},
    ControlTemplate{kStaticId, ControlKind::Label, "车载视频设备事件服务", {40, 25, 119, 8}, 0},
    ControlTemplate{
        IDOK, ControlKind::PushButton, "确定", {178, 7, 50, 16}, cs::kDefaultButton | cs::kTabStop},
};

constexpr std::string_view kFont = "宋体";

const std::array kDialogs{
    ui::DialogTemplate{IDD_ABOUTBOX,
                       "关于 VardoEventServer",
                       kFont,
                       9,
                       {0, 0, 235, 55},
                       ds::kPopup | ds::kCaption | ds::kSystemMenu | ds::kModalFrame,
                       kAboutControls},
    ui::DialogTemplate{IDD_VARDOEVENTSERVER_DIALOG,
                       "VardoEventServer",
                       kFont,
                       9,
                       {0, 0, 408, 258},
                       ds::kPopup | ds::kVisible | ds::kCaption | ds::kSystemMenu |
                           ds::kMinimizeBox | ds::kModalFrame | ds::kAppWindow,
                       kMainControls},
};

constexpr std::array kStrings{
    ui::StringResource{IDS_ABOUTBOX, "关于 VardoEventServer(&A)..."},
};

const ui::ResourceTable kResources{kDialogs, kStrings};

}  // namespace

const ui::ResourceTable& Resources() {
    return kResources;
}

}  // namespace app::res

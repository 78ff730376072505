#pragma once
// Dialog templates and string resources as plain data. Both window hosts
// build a dialog's controls from the same template, so the dialog logic never
// depends on which host runs it. Positions and sizes are in dialog units.

#include <cstdint>
#include <span>
#include <string_view>

namespace ui {

// Id of controls that are never addressed (labels, icons).
constexpr int kStaticId = -1;

enum class ControlKind {
    PushButton,
    CheckBox,
    Edit,
    Label,
    ListView,
    Icon,
};

// Control styles. Only what a host has to honour is named.
namespace cs {
constexpr std::uint32_t kDefaultButton = 1u << 0;  // Enter presses it
constexpr std::uint32_t kTabStop = 1u << 1;
constexpr std::uint32_t kBorder = 1u << 2;
constexpr std::uint32_t kAutoHScroll = 1u << 3;  // edit scrolls instead of refusing text
constexpr std::uint32_t kDigitsOnly = 1u << 4;   // edit takes typed digits only
constexpr std::uint32_t kPassword = 1u << 5;     // edit shows its text masked
constexpr std::uint32_t kCenter = 1u << 6;       // label text centred
constexpr std::uint32_t kNoPrefix = 1u << 7;     // '&' shown as is, no mnemonic
constexpr std::uint32_t kReportView = 1u << 8;   // list with columns
constexpr std::uint32_t kAlignLeft = 1u << 9;    // list items aligned left
constexpr std::uint32_t kAutoCheck = 1u << 10;   // check box toggles itself
}  // namespace cs

// Dialog (window) styles.
namespace ds {
constexpr std::uint32_t kPopup = 1u << 0;
constexpr std::uint32_t kVisible = 1u << 1;
constexpr std::uint32_t kCaption = 1u << 2;
constexpr std::uint32_t kSystemMenu = 1u << 3;
constexpr std::uint32_t kMinimizeBox = 1u << 4;
constexpr std::uint32_t kModalFrame = 1u << 5;  // fixed size
constexpr std::uint32_t kAppWindow = 1u << 6;   // has a taskbar button
}  // namespace ds

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const Rect&, const Rect&) = default;
};

struct ControlTemplate {
    int id = kStaticId;
    ControlKind kind = ControlKind::Label;
    std::string_view text;
    Rect rect;
    std::uint32_t style = 0;
    int iconId = 0;  // ControlKind::Icon only
};

struct DialogTemplate {
    int id = 0;
    std::string_view caption;
    std::string_view fontName;
    int fontPointSize = 0;
    Rect rect;
    std::uint32_t style = 0;
    // Template order, which is also the tab order.
    std::span<const ControlTemplate> controls;

    const ControlTemplate* FindControl(int controlId) const;
    // The control that Enter presses, or null.
    const ControlTemplate* DefaultButton() const;
};

struct StringResource {
    int id = 0;
    std::string_view text;
};

// What a program module carries: its dialog templates and strings.
struct ResourceTable {
    std::span<const DialogTemplate> dialogs;
    std::span<const StringResource> strings;

    const DialogTemplate* FindDialog(int dialogId) const;
    // Empty when there is no such string.
    std::string_view FindString(int stringId) const;
};

}  // namespace ui

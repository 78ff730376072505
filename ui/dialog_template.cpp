#include "ui/dialog_template.h"

namespace ui {

const ControlTemplate* DialogTemplate::FindControl(int controlId) const {
    if (controlId == kStaticId) {
        return nullptr;
    }
    for (const auto& control : controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

const ControlTemplate* DialogTemplate::DefaultButton() const {
    for (const auto& control : controls) {
        if (control.kind == ControlKind::PushButton && (control.style & cs::kDefaultButton) != 0) {
            return &control;
        }
    }
    return nullptr;
}

const DialogTemplate* ResourceTable::FindDialog(int dialogId) const {
    for (const auto& dialog : dialogs) {
        if (dialog.id == dialogId) {
            return &dialog;
        }
    }
    return nullptr;
}

std::string_view ResourceTable::FindString(int stringId) const {
    for (const auto& entry : strings) {
        if (entry.id == stringId) {
            return entry.text;
        }
    }
    return {};
}

}  // namespace ui

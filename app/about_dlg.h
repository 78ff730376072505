#pragma once
// The About box, opened from the system menu.

#include "ui/dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};

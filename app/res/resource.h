#pragma once
// Resource ids of the event server: dialogs, strings, the icon, controls and
// the system-menu command of the About box.

#include "ui/dialog_template.h"

namespace app::res {

// The program's resources, for the application object.
const ui::ResourceTable& Resources();

}  // namespace app::res

constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_VARDOEVENTSERVER_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;

constexpr unsigned IDM_ABOUTBOX = 0x0010;

constexpr int IDC_DEVICE_LIST = 1000;
constexpr int IDC_CONNECT_STRING = 1001;
constexpr int IDC_CENTER_SERVER = 1002;
constexpr int IDC_TCP_PORT = 1003;
constexpr int IDC_UDP_PORT = 1004;
constexpr int IDC_USER_NAME = 1005;
constexpr int IDC_PASSWORD = 1006;
constexpr int IDC_CHN01 = 1007;
constexpr int IDC_CHN02 = 1008;
constexpr int IDC_CHN03 = 1009;
constexpr int IDC_RECORD_DURATION = 1010;
constexpr int IDC_CHN04 = 1011;
// What the service is doing, one line under the device list.
constexpr int IDC_STATUS_LINE = 1012;

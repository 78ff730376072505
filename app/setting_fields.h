#pragma once
// The settings the main dialog shows in its fields: which field shows which
// Config.ini key, and what it shows when the file gives no value.

#include "app/res/resource.h"

// Binds one setting to the dialog field that shows it. A row whose nID is 0
// ends the table.
struct SettingBinding {
    int nID;                 // dialog control
    const char* pszKey;      // key in Config.ini
    const char* pszDefault;  // shown when the file gives no value
};

inline constexpr const char* kDefaultConnectString =
    "Provider=SQLOLEDB;Server=127.0.0.1;Initial Catalog=VardoPlatform;User ID=sa;Password=nobe274";
inline constexpr const char* kDefaultCenterServer = "127.0.0.1";

// Table order is load order, and the order in which the fields are disabled
// while the service runs and enabled again.
inline constexpr SettingBinding g_settingBindings[] = {
    {IDC_CONNECT_STRING, "EventServer_ConnectString", kDefaultConnectString},
    {IDC_CENTER_SERVER, "EventServer_CenterServerAddr", kDefaultCenterServer},
    {IDC_TCP_PORT, "EventServer_CenterServerTcpPort", "24680"},
    {IDC_UDP_PORT, "EventServer_CenterServerUdpPort", "24681"},
    {IDC_USER_NAME, "EventServer_UserName", "root"},
    {IDC_PASSWORD, "EventServer_Password", "kiwa"},
    {IDC_RECORD_DURATION, "EventServer_RecordDuration", "90"},  // seconds
    {0, nullptr, nullptr},
};

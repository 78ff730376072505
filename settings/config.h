#pragma once
// The operator's settings in Config.ini and the dialog fields that show them.

#include <string>
#include <string_view>

// Reads `key` from section g_strConfigSection of g_strConfigFile, cut to 259
// characters. A missing file, section or key, or an empty value, gives
// `defaultValue`. The file is read on every call and never written.
std::string ReadConfigString(std::string_view key, std::string_view defaultValue = {});

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
    {1001, "EventServer_ConnectString", kDefaultConnectString},    // "DataBase:"
    {1002, "EventServer_CenterServerAddr", kDefaultCenterServer},  // "Center Server:"
    {1003, "EventServer_CenterServerTcpPort", "24680"},            // "TCP Port:"
    {1004, "EventServer_CenterServerUdpPort", "24681"},            // "UDP Port:"
    {1005, "EventServer_UserName", "root"},                        // "UserName:"
    {1006, "EventServer_Password", "kiwa"},                        // "Password:"
    {1010, "EventServer_RecordDuration", "90"},                    // "Record Duration:", seconds
    {0, nullptr, nullptr},
};

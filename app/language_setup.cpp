#include "app/language_setup.h"

#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/res/resource.h"
#include "app/ui_texts.h"
#include "settings/config.h"
#include "settings/language.h"

namespace app {

namespace {

// Which key of the language file replaces a template text. Keyed by dialog
// and built-in text, so that the templates stay plain data.
struct TextKey {
    int dialogId;  // 0: a string resource
    std::string_view builtin;
    std::string_view key;
};

constexpr TextKey kTextKeys[] = {
    {IDD_VARDOEVENTSERVER_DIALOG, "确定", "ButtonStart"},
    {IDD_VARDOEVENTSERVER_DIALOG, "取消", "ButtonClose"},
    {IDD_VARDOEVENTSERVER_DIALOG, "DataBase:", "LabelDataBase"},
    {IDD_VARDOEVENTSERVER_DIALOG, "Center Server:", "LabelCenterServer"},
    {IDD_VARDOEVENTSERVER_DIALOG, "TCP Port:", "LabelTcpPort"},
    {IDD_VARDOEVENTSERVER_DIALOG, "UDP Port:", "LabelUdpPort"},
    {IDD_VARDOEVENTSERVER_DIALOG, "UserName:", "LabelUserName"},
    {IDD_VARDOEVENTSERVER_DIALOG, "Password:", "LabelPassword"},
    {IDD_VARDOEVENTSERVER_DIALOG, "Record Channel:", "LabelRecordChannel"},
    {IDD_VARDOEVENTSERVER_DIALOG, "Record Duration:", "LabelRecordDuration"},
    {IDD_VARDOEVENTSERVER_DIALOG, "(seconds)", "LabelSeconds"},
    {IDD_ABOUTBOX, "关于 VardoEventServer", "AboutCaption"},
    {IDD_ABOUTBOX, "VardoEventServer 1.0 版", "AboutVersion"},
    {IDD_ABOUTBOX, "车载视频设备事件服务", "AboutDescription"},
    {IDD_ABOUTBOX, "确定", "AboutOK"},
    {0, "关于 VardoEventServer(&A)...", "MenuAbout"},
};

std::string_view KeyOf(int dialogId, std::string_view builtin) {
    for (const TextKey& entry : kTextKeys) {
        if (entry.dialogId == dialogId && entry.builtin == builtin) {
            return entry.key;
        }
    }
    return {};
}

// Each problem once per process: a dialog opened twice says it once.
void LogOnce(const LanguageLog& log, const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string> said;
    {
        const std::lock_guard lock(mutex);
        if (!said.insert(line).second) {
            return;
        }
    }
    if (log) {
        log(line);
    }
}

}  // namespace

void LoadLanguageTexts(const LanguageLog& log) {
    const std::string configured = ReadConfigString("Language File");
    const char* chosen = g_nLanguage >= 0 && g_nLanguage < kLanguageCount
                             ? g_languageTable[g_nLanguage].pszCode
                             : g_languageTable[0].pszCode;
    if (!configured.empty() && configured != chosen) {
        LogOnce(log, "language '" + configured + "' is not available; using " + chosen);
    }
    UiTexts& texts = UiTexts::Current();
    if (!texts.Load(g_strLanguageFile) && !configured.empty()) {
        LogOnce(log, "language file " + g_strLanguageFile +
                         " cannot be read; the built-in texts are used");
    }
    std::error_code error;
    if (!g_strSkinDir.empty() && !std::filesystem::is_directory(g_strSkinDir, error)) {
        LogOnce(log, "skin folder " + g_strSkinDir + " is missing");
    }
}

namespace {

std::unique_ptr<TranslatedResources> g_programResources;  // main's thread, before windows

}  // namespace

void PrepareProgramLanguage(const LanguageLog& log) {
    SelectLanguageAndSkin();
    LoadLanguageTexts(log);
    g_programResources = std::make_unique<TranslatedResources>(res::Resources());
}

const ui::ResourceTable& ProgramResources() {
    return g_programResources ? g_programResources->Table() : res::Resources();
}

struct TranslatedResources::Storage {
    std::deque<std::string> texts;  // a deque: its strings never move
    std::deque<std::vector<ui::ControlTemplate>> controls;
    std::vector<ui::DialogTemplate> dialogs;
    std::vector<ui::StringResource> strings;
    ui::ResourceTable table;

    std::string_view Text(int dialogId, std::string_view builtin) {
        const std::string_view key = KeyOf(dialogId, builtin);
        if (key.empty()) {
            return builtin;
        }
        return texts.emplace_back(Tr(key, builtin));
    }
};

TranslatedResources::TranslatedResources(const ui::ResourceTable& builtin)
    : storage_(std::make_unique<Storage>()) {
    Storage& s = *storage_;
    for (const ui::DialogTemplate& dialog : builtin.dialogs) {
        auto& controls = s.controls.emplace_back(dialog.controls.begin(), dialog.controls.end());
        for (ui::ControlTemplate& control : controls) {
            control.text = s.Text(dialog.id, control.text);
        }
        ui::DialogTemplate copy = dialog;
        copy.caption = s.Text(dialog.id, dialog.caption);
        copy.controls = controls;
        s.dialogs.push_back(copy);
    }
    for (const ui::StringResource& string : builtin.strings) {
        s.strings.push_back({string.id, s.Text(0, string.text)});
    }
    s.table = ui::ResourceTable{s.dialogs, s.strings};
}

TranslatedResources::~TranslatedResources() = default;

const ui::ResourceTable& TranslatedResources::Table() const {
    return storage_->table;
}

}  // namespace app

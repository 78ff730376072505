#include "settings/language.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "settings/config.h"
#include "settings/program_dir.h"
#include "text/ascii.h"

// Codes are file titles and compared exactly as written here (cz_CZ, jp_JP
// and ua_UA included), so that existing language files keep their names.
LanguageEntry g_languageTable[kLanguageCount + 1] = {
    {0, "English", "en_US", "English"},
    {0, "Chinese-Simplified", "zh_CN", "Chinese (P.R.C.)"},
    {0, "Chinese-Traditional", "zh_TW", "Chinese (Taiwan)"},
    {0, "Arabic", "ar_AE", "Arabic (UAE)"},
    {0, "Basque", "ba_BA", "Basque"},
    {0, "Bulgarian", "bg_BG", "Bulgarian"},
    {0, "Catalan", "ca_ES", "Catalan"},
    {0, "Czech", "cz_CZ", "Czech"},
    {0, "Danish", "da_DK", "Danish"},
    {0, "German", "de_DE", "German (Germany)"},
    {0, "Greek", "el_GR", "Greek"},
    {0, "Spanish", "es_ES", "Spanish (Castilian)"},
    {0, "Asturian", "es_AS", "Asturian"},
    {0, "Estonian", "et_EE", "Estonian"},
    {0, "Finnish", "fi_FI", "Finnish"},
    {0, "French", "fr_FR", "French (France)"},
    {0, "French", "fr_BR", "French (Breton)"},
    {0, "Galician", "gl_ES", "Galician"},
    {0, "Hebrew", "he_IL", "Hebrew"},
    {0, "Hungarian", "hu_HU", "Hungarian"},
    {0, "Italian", "it_IT", "Italian (Italy)"},
    {0, "Japanese", "jp_JP", "Japanese"},
    {0, "Korean", "ko_KR", "Korean"},
    {0, "Lithuanian", "lt_LT", "Lithuanian"},
    {0, "Latvian", "lv_LV", "Latvian"},
    {0, "Maltese", "mt_MT", "Maltese"},
    {0, "Norwegian", "nb_NO", "Norwegian (Bokmal)"},
    {0, "Norwegian", "nn_NO", "Norwegian (Nynorsk)"},
    {0, "Dutch", "nl_NL", "Dutch (Netherlands)"},
    {0, "Polish", "pl_PL", "Polish"},
    {0, "Portuguese", "pt_BR", "Portuguese (Brazil)"},
    {0, "Portuguese", "pt_PT", "Portuguese (Portugal)"},
    {0, "Rum\xC3\xA4nisch", "ro_RO", "Rum\xC3\xA4nisch"},
    {0, "Russian", "ru_RU", "Russian"},
    {0, "Slovenian", "sl_SI", "Slovenian"},
    {0, "Albanian", "sq_AL", "Albanian (Albania)"},
    {0, "Swedish", "sv_SE", "Swedish"},
    {0, "Turkish", "tr_TR", "Turkish"},
    {0, "Ukrainian", "ua_UA", "Ukrainian"},
    {0, "Vietnamese", "vi_VN", "Vietnamese"},
    {0, nullptr, nullptr, nullptr},
};

std::string g_strLanguageFile;
int g_nLanguage = -1;
std::string g_strSkinDir;

namespace {

bool endsWithIniInAnyCase(std::string_view name) {
    if (name.size() < 4) {
        return false;
    }
    return text::EqualsIgnoringCase(name.substr(name.size() - 4), ".ini");
}

// Titles (names without ".ini") of the files in `folder` whose extension is
// .ini in any case, sorted by name. A missing or unreadable folder has none.
std::vector<std::string> languageFileTitles(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        if (it->is_directory(typeError)) {
            continue;
        }
        std::string name = it->path().filename().string();
        if (endsWithIniInAnyCase(name)) {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());
    for (auto& name : names) {
        name.resize(name.size() - 4);
    }
    return names;
}

}  // namespace

void SelectLanguageAndSkin() {
    g_strConfigFile = settings::configFileIn(g_strModuleDir);
    g_strConfigSection = "VardoEventServer";
    const std::string configured = ReadConfigString("Language File");
    // Fresh marks, so that a second call chooses as the first did.
    for (auto& entry : g_languageTable) {
        entry.bPresent = 0;
    }
    g_nLanguage = -1;

    for (const auto& title : languageFileTitles(g_strModuleDir + "Language")) {
        for (int row = 0; g_languageTable[row].pszCode != nullptr; ++row) {
            LanguageEntry& entry = g_languageTable[row];
            if (g_nLanguage == -1 && configured == entry.pszCode) {
                g_nLanguage = row;
            }
            if (entry.bPresent == 0 && title == entry.pszCode) {
                entry.bPresent = 1;
                break;
            }
        }
    }
    if (g_nLanguage == -1) {
        g_nLanguage = 0;
    }

    g_strLanguageFile =
        g_strModuleDir + "Language/" + g_languageTable[g_nLanguage].pszCode + ".ini";
    g_strSkinDir = g_strModuleDir + ReadConfigString("Skin", "image") + "/";
}

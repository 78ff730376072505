#pragma once
// The choice of a language file from the Language folder and of the skin
// folder, both named in Config.ini:
//
//   [VardoEventServer]
//   Language File=zh_CN
//   Skin=image

#include <string>

struct LanguageEntry {
    int bPresent;                // 1 once Language/<code>.ini has been found
    const char* pszName;         // UTF-8
    const char* pszCode;         // also the title of the language file; null ends the table
    const char* pszDisplayName;  // UTF-8
};

// Forty languages, row 0 (en_US) being the default, then a row without a code.
inline constexpr int kLanguageCount = 40;
extern LanguageEntry g_languageTable[kLanguageCount + 1];

// Results of SelectLanguageAndSkin; nothing reads the files they name yet.
// Written on the window thread during the dialog's start-up only.
extern std::string g_strLanguageFile;  // g_strModuleDir + "Language/" + code + ".ini"
extern int g_nLanguage;                // row of the chosen language; -1 before the choice
extern std::string g_strSkinDir;       // g_strModuleDir + skin name + "/"

// Marks the languages whose file is present and chooses one: the configured
// "Language File" code, or row 0. The configured code is taken only when the
// table walk of some language file passes its row: each file's walk goes from
// row 0 and ends at the first unmarked row whose code is the file's title.
// So with only en_US.ini present, zh_CN is never reached and row 0 is chosen,
// while a de_DE.ini (row 9) lets the walk pass zh_CN (row 1). Neither the
// language file nor the skin folder need exist.
void SelectLanguageAndSkin();

#include "settings/language.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "testsupport/config/temp_program_dir.h"

namespace {

using testsupport::TempProgramDir;

std::vector<int> markedRows() {
    std::vector<int> rows;
    for (int row = 0; g_languageTable[row].pszCode != nullptr; ++row) {
        if (g_languageTable[row].bPresent != 0) {
            rows.push_back(row);
        }
    }
    return rows;
}

struct LanguageCase {
    const char* name;
    std::optional<std::string> configured;  // "Language File"; nothing: no key
    std::vector<std::string> files;         // below Language/
    std::vector<std::string> folders;       // below Language/
    int row;                                // expected g_nLanguage
    std::vector<int> marked;
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<LanguageCase> kCases = {
    {"ConfiguredFilePresent", "zh_CN", {"en_US.ini", "zh_CN.ini"}, {}, 1, {0, 1}},
    // The walk for en_US.ini ends at row 0 and never reaches zh_CN.
    {"ConfiguredCodeNotReachedByAnyWalk", "zh_CN", {"en_US.ini"}, {}, 0, {0}},
    // The walk for de_DE.ini passes row 1 on its way to row 9.
    {"ConfiguredCodePassedByAnotherWalk", "zh_CN", {"en_US.ini", "de_DE.ini"}, {}, 1, {0, 9}},
    {"ConfiguredCodeInOtherCase",
     "ZH_CN",
     {"en_US.ini", "zh_CN.ini", "de_DE.ini"},
     {},
     0,
     {0, 1, 9}},
    {"ConfiguredCodeWithExtension",
     "zh_CN.ini",
     {"en_US.ini", "zh_CN.ini", "de_DE.ini"},
     {},
     0,
     {0, 1, 9}},
    {"ConfiguredCodeNotInTable", "cs_CZ", {"cs_CZ.ini", "de_DE.ini"}, {}, 0, {9}},
    {"NoConfiguredCode", std::nullopt, {"zh_TW.ini"}, {}, 0, {2}},
    {"NoLanguageFolder", "zh_CN", {}, {}, 0, {}},
    {"EmptyLanguageFolder", "zh_CN", {}, {"."}, 0, {}},
    {"ExtensionInAnyCase", "zh_CN", {"en_US.INI", "zh_CN.Ini"}, {}, 1, {0, 1}},
    {"OtherExtensionsIgnored", "zh_CN", {"de_DE.txt", "de_DE.ini.bak", "de_DE", "ini"}, {}, 0, {}},
    {"FolderNamedLikeALanguageFileSkipped", "zh_CN", {"en_US.ini"}, {"de_DE.ini"}, 0, {0}},
    // A title that is no code walks the whole table and finds any code.
    {"UnknownTitleWalksTheWholeTable", "vi_VN", {"readme.ini"}, {}, 39, {}},
    {"LastRowChosenAndMarked", "vi_VN", {"vi_VN.ini"}, {}, 39, {39}},
    {"CodesAsTheFilesAreNamed",
     "jp_JP",
     {"cz_CZ.ini", "jp_JP.ini", "ua_UA.ini"},
     {},
     21,
     {7, 21, 38}},
    // Both titles are en_US: the second walk passes the marked row 0 and
    // goes on to find de_DE.
    {"SameTitleTwiceWalksOn", "de_DE", {"en_US.ini", "en_US.INI"}, {}, 9, {0}},
};

class LanguageSelection : public testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageSelection, ChoosesRowAndMarksFiles) {
    const LanguageCase& c = GetParam();
    TempProgramDir home;
    if (c.configured) {
        home.writeConfig({{"Language File", *c.configured}});
    }
    for (const auto& file : c.files) {
        home.addLanguageFile(file);
    }
    for (const auto& folder : c.folders) {
        home.makeDirectory("Language/" + folder);
    }
    SelectLanguageAndSkin();
    EXPECT_EQ(g_nLanguage, c.row);
    EXPECT_EQ(markedRows(), c.marked);
    EXPECT_EQ(g_strLanguageFile,
              home.path() + "Language/" + g_languageTable[c.row].pszCode + ".ini");
}

INSTANTIATE_TEST_SUITE_P(Language, LanguageSelection, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Language, SkinFolderBelowProgramDirectory) {
    struct Row {
        std::optional<std::string> skin;
        std::string folder;
    };
    const Row rows[] = {{std::nullopt, "image/"}, {"", "image/"}, {"dark", "dark/"}};
    for (const auto& row : rows) {
        TempProgramDir home;
        if (row.skin) {
            home.writeConfig({{"Skin", *row.skin}});
        }
        SelectLanguageAndSkin();
        EXPECT_EQ(g_strSkinDir, home.path() + row.folder);
    }
}

TEST(Language, SecondCallChoosesAsTheFirst) {
    TempProgramDir home;
    home.writeConfig({{"Language File", "de_DE"}});
    home.addLanguageFile("en_US.ini");
    SelectLanguageAndSkin();
    const int first = g_nLanguage;
    SelectLanguageAndSkin();
    EXPECT_EQ(g_nLanguage, first);
    EXPECT_EQ(markedRows(), std::vector<int>{0});
}

TEST(Language, TableHoldsFortyRowsThenEnds) {
    int rows = 0;
    while (g_languageTable[rows].pszCode != nullptr) {
        ++rows;
    }
    EXPECT_EQ(rows, 40);
    EXPECT_STREQ(g_languageTable[0].pszCode, "en_US");
    EXPECT_STREQ(g_languageTable[32].pszCode, "ro_RO");
    EXPECT_STREQ(g_languageTable[32].pszName, "Rum\xC3\xA4nisch");
    EXPECT_STREQ(g_languageTable[32].pszDisplayName, "Rum\xC3\xA4nisch");
    EXPECT_STREQ(g_languageTable[39].pszCode, "vi_VN");
}

}  // namespace

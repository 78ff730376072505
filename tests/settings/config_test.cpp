#include "settings/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/ini_reader.h"
#include "testsupport/config/temp_program_dir.h"

namespace {

using testsupport::TempProgramDir;

TEST(Config, MissingOrUnreadableFileGivesDefaults) {
    TempProgramDir home;
    EXPECT_EQ(ReadConfigString("EventServer_UserName", "root"), "root");
    home.makeDirectory("Config.ini");  // a folder where the file should be
    EXPECT_EQ(ReadConfigString("EventServer_UserName", "root"), "root");
}

TEST(Config, NoDefaultGivesEmptyText) {
    TempProgramDir home;
    home.writeConfig({{"EventServer_UserName", ""}});
    EXPECT_EQ(ReadConfigString("EventServer_UserName"), "");
    EXPECT_EQ(ReadConfigString("Nowhere"), "");
}

TEST(Config, FileIsReadOnEveryCall) {
    TempProgramDir home;
    home.writeConfig({{"EventServer_UserName", "alice"}});
    EXPECT_EQ(ReadConfigString("EventServer_UserName", "root"), "alice");
    home.writeConfig({{"EventServer_UserName", "bob"}});
    EXPECT_EQ(ReadConfigString("EventServer_UserName", "root"), "bob");
}

// Config.ini as operators write it, and what EventServer_UserName (default
// "root") then reads.
struct FileCase {
    const char* name;
    std::string content;
    std::string expected;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string k300(300, 'x');
const std::string kUmlaut = "\xC3\xA4";  // one character, two bytes

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// UTF-16 little-endian with its byte-order mark, as Windows editors save.
std::string utf16le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

const std::vector<FileCase> kFileCases = {
    {"PlainValue", "[VardoEventServer]\nEventServer_UserName=alice\n", "alice"},
    {"EmptyValueGivesDefault", "[VardoEventServer]\nEventServer_UserName=\n", "root"},
    {"BlankValueGivesDefault", "[VardoEventServer]\nEventServer_UserName=   \n", "root"},
    {"EmptyQuotesGiveDefault", "[VardoEventServer]\nEventServer_UserName=\"\"\n", "root"},
    {"SectionAndKeyInOtherCase", "[VARDOEVENTSERVER]\neventserver_username=alice\n", "alice"},
    {"BlanksAroundNameEqualsAndValue",
     "  [ VardoEventServer ]  \n \t EventServer_UserName \t=\t  alice smith  \n", "alice smith"},
    {"DoubleQuotesDropped", "[VardoEventServer]\nEventServer_UserName=\" alice \"\n", " alice "},
    {"SingleQuotesDropped", "[VardoEventServer]\nEventServer_UserName='alice'\n", "alice"},
    {"OnlyOnePairOfQuotesDropped", "[VardoEventServer]\nEventServer_UserName=\"\"alice\"\"\n",
     "\"alice\""},
    {"UnmatchedQuotesKept", "[VardoEventServer]\nEventServer_UserName=\"alice'\n", "\"alice'"},
    {"SemicolonAndEqualsInValueKept", "[VardoEventServer]\nEventServer_UserName=a=b ;c\n",
     "a=b ;c"},
    {"CrLfLineEnds", "[VardoEventServer]\r\nEventServer_UserName=alice\r\n", "alice"},
    {"NoFinalLineEnd", "[VardoEventServer]\nEventServer_UserName=alice", "alice"},
    {"Utf8ByteOrderMark", "\xEF\xBB\xBF[VardoEventServer]\nEventServer_UserName=alice\n", "alice"},
    {"Utf16File", utf16le("[VardoEventServer]\r\nEventServer_UserName=alice\r\n"), "alice"},
    {"Utf8Value", "[VardoEventServer]\nEventServer_UserName=\xE7\x8E\x8B\xE4\xBC\x9F\n",
     "\xE7\x8E\x8B\xE4\xBC\x9F"},
    {"KeyInAnotherSectionIgnored", "[Other]\nEventServer_UserName=alice\n", "root"},
    {"KeyBeforeAnySectionIgnored", "EventServer_UserName=alice\n[VardoEventServer]\n", "root"},
    {"SectionAfterAnother",
     "[Other]\nEventServer_UserName=bob\n[VardoEventServer]\nEventServer_UserName=alice\n",
     "alice"},
    {"FirstOccurrenceWins",
     "[VardoEventServer]\nEventServer_UserName=alice\nEventServer_UserName=bob\n", "alice"},
    {"CommentedOutKeyIgnored", "[VardoEventServer]\n;EventServer_UserName=alice\n", "root"},
    {"LineWithoutEqualsIgnored",
     "[VardoEventServer]\nEventServer_UserName\nEventServer_UserName=alice\n", "alice"},
    {"LongerKeyNotMatched", "[VardoEventServer]\nEventServer_UserNameX=alice\n", "root"},
    {"Value300CharactersCutTo259", "[VardoEventServer]\nEventServer_UserName=" + k300 + "\n",
     k300.substr(0, 259)},
    {"Value259CharactersKept", "[VardoEventServer]\nEventServer_UserName=" + k300.substr(0, 259),
     k300.substr(0, 259)},
    {"CutCountsCharactersNotBytes",
     "[VardoEventServer]\nEventServer_UserName=" + repeat(kUmlaut, 300) + "\n",
     repeat(kUmlaut, 259)},
    {"QuotedLongValueCutAfterQuotesDropped",
     "[VardoEventServer]\nEventServer_UserName=\"" + k300 + "\"\n", k300.substr(0, 259)},
};

class ConfigFile : public testing::TestWithParam<FileCase> {};

TEST_P(ConfigFile, ReadsTheUserName) {
    TempProgramDir home;
    home.writeConfigText(GetParam().content);
    EXPECT_EQ(ReadConfigString("EventServer_UserName", "root"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Config, ConfigFile, testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniReader, CutNeverSplitsACharacter) {
    struct Row {
        std::string text;
        std::size_t count;
        std::string expected;
    };
    const Row rows[] = {
        {"abc", 5, "abc"},
        {"abc", 2, "ab"},
        {"abc", 0, ""},
        {"a" + kUmlaut + "b", 2, "a" + kUmlaut},
        {"\xF0\x9F\x98\x80x", 1, "\xF0\x9F\x98\x80"},  // four-byte character
    };
    for (const auto& row : rows) {
        EXPECT_EQ(settings::cutToCharacters(row.text, row.count), row.expected)
            << row.text << " / " << row.count;
    }
}

TEST(Config, Utf16FileWithSurrogatePairAndBrokenUnit) {
    // "...UserName=" then U+1F600 as a surrogate pair, then a lone high
    // surrogate, which is read as U+FFFD.
    std::string le = utf16le("[VardoEventServer]\nEventServer_UserName=");
    le += std::string("\x3D\xD8\x00\xDE", 4);
    le += std::string("\x3D\xD8", 2);
    le += std::string("\n\0", 2);
    std::string be = "\xFE\xFF";
    for (std::size_t i = 2; i + 1 < le.size(); i += 2) {
        be += le[i + 1];
        be += le[i];
    }
    const std::string expected = "\xF0\x9F\x98\x80\xEF\xBF\xBD";
    TempProgramDir home;
    home.writeConfigText(le);
    EXPECT_EQ(ReadConfigString("EventServer_UserName"), expected);
    home.writeConfigText(be);
    EXPECT_EQ(ReadConfigString("EventServer_UserName"), expected);
}

}  // namespace

// How a command-line word splits into an option's name and value.

#include "text/option_word.h"

#include <gtest/gtest.h>

namespace {

using text::SplitOptionWord;

TEST(OptionWord, ALongOptionCarriesItsValueAfterTheFirstEquals) {
    EXPECT_EQ(SplitOptionWord("--fps=25").name, "--fps");
    EXPECT_EQ(SplitOptionWord("--fps=25").value, "25");
    // A connection string or a path may hold '=' itself.
    EXPECT_EQ(SplitOptionWord("--db=host=a=b").name, "--db");
    EXPECT_EQ(SplitOptionWord("--db=host=a=b").value, "host=a=b");
    // An empty value is a value: the option's own check refuses it, not a
    // lookup of the next word.
    EXPECT_EQ(SplitOptionWord("--user=").value, std::optional<std::string>(""));
}

TEST(OptionWord, OtherWordsAreANameAlone) {
    for (const char* word : {"--fps", "-h", "-h=1", "x=y", "", "--"}) {
        const text::OptionWord split = SplitOptionWord(word);
        EXPECT_EQ(split.name, word);
        EXPECT_FALSE(split.value) << word;
    }
}

}  // namespace

#include "foundation/message_catalog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <string>

namespace {

// The printf conversions of a text, one letter each ("%%" is no conversion). A '%' that does not
// start a complete conversion (the operator list "*/%+-.") is not counted: such texts are plain.
std::string ConversionsOf(const std::string& text)
{
    static const std::regex conversion(R"(%%|%[-+ #0]*[0-9]*(\.[0-9]+)?(l|ll|h|z)?([a-zA-Z]))");
    std::string letters;
    for (std::sregex_iterator it(text.begin(), text.end(), conversion), end; it != end; ++it) {
        if ((*it)[0] != "%%")
            letters += (*it)[3].str();
    }
    return letters;
}

// What the callers pass to each text that is used as a format: a text whose conversions drift
// from this list would read the wrong argument type or one past the end.
const std::map<int, std::string> kCallerArguments = {
    {7, "s"},   {14, "s"},   {16, "d"},   {20, "s"},   {142, "ss"},
    {156, "d"}, {157, "ss"}, {158, "ss"}, {164, "ss"}, {169, "sss"},
};

TEST(MessageCatalog, FormatSlotsHaveTheConversionsTheirCallersPass)
{
    for (int slot = 0; slot < CMessageCatalog::kSlotCount; ++slot) {
        auto expected = kCallerArguments.find(slot);
        std::string conversions = ConversionsOf(CMessageCatalog::Text(slot));
        if (expected != kCallerArguments.end())
            EXPECT_EQ(conversions, expected->second) << "slot " << slot;
        else
            EXPECT_EQ(conversions, "") << "plain slot " << slot << " holds a placeholder";
    }
}

TEST(MessageCatalog, EmptyAndOutOfRangeSlotsGiveAnEmptyTextNotANullPointer)
{
    for (int slot : {-1, 11, 18, 19, 21, 22, 47, 50, 148, CMessageCatalog::kSlotCount, 100000}) {
        ASSERT_NE(CMessageCatalog::Text(slot), nullptr) << slot;
        EXPECT_STREQ(CMessageCatalog::Text(slot), "") << slot;
    }
}

TEST(MessageCatalog, ConnectPageFormatsWithTheAddressTwiceAndALiteralPercent)
{
    const char* address = "http://localhost:8085/index.twp";
    char page[8192];
    int length = std::snprintf(page, sizeof page, CMessageCatalog::Format(164), address, address);
    ASSERT_GT(length, 0);
    ASSERT_LT(length, static_cast<int>(sizeof page));
    std::string text(page);
    EXPECT_NE(text.find("<a href=\"http://localhost:8085/index.twp\">http://localhost:8085/index.twp</a>"),
              std::string::npos);
    EXPECT_NE(text.find("width=\"100%\""), std::string::npos);
    EXPECT_NE(text.find("<title>Tarnwick Server : Connect</title>"), std::string::npos);
}

}  // namespace

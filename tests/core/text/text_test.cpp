#include <gtest/gtest.h>

#include "core/text/base64.hpp"
#include "core/text/base64_url.hpp"
#include "core/text/unicode_text.hpp"

namespace tessarin {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Base64, EncodesBothAlphabetsAndReadsBackOnlyPaddedStandardBase64) {
    // clang-format off
    const std::tuple<Bytes, std::string, std::string> cases[] = {
        {{}, "", ""}, {{'f'}, "Zg==", "Zg"}, {{'f', 'o'}, "Zm8=", "Zm8"},
        {{'f', 'o', 'o'}, "Zm9v", "Zm9v"}, {{0xfb, 0xff, 0xbf, 0x00, 0x41}, "+/+/AEE=", "-_-_AEE"}};
    // clang-format on
    for (const auto& [bytes, standard, urlSafe] : cases) {
        EXPECT_EQ(Base64::encode(bytes), standard);
        EXPECT_EQ(Base64URL::encode(bytes), urlSafe);
        EXPECT_EQ(Base64::decode(standard), bytes) << standard;
    }
    Bytes big(3 * (1 << 20) + 4);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    EXPECT_EQ(Base64::decode(Base64::encode(big)), big);
    for (const char* refused : {"Zm8", "Zm9v!A==", "-_-_", "Zg"}) {
        EXPECT_EQ(Base64::decode(refused), std::nullopt) << refused;
    }
}

TEST(UnicodeText, SplitsTrimsAndCollapsesAtEveryKindOfWhiteSpace) {
    using Pieces = std::vector<std::string_view>;
    EXPECT_EQ(UnicodeText::splitWhitespace("  a\tb\r\nc\u00a0d\u2003e\u3000f\u2028g  "),
              (Pieces{"a", "b", "c", "d", "e", "f", "g"}));
    EXPECT_EQ(UnicodeText::splitWhitespace(" \n\t\u3000"), Pieces{});
    EXPECT_EQ(UnicodeText::splitWhitespace("\xff one"), (Pieces{"\xff", "one"}));
    EXPECT_EQ(UnicodeText::trimWhitespace("\t\u3000 a b \n\u00a0 "), "a b");
    EXPECT_EQ(UnicodeText::trimWhitespace(" \xff \xc3"), "\xff \xc3");
    EXPECT_EQ(UnicodeText::collapseWhitespace(" a\u200bb \r\n c "), "a\u200bb c");
    EXPECT_TRUE(UnicodeText::isBlank(" \u3000\n"));
    EXPECT_FALSE(UnicodeText::isBlank("\u200b"));
    EXPECT_TRUE(UnicodeText::isValidUTF8("Grüße"));
    EXPECT_EQ(UnicodeText::repairUTF8("Grüße"), "Grüße");
    EXPECT_EQ(UnicodeText::repairUTF8("bad \xC3\x28"), "bad \xEF\xBF\xBD(");
}

}  // namespace
}  // namespace tessarin

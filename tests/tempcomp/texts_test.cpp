#include <gtest/gtest.h>

#include "tempcomp/tc_texts.h"

namespace kv {
namespace {

const TCLocale kDot{".", "%m/%d/%Y", "%I:%M:%S %p"};
const TCLocale kComma{",", "%d.%m.%Y", "%H:%M:%S"};

TEST(TempTexts, OffsetIsThreeCharactersForEveryClass) {
    const std::pair<int, const char*> cases[] = {{0, "  0"},   {5, " +5"},   {9, " +9"},   {10, "+10"},
                                                 {12, "+12"},  {15, "+15"},  {16, "  0"},  {-1, " -1"},
                                                 {-5, " -5"},  {-10, "-10"}, {-15, "-15"}, {-16, "  0"}};
    for (auto [offset, text] : cases) EXPECT_EQ(FormatOffset(offset), text) << offset;

    // An empty offset counts as 0; a step past +-15 or no offset at all writes nothing.
    for (auto [text, up, reg] : {std::tuple{" +5", true, std::optional(241)}, {"-12", false, std::optional(222)},
                                 {"   ", false, std::optional(234)}, {"+15", true, std::optional<int>()},
                                 {"-15", false, std::optional<int>()}, {kNoOffsetText, true, std::optional<int>()}}) {
        EXPECT_EQ(OffsetButtonRegister(text, up), reg) << text;
    }
    EXPECT_EQ(std::tuple(RoundHalfEven(-2.55), RoundHalfEven(2.5), RoundHalfEven(-3.5), RoundHalfEven(1e300)),
              std::tuple(-3, 2, -4, INT32_MAX));
}

TEST(TempTexts, TemperaturesFollowTheLocaleAndReadBack) {
    const TemperatureTexts dot = ReadingTexts(20.04, 20.0, kDot), comma = ReadingTexts(-5.0, -5.0, kComma);
    EXPECT_EQ(std::tuple(dot.temp, dot.avgF), std::tuple(" 20.0 \xC2\xB0""C", " 68.0 \xC2\xB0""F"));
    EXPECT_EQ(std::tuple(comma.avg, comma.avgF), std::tuple(" -5,0 \xC2\xB0""C", " 23,0 \xC2\xB0""F"));
    const TemperatureTexts none = ReadingTexts(-99.0, 12.0, kDot);
    EXPECT_EQ(std::tuple(none.temp, none.avg, none.avgF), std::tuple("-------", "-------", "-------"));

    EXPECT_EQ(ParseTemperatureText(comma.avg, kComma), -5.0);
    EXPECT_EQ(ParseTemperatureText(comma.avg, kDot), std::nullopt);
    EXPECT_EQ(ParseTemperatureText("-------", kDot), std::nullopt);
    EXPECT_EQ(ParseLocaleFloat(" -8,5 ", kComma), -8.5);
    EXPECT_EQ(ParseLocaleFloat("8.5", kComma), std::nullopt);
    EXPECT_EQ(ParseLocaleFloat("inf", kDot), std::nullopt);
    EXPECT_EQ(FormatShortest(12.5, kComma), "12,5");
    EXPECT_EQ(FormatShortest(20.0, kDot), "20");
}

TEST(TempTexts, DatesAndTimesReadWithTheirOwnLocaleOnly) {
    EXPECT_DOUBLE_EQ(*ParseDateTime("12/30/1899", "12:00:00 PM", kDot), 0.5);
    EXPECT_DOUBLE_EQ(*ParseDateTime("01.01.1900", "00:00:00", kComma), 2.0);
    EXPECT_EQ(ParseDateTime("30.12.2023", "21:05:09", kDot), std::nullopt);
    EXPECT_EQ(ParseDateTime("31.02.2023", "21:05:09", kComma), std::nullopt);
}

}  // namespace
}  // namespace kv

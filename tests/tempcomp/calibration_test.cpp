#include <gtest/gtest.h>

#include "support/temp_files.h"
#include "tempcomp/calibration_list.h"

namespace kv {
namespace {

const TCLocale kDot{".", "%m/%d/%Y", "%H:%M:%S"};
const TCLocale kComma{",", "%d.%m.%Y", "%H:%M:%S"};

TCalibrationList ListOf(std::initializer_list<std::pair<int, double>> points, const TCLocale& locale = kDot) {
    TCalibrationList list(locale);
    for (auto [position, temp] : points) {
        list.AddDataPoint({true, position, temp, "21:00:00", locale.decimalSeparator == "." ? "12/30/2023" : "30.12.2023"});
    }
    return list;
}

TEST(Calibration, FitGivesSlopeR2AndMeterFromTwoCheckedPointsThatDiffer) {
    TCalibrationList exact = ListOf({{0, 20.0}, {-50, 15.0}, {-100, 10.0}});
    CoefficientResult a = exact.CalcCoefficients();
    EXPECT_EQ(std::tuple(a.status.message, a.slopeText, a.r2Text, a.leds, exact.Slope()),
              std::tuple("", "10.000", "1.00", 32, 10.0));

    TCalibrationList bent = ListOf({{0, 20.0}, {-50, 15.0}, {-80, 10.0}}, kComma);
    CoefficientResult b = bent.CalcCoefficients();
    EXPECT_EQ(std::tuple(b.status.message, b.slopeText, b.r2Text, b.leds), std::tuple("", "8,000", "0,98", 31));

    // It needs two checked points that differ.
    EXPECT_EQ(ListOf({{0, 20.0}, {0, 15.0}}).CalcCoefficients().status.message, kTooFewUniqueText);
    EXPECT_EQ(ListOf({{0, 20.0}, {-50, 20.0}}).CalcCoefficients().status.message, kTooFewUniqueText);
    // The middle point repeats the first; the last two still differ in both values.
    EXPECT_TRUE(ListOf({{0, 20.0}, {0, 20.0}, {-50, 15.0}}).CalcCoefficients().status.ok());

    TCalibrationList one = ListOf({{0, 20.0}, {-50, 15.0}});
    one.SetChecked(1, false);
    const CoefficientResult r = one.CalcCoefficients();
    EXPECT_EQ(std::tuple(r.status.message, r.show), std::tuple(std::string(kTooFewCheckedText), false));
}

TEST(Calibration, MergedBatchesKeepTheirOwnOrigin) {
    // Two nights: only each file's first row is checked, so both become (0, 0.0).
    TCalibrationList list(kDot);
    ASSERT_TRUE(list.LoadRows(ParseTcd("1,100,20,21:00:00,12/30/2023\r\n0,50,15,22:00:00,12/30/2023\r\n")).ok());
    ASSERT_TRUE(list.MergeRows(ParseTcd("1,900,10,21:00:00,12/31/2023\r\n0,850,5,22:00:00,12/31/2023\r\n")).ok());
    // A file that stops being calibration data part way changes nothing.
    for (bool merge : {false, true}) {
        const TcdReadResult half = ParseTcd("1,7,7,21:00:00,12/31/2023\r\nx\r\n");
        EXPECT_FALSE((merge ? list.MergeRows(half) : list.LoadRows(half)).ok());
        EXPECT_TRUE(list.Count() == 4u && list.Clean());
    }
    ASSERT_EQ(list.RelativeData().size(), 4u);
    EXPECT_EQ(std::tuple(list.RelativeData()[3].Position, list.RelativeData()[3].Temp), std::tuple(-50, -5.0));

    const CoefficientResult r = list.CalcCoefficients();
    EXPECT_EQ(std::tuple(r.status.message, r.show, r.slopeText, r.r2Text, r.leds),
              std::tuple(std::string(kMathErrorText), true, "0.000", "0.00", 0));

    // A stored point drops the batches: one origin again, and the fit works.
    list.SetChecked(1, true);
    ASSERT_TRUE(list.StorePoint("130", " 23.0 \xC2\xB0""C", std::chrono::system_clock::now()).ok());
    EXPECT_FALSE(list.Clean());
    EXPECT_TRUE(list.CalcCoefficients().status.ok());
    EXPECT_EQ(list.RelativeData()[2].Position, 800);
}

TEST(Calibration, StoringStopsAtTheLimitAndNeedsATemperature) {
    TCalibrationList list(kDot);
    const auto now = std::chrono::system_clock::now();
    EXPECT_EQ(list.StorePoint("10", "-------", now).message, "'-------' is not a valid floating point value");
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(list.StorePoint(std::to_string(i), " 12.5 \xC2\xB0""C", now).ok());
    EXPECT_EQ(list.Rows()[7].temp, "12.5");
    EXPECT_TRUE(list.GetDataPoint(7).has_value());  // its own time and date read back
    EXPECT_EQ(list.StorePoint("1", " 12.5 \xC2\xB0""C", now).message,
              "The 100 data point maximum has been reached.\r\n\r\nThe last data point was not accepted.");
    EXPECT_EQ(list.Count(), 100u);
}

TEST(TcdFile, SaveThenLoadGivesTheSameRows) {
    test::TempDir dir;
    TCalibrationList list = ListOf({{0, 20.0}, {-50, 15.5}, {-80, 10.0}});
    list.SetChecked(1, false);
    ASSERT_TRUE(list.CheckSavable().ok());
    const std::string comment = TCalibrationList::SaveComment(" +5", " \xC2\xB0""C");
    ASSERT_TRUE(list.SaveToFile(dir.File("night.tcd"), comment, std::chrono::system_clock::now()).ok);

    const std::string text = dir.Read("night.tcd");
    const auto third = text.find("\r\n;\r\n");
    ASSERT_EQ(text.rfind("; ", 0), 0u);
    EXPECT_NE(text.find("\r\n; Temp. Offset = +5\xC2\xB0""C\r\n;\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(third + 5), "1,0,20,21:00:00,12/30/2023\r\n0,-50,15.5,21:00:00,12/30/2023\r\n"
                                      "1,-80,10,21:00:00,12/30/2023\r\n");

    TCalibrationList back(kDot);
    ASSERT_TRUE(back.Load(dir.File("night.tcd")).ok());
    EXPECT_TRUE(back.Rows() == list.Rows() && back.Clean());
    // A comment typed over two lines stays one comment line.
    ASSERT_TRUE(list.SaveToFile(dir.File("two.tcd"), "cold\r\nnight", std::chrono::system_clock::now()).ok);
    EXPECT_NE(dir.Read("two.tcd").find("\r\n; cold  night\r\n;\r\n"), std::string::npos);
    ASSERT_TRUE(back.Load(dir.File("two.tcd")).ok());
    EXPECT_TRUE(back.Rows() == list.Rows());

    // A system that writes decimal commas saves decimal points (the file is
    // comma-separated) and reads either form into its own.
    TCalibrationList comma = ListOf({{0, 20.0}, {-50, 15.5}}, kComma);
    EXPECT_EQ(comma.Rows()[1].temp, "15,5");
    ASSERT_TRUE(comma.SaveToFile(dir.File("comma.tcd"), comment, std::chrono::system_clock::now()).ok);
    EXPECT_NE(dir.Read("comma.tcd").find("\r\n1,-50,15.5,21:00:00,30.12.2023\r\n"), std::string::npos) << dir.Read("comma.tcd");
    for (const char* file : {"comma.tcd", "night.tcd"}) {
        // The dates stay in the form of the system that wrote them.
        TCalibrationList commaBack(file == std::string("comma.tcd") ? kComma : TCLocale{",", kDot.shortDateFormat, kDot.longTimeFormat});
        ASSERT_TRUE(commaBack.Load(dir.File(file)).ok()) << file;
        EXPECT_EQ(commaBack.Rows()[1].temp, "15,5") << file;
        EXPECT_EQ(commaBack.GetDataPoint(1).value().Temp, 15.5) << file;
    }

    list.SetChecked(0, false);
    EXPECT_EQ(list.CheckSavable().message, kFirstMustBeCheckedText);
    EXPECT_EQ(TCalibrationList(kDot).CheckSavable().message, kNothingToSaveText);
}

TEST(TcdFile, FieldRulesAndBadLines) {
    TcdReadResult r = ParseTcd(
        "; comment\r\n1, 120 ,12.5,21:30:00, 30.12.2023 \r\n\r\n0,7\n 3 ,a,b,c,d,extra\r"
        "x,1,2,3,4\r\n1,2,3,4,5\r\n");
    ASSERT_EQ(r.rows.size(), 3u);  // reading stops at the bad line, keeping what came before
    EXPECT_EQ(r.rows[0], (TCRow{true, "120", "12.5", "21:30:00", " 30.12.2023 "}));
    EXPECT_EQ(r.rows[1], (TCRow{false, "7", "", "", ""}));
    EXPECT_EQ(r.rows[2], (TCRow{true, "a", "b", "c", "d"}));
    EXPECT_EQ(r.error, "Line 6: 'x' is not a valid integer value");
    // Quoted fields show as text: control bytes and broken UTF-8 become '?', a long one is cut.
    EXPECT_EQ(ParseTcd("\x02\xc3\xa9\xe2\x82\xac\xc3\xc2\x85\t" + std::string(60, 'z')).error,
              "Line 1: '?\xc3\xa9\xe2\x82\xac????" + std::string(33, 'z') + "...' is not a valid integer value");

    EXPECT_EQ(ParseTcd("1,2,3,4," + std::string(300, 'd')).rows[0].date.size(), kTcdMaxLastField);
    // A two-byte character across the limit is left out whole.
    const std::string d254(kTcdMaxLastField - 1, 'd');
    EXPECT_EQ(ParseTcd("1,2,3,4," + d254 + "\xC3\xA9xx").rows[0].date, d254);
    EXPECT_FALSE(ReadTcdFile("/nonexistent/none.tcd").ok());
}

}  // namespace
}  // namespace kv

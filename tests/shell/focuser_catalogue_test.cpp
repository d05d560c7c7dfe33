#include "shell/focuser_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <tuple>
#include <variant>

#include "shell/settings_store.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

// Focuser values that differ from every missing value, to see which ones a model replaces.
Settings Customised() {
    Settings s;
    s.nudgeTime = 0.05;
    s.closeNudgeTime = 0.04;
    s.nudgeDelay = 0.2;
    s.backLashValue = 0.5;
    s.stopFactor = 30;
    s.codesPerRev = 700;
    s.travelPerRev = 0.7;
    s.reverseDirection = s.hiResPositioning = s.sbigInterlock = true;
    s.focusGain = 2.0;  // not a catalogue value: must survive
    s.focuser = "Kept";
    return s;
}

// Customised() with its ten catalogue values taken from `from`.
Settings WithCatalogueValuesOf(const Settings& from) {
    Settings s = Customised();
    for (std::string_view key : kCatalogueKeys) {
        std::visit([&](auto member) { s.*member = from.*member; }, FindSettingSpec(key)->field);
    }
    return s;
}

TEST(FocuserCatalogue, NamesAreSortedWithoutRegardToCaseAndListedOnce) {
    IniFile ini = IniFile::Parse(
        "[Focusers]\n"
        "optec b=1\n"
        "JMI a=1\n"
        "Default=\n"
        "jmi A=1\n"
        "RoboFocus\n"  // no '=': not a key
        "robofocus 2=1\n"
        "[Other]\n"
        "Zeta=1\n");
    EXPECT_EQ(CatalogueModelNames(ini),
              (std::vector<std::string>{"Default", "JMI a", "optec b", "robofocus 2"}));
    EXPECT_TRUE(CatalogueModelNames("/nonexistent/Focusers.ini").empty());
}

TEST(FocuserCatalogue, ModelValuesMissingValuesAndClamping) {
    IniFile ini = IniFile::Parse(
        "[Focusers]\nNoSection=1\nOnlyNudge=1\nWild=1\nDefault=1\n"
        "[OnlyNudge]\nNudgeTime=0.042\n"
        "[wild]\nnudgetime=5\nStopFactor=99\nCodesPerRev=-1\nTravelPerRev=0,5\nReverseDirection=0x1\n"
        "HiResPositioning=no\nBackLashValue=0.0125\n"
        "[Default]\nNudgeTime=0.015\nCloseNudgeTime=0.010\nNudgeDelay=0.150\nBackLashValue=0.010\nStopFactor=12\n"
        "CodesPerRev=512\nTravelPerRev=0.58\nReverseDirection=0\nHiResPositioning=0\nSBIGInterlock=0\n");

    const auto applied = [&ini](const std::string& name) {
        Settings s = Customised();
        ApplyCatalogueModel(ini, name, s);
        return s;
    };
    // Values a model lacks take their missing values, not the ones before; the
    // settings outside the catalogue stay.
    const Settings missing = WithCatalogueValuesOf(Settings{});
    EXPECT_EQ(applied("NoSection"), missing);
    Settings onlyNudge = missing;
    onlyNudge.nudgeTime = 0.042;
    EXPECT_EQ(applied("OnlyNudge"), onlyNudge);
    EXPECT_EQ(applied("Default"), WithCatalogueValuesOf(ReadSettings(IniFile::Parse(FactorySettingsText()))));

    const Settings wild = applied("Wild");
    EXPECT_DOUBLE_EQ(wild.nudgeTime, 0.1);
    EXPECT_EQ(wild.stopFactor, 50);
    EXPECT_EQ(wild.codesPerRev, 256);
    EXPECT_DOUBLE_EQ(wild.travelPerRev, 0.5);
    EXPECT_TRUE(wild.reverseDirection);
    EXPECT_FALSE(wild.hiResPositioning);
    EXPECT_DOUBLE_EQ(wild.backLashValue, 0.013);

    // A catalogue removed after start-up: choosing reads nothing.
    Settings s = Customised();
    ApplyCatalogueModel("/nonexistent/Focusers.ini", "Default", s);
    EXPECT_EQ(s, missing);
}

// Each maker word is checked by the shipped catalogue below; here only the
// order of the words and rules, case, and the names that match none.
TEST(FocuserCatalogue, KindAndParametersGroupFromTheName) {
    // Word order decides, not name order; the word is VANSLYKE; a server's focuser may carry any maker's name.
    for (auto [name, kind] : std::vector<std::pair<const char*, FocuserKind>>{
             {"meade default", FocuserKind::JMI}, {"Van Slyke", FocuserKind::Unknown},
             {"VanSlyke Engineering", FocuserKind::RoboFocus}, {"INDI Optec TCF-S", FocuserKind::Indi},
             {"Optec with JMI motor", FocuserKind::JMI}, {"Optec RoboFocus", FocuserKind::RoboFocus},
             {"", FocuserKind::Unknown}}) {
        EXPECT_EQ(FocuserKindFromName(name), kind) << name;
    }
    // The last matching rule decides; a name matching none keeps the current state.
    for (auto [name, current, visible] : std::vector<std::tuple<const char*, bool, bool>>{
             {"meade", false, true}, {"VanSlyke", true, false}, {"JMI to Optec adapter", true, false},
             {"Unbranded", true, true}, {"Unbranded", false, false}}) {
        EXPECT_EQ(FocuserParametersGroupVisible(name, current), visible) << name;
    }
}

TEST(FocuserCatalogue, ShippedCatalogueIsComplete) {
    const std::string path = std::string(KV_SOURCE_DIR) + "/data/" + kCatalogueFileName;
    IniFile ini = IniFile::Load(path);
    ASSERT_TRUE(ini.Loaded()) << ini.LoadError();
    std::vector<std::string> names = CatalogueModelNames(path);
    ASSERT_GE(names.size(), 7u);
    EXPECT_NE(std::find(names.begin(), names.end(), "Default"), names.end());

    std::set<FocuserKind> kinds;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(ini.HasSection(name));
        FocuserKind kind = FocuserKindFromName(name);
        EXPECT_NE(kind, FocuserKind::Unknown);
        kinds.insert(kind);
        // Every value is given, readable and already inside its control.
        for (std::string_view key : kCatalogueKeys) {
            const SettingSpec* setting = FindSettingSpec(key);
            ASSERT_NE(setting, nullptr);
            auto raw = ini.Get(name, key);
            ASSERT_TRUE(raw) << key;
            auto value = setting->type == SettingType::Float ? ParseIniFloat(*raw)
                                                          : std::optional<double>(ParseIniInteger(*raw).value_or(-1e9));
            ASSERT_TRUE(value) << key;
            EXPECT_DOUBLE_EQ(ClampToControl(*setting, *value), *value) << key;
        }
    }
    EXPECT_EQ(kinds.size(), 4u);
    EXPECT_TRUE(fs::exists(std::string(KV_BIN_DIR) + "/" + kCatalogueFileName));
}

}  // namespace
}  // namespace kv

// The shell: the INI reader and writer, the settings it holds, the catalogue of
// focuser models, where the settings live, the diagnostic trace, the log
// channel and the main window's rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <thread>

#include "platform/broadcast.h"
#include "shell/diagnostics.h"
#include "shell/focuser_catalogue.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/port_map.h"
#include "shell/program_folder.h"
#include "shell/settings_store.h"
#include "shell/window_rules.h"
#include "support/temp_files.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

std::vector<std::string> Entries(const test::TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : ~0u;
}

TEST(IniParse, ToleratesMessyInput) {
    const std::string text =
        "\xEF\xBB\xBForphan=before any section\n[Alpha]\r\n  Key One  =  spaced value  \r\n"
        "garbage line without equals\n; Commented=1\r\n# Hashed=1\n=no key\n[broken section\ndup=first\n"
        "DUP=second\n[ beta ]\nx=1\n[ALPHA]\ndup=third\nlate=from second block\nlast=no line end";
    IniFile ini = IniFile::Parse(text);

    for (auto [section, key, value] : {std::tuple{"alpha", "key one", "spaced value"}, {"Alpha", "dup", "first"},
                                       {"alpha", "LATE", "from second block"}, {"Alpha", "last", "no line end"},
                                       {"Beta", "x", "1"}}) {
        EXPECT_EQ(ini.Get(section, key), value) << section << "/" << key;
    }
    for (auto [section, key] : {std::pair{"Alpha", "Commented"}, {"Alpha", "Hashed"}, {"Alpha", "orphan"},
                                {"", "orphan"}, {"Gamma", "x"}}) {
        EXPECT_FALSE(ini.Get(section, key)) << section << "/" << key;
    }
    EXPECT_EQ(ini.Keys("ALPHA"), (std::vector<std::string>{"Key One", "dup", "late", "last"}));
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Alpha", "beta"}));

    // Nothing is lost or reordered by a round trip; line ends become CRLF.
    std::string crlf;
    for (std::size_t i = 0; i < text.size(); crlf += text[i++]) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlf += '\r';
    }
    EXPECT_EQ(ini.Text(), crlf);
}

TEST(IniValues, IntegersAndFloatsFollowTheFileRulesAndFloatsAreWrittenShort) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (auto [text, value] : std::vector<std::pair<const char*, std::int64_t>>{
             {"  42 ", 42}, {"-7", -7}, {"+3", 3}, {"0x1F", 31}, {"0X10", 16}, {"-0x10", -16},
             {"9223372036854775807", kMax}, {"-9223372036854775808", -kMax - 1}, {"0x7FFFFFFFFFFFFFFF", kMax}}) {
        EXPECT_EQ(ParseIniInteger(text), value) << text;
    }
    for (const char* bad : {"", " ", "-", "12abc", "1.5", "1 2", "0x", "0xG", "9223372036854775808",
                            "-9223372036854775809", "0x8000000000000000", "99999999999999999999999", "true"}) {
        EXPECT_FALSE(ParseIniInteger(bad)) << bad;
    }

    IniFile ini = IniFile::Parse("[S]\nhex=0x20\nbad=twelve\nbig=123456789012345678901234567890\nneg=-3\n");
    EXPECT_EQ(std::tuple(ini.GetInteger("S", "hex", 5), ini.GetInteger("S", "bad", 5), ini.GetInteger("S", "big", 5)),
              std::tuple(32, 5, 5));
    EXPECT_EQ(std::tuple(ini.GetBool("S", "neg", false), ini.GetBool("S", "bad", true), ini.GetBool("S", "absent", false)),
              std::tuple(true, true, false));

    for (auto [text, value] : std::vector<std::pair<const char*, double>>{
             {"1.5", 1.5}, {"1,5", 1.5}, {" -2.25e1 ", -22.5}, {".5", 0.5}, {"5.", 5.0}, {"+7", 7.0}}) {
        EXPECT_EQ(ParseIniFloat(text), value) << text;
    }
    for (const char* bad : {"", ".", "-", "abc", "1.2.3", "1,2,3", "inf", "nan", "1e999", "-1e999", "0x1p3", "1e",
                            "1.5s", "1 .5"}) {
        EXPECT_FALSE(ParseIniFloat(bad)) << bad;
    }
    // 15 digits hide the binary noise of 0.1 + 0.2.
    for (auto [value, text] : std::vector<std::pair<double, const char*>>{
             {1.5, "1.5"}, {1.0, "1"}, {0.015, "0.015"}, {0.1 + 0.2, "0.3"}, {-40000, "-40000"},
             {std::numeric_limits<double>::infinity(), "0"}}) {
        EXPECT_EQ(FormatIniFloat(value), text) << value;
    }
    for (double v : {1e-5, 123456.789, 1e20, -0.58}) EXPECT_EQ(ParseIniFloat(FormatIniFloat(v)), v) << v;
}

TEST(IniEdit, SetReplacesInPlaceAndRefusesNamesThatWouldNotReadBackFlattensLineBreaksKeepsOverlongLinesUnread) {
    IniFile ini = IniFile::Parse("; settings\r\n[Misc]\r\n  Voice =  1\r\nUnknown=keep me\r\n\r\n\r\n[Other]\r\na=1\r\n");
    ASSERT_TRUE(ini.Set("MISC", "voice", "2") && ini.Set("Misc", "Added", "x") && ini.Set("New Section", "k", "v"));
    EXPECT_EQ(ini.Text(), "; settings\r\n[Misc]\r\n  Voice =  2\r\nUnknown=keep me\r\nAdded=x\r\n\r\n\r\n[Other]\r\n"
                          "a=1\r\n\r\n[New Section]\r\nk=v\r\n");

    IniFile empty = IniFile::Parse("[Empty]\n; about Empty\n\n[Last]\nz=1");
    ASSERT_TRUE(empty.Set("Empty", "k", "1") && empty.Set("Last", "y", "2"));
    EXPECT_EQ(empty.Text(), "[Empty]\r\n; about Empty\r\nk=1\r\n\r\n[Last]\r\nz=1\r\ny=2\r\n");

    IniFile blankEnd = IniFile::Parse("[A]\nx=1\n\n");
    ASSERT_TRUE(blankEnd.Set("B", "y", "2"));
    EXPECT_EQ(blankEnd.Text(), "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");

    IniFile fresh;
    ASSERT_TRUE(fresh.SetFloat("S", "f", 1.0) && fresh.SetBool("S", "b", true) && fresh.SetInteger("S", "i", -12));
    EXPECT_EQ(fresh.Text(), "[S]\r\nf=1\r\nb=1\r\ni=-12\r\n");

    IniFile refusing;
    for (auto [section, key] : std::vector<std::pair<std::string, std::string>>{
             {"", "k"}, {"S", ""}, {"A]B", "k"}, {"S", "a=b"}, {"S", "[k"}, {"S", ";k"}, {"S", "#k"},
             {"S\n", "k"}, {"S", "k\r"}, {" S", "k"}, {"S", "k "}}) {
        EXPECT_FALSE(refusing.Set(section, key, "v")) << section << "/" << key;
    }
    EXPECT_EQ(refusing.Text(), "");

    ASSERT_TRUE(refusing.Set("S", "k", "one\r\n[Injected]\nk=two"));
    IniFile again = IniFile::Parse(refusing.Text());
    EXPECT_TRUE(again.Get("S", "k") == "one  [Injected] k=two" && !again.HasSection("Injected"));

    std::string longValue(kMaxIniLineBytes + 10, 'x');
    IniFile overlong = IniFile::Parse("[S]\nlong=" + longValue + "\nshort=1\n");
    EXPECT_TRUE(!overlong.Get("S", "long") && overlong.Text().find(longValue) != std::string::npos);
    EXPECT_FALSE(overlong.Set("S", "short", longValue));
    EXPECT_EQ(overlong.Get("S", "short"), "1");
}

TEST(IniDisk, LoadReportsWhatItCouldNotReadAndSaveKeepsModeLinksAndOnFailureTheOldFile) {
    test::TempDir dir;
    IniFile missing = IniFile::Load(dir.File("nope.ini"));
    EXPECT_EQ(std::tuple(missing.Loaded(), missing.Exists(), missing.Text()), std::tuple(false, false, ""));
    IniFile folder = IniFile::Load(dir.Path().string());
    EXPECT_EQ(std::tuple(folder.Loaded(), folder.Exists()), std::tuple(false, true));
    EXPECT_NE(folder.LoadError().find(dir.Path().string()), std::string::npos);

    // A huge file is cut at the cap instead of being read whole.
    dir.Write("huge.ini", "[S]\nfirst=1\n" + std::string(kMaxIniBytes, ';'));
    IniFile big = IniFile::Load(dir.File("huge.ini"));
    EXPECT_TRUE(big.Loaded() && big.Truncated() && big.Text().size() <= kMaxIniBytes + 64);
    EXPECT_EQ(big.Get("S", "first"), "1");

    const std::string path = dir.File("Kessivane.ini");
    dir.Write("Kessivane.ini", "[S]\nk=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    IniFile ini = IniFile::Load(path);
    ini.Set("S", "k", "2");
    WriteResult r = ini.Save(path);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(std::tuple(ReadFile(path), Mode(path)), std::tuple(std::string("[S]\r\nk=2\r\n"), 0600u));
    const std::vector<std::string> noTemporary{"Kessivane.ini", "huge.ini"};
    EXPECT_EQ(Entries(dir), noTemporary);

    // Saving through a symbolic link updates the file it points at, keeps the
    // link, and keeps the file's mode (not the link's rwxrwxrwx).
    const std::string link = dir.File("link.ini");
    fs::create_symlink(path, link);
    ASSERT_TRUE(IniFile::Parse("[S]\nk=3").Save(link).ok);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(std::tuple(ReadFile(path), Mode(path)), std::tuple(std::string("[S]\r\nk=3"), 0600u));
    fs::remove(link);

    const std::string inMissingDir = dir.File("absent") + "/Kessivane.ini";
    r = IniFile::Parse("[S]\nk=1").Save(inMissingDir, "catalogue");
    EXPECT_EQ(std::tuple(r.ok, r.message),
              std::tuple(false, "Could not write the catalogue " + inMissingDir + ": No such file or directory"));

    // A write that fails half way keeps the old file byte for byte.
    const std::string old = ReadFile(path);
    ini.Set("S", "k", std::string(200, 'n'));
    {
        test::FileSizeLimit limit(16);
        r = ini.Save(path);
    }
    EXPECT_EQ(std::tuple(r.ok, r.message),
              std::tuple(false, "Could not write the settings file " + path + ": File too large"));
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(Entries(dir), noTemporary);
}

const char kFactoryBytes[] =
    "[Device/Ports]\r\nCamera=\r\nFocuser=Default\r\nCameraIO=1\r\nComPort=1\r\nParPort=1\r\nCommands=1\r\n\r\n"
    "[CameraControl]\r\nExposureTimeDefault=1\r\nFocusGain=1.0\r\nROIOn=1\r\nROIValue=40\r\nMaskROI=1\r\n"
    "StretchImage=2\r\nStretchFocus=2\r\nWhiteLevel=40000\r\nBlackLevel=200\r\n\r\n"
    "[FocusControl]\r\nNudgeTime=0.015\r\nCloseNudgeTime=0.010\r\nNudgeDelay=0.150\r\nBackLashValue=0.010\r\n"
    "StopFactor=12\r\nReverseDirection=0\r\nHiResPositioning=0\r\nSBIGInterlock=0\r\nCodesPerRev=512\r\n"
    "TravelPerRev=0.58\r\nNudgePriority=0\r\n\r\n"
    "[TempControl]\r\nEnabled=0\r\nMinCorrection=1\r\nIgnoreMoveOn=0\r\nIgnoreMove=250\r\nTempCompRate=5\r\n"
    "DefaultCoefficient=1\r\nTempReadingRate=3\r\n\r\n"
    "[Misc]\r\nCursorType=0\r\nFocusSamples=5\r\nSmoothData=1\r\nInitialStep=4\r\nFigureMerit=0\r\n"
    "ComLogging=0\r\nProgLogging=1\r\nNoSplashScreen=0\r\nVoice=0\r\n\r\n"
    "[Position]\r\nSavePosition=1\r\n";

Settings Read(const std::string& text) { return ReadSettings(IniFile::Parse(text)); }

std::string Written(const Settings& s, const std::string& start = "") {
    IniFile ini = IniFile::Parse(start);
    WriteSettings(ini, s);
    return ini.Text();
}

Settings Factory() { return Read(FactorySettingsText()); }

TEST(SettingsFactory, FileBytesAndWhatTheButtonChangesFromThem) {
    EXPECT_EQ(FactorySettingsText(), std::string(kFactoryBytes));
    Settings s = Factory();
    EXPECT_EQ(std::tuple(s.focuser, s.comPort, s.parPort, s.voice), std::tuple("Default", 0, 0, 0));  // "Female Voice"
    // The button selects no camera and no voice, and puts the window at 1,1.
    s.camera.clear();
    s.voice = 2, s.left = 1, s.top = 1;
    EXPECT_EQ(FactoryDefaultsButtonValues(), s);
}

TEST(SettingsRead, ValuesAreClampedUnreadableOnesAndDamagedFilesTakeFactoryValuesPositionOnlyWhenAsked) {
    SettingsReading r = ReadSettingsReporting(IniFile::Parse(
        "[Device/Ports]\nComPort=25\nParPort=0\nCamera=  Sim Cam  \n"
        "[cameracontrol]\nWHITELEVEL=70000\nBlackLevel=-5\nROIValue=0x30\nFocusGain=abc\nExposureTimeDefault=2,34\n"
        "[FocusControl]\nStopFactor=99999999999999999999\nNudgeTime=0.0125\nTravelPerRev=0.1\n"
        "ReverseDirection=-1\nHiResPositioning=yes\nBackLashValue=-0.0404\n"
        "[Misc]\nInitialStep=-1\nFocusSamples=1.5\nInterruptsLite=3\n"));
    const Settings& s = r.settings;
    // ComPort too large: the last entry; ParPort too small: nothing selected.
    EXPECT_EQ(std::tuple(s.comPort, s.parPort, s.camera), std::tuple(19, -1, "Sim Cam"));
    EXPECT_EQ(std::tuple(s.whiteLevel, s.blackLevel, s.roiValue, s.initialStep, s.interruptsLite),
              std::tuple(65535, 1, 48, -1, 3));
    EXPECT_DOUBLE_EQ(s.exposureTimeDefault, 2.3);  // comma accepted, shown with one place
    EXPECT_DOUBLE_EQ(s.nudgeTime, 0.013);
    EXPECT_DOUBLE_EQ(s.travelPerRev, 0.2);
    EXPECT_TRUE(s.reverseDirection);
    EXPECT_DOUBLE_EQ(s.backLashValue, -0.04);  // unbounded, but shown with three places
    // Text, a number beyond 64 bits, "yes", a fraction for a whole number:
    // the factory value, and the lines are named.
    EXPECT_EQ(std::tuple(s.focusGain, s.stopFactor, s.hiResPositioning, s.focusSamples), std::tuple(1.0, 12, false, 5));
    EXPECT_EQ(r.unreadableLines, (std::vector<std::size_t>{9, 12, 16, 20}));
    EXPECT_THAT(UnreadableSettingsText("/p/Kessivane.ini", r.unreadableLines),
                testing::StartsWith("The settings file /p/Kessivane.ini could not be read at lines 9, 12, 16 and 20. "));

    // Garbage where the sections were: the keys that survive are read, every
    // other one takes its factory value, not the bottom of its range.
    SettingsReading damaged = ReadSettingsReporting(IniFile::Parse(
        "[CameraControl]\r\nWhiteLevel=500\r\n\x7f\x01\xfe\xc3(garbage\r\n[Position]\r\nSavePosition=0\r\n"));
    Settings expected = Factory();
    expected.whiteLevel = 500, expected.savePosition = false;
    EXPECT_EQ(std::tuple(damaged.settings, damaged.unreadableLines), std::tuple(expected, std::vector<std::size_t>{3}));
    EXPECT_EQ(UnreadableSettingsText("k.ini", {3}).find("The settings file k.ini could not be read at line 3."), 0u);
    EXPECT_EQ(UnreadableSettingsText("k.ini", {}), "");
    EXPECT_THAT(UnreadableSettingsText("k.ini", {2, 4, 6, 8, 10, 12, 14}),
                testing::HasSubstr("at lines 2, 4, 6, 8, 10 and 2 more."));
    // Beyond an int but within 64 bits is a number, clamped like any other;
    // a hexadecimal value of 17 digits is beyond 64 bits and does not read.
    SettingsReading wide = ReadSettingsReporting(
        IniFile::Parse("[Device/Ports]\nComPort=4294967296\n[cameracontrol]\nROIValue=0x10000000000000000\n"));
    EXPECT_EQ(std::tuple(wide.settings.comPort, wide.settings.roiValue), std::tuple(19, Factory().roiValue));
    EXPECT_EQ(wide.unreadableLines, (std::vector<std::size_t>{4}));

    // "Allow other programs" takes the usual words; a value that does not
    // read is named and counts as off, so permission never fails open.
    for (const auto& [text, on, readable] :
         {std::tuple{"no", false, true}, {"Off", false, true}, {"FALSE", false, true}, {"0", false, true},
          {"yes", true, true}, {"on", true, true}, {"True", true, true}, {"2", true, true}, {"maybe", false, false},
          {"", false, false}}) {
        const IniFile ini = IniFile::Parse(std::string("[Misc]\nAllowOtherPrograms=") + text + "\n");
        EXPECT_EQ(ReadAllowOtherPrograms(ini), on) << text;
        EXPECT_EQ(ReadSettingsReporting(ini).unreadableLines.empty(), readable) << text;
    }
    EXPECT_TRUE(ReadAllowOtherPrograms(IniFile::Parse("[Misc]\n"))) << "the factory value";

    const std::string tail = "Left=100\nTop=-20\nTCLeft=300\nTCTop=40\n";
    Settings off = Read("[Position]\nSavePosition=0\n" + tail);
    EXPECT_EQ(std::tuple(off.left, off.top, off.tcLeft, off.tcTop), std::tuple(0, 0, 300, 40));
    Settings on = Read("[Position]\nSavePosition=1\n" + tail);
    EXPECT_EQ(std::tuple(on.left, on.top), std::tuple(100, -20));
    // A position no window can have is treated as unreadable.
    EXPECT_EQ(Read("[Position]\nSavePosition=1\nLeft=99999999999\n").left, 0);
}

TEST(SettingsWrite, EveryControlValueSurvivesAWriteAndReadHalfStepsAreWrittenToEvenComPortZeroAsItWas) {
    Settings s;
    for (auto [rate, text] : std::vector<std::pair<double, const char*>>{{2.5, "2"}, {3.5, "4"}, {0.5, "0"}}) {
        s.tempCompRate = rate;
        EXPECT_EQ(IniFile::Parse(Written(s)).Get("TempControl", "TempCompRate"), text) << rate;
    }
    EXPECT_DOUBLE_EQ(Read(Written(s)).tempCompRate, 0.5);  // 0 is clamped back up

    // ComPort=0 selects nothing, and is written back as it was.
    IniFile ini = IniFile::Parse(Written(Read("[Device/Ports]\nComPort=0\n")));
    EXPECT_EQ(std::tuple(ini.Get("Device/Ports", "ComPort"), ini.Get("Device/Ports", "ParPort")), std::tuple("0", "1"));

    s = Factory();
    s.camera = "Simulated Camera", s.focuser = "JMI NGF-S", s.comPort = 19, s.parPort = 2, s.commands = 0;
    s.exposureTimeDefault = 7.9, s.focusGain = 3.3, s.roiValue = 75, s.whiteLevel = 65535, s.blackLevel = 10000;
    s.nudgeTime = 0.099, s.closeNudgeTime = 0.006, s.nudgeDelay = 0.295, s.backLashValue = -1.25, s.stopFactor = 50;
    s.reverseDirection = s.hiResPositioning = s.sbigInterlock = s.tcEnabled = s.ignoreMoveOn = s.comLogging = true;
    s.nudgePriority = 2, s.codesPerRev = 1000, s.travelPerRev = 0.999, s.minCorrection = 100, s.ignoreMove = 1;
    s.tempCompRate = 30, s.defaultCoefficient = -12.34, s.tempReadingRate = 30, s.cursorType = 1, s.focusSamples = 20;
    s.initialStep = 9, s.figureMerit = 4, s.noSplashScreen = true, s.voice = 1, s.savePosition = false;
    EXPECT_EQ(Read(Written(s)), s);
}

TEST(SettingsWrite, ExistingFileKeepsCommentsUnknownKeysOrderAndCaseAndMissingKeysAreAdded) {
    std::string original = std::string(kFactoryBytes);
    original.insert(0, "; My observatory\r\n");
    auto after = [&original](const std::string& anchor, const std::string& add) {
        original.insert(original.find(anchor) + anchor.size(), add);
    };
    after("[FocusControl]\r\n", "MotorNote=geared 3:1\r\n");
    after("Voice=0", "\r\nInterruptsLite=1");
    after("SavePosition=1", "\r\nLeft=10\r\nTop=20\r\nTCLeft=5\r\n\r\n[Ports]\r\n# my adapter\r\nCOM1=/dev/ttyUSB0");

    Settings s = Read(original);
    // Only values whose text changes in general format differ; nothing moves, nothing is added.
    std::string expected = original;
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"FocusGain=1.0", "FocusGain=1"},
             {"CloseNudgeTime=0.010", "CloseNudgeTime=0.01"},
             {"NudgeDelay=0.150", "NudgeDelay=0.15"},
             {"BackLashValue=0.010", "BackLashValue=0.01"}}) {
        expected.replace(expected.find(from), from.size(), to);
    }
    EXPECT_EQ(Written(s, original), expected);

    s = Settings{};
    s.focusGain = 2.5, s.voice = 1;
    IniFile ini = IniFile::Parse(Written(s, "[cameracontrol]\nfocusgain=1\n[MISC]\n"));
    EXPECT_EQ(std::tuple(ini.Keys("CameraControl").front(), ini.Get("CameraControl", "FocusGain")),
              std::tuple("focusgain", "2.5"));
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"cameracontrol", "MISC", "Device/Ports", "FocusControl",
                                                         "Position", "TempControl"}));
    for (const char* readOnly : {"InterruptsLite", "Left", "Top", "TCLeft", "TCTop"}) {
        for (const std::string& section : ini.Sections()) EXPECT_FALSE(ini.Get(section, readOnly)) << readOnly;
    }
}

TEST(SettingsModel, LookUpAndClamping) {
    EXPECT_EQ(FindSettingSpec("stopfactor"), FindSettingSpec("StopFactor"));
    EXPECT_EQ(FindSettingSpec("NoSuchKey"), nullptr);

    for (auto [key, in, out] : {std::tuple{"StopFactor", 12.5, 12.0} /* halves to even */, {"StopFactor", 13.5, 14.0},
                                {"StopFactor", NAN, 10.0}, {"Voice", -3.0, -1.0}, {"Voice", 40.0, 2.0},
                                {"TempCompRate", 2.5, 2.5}, {"TempCompRate", INFINITY, 30.0},
                                {"BackLashValue", INFINITY, 0.0}}) {
        EXPECT_EQ(ClampToControl(*FindSettingSpec(key), in), out) << key << " " << in;
    }
}

TEST(SettingsFile, FactoryFileThenSaveAndWindowPositionAndWritesThatCannotBeMadeChangeNothing) {
    test::TempDir dir;
    const std::string path = dir.File(kSettingsFileName);
    EXPECT_EQ(ReadSettings(path), Settings{});  // missing: read as empty
    ASSERT_TRUE(SaveWindowPosition(path, 5, 6).ok);
    EXPECT_EQ(dir.Read(kSettingsFileName), "[Position]\r\nLeft=5\r\nTop=6\r\n");

    ASSERT_TRUE(WriteFactorySettings(path).ok);  // overwrites whatever is there
    EXPECT_EQ(dir.Read(kSettingsFileName), std::string(kFactoryBytes));
    WriteResult r = SaveWindowPosition(path, 120, -3);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(dir.Read(kSettingsFileName), std::string(kFactoryBytes) + "Left=120\r\nTop=-3\r\n");
    Settings s = ReadSettings(path);
    EXPECT_EQ(std::tuple(s.left, s.top), std::tuple(120, -3));

    s.focusGain = 1.5;
    ASSERT_TRUE(WriteSettings(path, s).ok);
    EXPECT_DOUBLE_EQ(ReadSettings(path).focusGain, 1.5);
    EXPECT_EQ(ReadSettings(path).left, 120);  // WriteSettings leaves the position alone

    dir.Write("blocker", "plain file");
    const std::string underFile = dir.File("blocker") + "/Kessivane.ini";
    for (const WriteResult& failed :
         {WriteSettings(underFile, Settings{}), WriteFactorySettings(underFile), SaveWindowPosition(underFile, 1, 1)}) {
        EXPECT_EQ(std::tuple(failed.ok, failed.message),
                  std::tuple(false, "Could not write the settings file " + underFile + ": Not a directory"));
    }
    EXPECT_EQ(dir.Read("blocker"), "plain file");

    // A settings path that names a folder is refused, not replaced.
    const std::string folder = dir.File("folder.ini");
    std::filesystem::create_directories(folder);
    r = WriteSettings(folder, Settings{});
    EXPECT_TRUE(!r.ok && r.message.find(folder) != std::string::npos) << r.message;
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(PortMap, MappedDefaultAndSimulatedDevices) {
    IniFile ini = IniFile::Parse("[ports]\ncom3=/dev/ttyUSB0\nCOM4=sim:hub\nCOM5=\n");
    for (auto [port, device] : std::vector<std::pair<int, std::string>>{
             {3, "/dev/ttyUSB0"}, {4, "sim:hub"}, {5, "/dev/ttyS4"}, {1, "/dev/ttyS0"}, {20, "/dev/ttyS19"},
             {0, ""}, {21, ""}}) {
        EXPECT_EQ(PortDevice(ini, port), device) << port;
    }
    EXPECT_EQ(PortDevice(IniFile::Parse(FactorySettingsText()), 2), "/dev/ttyS1");
}

// The settings must land where the user may write, and nowhere else gets a
// folder made for it.
TEST(UserFolder, ChoosesBetweenOverrideProgramFolderAndConfigFolder) {
    test::TempDir root;
    const std::string program = root.File("prog"), xdg = root.File("xdg"), home = root.File("home");
    const auto never = [](const std::string&) { return false; };
    const auto programWritable = [&program](const std::string& folder) { return folder == program + "/"; };

    EXPECT_EQ(UserFolder(program, {root.File("override"), xdg, home}, never), root.File("override") + "/");

    EXPECT_EQ(UserFolder(program + "/", {"", xdg, home}, programWritable), program + "/");
    // Root may write into the installed program folder; its settings still go to its own.
    EXPECT_EQ(UserFolder("/usr/lib/kessivane/", {"", xdg, home}, [](const std::string&) { return true; }),
              xdg + "/kessivane/");

    EXPECT_EQ(UserFolder(program, {"", xdg + "/deeper", home}, never), xdg + "/deeper/kessivane/");
    EXPECT_TRUE(std::filesystem::is_directory(xdg + "/deeper/kessivane"));

    // An unset or relative XDG_CONFIG_HOME falls back to ~/.config.
    for (const std::string& badXdg : {std::string(), std::string("relative/config")}) {
        EXPECT_EQ(UserFolder(program, {"", badXdg, home}, never), home + "/.config/kessivane/") << badXdg;
    }
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.config/kessivane"));

    // With no home at all the program folder is the only place left.
    EXPECT_EQ(UserFolder(program, {"", "", ""}, never), program + "/");
    EXPECT_FALSE(root.Has("prog") || root.Has("override"));
}

// Focuser values that differ from every missing value, to see which ones a model replaces.
Settings Customised() {
    Settings s;
    s.nudgeTime = 0.05, s.closeNudgeTime = 0.04, s.nudgeDelay = 0.2, s.backLashValue = 0.5, s.stopFactor = 30;
    s.codesPerRev = 700, s.travelPerRev = 0.7, s.reverseDirection = s.hiResPositioning = s.sbigInterlock = true;
    s.focusGain = 2.0, s.focuser = "Kept";  // not catalogue values: must survive
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

TEST(FocuserCatalogue, NamesSortedAndListedOnceModelValuesMissingValuesAndClamping) {
    // "RoboFocus" has no '=': it is no key.
    IniFile ini = IniFile::Parse("[Focusers]\noptec b=1\nJMI a=1\nDefault=\njmi A=1\nRoboFocus\nrobofocus 2=1\n[Other]\nZeta=1\n");
    EXPECT_EQ(CatalogueModelNames(ini), (std::vector<std::string>{"Default", "JMI a", "optec b", "robofocus 2"}));
    EXPECT_TRUE(CatalogueModelNames("/nonexistent/Focusers.ini").empty());

    IniFile models = IniFile::Parse(
        "[Focusers]\nNoSection=1\nOnlyNudge=1\nWild=1\nDefault=1\n"
        "[OnlyNudge]\nNudgeTime=0.042\n"
        "[wild]\nnudgetime=5\nStopFactor=99\nCodesPerRev=-1\nTravelPerRev=0,5\nReverseDirection=0x1\n"
        "HiResPositioning=no\nBackLashValue=0.0125\n"
        "[Default]\nNudgeTime=0.015\nCloseNudgeTime=0.010\nNudgeDelay=0.150\nBackLashValue=0.010\nStopFactor=12\n"
        "CodesPerRev=512\nTravelPerRev=0.58\nReverseDirection=0\nHiResPositioning=0\nSBIGInterlock=0\n");

    const auto applied = [&models](const std::string& name) {
        Settings s = Customised();
        ApplyCatalogueModel(models, name, s);
        return s;
    };
    // Values a model lacks take their missing values, not the ones before; the
    // settings outside the catalogue stay.
    const Settings missing = WithCatalogueValuesOf(Settings{});
    EXPECT_EQ(applied("NoSection"), missing);
    Settings onlyNudge = missing;
    onlyNudge.nudgeTime = 0.042;
    EXPECT_EQ(applied("OnlyNudge"), onlyNudge);
    EXPECT_EQ(applied("Default"), WithCatalogueValuesOf(Factory()));

    const Settings wild = applied("Wild");
    EXPECT_EQ(std::tuple(wild.stopFactor, wild.codesPerRev, wild.reverseDirection, wild.hiResPositioning),
              std::tuple(50, 256, true, false));
    EXPECT_EQ(std::tuple(wild.nudgeTime, wild.travelPerRev, wild.backLashValue), std::tuple(0.1, 0.5, 0.013));

    // A catalogue removed after start-up: choosing reads nothing.
    Settings s = Customised();
    ApplyCatalogueModel("/nonexistent/Focusers.models", "Default", s);
    EXPECT_EQ(s, missing);
}

// Each maker word is checked by the shipped catalogue below; here only the
// order of the words and rules, case, and the names that match none.
TEST(FocuserCatalogue, KindAndParametersGroupFromTheNameAndTheShippedCatalogueIsComplete) {
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

    const std::string path = std::string(KV_SOURCE_DIR) + "/data/" + kCatalogueFileName;
    IniFile ini = IniFile::Load(path);
    ASSERT_TRUE(ini.Loaded()) << ini.LoadError();
    std::vector<std::string> names = CatalogueModelNames(path);
    ASSERT_GE(names.size(), 7u);
    EXPECT_NE(std::ranges::find(names, "Default"), names.end());

    std::set<FocuserKind> kinds;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(ini.HasSection(name));
        EXPECT_NE(*kinds.insert(FocuserKindFromName(name)).first, FocuserKind::Unknown);
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

struct RecorderBus : IBroadcastBus {
    explicit RecorderBus(bool ok) : accept(ok) {}
    bool Broadcast(std::string_view message, std::int64_t wparam, std::int64_t lparam, std::string_view text) override {
        sent.push_back(std::string(message) + "|" + std::to_string(wparam) + "|" + std::to_string(lparam) + "|" +
                       std::string(text));
        return accept;
    }
    bool accept;
    std::vector<std::string> sent;
};

TEST(Diagnostics, OnlyAnExactSlashDFirstSwitchesTracingOnAndTraceGoesToTheBusOrElseToStandardError) {
    using Args = std::vector<const char*>;
    for (auto [args, on] : std::vector<std::pair<Args, bool>>{
             {{"kessivane", "/D"}, true}, {{"kessivane", "/d"}, true}, {{"kessivane", "/d", "more"}, true},
             {{"kessivane"}, false}, {{"kessivane", "/D "}, false}, {{"kessivane", "/x"}, false},
             {{"kessivane", "-d"}, false}, {{"kessivane", "/Dx"}, false}, {{"kessivane", "other", "/D"}, false}}) {
        EXPECT_EQ(IsDiagnosticSwitch(static_cast<int>(args.size()), args.data()), on) << args.back();
    }
    EXPECT_FALSE(IsDiagnosticSwitch(0, nullptr));

    RecorderBus bus(true);
    SetBroadcastBus(&bus);
    const std::string longLine(400, 'L');
    SetDiagnosticMode(false);
    testing::internal::CaptureStderr();
    TraceDiag("mode is off");
    SetDiagnosticMode(true);
    TraceDiag("Creating Main Form");
    TraceDiag(longLine);
    EXPECT_EQ(bus.sent, (std::vector<std::string>{"MESSAGE_LOGGER|0|0|Creating Main Form",
                                                  "MESSAGE_LOGGER|0|0|" + longLine}));

    RecorderBus failing(false);
    SetBroadcastBus(&failing);
    TraceDiag("bus refused");
    SetBroadcastBus(nullptr);
    TraceDiag("no bus");
    SetDiagnosticMode(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bus refused\nno bus\n");
    EXPECT_EQ(failing.sent.size(), 1u);
}

TEST(Diagnostics, MemoryFileCheckAndProcessorTraceLines) {
    constexpr std::int64_t MB = 1048576;
    // 0.5 -> 0, 1.5 -> 2, 2.5 -> 2
    for (auto [bytes, shown] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 1}, {MB / 2 - 1, 1}, {MB / 2, 1}, {MB + MB / 2, 3}, {2 * MB + MB / 2, 3}, {2 * MB + MB / 2 + 1, 4},
             {16 * 1024 * MB, 16385}, {-5, 1}}) {
        EXPECT_EQ(TraceMegabytes(bytes), shown) << bytes;
    }

    SystemFacts memory;
    memory.totalPhysicalBytes = 8 * 1024 * MB, memory.availableBytes = 3 * MB;
    EXPECT_EQ(MemoryTraceLines(memory),
              (std::vector<std::string>{"Total Physical Memory = 8193", "Total Available Memory = 4"}));

    test::TempDir root;
    const fs::path system = root.Path() / "windir", program = root.Path() / "prog";
    fs::create_directories(system / "system32" / "drivers");
    std::ofstream(system / "system32" / "drivers" / "blockio.sys") << "12345";

    const auto files = FileCheckTraceLines(system.string(), program.string() + "/");
    ASSERT_EQ(files.size(), 9u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(blockio\.sys Found\.\.\.\. Date: \d\d/\d\d/\d\d \d\d:\d\d:\d\d Size: 5)")))
        << files[0];
    EXPECT_EQ(files[1], system.string() + "/system32/drivers/05472131.hex NOT found");
    EXPECT_EQ(files[8], program.string() + "/mx5cdrv.dll NOT found");

    // The root directory stands in for the Windows directory without doubling the slash.
    EXPECT_EQ(FileCheckTraceLines("/", "/nonexistent-kv")[0], "/system32/drivers/blockio.sys NOT found");

    auto facts = ParseCpuInfo(
        "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 158\n"
        "model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nstepping\t: 10\ncpu MHz\t\t: 3191.999\n"
        "flags\t\t: fpu vme de pse tsc msr pae cpuid\n\nprocessor\t: 1\nvendor_id\t: OtherVendor\n"
        "model name\t: second core\n\n");
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(std::tuple(facts->vendor, facts->family, facts->model), std::tuple("GenuineIntel", "6", "158"));
    EXPECT_TRUE(facts->hasCpuid && facts->hasTsc);
    const auto lines = ProcessorTraceLines(*facts);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(std::pair(lines[3], lines[9]),
              std::pair(std::string("Processor Description: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"), std::string("Processor Speed: 3192")));

    facts = ParseCpuInfo("vendor_id : SomeVendor\nmodel name : old part\nflags : fpu vme\n");
    ASSERT_TRUE(facts.has_value());
    // A vendor_id line exists only when CPUID answered.
    EXPECT_EQ(std::pair(facts->hasCpuid, facts->hasTsc), std::pair(true, false));

    // No flags line at all is not a refusal.
    facts = ParseCpuInfo(
        "processor\t: 0\nBogoMIPS\t: 108.00\nCPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x0\n"
        "CPU part\t: 0xd08\nCPU revision\t: 3\n");
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(std::tuple(facts->vendor, facts->family, facts->model, facts->stepping),
              std::tuple("0x41", "8", "0xd08", "3"));
    EXPECT_TRUE(facts->hasCpuid && facts->hasTsc);

    EXPECT_FALSE(ParseCpuInfo("").has_value() || ParseCpuInfo("garbage without fields\n").has_value());
}

TEST(WindowRules, InterruptReportsAndLeavingThePage) {
    using A = InterruptAction;
    for (auto [key, state, old, maker, iface, want] :
         {std::tuple{1234, 1, true, true, 0, A::InterruptsOff}, {1234, 0, true, true, 1, A::InterruptsOn},
          {1234, 2, true, true, 0, A::None}, {1234, -1, true, true, 0, A::None}, {1233, 1, true, true, 0, A::None},
          {1234, 1, false, true, 0, A::None}, {1234, 1, true, false, 0, A::None}, {1234, 1, true, true, 2, A::None}}) {
        EXPECT_EQ(InterruptReportAction(key, state, old, maker, iface), want) << key << " " << state << " " << iface;
    }

    const PageGuardState both{.continuousFocus = true, .autoCompensation = true};
    EXPECT_FALSE(LeavingPage(true, false, both).allowed);
    const auto temp = LeavingPage(false, true, both), other = LeavingPage(false, false, both);
    EXPECT_TRUE(temp.allowed && other.allowed);
    EXPECT_STREQ(temp.warning, kCompensationUnderwayWarning);
    EXPECT_EQ(other.warning, nullptr);
    EXPECT_EQ(LeavingPage(true, false, {}).warning, nullptr);
}

TEST(LogChannel, KeepsEachThreadsLinesInOrderUnderConcurrentProducers) {
    LogChannel channel;
    constexpr int kThreads = 6, kLines = 2000;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&channel, t] {
            for (int i = 0; i < kLines; ++i) channel.Post(std::to_string(t) + ":" + std::to_string(i), t % 3 + 1);
        });
    }
    // Drain while they post, as the GUI thread would.
    std::vector<LogLine> got;
    const auto drain = [&] { std::ranges::move(channel.TakePending(), std::back_inserter(got)); };
    std::atomic<bool> done{false};
    std::thread drainer([&] { while (!done.load()) drain(); });
    for (auto& p : producers) p.join();
    done.store(true);
    drainer.join();
    drain();

    ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kLines));
    std::map<int, int> next;
    for (const LogLine& line : got) {
        const int t = std::stoi(line.text), i = std::stoi(line.text.substr(line.text.find(':') + 1));
        ASSERT_EQ(std::pair(i, line.channel), std::pair(next[t]++, t % 3 + 1)) << "thread " << t << " out of order";
    }
    EXPECT_EQ(channel.DroppedCount(), 0u);
}

TEST(LogChannel, WakesWhenTheQueueTurnsNonEmptyEvenRacingTheInstallAndAPostNeverBlocks) {
    LogChannel channel;
    int wakes = 0;
    channel.SetWakeUp([&] { ++wakes; });
    channel.Post("a", kProgramLog), channel.Post("b", kProgramLog);
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(channel.TakePending().size(), 2u);

    std::vector<std::string> drained;
    channel.SetWakeUp([&] {
        ++wakes;
        for (auto& l : channel.TakePending()) drained.push_back(l.text);
    });
    channel.Post("c", kStatusBar), channel.Post("d", kStatusBar);  // the queue was emptied by the wake-up: wakes again
    EXPECT_EQ(wakes, 3);
    EXPECT_EQ(drained, (std::vector<std::string>{"c", "d"}));

    channel.SetWakeUp({});
    channel.Post("e", kComLog);
    EXPECT_EQ(wakes, 3);

    // A line that found nobody to wake wakes the next one installed; without
    // that, later posts (queue not empty) would never wake anybody either.
    channel.SetWakeUp([&] { ++wakes; });
    EXPECT_EQ(wakes, 4);
    channel.Post("f", kComLog);
    EXPECT_EQ(std::tuple(wakes, channel.TakePending().size()), std::tuple(4, std::size_t{2}));
    channel.SetWakeUp({});

    // A post racing the install of a wake-up is woken.
    for (int round = 0; round < 300; ++round) {
        LogChannel racing;
        std::atomic<int> racingWakes{0};
        std::thread poster([&] { racing.Post("x", kProgramLog); });
        racing.SetWakeUp([&] { racingWakes.fetch_add(1); });
        poster.join();
        ASSERT_GE(racingWakes.load(), 1) << "round " << round;
    }

    // Posting without a drain never blocks; the oldest lines go first.
    LogChannel full;
    const std::size_t total = LogChannel::kMaxPending + 25;
    std::thread producer([&] {
        for (std::size_t i = 0; i < total; ++i) full.Post(std::to_string(i), kComLog);
    });
    producer.join();  // would hang if a post waited for a drain
    EXPECT_EQ(full.DroppedCount(), 25u);
    const auto lines = full.TakePending();
    ASSERT_EQ(lines.size(), LogChannel::kMaxPending);
    EXPECT_EQ(std::tuple(lines.front().text, lines.back().text), std::tuple(std::string("25"), std::to_string(total - 1)));
}

// WriteProgramLog and ShowStatus go through the process's channel and switches.
TEST(ProgramLog, ProgramLinesAndStatusLinesFollowTheSwitches) {
    const auto reset = [] {
        ProgramLog::Instance().logging = true, ProgramLog::Instance().timestamp = false;
        return LogChannel::Instance().TakePending();
    };
    reset();
    WriteProgramLog("Focuser connected");
    WriteProgramLog("");  // becomes a blank
    ShowStatus("Best focus at 1180");  // the program line first, then the status line
    ProgramLog::Instance().timestamp = true;
    WriteProgramLog("Scan started");
    for (const char* blank : {"", " "}) WriteProgramLog(blank);  // blank lines get no time stamp
    ProgramLog::Instance().logging = false;
    WriteProgramLog("dropped");
    ShowStatus("Moving to 1200");

    auto lines = reset();
    ASSERT_EQ(lines.size(), 8u);
    // C locale in tests: "[mm/dd/yy hh:mm:ss] text"
    EXPECT_TRUE(std::regex_match(lines[4].text, std::regex(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] Scan started)")))
        << lines[4].text;
    lines[4].text = "Scan started";
    const std::vector<std::pair<std::string, int>> expected{
        {"Focuser connected", kProgramLog}, {" ", kProgramLog}, {"Best focus at 1180", kProgramLog},
        {" Best focus at 1180", kStatusBar}, {"Scan started", kProgramLog}, {" ", kProgramLog}, {" ", kProgramLog},
        {" Moving to 1200", kStatusBar}};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(std::pair(lines[i].text, lines[i].channel), expected[i]) << i;
    }
}

}  // namespace
}  // namespace kv

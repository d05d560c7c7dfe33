#include "shell/settings_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <tuple>

#include "shell/port_map.h"
#include "support/temp_files.h"

namespace kv {
namespace {

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
    s.voice = 2;
    s.left = 1;
    s.top = 1;
    EXPECT_EQ(FactoryDefaultsButtonValues(), s);
}

TEST(SettingsRead, MissingKeysTakeTheirClampedMissingValues) {
    EXPECT_EQ(Read(""), Settings{});

    Settings expected;
    expected.savePosition = true;
    EXPECT_EQ(Read("[Position]\r\nSavePosition=1\r\n"), expected);
}

TEST(SettingsRead, ValuesAreBroughtInsideTheirControlsAndUnreadableOnesTakeFactoryValues) {
    SettingsReading r = ReadSettingsReporting(IniFile::Parse(
        "[Device/Ports]\nComPort=25\nParPort=0\nCamera=  Sim Cam  \n"
        "[cameracontrol]\nWHITELEVEL=70000\nBlackLevel=-5\nROIValue=0x30\nFocusGain=abc\nExposureTimeDefault=2,34\n"
        "[FocusControl]\nStopFactor=99999999999999999999\nNudgeTime=0.0125\nTravelPerRev=0.1\n"
        "ReverseDirection=-1\nHiResPositioning=yes\nBackLashValue=-0.0404\n"
        "[Misc]\nInitialStep=-1\nFocusSamples=1.5\nInterruptsLite=3\n"));
    const Settings& s = r.settings;
    EXPECT_EQ(s.comPort, 19);   // too large: the last entry
    EXPECT_EQ(s.parPort, -1);   // too small: nothing selected
    EXPECT_EQ(s.camera, "Sim Cam");
    EXPECT_EQ(std::pair(s.whiteLevel, s.blackLevel), std::pair(65535, 1));
    EXPECT_EQ(s.roiValue, 48);
    EXPECT_DOUBLE_EQ(s.exposureTimeDefault, 2.3);  // comma accepted, shown with one place
    EXPECT_DOUBLE_EQ(s.nudgeTime, 0.013);
    EXPECT_DOUBLE_EQ(s.travelPerRev, 0.2);
    EXPECT_TRUE(s.reverseDirection);
    EXPECT_DOUBLE_EQ(s.backLashValue, -0.04);  // unbounded, but shown with three places
    EXPECT_EQ(s.initialStep, -1);
    EXPECT_EQ(s.interruptsLite, 3);
    // Text, a number beyond 64 bits, "yes", a fraction for a whole number:
    // the factory value, and the lines are named.
    EXPECT_DOUBLE_EQ(s.focusGain, 1.0);
    EXPECT_EQ(s.stopFactor, 12);
    EXPECT_FALSE(s.hiResPositioning);
    EXPECT_EQ(s.focusSamples, 5);
    EXPECT_EQ(r.unreadableLines, (std::vector<std::size_t>{9, 12, 16, 20}));
    EXPECT_EQ(UnreadableSettingsText("/p/Kessivane.ini", r.unreadableLines).find(
                  "The settings file /p/Kessivane.ini could not be read at lines 9, 12, 16 and 20. "),
              0u);
}

TEST(SettingsRead, ADamagedFileGivesFactoryValuesForWhatItLost) {
    // Garbage where the sections were: the keys that survive are read, every
    // other one takes its factory value, not the bottom of its range.
    SettingsReading r = ReadSettingsReporting(IniFile::Parse(
        "[CameraControl]\r\nWhiteLevel=500\r\n\x7f\x01\xfe\xc3(garbage\r\n[Position]\r\nSavePosition=0\r\n"));
    Settings expected = Factory();
    expected.whiteLevel = 500;
    expected.savePosition = false;
    EXPECT_EQ(r.settings, expected);
    EXPECT_EQ(r.unreadableLines, (std::vector<std::size_t>{3}));
    EXPECT_EQ(UnreadableSettingsText("k.ini", {3}).find("The settings file k.ini could not be read at line 3."), 0u);
    EXPECT_EQ(UnreadableSettingsText("k.ini", {}), "");
}

TEST(SettingsRead, WindowPositionOnlyWhenAskedFor) {
    const std::string tail = "Left=100\nTop=-20\nTCLeft=300\nTCTop=40\n";
    Settings off = Read("[Position]\nSavePosition=0\n" + tail);
    EXPECT_EQ(std::tuple(off.left, off.top, off.tcLeft, off.tcTop), std::tuple(0, 0, 300, 40));
    Settings on = Read("[Position]\nSavePosition=1\n" + tail);
    EXPECT_EQ(std::tuple(on.left, on.top), std::tuple(100, -20));
    // A position no window can have is treated as unreadable.
    EXPECT_EQ(Read("[Position]\nSavePosition=1\nLeft=99999999999\n").left, 0);
}

TEST(SettingsWrite, HalfStepsAreWrittenWholeToEvenAndComPortZeroIsWrittenBack) {
    Settings s;
    for (auto [rate, text] : std::vector<std::pair<double, const char*>>{{2.5, "2"}, {3.5, "4"}, {0.5, "0"}}) {
        s.tempCompRate = rate;
        EXPECT_EQ(IniFile::Parse(Written(s)).Get("TempControl", "TempCompRate"), text) << rate;
    }
    EXPECT_DOUBLE_EQ(Read(Written(s)).tempCompRate, 0.5);  // 0 is clamped back up

    // ComPort=0 selects nothing, and is written back as it was.
    IniFile ini = IniFile::Parse(Written(Read("[Device/Ports]\nComPort=0\n")));
    EXPECT_EQ(ini.Get("Device/Ports", "ComPort"), "0");
    EXPECT_EQ(ini.Get("Device/Ports", "ParPort"), "1");
}

TEST(SettingsWrite, EveryControlValueSurvivesAWriteAndRead) {
    Settings s = Factory();
    s.camera = "Simulated Camera";
    s.focuser = "JMI NGF-S";
    s.comPort = 19;
    s.parPort = 2;
    s.commands = 0;
    s.exposureTimeDefault = 7.9;
    s.focusGain = 3.3;
    s.roiValue = 75;
    s.whiteLevel = 65535;
    s.blackLevel = 10000;
    s.nudgeTime = 0.099;
    s.closeNudgeTime = 0.006;
    s.nudgeDelay = 0.295;
    s.backLashValue = -1.25;
    s.stopFactor = 50;
    s.reverseDirection = s.hiResPositioning = s.sbigInterlock = true;
    s.nudgePriority = 2;
    s.codesPerRev = 1000;
    s.travelPerRev = 0.999;
    s.tcEnabled = s.ignoreMoveOn = true;
    s.minCorrection = 100;
    s.ignoreMove = 1;
    s.tempCompRate = 30;
    s.defaultCoefficient = -12.34;
    s.tempReadingRate = 30;
    s.cursorType = 1;
    s.focusSamples = 20;
    s.initialStep = 9;
    s.figureMerit = 4;
    s.comLogging = true;
    s.noSplashScreen = true;
    s.voice = 1;
    s.savePosition = false;
    EXPECT_EQ(Read(Written(s)), s);
}

TEST(SettingsWrite, ExistingFileKeepsCommentsUnknownKeysAndOrder) {
    std::string original = std::string(kFactoryBytes);
    original.insert(0, "; My observatory\r\n");
    auto after = [&original](const std::string& anchor, const std::string& add) {
        original.insert(original.find(anchor) + anchor.size(), add);
    };
    after("[FocusControl]\r\n", "MotorNote=geared 3:1\r\n");
    after("Voice=0", "\r\nInterruptsLite=1");
    after("SavePosition=1", "\r\nLeft=10\r\nTop=20\r\nTCLeft=5\r\n\r\n[Ports]\r\n# my adapter\r\nCOM1=/dev/ttyUSB0");

    Settings s = Read(original);
    EXPECT_EQ(s.interruptsLite, 1);
    std::string written = Written(s, original);

    // Only values whose text changes in general format differ; nothing moves, nothing is added.
    std::string expected = original;
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"FocusGain=1.0", "FocusGain=1"},
             {"CloseNudgeTime=0.010", "CloseNudgeTime=0.01"},
             {"NudgeDelay=0.150", "NudgeDelay=0.15"},
             {"BackLashValue=0.010", "BackLashValue=0.01"}}) {
        expected.replace(expected.find(from), from.size(), to);
    }
    EXPECT_EQ(written, expected);
}

TEST(SettingsWrite, KeysAreMatchedWithoutRegardToCaseAndAddedWhereMissing) {
    Settings s;
    s.focusGain = 2.5;
    s.voice = 1;
    std::string written = Written(s, "[cameracontrol]\nfocusgain=1\n[MISC]\n");
    IniFile ini = IniFile::Parse(written);
    EXPECT_EQ(ini.Keys("CameraControl").front(), "focusgain");
    EXPECT_EQ(ini.Get("CameraControl", "FocusGain"), "2.5");
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"cameracontrol", "MISC", "Device/Ports", "FocusControl",
                                                         "Position", "TempControl"}));
    EXPECT_EQ(ini.Get("misc", "Voice"), "1");
    for (const char* readOnly : {"InterruptsLite", "Left", "Top", "TCLeft", "TCTop"}) {
        for (const std::string& section : ini.Sections()) EXPECT_FALSE(ini.Get(section, readOnly)) << readOnly;
    }
    EXPECT_EQ(ini.Keys("Misc"), (std::vector<std::string>{"CursorType", "FocusSamples", "SmoothData", "InitialStep",
                                                          "ComLogging", "ProgLogging", "NoSplashScreen", "Voice",
                                                          "FigureMerit"}));
}

TEST(SettingsModel, LookUpAndClamping) {
    EXPECT_EQ(FindSettingSpec("stopfactor"), FindSettingSpec("StopFactor"));
    EXPECT_EQ(FindSettingSpec("NoSuchKey"), nullptr);

    struct Case {
        const char* key;
        double in, out;
    };
    for (const Case& c : {Case{"StopFactor", 12.5, 12} /* halves to even */, {"StopFactor", 13.5, 14},
                          {"StopFactor", NAN, 10}, {"Voice", -3, -1}, {"Voice", 40, 2}, {"TempCompRate", 2.5, 2.5},
                          {"TempCompRate", INFINITY, 30}, {"BackLashValue", INFINITY, 0}}) {
        EXPECT_EQ(ClampToControl(*FindSettingSpec(c.key), c.in), c.out) << c.key << " " << c.in;
    }
}

TEST(SettingsFile, FactoryFileThenSaveAndWindowPosition) {
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
}

TEST(SettingsFile, WritesThatCannotBeMadeFailWithAMessageAndChangeNothing) {
    test::TempDir dir;
    dir.Write("blocker", "plain file");
    const std::string underFile = dir.File("blocker") + "/Kessivane.ini";
    for (const WriteResult& r : {WriteSettings(underFile, Settings{}), WriteFactorySettings(underFile),
                                 SaveWindowPosition(underFile, 1, 1)}) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, "Could not write the settings file " + underFile + ": Not a directory");
    }
    EXPECT_EQ(dir.Read("blocker"), "plain file");

    // A settings path that names a folder is refused, not replaced.
    const std::string folder = dir.File(kSettingsFileName);
    std::filesystem::create_directories(folder);
    WriteResult r = WriteSettings(folder, Settings{});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find(folder), std::string::npos);
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

}  // namespace
}  // namespace kv

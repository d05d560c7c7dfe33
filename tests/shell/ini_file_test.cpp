#include "shell/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>

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

TEST(IniParse, ToleratesMessyInput) {
    const std::string text =
        "\xEF\xBB\xBF"
        "orphan=before any section\n"
        "[Alpha]\r\n"
        "  Key One  =  spaced value  \r\n"
        "garbage line without equals\n"
        "; Commented=1\r\n"
        "# Hashed=1\n"
        "=no key\n"
        "[broken section\n"
        "dup=first\n"
        "DUP=second\n"
        "[ beta ]\n"
        "x=1\n"
        "[ALPHA]\n"
        "dup=third\n"
        "late=from second block\n"
        "last=no line end";
    IniFile ini = IniFile::Parse(text);

    EXPECT_EQ(ini.Get("alpha", "key one"), "spaced value");
    EXPECT_EQ(ini.Get("Alpha", "dup"), "first");
    EXPECT_EQ(ini.Get("alpha", "LATE"), "from second block");
    EXPECT_EQ(ini.Get("Alpha", "last"), "no line end");
    EXPECT_EQ(ini.Get("Beta", "x"), "1");
    EXPECT_FALSE(ini.Get("Alpha", "Commented"));
    EXPECT_FALSE(ini.Get("Alpha", "Hashed"));
    EXPECT_FALSE(ini.Get("Alpha", "orphan"));
    EXPECT_FALSE(ini.Get("", "orphan"));
    EXPECT_FALSE(ini.Get("Gamma", "x"));
    EXPECT_EQ(ini.Keys("ALPHA"), (std::vector<std::string>{"Key One", "dup", "late", "last"}));
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Alpha", "beta"}));

    // Nothing is lost or reordered by a round trip; line ends become CRLF.
    std::string expected = text;
    std::string crlf;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == '\n' && (i == 0 || expected[i - 1] != '\r')) crlf += '\r';
        crlf += expected[i];
    }
    EXPECT_EQ(ini.Text(), crlf);
}

TEST(IniValues, IntegersFollowTheFileRules) {
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
    EXPECT_EQ(ini.GetInteger("S", "hex", 5), 32);
    EXPECT_EQ(ini.GetInteger("S", "bad", 5), 5);
    EXPECT_EQ(ini.GetInteger("S", "big", 5), 5);
    EXPECT_TRUE(ini.GetBool("S", "neg", false));
    EXPECT_TRUE(ini.GetBool("S", "bad", true));
    EXPECT_FALSE(ini.GetBool("S", "absent", false));
}

TEST(IniValues, FloatsAreStrictAcceptCommasAndAreWrittenShort) {
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

TEST(IniEdit, SetReplacesInPlaceAndKeepsEverythingElse) {
    IniFile ini = IniFile::Parse(
        "; settings\r\n"
        "[Misc]\r\n"
        "  Voice =  1\r\n"
        "Unknown=keep me\r\n"
        "\r\n"
        "\r\n"
        "[Other]\r\n"
        "a=1\r\n");
    ASSERT_TRUE(ini.Set("MISC", "voice", "2"));
    ASSERT_TRUE(ini.Set("Misc", "Added", "x"));
    ASSERT_TRUE(ini.Set("New Section", "k", "v"));
    EXPECT_EQ(ini.Text(),
              "; settings\r\n"
              "[Misc]\r\n"
              "  Voice =  2\r\n"
              "Unknown=keep me\r\n"
              "Added=x\r\n"
              "\r\n"
              "\r\n"
              "[Other]\r\n"
              "a=1\r\n"
              "\r\n"
              "[New Section]\r\n"
              "k=v\r\n");
    EXPECT_EQ(ini.Get("misc", "VOICE"), "2");
}

TEST(IniEdit, SectionsWithoutKeysAndFilesWithoutLineEnd) {
    IniFile ini = IniFile::Parse("[Empty]\n; about Empty\n\n[Last]\nz=1");
    ASSERT_TRUE(ini.Set("Empty", "k", "1"));
    ASSERT_TRUE(ini.Set("Last", "y", "2"));
    EXPECT_EQ(ini.Text(), "[Empty]\r\n; about Empty\r\nk=1\r\n\r\n[Last]\r\nz=1\r\ny=2\r\n");

    IniFile blankEnd = IniFile::Parse("[A]\nx=1\n\n");
    ASSERT_TRUE(blankEnd.Set("B", "y", "2"));
    EXPECT_EQ(blankEnd.Text(), "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");

    IniFile fresh;
    ASSERT_TRUE(fresh.SetFloat("S", "f", 1.0));
    ASSERT_TRUE(fresh.SetBool("S", "b", true));
    ASSERT_TRUE(fresh.SetInteger("S", "i", -12));
    EXPECT_EQ(fresh.Text(), "[S]\r\nf=1\r\nb=1\r\ni=-12\r\n");
}

TEST(IniEdit, RefusesNamesThatWouldNotReadBackAndFlattensLineBreaks) {
    IniFile ini;
    for (auto [section, key] : std::vector<std::pair<std::string, std::string>>{
             {"", "k"}, {"S", ""}, {"A]B", "k"}, {"S", "a=b"}, {"S", "[k"}, {"S", ";k"}, {"S", "#k"},
             {"S\n", "k"}, {"S", "k\r"}, {" S", "k"}, {"S", "k "}}) {
        EXPECT_FALSE(ini.Set(section, key, "v")) << section << "/" << key;
    }
    EXPECT_EQ(ini.Text(), "");

    ASSERT_TRUE(ini.Set("S", "k", "one\r\n[Injected]\nk=two"));
    IniFile again = IniFile::Parse(ini.Text());
    EXPECT_EQ(again.Get("S", "k"), "one  [Injected] k=two");
    EXPECT_FALSE(again.HasSection("Injected"));
}

TEST(IniEdit, OverlongLinesAreKeptButNotRead) {
    std::string longValue(kMaxIniLineBytes + 10, 'x');
    IniFile ini = IniFile::Parse("[S]\nlong=" + longValue + "\nshort=1\n");
    EXPECT_FALSE(ini.Get("S", "long"));
    EXPECT_EQ(ini.Get("S", "short"), "1");
    EXPECT_NE(ini.Text().find(longValue), std::string::npos);
    EXPECT_FALSE(ini.Set("S", "short", longValue));
    EXPECT_EQ(ini.Get("S", "short"), "1");
}

TEST(IniDisk, LoadReportsWhatItCouldNotRead) {
    test::TempDir dir;
    IniFile missing = IniFile::Load(dir.File("nope.ini"));
    EXPECT_FALSE(missing.Loaded());
    EXPECT_FALSE(missing.Exists());
    EXPECT_EQ(missing.Text(), "");

    IniFile folder = IniFile::Load(dir.Path().string());
    EXPECT_FALSE(folder.Loaded());
    EXPECT_TRUE(folder.Exists());
    EXPECT_NE(folder.LoadError().find(dir.Path().string()), std::string::npos);

    dir.Write("ok.ini", "[S]\nk=v");
    EXPECT_EQ(IniFile::Load(dir.File("ok.ini")).Get("s", "K"), "v");

    // A huge file is cut at the cap instead of being read whole.
    dir.Write("huge.ini", "[S]\nfirst=1\n" + std::string(kMaxIniBytes, ';'));
    IniFile big = IniFile::Load(dir.File("huge.ini"));
    EXPECT_TRUE(big.Loaded());
    EXPECT_TRUE(big.Truncated());
    EXPECT_EQ(big.Get("S", "first"), "1");
    EXPECT_LE(big.Text().size(), kMaxIniBytes + 64);
}

TEST(IniDisk, SaveReplacesTheFileAndKeepsItsModeAndLinks) {
    test::TempDir dir;
    const std::string path = dir.File("Kessivane.ini");
    dir.Write("Kessivane.ini", "[S]\nk=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    IniFile ini = IniFile::Load(path);
    ini.Set("S", "k", "2");
    WriteResult r = ini.Save(path);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(ReadFile(path), "[S]\r\nk=2\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"Kessivane.ini"});  // no temporary left over

    // Saving through a symbolic link updates the file it points at, keeps the
    // link, and keeps the file's mode (not the link's rwxrwxrwx).
    const std::string link = dir.File("link.ini");
    fs::create_symlink(path, link);
    ASSERT_TRUE(IniFile::Parse("[S]\nk=3").Save(link).ok);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(path), "[S]\r\nk=3");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniDisk, SaveFailuresSayWhyAndLeaveTheOldFileAndNoTrace) {
    test::TempDir dir;
    const std::string inMissingDir = dir.File("absent") + "/Kessivane.ini";
    WriteResult r = IniFile::Parse("[S]\nk=1").Save(inMissingDir, "catalogue");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Could not write the catalogue " + inMissingDir + ": No such file or directory");

    // A write that fails half way keeps the old file byte for byte.
    const std::string path = dir.File("Kessivane.ini");
    const std::string old = "[S]\r\nk=old\r\n";
    dir.Write("Kessivane.ini", old);
    IniFile ini = IniFile::Load(path);
    ini.Set("S", "k", std::string(200, 'n'));
    {
        test::FileSizeLimit limit(16);
        r = ini.Save(path);
    }
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Could not write the settings file " + path + ": File too large");
    EXPECT_EQ(dir.Read("Kessivane.ini"), old);
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"Kessivane.ini"});
}

}  // namespace
}  // namespace kv

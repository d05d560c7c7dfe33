#include "shell/program_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_files.h"

namespace kv {
namespace {

// The settings must land where the user may write, and nowhere else gets a
// folder made for it.
TEST(UserFolder, ChoosesBetweenOverrideProgramFolderAndConfigFolder) {
    test::TempDir root;
    const std::string program = root.File("prog");
    const std::string xdg = root.File("xdg");
    const std::string home = root.File("home");
    const auto never = [](const std::string&) { return false; };
    const auto programWritable = [&program](const std::string& folder) { return folder == program + "/"; };

    EXPECT_EQ(UserFolder(program, {root.File("override"), xdg, home}, never), root.File("override") + "/");

    EXPECT_EQ(UserFolder(program + "/", {"", xdg, home}, programWritable), program + "/");
    // Root may write into the installed program folder; its settings still go to its own.
    const auto always = [](const std::string&) { return true; };
    EXPECT_EQ(UserFolder("/usr/lib/kessivane/", {"", xdg, home}, always), xdg + "/kessivane/");

    EXPECT_EQ(UserFolder(program, {"", xdg + "/deeper", home}, never), xdg + "/deeper/kessivane/");
    EXPECT_TRUE(std::filesystem::is_directory(xdg + "/deeper/kessivane"));

    // An unset or relative XDG_CONFIG_HOME falls back to ~/.config.
    for (const std::string& badXdg : {std::string(), std::string("relative/config")}) {
        EXPECT_EQ(UserFolder(program, {"", badXdg, home}, never), home + "/.config/kessivane/") << badXdg;
    }
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.config/kessivane"));

    // With no home at all the program folder is the only place left.
    EXPECT_EQ(UserFolder(program, {"", "", ""}, never), program + "/");
    EXPECT_FALSE(root.Has("prog"));
    EXPECT_FALSE(root.Has("override"));
}

}  // namespace
}  // namespace kv

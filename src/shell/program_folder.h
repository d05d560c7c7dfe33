// Where the program keeps its files. What ships with it (the catalogue, the
// plug-ins, the voice clips, the guide) is read from the program folder; what
// the user changes (the settings file) goes to the user folder, which is the
// program folder too unless the program was installed where the user may not
// write.
#pragma once

#include <functional>
#include <string>

namespace kv {

// KESSIVANE_HOME when set and not empty, else the folder of the running
// executable; always ends with '/'.
std::string ProgramFolder();

// The parts of the environment the user folder depends on; empty when unset.
struct FolderEnvironment {
    std::string kessivaneHome;
    std::string xdgConfigHome;
    std::string home;
};
FolderEnvironment ReadFolderEnvironment();

// KESSIVANE_HOME when set (it names one folder for everything), else
// `programFolder` when `writable` says the user may write there and it is not
// a system-wide install (under /usr/), else
// $XDG_CONFIG_HOME/kessivane/ (~/.config/kessivane/ by default), created if
// missing. Always ends with '/'.
std::string UserFolder(const std::string& programFolder, const FolderEnvironment& env,
                       const std::function<bool(const std::string&)>& writable);
// The same for this process: its environment and its permissions.
std::string UserFolder();

bool FileExists(const std::string& path);

}  // namespace kv

#include "shell/program_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kv {

namespace {

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string ProgramFolder() {
    std::string folder = Env("KESSIVANE_HOME");
    if (folder.empty()) {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        folder = ec ? std::filesystem::current_path(ec).string() : exe.parent_path().string();
    }
    return WithSlash(folder);
}

FolderEnvironment ReadFolderEnvironment() {
    FolderEnvironment env{Env("KESSIVANE_HOME"), Env("XDG_CONFIG_HOME"), Env("HOME")};
    if (env.home.empty()) {
        // A service or a cron job may start without HOME; the account still has one.
        if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) env.home = pw->pw_dir;
    }
    return env;
}

std::string UserFolder(const std::string& programFolder, const FolderEnvironment& env,
                       const std::function<bool(const std::string&)>& writable) {
    if (!env.kessivaneHome.empty()) return WithSlash(env.kessivaneHome);
    // A system-wide install is never the user's, even for root, who could
    // write there: a settings file left in it would outlive the package.
    const bool systemInstall = programFolder.starts_with("/usr/");
    if (!systemInstall && writable(programFolder)) return WithSlash(programFolder);

    // A relative XDG_CONFIG_HOME is invalid and is ignored, as other programs do.
    std::filesystem::path base;
    if (!env.xdgConfigHome.empty() && env.xdgConfigHome.front() == '/') {
        base = env.xdgConfigHome;
    } else if (!env.home.empty()) {
        base = std::filesystem::path(env.home) / ".config";
    } else {
        return WithSlash(programFolder);
    }
    const std::filesystem::path folder = base / "kessivane";
    // Should this fail, the settings write fails later with a message that
    // names this folder, which is where the user would look.
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return WithSlash(folder.string());
}

std::string UserFolder() {
    return UserFolder(ProgramFolder(), ReadFolderEnvironment(),
                      [](const std::string& folder) { return ::access(folder.c_str(), W_OK) == 0; });
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace kv

#include "shell/program_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kv {

std::string ProgramFolder() {
    std::string folder;
    if (const char* home = std::getenv("KESSIVANE_HOME"); home != nullptr && *home != '\0') {
        folder = home;
    } else {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        folder = ec ? std::filesystem::current_path(ec).string() : exe.parent_path().string();
    }
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace kv

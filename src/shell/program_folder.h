// Where the program keeps its files: the settings, the catalogue, the plug-ins.
#pragma once

#include <string>

namespace kv {

// KESSIVANE_HOME when set and not empty, else the folder of the running
// executable; always ends with '/'.
std::string ProgramFolder();

bool FileExists(const std::string& path);

}  // namespace kv

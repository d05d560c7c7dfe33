// The diagnostic trace: started with "/D" or "/d", it narrates start-up to an
// external logger (kessivane-msg) over the broadcast bus, or to standard error
// when there is no bus.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// True exactly when the first argument is "/D" or "/d".
bool IsDiagnosticSwitch(int argc, const char* const* argv);

void SetDiagnosticMode(bool on);
bool DiagnosticMode();

// Sends one line when diagnostic mode is on; complete when it returns.
void TraceDiag(const std::string& text);

// Facts about this machine, in the place of the Windows-only ones.
struct SystemFacts {
    std::string versionText;      // "Linux <release> <version>" from uname
    std::string systemDirectory;  // stands in for the Windows directory
    std::int64_t totalPhysicalBytes = 0;
    std::int64_t availableBytes = 0;
};
SystemFacts ReadSystemFacts();

struct ProcessorFacts {
    std::string description, vendor, family, model, stepping, type, speed;
    bool hasCpuid = true;
    bool hasTsc = true;
};
// Parses /proc/cpuinfo text; nullopt when nothing could be read.
std::optional<ProcessorFacts> ParseCpuInfo(const std::string& cpuinfoText);
std::optional<ProcessorFacts> ReadProcessorFacts();

// Megabytes as the trace writes them: bytes / 1048576 rounded, plus one.
std::int64_t TraceMegabytes(std::int64_t bytes);

// The start-up trace lines of the memory, file and processor steps.
std::vector<std::string> MemoryTraceLines(const SystemFacts& facts);
std::vector<std::string> FileCheckTraceLines(const std::string& systemDirectory,
                                             const std::string& programDirectory);
std::vector<std::string> ProcessorTraceLines(const ProcessorFacts& facts);

inline constexpr const char* kCpuMessage =
    "A CPU that is not Intel compatible has been encountered.\n\rKessivane cannot run on this "
    "processor.\n\rPlease contact your dealer about availability of a special version of Kessivane "
    "for this computer.";

}  // namespace kv

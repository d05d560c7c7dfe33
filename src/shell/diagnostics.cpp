#include "shell/diagnostics.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "platform/broadcast.h"
#include "platform/clock.h"

namespace kv {

namespace {

std::atomic<bool> gDiagnosticMode{false};

constexpr std::int64_t kBytesPerMegabyte = 1048576;

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// "/proc/meminfo" values are in kB.
std::int64_t MemInfoBytes(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            long long kb = 0;
            if (std::sscanf(line.c_str() + key.size() + 1, "%lld", &kb) == 1 && kb >= 0) {
                return static_cast<std::int64_t>(kb) * 1024;
            }
        }
    }
    return -1;
}

std::string JoinPath(const std::string& directory, const std::string& relative) {
    if (directory.empty()) {
        return relative;
    }
    std::string dir = directory;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir == "/") {
        return "/" + relative;
    }
    return dir + "/" + relative;
}

std::string FileCheckLine(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return path + " NOT found";
    }
    const auto slash = path.find_last_of('/');
    const std::string bareName = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
    return bareName + " Found.... Date: " + FormatDateTime(modified) +
           " Size: " + std::to_string(static_cast<long long>(st.st_size));
}

bool HasFlag(const std::string& flags, const std::string& flag) {
    std::istringstream in(flags);
    std::string word;
    while (in >> word) {
        if (word == flag) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsDiagnosticSwitch(int argc, const char* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return false;
    }
    return std::strcmp(argv[1], "/D") == 0 || std::strcmp(argv[1], "/d") == 0;
}

void SetDiagnosticMode(bool on) { gDiagnosticMode.store(on); }

bool DiagnosticMode() { return gDiagnosticMode.load(); }

void TraceDiag(const std::string& text) {
    if (!DiagnosticMode()) {
        return;
    }
    IBroadcastBus* bus = BroadcastBus();
    if (bus != nullptr && bus->Broadcast(kMessageLogger, 0, 0, text)) {
        return;
    }
    // One write per line keeps lines from several threads whole.
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

SystemFacts ReadSystemFacts() {
    SystemFacts facts;
    struct utsname names {};
    if (::uname(&names) == 0) {
        facts.versionText = std::string(names.sysname) + " " + names.release + " " + names.version;
    }
    facts.systemDirectory = "/";
    const std::string meminfo = ReadWholeFile("/proc/meminfo");
    facts.totalPhysicalBytes = std::max<std::int64_t>(0, MemInfoBytes(meminfo, "MemTotal"));
    std::int64_t available = MemInfoBytes(meminfo, "MemAvailable");
    if (available < 0) {  // kernels before 3.14
        available = MemInfoBytes(meminfo, "MemFree");
    }
    facts.availableBytes = std::max<std::int64_t>(0, available);
    return facts;
}

std::int64_t TraceMegabytes(std::int64_t bytes) {
    if (bytes < 0) {
        bytes = 0;
    }
    std::int64_t whole = bytes / kBytesPerMegabyte;
    const std::int64_t rest = bytes % kBytesPerMegabyte;
    if (2 * rest > kBytesPerMegabyte || (2 * rest == kBytesPerMegabyte && whole % 2 != 0)) {
        ++whole;
    }
    return whole + 1;
}

std::vector<std::string> MemoryTraceLines(const SystemFacts& facts) {
    return {"Total Physical Memory = " + std::to_string(TraceMegabytes(facts.totalPhysicalBytes)),
            "Total Available Memory = " + std::to_string(TraceMegabytes(facts.availableBytes))};
}

std::vector<std::string> FileCheckTraceLines(const std::string& systemDirectory,
                                             const std::string& programDirectory) {
    static const char* const kSystemFiles[] = {
        "system32/drivers/blockio.sys", "system32/drivers/05472131.hex", "system32/drivers/Sbigudrv.sys",
        "system/Sbigudrv.vxd",          "system/Sbigudrv.dll",           "system/Res01.dll",
        "inf/blockIO.inf",
    };
    static const char* const kProgramFiles[] = {"mx7drv.dll", "mx5cdrv.dll"};

    std::vector<std::string> lines;
    for (const char* file : kSystemFiles) {
        lines.push_back(FileCheckLine(JoinPath(systemDirectory, file)));
    }
    for (const char* file : kProgramFiles) {
        lines.push_back(FileCheckLine(JoinPath(programDirectory, file)));
    }
    return lines;
}

std::optional<ProcessorFacts> ParseCpuInfo(const std::string& cpuinfoText) {
    // The first processor's block is enough: every core of a PC reports the same part.
    std::map<std::string, std::string> fields;
    std::istringstream in(cpuinfoText);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            if (Trim(line).empty() && !fields.empty()) {
                break;
            }
            continue;
        }
        const std::string key = Trim(line.substr(0, colon));
        if (!key.empty()) {
            fields.emplace(key, Trim(line.substr(colon + 1)));
        }
    }
    const auto field = [&fields](std::initializer_list<const char*> keys) -> std::string {
        for (const char* key : keys) {
            if (auto it = fields.find(key); it != fields.end()) {
                return it->second;
            }
        }
        return {};
    };

    ProcessorFacts facts;
    facts.description = field({"model name", "Processor", "cpu model", "cpu"});
    facts.vendor = field({"vendor_id", "CPU implementer", "vendor"});
    facts.family = field({"cpu family", "CPU architecture"});
    facts.model = field({"model", "CPU part"});
    facts.stepping = field({"stepping", "CPU revision"});
    const bool x86 = fields.count("vendor_id") != 0 || fields.count("cpu family") != 0;
    facts.type = x86 ? "x86" : (fields.count("CPU implementer") != 0 ? "ARM" : "");

    const std::string mhz = field({"cpu MHz"});
    if (!mhz.empty()) {
        char* end = nullptr;
        const double value = std::strtod(mhz.c_str(), &end);
        if (end != mhz.c_str() && std::isfinite(value) && value >= 0) {
            facts.speed = std::to_string(static_cast<long long>(std::nearbyint(value)));
        }
    }

    // Machines without a flags line are not x86 at all; they must not be refused
    // for lacking an x86 instruction.
    if (auto it = fields.find("flags"); it != fields.end()) {
        facts.hasTsc = HasFlag(it->second, "tsc");
        facts.hasCpuid = HasFlag(it->second, "cpuid") || fields.count("vendor_id") != 0;
    }

    if (facts.description.empty() && facts.vendor.empty() && facts.family.empty() && facts.model.empty() &&
        facts.speed.empty()) {
        return std::nullopt;
    }
    return facts;
}

std::optional<ProcessorFacts> ReadProcessorFacts() {
    std::optional<ProcessorFacts> facts = ParseCpuInfo(ReadWholeFile("/proc/cpuinfo"));
    if (!facts) {
        return facts;
    }
    struct utsname names {};
    if (::uname(&names) == 0) {
        facts->type = names.machine;
    }
    if (facts->speed.empty()) {
        // Many ARM kernels leave the clock out of cpuinfo; cpufreq has it in kHz.
        long long khz = 0;
        const std::string text = ReadWholeFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
        if (std::sscanf(text.c_str(), "%lld", &khz) == 1 && khz > 0) {
            facts->speed = std::to_string((khz + 500) / 1000);
        }
    }
    return facts;
}

std::vector<std::string> ProcessorTraceLines(const ProcessorFacts& facts) {
    return {" ",
            " ------------------------------- ",
            "Processor information follows",
            "Processor Description: " + facts.description,
            "Processor Vendor: " + facts.vendor,
            "Processor Family: " + facts.family,
            "Processor Model: " + facts.model,
            "Processor Stepping Level: " + facts.stepping,
            "Processor Type: " + facts.type,
            "Processor Speed: " + facts.speed};
}

}  // namespace kv

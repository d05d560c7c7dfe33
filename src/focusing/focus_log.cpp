#include "focusing/focus_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <type_traits>

#include "platform/c_number.h"

namespace kv {
namespace {

// With a quick refocus's fields; lines without them end at the critical
// focus zone's fields, lines without those at the scale, and lines from
// before the scale have one field fewer still.
constexpr int kQuickFields = 21;
constexpr int kFields = 19;
constexpr int kScaleFields = 16;
constexpr int kOldFields = 15;
constexpr const char* kCountingPrefix = "count ";
constexpr std::size_t kTimeLength = 19;  // "YYYY-MM-DD HH:MM:SS"

std::string Quoted(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string out = "\"";
    for (const char c : field) {
        // A line end inside a field would split the record for every reader.
        if (c == '\r' || c == '\n') {
            out += ' ';
            continue;
        }
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

std::string Number(double v, int decimals) { return FormatFixedC(v, decimals); }

template <typename T>
std::string Optional(const std::optional<T>& v, int decimals = 0) {
    if (!v) return "";
    if constexpr (std::is_integral_v<T>) return std::to_string(*v);
    return Number(*v, decimals);
}

std::vector<std::string> SplitCsv(const std::string& line, bool& ok) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    ok = true;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    fields.back() += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty()) {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    if (quoted) ok = false;
    return fields;
}

bool ParseInt(const std::string& text, std::int64_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

bool ParseReal(const std::string& text, double& out) {
    const auto v = ParseDoubleC(text);
    if (v) out = *v;
    return v.has_value();
}

// The real fields and their decimals. Earlier versions wrote them with the
// user's decimal separator, so under a comma locale "2.7447" came out as
// "2,7447", two fields. Such a record is put back together: at a real field,
// while the record has fields to spare, a whole number followed by exactly
// that many digits is one number.
int RealDecimals(int slot) { return slot == 8 || slot == 12 ? 4 : slot == 13 ? 2 : 0; }

bool AllDigits(const std::string& text, std::size_t count) {
    return text.size() == count && text.find_first_not_of("0123456789") == std::string::npos;
}

bool Mend(std::vector<std::string>& f) {
    if (f.size() <= kOldFields) return false;
    std::vector<std::string> mended;
    std::size_t k = 0;
    for (int slot = 0; slot < kOldFields && k < f.size(); ++slot) {
        std::string v = f[k++];
        const int decimals = RealDecimals(slot);
        std::int64_t whole = 0;
        const std::size_t spare = f.size() - k - static_cast<std::size_t>(kOldFields - slot - 1);
        if (decimals > 0 && spare > 0 && ParseInt(v, whole) && k < f.size() &&
            AllDigits(f[k], static_cast<std::size_t>(decimals))) {
            v += "." + f[k++];
        }
        mended.push_back(std::move(v));
    }
    if (k != f.size() || mended.size() != kOldFields) return false;
    f = std::move(mended);
    return true;
}

bool IsScale(const std::string& text) { return text.empty() || !CountingScaleStart(text).empty(); }

// The record's fields with the scale last, whichever version wrote it. A line
// of this version is never taken for a mangled older one: its reals always
// carry a decimal point, so none is a whole number that Mend would join to the
// next field. The older line is tried first, because one with a single split
// real also has a field more, and its reason (often empty) would pass for a
// scale.
bool Record(std::vector<std::string>& f) {
    if (f.size() == kOldFields || Mend(f)) f.emplace_back();
    else if (f.size() != kScaleFields && f.size() != kFields && f.size() != kQuickFields) return false;
    if (!IsScale(f[kScaleFields - 1])) return false;
    f.resize(kQuickFields);
    return true;
}

}  // namespace

std::string FocusLogLine(const FocusLogEntry& e) {
    const bool zone = e.cfzSteps || e.errorSteps || e.errorCfz;
    const bool quick = e.predicted || !e.fallback.empty();
    const int count = quick ? kQuickFields : zone ? kFields : kScaleFields;
    const std::string fields[kQuickFields] = {
        Quoted(e.time), Quoted(e.procedure), Quoted(e.method), Quoted(e.outcome), std::to_string(e.start),
        std::to_string(e.final), Optional(e.absoluteStart), Optional(e.absoluteFinal), Optional(e.figure, 4),
        Quoted(e.kind), std::to_string(e.stars), std::to_string(e.frames), Optional(e.rSquared, 4),
        Optional(e.temperatureC, 2), Quoted(e.reason), Quoted(e.scale), Optional(e.cfzSteps, 2),
        Optional(e.errorSteps, 1), Optional(e.errorCfz, 3), Optional(e.predicted), Quoted(e.fallback)};
    std::string line;
    for (int i = 0; i < count; ++i) {
        if (i > 0) line += ',';
        line += fields[i];
    }
    return line;
}

std::optional<FocusLogEntry> ParseFocusLogLine(const std::string& line) {
    bool ok = false;
    std::vector<std::string> f = SplitCsv(line, ok);
    if (!ok || !Record(f)) return std::nullopt;
    FocusLogEntry e;
    e.time = f[0];
    e.procedure = f[1];
    e.method = f[2];
    e.outcome = f[3];
    std::int64_t i = 0;
    double d = 0;
    if (!ParseInt(f[4], e.start) || !ParseInt(f[5], e.final)) return std::nullopt;
    if (ParseInt(f[6], i)) e.absoluteStart = i;
    if (ParseInt(f[7], i)) e.absoluteFinal = i;
    if (ParseReal(f[8], d)) e.figure = d;
    e.kind = f[9];
    if (!ParseInt(f[10], i)) return std::nullopt;
    e.stars = static_cast<int>(i);
    if (!ParseInt(f[11], i)) return std::nullopt;
    e.frames = static_cast<int>(i);
    if (ParseReal(f[12], d)) e.rSquared = d;
    if (ParseReal(f[13], d)) e.temperatureC = d;
    e.reason = f[14];
    e.scale = f[15];
    if (ParseReal(f[16], d)) e.cfzSteps = d;
    if (ParseReal(f[17], d)) e.errorSteps = d;
    if (ParseReal(f[18], d)) e.errorCfz = d;
    if (ParseInt(f[19], i)) e.predicted = i;
    e.fallback = f[20];
    return e;
}

std::string FocusLogTimeNow() { return FocusLogTime(std::chrono::system_clock::now()); }

std::string FocusLogTime(std::chrono::system_clock::time_point when) {
    const std::time_t now = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::optional<std::chrono::system_clock::time_point> ParseFocusLogTime(const std::string& text) {
    std::tm local{};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &local);
    if (end == nullptr || *end != '\0') return std::nullopt;
    local.tm_isdst = -1;  // whatever held on that day
    const std::time_t t = std::mktime(&local);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

bool IsCalibrationCandidate(const FocusLogEntry& e) {
    return e.procedure == "autofocus" && e.outcome == "completed" && e.temperatureC.has_value();
}

std::int64_t BestFocusPosition(const FocusLogEntry& e) { return e.absoluteFinal.value_or(e.final); }

FocusScale ScaleOf(const FocusLogEntry& e) {
    if (e.absoluteFinal) return FocusScale::Focuser;
    return e.scale.empty() ? FocusScale::Unknown : FocusScale::Counted;
}

bool OnOneScale(const FocusLogEntry& a, const FocusLogEntry& b) {
    const FocusScale scale = ScaleOf(a);
    if (scale != ScaleOf(b) || scale == FocusScale::Unknown) return false;
    return scale == FocusScale::Focuser || a.scale == b.scale;
}

std::string CountingScale(std::chrono::system_clock::time_point start) {
    // The process id alone would do between programs; the number keeps two
    // runners of one program started within a second apart.
    static std::atomic<unsigned> made{0};
    return kCountingPrefix + FocusLogTime(start) + " pid " + std::to_string(::getpid()) + "#" +
           std::to_string(made.fetch_add(1) + 1);
}

std::string CountingScaleStart(const std::string& scale) {
    const std::size_t prefix = std::strlen(kCountingPrefix);
    if (scale.compare(0, prefix, kCountingPrefix) != 0 || scale.size() <= prefix + kTimeLength + 1 ||
        scale[prefix + kTimeLength] != ' ') {
        return {};
    }
    std::string start = scale.substr(prefix, kTimeLength);
    return ParseFocusLogTime(start) ? start : std::string();
}

std::optional<FocusDrift> FitFocusDrift(const std::vector<FocusLogEntry>& entries) {
    double n = 0, st = 0, sp = 0;
    for (const FocusLogEntry& e : entries) {
        if (!IsCalibrationCandidate(e)) continue;
        n += 1;
        st += *e.temperatureC;
        sp += static_cast<double>(BestFocusPosition(e));
    }
    if (n < 2) return std::nullopt;
    // About the means: positions of tens of thousands of steps would
    // otherwise cancel out in the sums of squares.
    const double mt = st / n, mp = sp / n;
    double stt = 0, stp = 0, spp = 0;
    for (const FocusLogEntry& e : entries) {
        if (!IsCalibrationCandidate(e)) continue;
        const double dt = *e.temperatureC - mt, dp = static_cast<double>(BestFocusPosition(e)) - mp;
        stt += dt * dt;
        stp += dt * dp;
        spp += dp * dp;
    }
    if (!(stt > 1e-12)) return std::nullopt;
    FocusDrift drift;
    drift.stepsPerDegree = stp / stt;
    drift.r2 = spp > 0 ? stp * stp / (stt * spp) : 1.0;
    drift.runs = static_cast<int>(n);
    return drift;
}

int AppendLogLine(const std::string& path, const char* header, const std::string& line) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    int error = errno;
    bool written = false;
    if (fd >= 0) {
        // Another Kessivane (a second window, a script's run) may append at
        // the same moment: the lock keeps the size read, the write and any
        // taking back of a torn write one step, so a truncation never cuts
        // a line the other one wrote in between.
        const bool locked = ::flock(fd, LOCK_EX) == 0;
        struct stat st {};
        const bool known = locked && ::fstat(fd, &st) == 0;
        if (known && st.st_size == 0) text = std::string(header) + "\n";
        // A last line without its line end (an editor, a crash) would have
        // this record glued to it, and both would be lost to every reader.
        char last = '\n';
        if (known && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') text = "\n";
        text += line + "\n";
        // One write, so that two appenders do not interleave; a write cut
        // short (a full disk) is taken back, or the next line would be glued
        // to the torn one.
        const ssize_t n = ::write(fd, text.data(), text.size());
        error = errno;
        written = n == static_cast<ssize_t>(text.size());
        if (n >= 0 && !written) {
            error = ENOSPC;
            if (known && ::ftruncate(fd, st.st_size) != 0) error = errno;
        }
        if (locked) ::flock(fd, LOCK_UN);
        if (::close(fd) != 0 && written) {
            error = errno;
            written = false;
        }
    }
    return written ? 0 : (error != 0 ? error : EIO);
}

bool TFocusLog::Append(const FocusLogEntry& entry) {
    std::lock_guard lock(mutex_);
    const int error = AppendLogLine(path_, kFocusLogHeader, FocusLogLine(entry));
    if (error == 0) {
        failing_ = false;
        return true;
    }
    if (!failing_) {
        warning_ = "The focus log " + path_ + " could not be written: " + std::strerror(error) +
                   ". Focusing goes on without it; check that the settings folder is writable and the disk is not full.";
    }
    failing_ = true;
    return false;
}

std::optional<std::string> TFocusLog::TakeWarning() {
    std::lock_guard lock(mutex_);
    std::optional<std::string> w;
    w.swap(warning_);
    return w;
}

std::vector<FocusLogEntry> TFocusLog::Read(const std::string& path) {
    std::vector<FocusLogEntry> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (std::optional<FocusLogEntry> e = ParseFocusLogLine(line)) entries.push_back(std::move(*e));
    }
    return entries;
}

}  // namespace kv

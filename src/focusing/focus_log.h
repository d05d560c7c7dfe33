// The focus log: one CSV line for every auto focus and scan that ended,
// completed or not, so that a user can see how best focus drifts with the
// temperature over nights and teach the compensation from it.
//
// The file lives in the user's settings folder ("focus_log.csv"). Each line is
// written whole with one append, so a crash leaves at most a missing line,
// never a torn one, and two programs appending do not interleave. A log that
// cannot be written never stops a procedure: the first failure is kept as a
// warning for the window to show once, later ones are dropped.
//
// Every procedure zeroes the position counter where it starts, so the read-out
// alone gives each run a scale of its own. The positions logged are on one
// scale for the whole program session instead (the counter as it stood at the
// first procedure, carried across the procedures' resets); a focuser that
// knows its absolute position adds it, which holds across sessions.
//
// Each line names the scale its best focus is on (the last field): empty for
// the focuser's own position, a key of the session for a focuser that only
// counts. Lines from before that field have one field fewer; an older reader
// refuses the longer lines, as it refuses any line it cannot read, so the
// file is never rewritten.
//
// An auto focus that knew the critical focus zone adds three fields after the
// scale: the zone in steps, and how far its answer may lie from best focus in
// steps and in zones. A line with none of them is written without them, so
// that readers from before them still read every run that has nothing to add.
// A quick refocus adds two more after those: where it predicted best focus
// (on the scale of its best focus) and, when it fell back to the full curve
// fit, why; its final position is what it found, or what the full fit found.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kv {

inline constexpr const char* kFocusLogFileName = "focus_log.csv";
inline constexpr const char* kFocusLogHeader =
    "time,procedure,method,outcome,start,final,absolute_start,absolute_final,figure,kind,stars,frames,r_squared,"
    "temperature_c,reason,scale,cfz_steps,error_steps,error_cfz,predicted,fallback";

struct FocusLogEntry {
    std::string time;       // local time, "YYYY-MM-DD HH:MM:SS"
    std::string procedure;  // "autofocus" or "scan"
    std::string method;     // "golden section", "curve fit"; empty for a scan
    // "completed", "failed", "cancelled", "halted", "not in range", "rejected"
    std::string outcome;
    std::int64_t start = 0;
    std::int64_t final = 0;
    std::optional<std::int64_t> absoluteStart;
    std::optional<std::int64_t> absoluteFinal;
    std::optional<double> figure;  // the final reading's figure of merit
    std::string kind;              // "FWHM", "HFD", ...
    int stars = 1;                 // stars each reading was measured on
    int frames = 0;
    std::optional<double> rSquared;
    std::optional<double> temperatureC;
    std::string reason;  // why it failed
    // What `start` and `final` count from when the focuser gives no absolute
    // position: the session's CountingScale. Empty with an absolute position,
    // and for a counting run of an older line, whose session is not known.
    std::string scale;
    // The critical focus zone in steps when the run started, and the run's
    // own estimate of its error (see SearchErrorSteps) in steps and in zones.
    std::optional<double> cfzSteps;
    std::optional<double> errorSteps;
    std::optional<double> errorCfz;
    // A quick refocus: where it predicted best focus, on the scale of
    // BestFocusPosition, and why it fell back to the full curve fit (empty:
    // it did not).
    std::optional<std::int64_t> predicted;
    std::string fallback;
    bool operator==(const FocusLogEntry&) const = default;
};

// The entry as one CSV line (no line end), and back. Parse gives nullopt for a
// line that is not one of ours (the header, a line cut short, a line edited
// into something else).
std::string FocusLogLine(const FocusLogEntry& entry);
std::optional<FocusLogEntry> ParseFocusLogLine(const std::string& line);
// The local time now (or at `when`), as the log writes it.
std::string FocusLogTimeNow();
std::string FocusLogTime(std::chrono::system_clock::time_point when);
// The log's time back; nullopt for a text that is not one.
std::optional<std::chrono::system_clock::time_point> ParseFocusLogTime(const std::string& text);

// The runs the history offers as calibration points: completed auto focuses
// that know the temperature.
bool IsCalibrationCandidate(const FocusLogEntry& entry);
// Where a run's best focus lies: the focuser's absolute position where it has
// one, the session's scale otherwise.
std::int64_t BestFocusPosition(const FocusLogEntry& entry);

// Which positions a run's best focus can be compared with.
enum class FocusScale {
    Focuser,  // the focuser's absolute position: every such run
    Counted,  // counted in one program session: the runs of the same session
    Unknown,  // counted, in a session an older line does not name: no other run
};
FocusScale ScaleOf(const FocusLogEntry& entry);
// Whether two runs' best focus positions lie on one scale. Two runs of
// unknown scale never do, as nothing shows they came from one session.
bool OnOneScale(const FocusLogEntry& a, const FocusLogEntry& b);
// A new key for a counting session that started at `start`: "count ", the
// local time, " pid ", the process and "#" a number for each key the process
// made, so that two programs writing one log, or two sessions of one program,
// never share it.
std::string CountingScale(std::chrono::system_clock::time_point start);
// The session's start as the log writes times; empty for a text that is no
// counting scale.
std::string CountingScaleStart(const std::string& scale);

// How best focus moves with the temperature over some runs: the least-squares
// line of position on temperature.
struct FocusDrift {
    double stepsPerDegree = 0.0;
    double r2 = 0.0;
    int runs = 0;
};
// Over the calibration candidates among `entries`; nullopt below two of them
// or when they all share one temperature. Positions on different scales (a
// counting focuser across sessions) do not fit one line: the caller chooses
// runs of one scale.
std::optional<FocusDrift> FitFocusDrift(const std::vector<FocusLogEntry>& entries);

// Appends `line` and its line end to the CSV file at `path` in one write, with
// `header` first when the file is new or empty, as the focus log does (see
// above); logs of their own beside it share the rules. 0, or the errno of
// the failure (nothing of the line is left in the file then).
int AppendLogLine(const std::string& path, const char* header, const std::string& line);

class TFocusLog {
public:
    explicit TFocusLog(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // Any thread. Writes the header first when the file is new or empty.
    bool Append(const FocusLogEntry& entry);
    // The first failure, once ("The focus log ... could not be written: ..."),
    // then nothing until a write succeeds again.
    std::optional<std::string> TakeWarning();

    // Every entry of the file in order; lines that are not entries are
    // skipped. A missing file is an empty log.
    static std::vector<FocusLogEntry> Read(const std::string& path);

private:
    std::mutex mutex_;
    const std::string path_;
    bool failing_ = false;
    std::optional<std::string> warning_;
};

}  // namespace kv

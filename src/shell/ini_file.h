// A small INI reader/writer that edits a file the way a careful person would:
// every original line (comments, blank lines, keys it does not know, even lines
// it cannot parse) is kept, and a save changes only the values that were set.
//
// Rules of the format as read here:
//  - "[name]" starts a section; "key=value" is a key; lines whose first
//    non-blank character is ';' or '#' are comments; anything else is kept as
//    text and otherwise ignored, as are keys before the first section.
//  - Section and key names are trimmed and compared without regard to ASCII case.
//  - Values are trimmed of blanks, tabs and carriage returns.
//  - A section name that occurs more than once is one section: its keys are
//    looked up in file order and the first occurrence of a key wins.
//  - CRLF and LF line ends are both accepted, so is a UTF-8 byte order mark and a
//    last line without line end. Text() writes CRLF.
//  - Input is capped (kMaxIniBytes, kMaxIniLines); a line longer than
//    kMaxIniLineBytes is kept but never interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv {

inline constexpr std::size_t kMaxIniBytes = 2u * 1024u * 1024u;
inline constexpr std::size_t kMaxIniLines = 100000;
inline constexpr std::size_t kMaxIniLineBytes = 64u * 1024u;

// Value encodings shared by every INI file of the program.
// Integer: optional sign, then decimal digits or "0x" and hex digits, blanks
// around it allowed; anything else, or a value outside 64 bits, is no number.
std::optional<std::int64_t> ParseIniInteger(std::string_view text);
// A yes-or-no value as people write it: an integer (0 is no), or true/false,
// yes/no, on/off in any case; nullopt for anything else.
std::optional<bool> ParseIniBool(std::string_view text);
// Float: optional sign, digits with an optional '.' or ',' fraction, optional
// exponent; nothing else (no "inf", "nan", hex floats). Non-finite results are
// no number.
std::optional<double> ParseIniFloat(std::string_view text);
// General format with up to 15 significant digits and '.' as the decimal point,
// whatever the process locale: 1.5 -> "1.5", 1.0 -> "1".
std::string FormatIniFloat(double value);

// Result of writing a file. On failure the previous file is left untouched and
// `message` says why, in words a user can act on; it is empty on success.
struct WriteResult {
    bool ok = true;
    std::string message;
};

class IniFile {
public:
    IniFile() = default;

    static IniFile Parse(std::string_view text);
    // A file that is missing, unreadable or not a regular file gives an empty
    // IniFile whose Loaded() is false and LoadError() says why.
    static IniFile Load(const std::string& path);

    bool Loaded() const { return loaded_; }
    bool Exists() const { return exists_; }  // the path named something, readable or not
    const std::string& LoadError() const { return loadError_; }
    bool Truncated() const { return truncated_; }  // input was cut at a cap

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key, const std::string& def) const;
    std::int64_t GetInteger(std::string_view section, std::string_view key, std::int64_t def) const;
    double GetFloat(std::string_view section, std::string_view key, double def) const;
    bool GetBool(std::string_view section, std::string_view key, bool def) const;

    // Replaces the value of an existing key in place, or adds the key after the
    // last key of its section, or adds the section at the end of the file.
    // Line breaks in the value become blanks. Returns false, changing nothing,
    // when the section or key name could not be written so as to read back
    // (empty, a line break, ']' in a section, '=' in a key, a key starting with
    // '[', ';' or '#').
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    bool SetInteger(std::string_view section, std::string_view key, std::int64_t value);
    bool SetFloat(std::string_view section, std::string_view key, double value);
    bool SetBool(std::string_view section, std::string_view key, bool value);

    // File line (from 1) of the first occurrence of the key; 0 when absent.
    std::size_t LineOf(std::string_view section, std::string_view key) const;
    // File lines (from 1) that are none of blank, comment, section or key: the
    // marks of a damaged file, which a reader should report.
    std::vector<std::size_t> UnreadableLines() const;

    bool HasSection(std::string_view section) const;
    std::vector<std::string> Sections() const;  // file order, first spelling, no repeats
    std::vector<std::string> Keys(std::string_view section) const;  // file order, no repeats

    std::string Text() const;

    // Replaces `path` atomically: a temporary file in the same folder is written,
    // flushed to disk and renamed over the target, so a failure at any step
    // leaves the old file as it was. `what` names the file in the message:
    // "Could not write the <what> <path>: <reason>".
    WriteResult Save(const std::string& path, std::string_view what = "settings file") const;

private:
    enum class Kind { Other, Section, Key };
    struct Line {
        std::string raw;
        Kind kind = Kind::Other;
        std::string name;   // section or key name, trimmed
        std::string value;  // key value, trimmed
        std::size_t section = 0;  // index into sectionNames_ + 1; 0 = before any section
    };

    // Names hashed and compared without regard to ASCII case; string_view lookups
    // need no temporary string.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept;
    };
    struct NameEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept;
    };
    using NameMap = std::unordered_map<std::string, std::size_t, NameHash, NameEqual>;

    static Line ParseLine(std::string raw);
    void Reindex();
    std::size_t FindSectionId(std::string_view section) const;  // 0 when absent
    const Line* FindKey(std::size_t sectionId, std::string_view key) const;

    std::vector<Line> lines_;
    std::vector<std::string> sectionNames_;  // distinct names, first spelling, file order
    // Section names to ids, and per section id - 1 key names to the line of their
    // first occurrence, so that lookups stay cheap in a large or hostile file.
    NameMap sectionIds_;
    std::vector<NameMap> firstKeyLine_;
    bool bom_ = false;
    bool finalLineEnd_ = true;
    bool loaded_ = false;
    bool exists_ = false;
    bool truncated_ = false;
    std::string loadError_;
};

// Atomic whole-file replacement used by IniFile::Save and the factory file.
WriteResult WriteFileAtomically(const std::string& path, std::string_view bytes,
                                  std::string_view what = "settings file");

}  // namespace kv

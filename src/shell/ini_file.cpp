#include "shell/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace kv {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }



int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string ErrnoText(int err) { return std::generic_category().message(err); }

bool ValidSectionName(std::string_view s) {
    if (s.empty() || s != Trim(s)) return false;
    return s.find_first_of("]\r\n") == std::string_view::npos;
}

bool ValidKeyName(std::string_view s) {
    if (s.empty() || s != Trim(s)) return false;
    if (s.front() == '[' || s.front() == ';' || s.front() == '#') return false;
    return s.find_first_of("=\r\n") == std::string_view::npos;
}

}  // namespace

std::optional<std::int64_t> ParseIniInteger(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;

    // Magnitude as unsigned so that the most negative value still fits.
    std::uint64_t magnitude = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        for (char c : s) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
            magnitude = (magnitude << 4) | static_cast<std::uint64_t>(d);
        }
    } else {
        for (char c : s) {
            if (c < '0' || c > '9') return std::nullopt;
            auto d = static_cast<std::uint64_t>(c - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
            magnitude = magnitude * 10 + d;
        }
    }

    constexpr auto kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > kMaxPositive + 1) return std::nullopt;
        if (magnitude == kMaxPositive + 1) return std::numeric_limits<std::int64_t>::min();
        return -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<double> ParseIniFloat(std::string_view text) {
    std::string_view s = Trim(text);
    std::string normal;
    normal.reserve(s.size());
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') normal.push_back('-');
        ++i;
    }
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        normal.push_back(s[i++]);
        ++digits;
    }
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        normal.push_back('.');
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            normal.push_back(s[i++]);
            ++digits;
        }
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        normal.push_back('e');
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) normal.push_back(s[i++]);
        std::size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            normal.push_back(s[i++]);
            ++expDigits;
        }
        if (expDigits == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;

    double value = 0;
    const char* first = normal.data();
    const char* last = normal.data() + normal.size();
    auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<bool> ParseIniBool(std::string_view text) {
    if (const auto n = ParseIniInteger(text)) return *n != 0;
    std::string word;
    for (const char c : text) {
        if (c == ' ' || c == '\t') continue;
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (word == "true" || word == "yes" || word == "on") return true;
    if (word == "false" || word == "no" || word == "off") return false;
    return std::nullopt;
}

std::string FormatIniFloat(double value) {
    if (!std::isfinite(value)) return "0";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    if (ec != std::errc()) return "0";
    return std::string(buf, end);
}

// ---- parsing ----

IniFile::Line IniFile::ParseLine(std::string raw) {
    Line line;
    line.raw = std::move(raw);
    if (line.raw.size() > kMaxIniLineBytes) return line;
    std::string_view t = Trim(line.raw);
    if (t.empty() || t.front() == ';' || t.front() == '#') return line;
    if (t.front() == '[') {
        std::size_t close = t.find(']');
        if (close == std::string_view::npos) return line;
        line.kind = Kind::Section;
        line.name = std::string(Trim(t.substr(1, close - 1)));
        return line;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return line;
    std::string_view key = Trim(t.substr(0, eq));
    if (key.empty()) return line;
    line.kind = Kind::Key;
    line.name = std::string(key);
    line.value = std::string(Trim(t.substr(eq + 1)));
    return line;
}

std::size_t IniFile::NameHash::operator()(std::string_view s) const noexcept {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (char c : s) {
        h ^= static_cast<unsigned char>(LowerAscii(c));
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

bool IniFile::NameEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

void IniFile::Reindex() {
    sectionNames_.clear();
    sectionIds_.clear();
    firstKeyLine_.clear();
    std::size_t current = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& line = lines_[i];
        if (line.kind == Kind::Section) {
            auto [it, added] = sectionIds_.try_emplace(line.name, sectionNames_.size() + 1);
            if (added) {
                sectionNames_.push_back(line.name);
                firstKeyLine_.emplace_back();
            }
            current = it->second;
        }
        line.section = current;
        if (line.kind == Kind::Key && current != 0) firstKeyLine_[current - 1].try_emplace(line.name, i);
    }
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    if (text.substr(0, kBom.size()) == kBom) {
        ini.bom_ = true;
        text.remove_prefix(kBom.size());
    }
    ini.finalLineEnd_ = text.empty() || text.back() == '\n';
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (ini.lines_.size() >= kMaxIniLines) {
            ini.truncated_ = true;
            break;
        }
        std::size_t nl = text.find('\n', pos);
        std::size_t end = (nl == std::string_view::npos) ? text.size() : nl;
        std::string_view raw = text.substr(pos, end - pos);
        // Only a CR that is part of a CRLF ends the line; any other CR is content,
        // so that Text() reproduces it.
        if (nl != std::string_view::npos && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        ini.lines_.push_back(ParseLine(std::string(raw)));
        pos = (nl == std::string_view::npos) ? text.size() : nl + 1;
    }
    ini.Reindex();
    return ini;
}

IniFile IniFile::Load(const std::string& path) {
    auto fail = [&path](int err, bool exists) {
        IniFile ini;
        ini.exists_ = exists;
        ini.loadError_ = "Could not read the file " + path + ": " + ErrnoText(err);
        return ini;
    };

    // O_NONBLOCK: a FIFO in the way must not hang the program on open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return fail(err, err != ENOENT && err != ENOTDIR);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return fail(err, true);
    }

    std::string bytes;
    bool truncated = false;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return fail(err, true);
        }
        if (n == 0) break;
        std::size_t room = kMaxIniBytes - bytes.size();
        if (static_cast<std::size_t>(n) > room) {
            bytes.append(buf, room);
            truncated = true;
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);

    IniFile ini = Parse(bytes);
    ini.loaded_ = true;
    ini.exists_ = true;
    ini.truncated_ = ini.truncated_ || truncated;
    return ini;
}

// ---- lookup ----

std::size_t IniFile::FindSectionId(std::string_view section) const {
    auto it = sectionIds_.find(section);
    return it == sectionIds_.end() ? 0 : it->second;
}

const IniFile::Line* IniFile::FindKey(std::size_t sectionId, std::string_view key) const {
    if (sectionId == 0 || sectionId > firstKeyLine_.size()) return nullptr;
    const NameMap& keys = firstKeyLine_[sectionId - 1];
    auto it = keys.find(key);
    return it == keys.end() ? nullptr : &lines_[it->second];
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const Line* line = FindKey(FindSectionId(section), key);
    if (line == nullptr) return std::nullopt;
    return line->value;
}

std::string IniFile::GetString(std::string_view section, std::string_view key, const std::string& def) const {
    auto v = Get(section, key);
    return v ? *v : def;
}

std::int64_t IniFile::GetInteger(std::string_view section, std::string_view key, std::int64_t def) const {
    auto v = Get(section, key);
    if (!v) return def;
    return ParseIniInteger(*v).value_or(def);
}

double IniFile::GetFloat(std::string_view section, std::string_view key, double def) const {
    auto v = Get(section, key);
    if (!v) return def;
    return ParseIniFloat(*v).value_or(def);
}

bool IniFile::GetBool(std::string_view section, std::string_view key, bool def) const {
    auto v = Get(section, key);
    if (!v) return def;
    auto n = ParseIniInteger(*v);
    return n ? *n != 0 : def;
}

std::size_t IniFile::LineOf(std::string_view section, std::string_view key) const {
    const Line* line = FindKey(FindSectionId(section), key);
    return line == nullptr ? 0 : static_cast<std::size_t>(line - lines_.data()) + 1;
}

std::vector<std::size_t> IniFile::UnreadableLines() const {
    std::vector<std::size_t> bad;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind != Kind::Other) continue;
        std::string_view t = Trim(line.raw);
        if (!t.empty() && t.front() != ';' && t.front() != '#') bad.push_back(i + 1);
    }
    return bad;
}

bool IniFile::HasSection(std::string_view section) const { return FindSectionId(section) != 0; }

std::vector<std::string> IniFile::Sections() const { return sectionNames_; }

std::vector<std::string> IniFile::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    std::size_t id = FindSectionId(section);
    if (id == 0) return keys;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind != Kind::Key || line.section != id) continue;
        if (FindKey(id, line.name) == &line) keys.push_back(line.name);
    }
    return keys;
}

// ---- editing ----

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!ValidSectionName(section) || !ValidKeyName(key)) return false;
    std::string clean(value);
    for (char& c : clean) {
        if (c == '\r' || c == '\n') c = ' ';
    }

    std::size_t id = FindSectionId(section);
    if (id != 0) {
        if (const Line* found = FindKey(id, key)) {
            Line& line = lines_[static_cast<std::size_t>(found - lines_.data())];
            // Keep the key as the user wrote it, and the blanks around '='.
            std::size_t eq = line.raw.find('=');
            std::size_t keep = eq + 1;
            while (keep < line.raw.size() && (line.raw[keep] == ' ' || line.raw[keep] == '\t')) ++keep;
            if (keep + clean.size() > kMaxIniLineBytes) return false;
            line.raw = line.raw.substr(0, keep) + clean;
            line.value = std::string(Trim(clean));
            return true;
        }
        if (key.size() + 1 + clean.size() > kMaxIniLineBytes) return false;

        // After the section's last key; in a section without keys, after its
        // header and any comments that follow it directly.
        std::size_t lastKey = lines_.size();
        std::size_t firstBlockEnd = lines_.size();
        bool inFirstBlock = false;
        bool firstBlockDone = false;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const Line& line = lines_[i];
            if (line.kind == Kind::Section) {
                if (inFirstBlock) {
                    inFirstBlock = false;
                    firstBlockDone = true;
                }
                if (line.section == id && !firstBlockDone) {
                    inFirstBlock = true;
                    firstBlockEnd = i;
                }
                continue;
            }
            if (inFirstBlock && !Trim(line.raw).empty()) firstBlockEnd = i;
            if (line.kind == Kind::Key && line.section == id) lastKey = i;
        }
        std::size_t at = (lastKey != lines_.size() ? lastKey : firstBlockEnd) + 1;

        Line added;
        added.raw = std::string(key) + "=" + clean;
        added.kind = Kind::Key;
        added.name = std::string(key);
        added.value = std::string(Trim(clean));
        added.section = id;
        if (at >= lines_.size()) finalLineEnd_ = true;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(added));
        // The new key is the first of its name; later lines move down by one.
        for (NameMap& keys : firstKeyLine_) {
            for (auto& entry : keys) {
                if (entry.second >= at) ++entry.second;
            }
        }
        firstKeyLine_[id - 1].emplace(std::string(key), at);
        return true;
    }

    if (section.size() + 2 > kMaxIniLineBytes || key.size() + 1 + clean.size() > kMaxIniLineBytes) return false;
    if (!lines_.empty() && !Trim(lines_.back().raw).empty()) lines_.push_back(ParseLine(std::string()));
    lines_.push_back(ParseLine("[" + std::string(section) + "]"));
    lines_.push_back(ParseLine(std::string(key) + "=" + clean));
    finalLineEnd_ = true;
    Reindex();
    return true;
}

bool IniFile::SetInteger(std::string_view section, std::string_view key, std::int64_t value) {
    return Set(section, key, std::to_string(value));
}

bool IniFile::SetFloat(std::string_view section, std::string_view key, double value) {
    return Set(section, key, FormatIniFloat(value));
}

bool IniFile::SetBool(std::string_view section, std::string_view key, bool value) {
    return Set(section, key, value ? "1" : "0");
}

std::string IniFile::Text() const {
    std::string out;
    if (bom_) out.append(kBom);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) out.append("\r\n");
        out.append(lines_[i].raw);
    }
    if (finalLineEnd_ && !lines_.empty()) out.append("\r\n");
    return out;
}

WriteResult IniFile::Save(const std::string& path, std::string_view what) const {
    return WriteFileAtomically(path, Text(), what);
}

// ---- atomic write ----

WriteResult WriteFileAtomically(const std::string& path, std::string_view bytes, std::string_view what) {
    auto fail = [&](int err) {
        return WriteResult{false, "Could not write the " + std::string(what) + " " + path + ": " + ErrnoText(err)};
    };
    if (path.empty()) return fail(ENOENT);

    // Write through a symbolic link to the file it names, so the link survives.
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }

    std::string tmp = target + ".tmp-XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);

    auto abandon = [&](int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        return fail(err);
    };

    // Keep the permissions of the file being replaced; a new file gets rw-r--r--.
    struct stat old {};
    mode_t mode = (::stat(target.c_str(), &old) == 0) ? (old.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) return abandon(errno);

    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return abandon(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return abandon(errno);
    int closing = fd;
    fd = -1;
    if (::close(closing) != 0) return abandon(errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0) return abandon(errno);

    // Make the rename itself durable; a failure here does not undo the write.
    std::string dir = target.substr(0, target.find_last_of('/') == std::string::npos ? 0 : target.find_last_of('/'));
    if (dir.empty()) dir = (target.front() == '/') ? "/" : ".";
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

}  // namespace kv

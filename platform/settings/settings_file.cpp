#include "platform/settings/settings_file.h"

#include "platform/files/ascii.h"
#include "platform/files/sysfile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::settings {
namespace {

std::string_view Trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A value is written quoted when it would not read back as written.
bool NeedsQuotes(std::string_view v) {
    if (v.empty())
        return false;
    if (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t' ||
        v.front() == '"')
        return true;
    for (char c : v)
        if (static_cast<unsigned char>(c) < 0x20)
            return true;
    return false;
}

std::string Quote(std::string_view v) {
    std::string out = "\"";
    for (char c : v) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out.push_back(c);
            }
        }
    }
    return out + "\"";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Unquote(std::string_view v) {
    if (v.size() < 2 || v.front() != '"' || v.back() != '"')
        return std::string(v);
    v = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 >= v.size()) {
            out.push_back(v[i]);
            continue;
        }
        char c = v[++i];
        if (c == 'n')
            out.push_back('\n');
        else if (c == 'r')
            out.push_back('\r');
        else if (c == 't')
            out.push_back('\t');
        else if (c == 'x' && i + 2 < v.size() && HexDigit(v[i + 1]) >= 0 &&
                 HexDigit(v[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(v[i + 1]) * 16 + HexDigit(v[i + 2])));
            i += 2;
        } else
            out.push_back(c);
    }
    return out;
}

// A short write (a full disk) fails like any other error.
bool WriteAll(int fd, const std::string& text) {
    size_t put = 0;
    return sys::sysWrite(fd, text.data(), text.size(), &put) && put == text.size();
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty())
        return true;
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash)))
        return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

std::string SettingsFile::DefaultPath() {
    if (const char* p = std::getenv("KW_SETTINGS"); p && *p)
        return p;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/')
        return std::string(x) + "/kwvtfe/settings.ini";
    std::string home = sys::sysHomeFolder();
    if (home.empty())
        return {};
    return home + "/.config/kwvtfe/settings.ini";
}

SettingsFile SettingsFile::OpenDefault() {
    SettingsFile s(DefaultPath());
    s.Load();
    return s;
}

bool SettingsFile::Load() {
    sections_.clear();
    if (path_.empty())
        return false;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    std::string text;
    bool ok = sys::sysReadAll(fd, &text, 64u << 20);
    ::close(fd);
    if (ok)
        Parse(text);
    return ok;
}

bool SettingsFile::Save() const {
    if (path_.empty())
        return false;
    size_t slash = path_.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash);
    if (!MakeFolders(folder))
        return false;
    std::string temp = path_ + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, Serialize()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path_.c_str()) == 0) {
        int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        return true;
    }
    ::unlink(temp.c_str());
    return false;
}

void SettingsFile::Parse(std::string_view text) {
    sections_.clear();
    sections_.push_back({});
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        pos = end + 1;
        std::string_view line = Trim(raw);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            sections_.push_back({std::string(Trim(line.substr(1, line.size() - 2))), {}});
            continue;
        }
        size_t eq = line.find('=');
        bool comment = line.empty() || line[0] == ';' || line[0] == '#';
        if (comment || eq == std::string_view::npos || Trim(line.substr(0, eq)).empty()) {
            sections_.back().lines.push_back({"", "", std::string(raw)});
            continue;
        }
        sections_.back().lines.push_back(
            {std::string(Trim(line.substr(0, eq))), Unquote(Trim(line.substr(eq + 1))), ""});
    }
}

std::string SettingsFile::Serialize() const {
    std::string out;
    for (size_t i = 0; i < sections_.size(); ++i) {
        const Section& s = sections_[i];
        if (i > 0)
            out += "[" + s.name + "]\n";
        for (const Line& l : s.lines) {
            if (l.key.empty())
                out += l.raw;
            else
                out += l.key + "=" + (NeedsQuotes(l.value) ? Quote(l.value) : l.value);
            out += "\n";
        }
    }
    return out;
}

SettingsFile::Section* SettingsFile::FindSection(std::string_view name) {
    for (size_t i = 1; i < sections_.size(); ++i)
        if (EqualNoCase(sections_[i].name, name))
            return &sections_[i];
    return nullptr;
}

const SettingsFile::Section* SettingsFile::FindSection(std::string_view name) const {
    return const_cast<SettingsFile*>(this)->FindSection(name);
}

std::optional<std::string> SettingsFile::GetString(std::string_view section,
                                                   std::string_view key) const {
    if (const Section* s = FindSection(section))
        for (const Line& l : s->lines)
            if (!l.key.empty() && EqualNoCase(l.key, key))
                return l.value;
    return std::nullopt;
}

std::string SettingsFile::GetString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
    std::optional<std::string> v = GetString(section, key);
    return v ? *v : std::string(fallback);
}

std::optional<int64_t> SettingsFile::GetInt(std::string_view section, std::string_view key) const {
    std::optional<std::string> v = GetString(section, key);
    if (!v)
        return std::nullopt;
    std::string_view t = Trim(*v);
    bool negative = !t.empty() && t[0] == '-';
    if (negative)
        t.remove_prefix(1);
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        base = 16;
    }
    uint64_t u = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), u, base);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        return std::nullopt;
    if (negative)
        return u <= uint64_t(INT64_MAX) + 1 ? std::optional<int64_t>(int64_t(0 - u)) : std::nullopt;
    if (base == 16)
        return static_cast<int64_t>(u); // hexadecimal spells the 64-bit pattern
    return u <= uint64_t(INT64_MAX) ? std::optional<int64_t>(int64_t(u)) : std::nullopt;
}

int64_t SettingsFile::GetInt(std::string_view section, std::string_view key,
                             int64_t fallback) const {
    return GetInt(section, key).value_or(fallback);
}

bool SettingsFile::ValidName(std::string_view name, bool isKey) {
    if (name.empty() || Trim(name) != name)
        return false;
    if (isKey && (name[0] == '[' || name[0] == ';' || name[0] == '#'))
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || (isKey && c == '=') || (!isKey && c == ']'))
            return false;
    return true;
}

bool SettingsFile::SetString(std::string_view section, std::string_view key,
                             std::string_view value) {
    if (!ValidName(section, false) || !ValidName(key, true))
        return false;
    if (sections_.empty())
        sections_.push_back({});
    Section* s = FindSection(section);
    if (!s) {
        sections_.push_back({std::string(section), {}});
        s = &sections_.back();
    }
    for (Line& l : s->lines)
        if (!l.key.empty() && EqualNoCase(l.key, key)) {
            l.value = std::string(value);
            return true;
        }
    s->lines.push_back({std::string(key), std::string(value), ""});
    return true;
}

bool SettingsFile::SetInt(std::string_view section, std::string_view key, int64_t value) {
    return SetString(section, key, std::to_string(value));
}

bool SettingsFile::Remove(std::string_view section, std::string_view key) {
    Section* s = FindSection(section);
    if (!s)
        return false;
    for (auto it = s->lines.begin(); it != s->lines.end(); ++it)
        if (!it->key.empty() && EqualNoCase(it->key, key)) {
            s->lines.erase(it);
            return true;
        }
    return false;
}

bool SettingsFile::RemoveSection(std::string_view section) {
    for (size_t i = 1; i < sections_.size(); ++i)
        if (EqualNoCase(sections_[i].name, section)) {
            sections_.erase(sections_.begin() + static_cast<ptrdiff_t>(i));
            return true;
        }
    return false;
}

std::vector<std::string> SettingsFile::Sections() const {
    std::vector<std::string> out;
    for (size_t i = 1; i < sections_.size(); ++i)
        out.push_back(sections_[i].name);
    return out;
}

std::vector<std::string> SettingsFile::Keys(std::string_view section) const {
    std::vector<std::string> out;
    if (const Section* s = FindSection(section))
        for (const Line& l : s->lines)
            if (!l.key.empty())
                out.push_back(l.key);
    return out;
}

} // namespace kw::settings

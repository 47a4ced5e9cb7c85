#include "engine/ntfs/ntfs_names.h"

#include "engine/core/codepage.h"
#include "engine/core/kwret.h"

#include <vector>

namespace kw::ntfs {

namespace {

constexpr size_t kMaxNameUnits = 255;

} // namespace

// A name as UTF-16 code units; false for one that is empty, too long, or
// holds a control character or one of \ < > : " |.
bool NtfsName(const std::string& utf8, std::u16string* out) {
    if (utf8.empty() || utf8.size() > 4 * kMaxNameUnits)
        return false;
    std::vector<char16_t> wide(utf8.size() + 1);
    cpConvertString(CPKIND_UTF16, wide.data(), CPKIND_UTF8, utf8.c_str(),
                    static_cast<uint32_t>(wide.size() * 2));
    *out = wide.data();
    if (out->empty() || out->size() > kMaxNameUnits)
        return false;
    for (char16_t c : *out) {
        if (c < 32 || c == u'\\' || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|')
            return false;
    }
    return true;
}

// A name that DOS could hold as it is: up to eight characters, a dot and up
// to three more, in upper case and from DOS's set.
bool IsUpperShortName(const std::u16string& n) {
    size_t dot = n.find(u'.');
    size_t base = dot == std::u16string::npos ? n.size() : dot;
    size_t ext = dot == std::u16string::npos ? 0 : n.size() - dot - 1;
    if (base == 0 || base > 8 || ext > 3 || (dot != std::u16string::npos && ext == 0))
        return false;
    static const char16_t kSpecial[] = u"!#$%&'()-@^_`{}~";
    for (size_t i = 0; i < n.size(); ++i) {
        char16_t c = n[i];
        if (i == dot)
            continue;
        bool ok = (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                  std::char_traits<char16_t>::find(kSpecial, 16, c) != nullptr;
        if (!ok)
            return false;
    }
    return true;
}

// The folder part and the last name of a path inside the volume.
kwRet SplitLast(const char* path, std::string* folder, std::string* name) {
    std::string p = path;
    if (!p.empty() && p[0] == '\\')
        p.erase(0, 1);
    if (p.empty() || p.back() == '\\')
        return ERR_INVALID_PATH;
    size_t cut = p.rfind('\\');
    *folder = cut == std::string::npos ? "\\" : "\\" + p.substr(0, cut);
    *name = cut == std::string::npos ? p : p.substr(cut + 1);
    return KW_OK;
}

} // namespace kw::ntfs

#include "engine/disk/pi_report.h"

#include <cstdio>

namespace {

const char* Role(const PARTITION_INFO* pi) {
    if (pi->ucFsKind == FS_KIND_FREE)
        return "free";
    if (pi->ucFsKind == FS_KIND_EXTENDED || pi->ucFsKind == FS_KIND_EXTENDED_LINK)
        return "extended";
    return (pi->ulFlags & PI_LOGICAL) ? "logical" : "primary";
}

// The text as a JSON string body: quotes, backslashes and control bytes escaped.
std::string JsonText(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

const char* FsKindName(uint8_t kind) {
    static const char* const names[] = {
        "none",     "fat",     "unusable", "free",  "ntfs",         "extended",
        "ext-link", "hpfs",    "reserved", "ext2",  "boot-manager", "linux",
        "swap",     "netware", "type-3c",  "fat32", "dynamic",      "raw"};
    return kind < sizeof names / sizeof names[0] ? names[kind] : "other";
}

std::string PartitionsAsJsonLines(const DISK_RECORD* disk) {
    std::string out;
    int index = 0;
    for (const PARTITION_INFO* pi = disk ? disk->firstPi : nullptr; pi != nullptr; pi = pi->next) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "{\"index\": %d, \"role\": \"%s\", \"start\": %lu, \"sectors\": %lu, "
                      "\"type\": \"0x%02x\", \"kind\": \"%s\", \"label\": \"",
                      index++, Role(pi), static_cast<unsigned long>(pi->ulStartSect),
                      static_cast<unsigned long>(pi->NumSects), pi->ucPartType,
                      FsKindName(pi->ucFsKind));
        out += line;
        out += JsonText(pi->volumeLabel);
        std::snprintf(line, sizeof line, "\", \"serial\": \"%08lX\", \"flags\": \"0x%lx\"}\n",
                      static_cast<unsigned long>(pi->ulSerial),
                      static_cast<unsigned long>(pi->ulFlags));
        out += line;
    }
    return out;
}

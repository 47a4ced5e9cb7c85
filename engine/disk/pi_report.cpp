#include "engine/disk/pi_report.h"

#include "kwjson.h"

#include <cstdio>
#include <cstring>

namespace {

const char* Role(const PARTITION_INFO* pi) {
    if (pi->ucFsKind == FS_KIND_FREE)
        return "free";
    if (pi->ucFsKind == FS_KIND_EXTENDED || pi->ucFsKind == FS_KIND_EXTENDED_LINK)
        return "extended";
    return (pi->ulFlags & PI_LOGICAL) ? "logical" : "primary";
}

} // namespace

bool IsNumberedPartition(const PARTITION_INFO* pi) {
    switch (pi->ucFsKind) {
    case FS_KIND_FREE:
    case FS_KIND_EXTENDED:
    case FS_KIND_EXTENDED_LINK:
    case FS_KIND_RESERVED_DISK:
        return false;
    default:
        return true;
    }
}

std::string FsKindName(uint8_t kind) {
    static const char* const names[] = {
        "none",     "fat",     "unusable", "free",  "ntfs",         "extended",
        "ext-link", "hpfs",    "reserved", "ext2",  "boot-manager", "linux",
        "swap",     "netware", "type-3c",  "fat32", "dynamic",      "raw"};
    if (kind < sizeof names / sizeof names[0])
        return names[kind];
    return "kind-" + std::to_string(kind);
}

std::string PartitionsAsJsonLines(const DISK_RECORD* disk) {
    std::string out;
    int index = 0, number = 0;
    for (const PARTITION_INFO* pi = disk ? disk->firstPi : nullptr; pi != nullptr; pi = pi->next) {
        char line[256];
        std::string n = IsNumberedPartition(pi) ? std::to_string(++number) : "null";
        std::snprintf(line, sizeof line,
                      "{\"index\": %d, \"number\": %s, \"role\": \"%s\", \"start\": %lu, "
                      "\"sectors\": %lu, \"type\": \"0x%02x\", \"kind\": \"%s\", \"label\": ",
                      index++, n.c_str(), Role(pi), static_cast<unsigned long>(pi->ulStartSect),
                      static_cast<unsigned long>(pi->NumSects), pi->ucPartType,
                      FsKindName(pi->ucFsKind).c_str());
        out += line;
        out += kwjson::Quote({pi->volumeLabel, strnlen(pi->volumeLabel, sizeof pi->volumeLabel)});
        std::snprintf(line, sizeof line,
                      ", \"serial\": \"%08lX\", \"flags\": \"0x%lx\", \"beyondDisk\": %s}\n",
                      static_cast<unsigned long>(pi->ulSerial),
                      static_cast<unsigned long>(pi->ulFlags),
                      (pi->ulFlags & PI_BEYOND_DISK) ? "true" : "false");
        out += line;
    }
    return out;
}

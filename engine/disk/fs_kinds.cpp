// The installed disk rules of each file-system kind.
#include "engine/disk/fs_kinds.h"

namespace {

const FS_DISK_RULES* gRules[kFsKindSlots] = {};

} // namespace

void kwSetKindRules(std::uint8_t kind, const FS_DISK_RULES* rules) {
    if (kind < kFsKindSlots)
        gRules[kind] = rules;
}

const FS_DISK_RULES& kwKindRules(std::uint8_t kind) {
    static const FS_DISK_RULES none;
    const FS_DISK_RULES* rules = kind < kFsKindSlots ? gRules[kind] : nullptr;
    return rules != nullptr ? *rules : none;
}

// FS_MODULE: everything the engine knows of one file-system kind, in one row
// that its own folder defines. A slot left unfilled answers "not supported":
// no file system object beyond the plain base, no file I/O, no estimate, no
// disk-layer hook. The host keeps the list of rows and installs it at engine
// set-up and start; nothing else names a kind's classes.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/fs_kinds.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/volume_probe.h"

#include <cstddef>
#include <cstdint>

class FILESYSTEM;
class FILE_BASE;
class PARTITION_LIMITS;
struct PARTITION_INFO;

// What a resize-limit query asks of a file system.
struct FS_LIMITS_QUERY {
    bool exact = false;
    // The engine preference that offers 64 KB clusters.
    bool largeClusters = false;
};

struct FS_MODULE {
    std::uint8_t kind = FS_KIND_NONE;
    // Its log name, legal-operation group and minimum-size rule.
    FS_DISK_RULES disk = {};
    // The file system of a partition of this kind.
    FILESYSTEM* (*createFs)(PARTITION_INFO* pi) = nullptr;
    // Its files, for reading and writing through FILE_BASE.
    FILE_BASE* (*createFile)() = nullptr;
    // The free sectors of the partition (the partition handle is open); it
    // may also set the record's limit base and file count. Results of 500 or
    // more mark the partition unreadable.
    kwRet (*estimateFree)(PARTITION_INFO* pi, std::uint32_t* freeSects) = nullptr;
    // What the disk layer asks of this kind; the host merges every row's.
    KW_FS_HOOKS diskHooks = {};
    // The partition's resize limits as its file system sees them, made for
    // the caller (who deletes them); exact: measure every file rather than
    // the chains. Null: the disk layer's default limits.
    kwRet (*getResizeLimits)(PARTITION_INFO* pi, PARTITION_LIMITS** limits,
                             const FS_LIMITS_QUERY& query) = nullptr;
    // False while the kind is switched off (NetWare without its support): the
    // kind then answers as one without a row. Null: always on.
    bool (*enabled)() = nullptr;
};

// Installs the rows (replacing any installed before); count 0 removes them.
// The rows must live as long as they are installed.
void fsInstallModules(const FS_MODULE* const* rows, std::size_t count);
// The row of a kind; null when it has none or it is switched off.
const FS_MODULE* fsModuleOf(std::uint8_t kind);
// Every installed row, in the order installed (null past the last).
const FS_MODULE* fsModuleAt(std::size_t index);

// Makes a row's creators from a class: FsMake<FAT_FILESYSTEM>.
template <class T> FILESYSTEM* FsMake(PARTITION_INFO* pi) {
    return new T(pi);
}
template <class T> FILE_BASE* FsMakeFile() {
    return new T;
}

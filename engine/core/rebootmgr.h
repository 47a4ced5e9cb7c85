// The reboot manager: the one record, for a run of the engine, of the
// changes to the machine's partitions after which the running system no
// longer sees its disks as they are (created, deleted, hidden, unhidden,
// moved, unsafe after a locked write). Changes that undo each other cancel
// out, so the record is the net change since start. It builds the restart
// summary; the engine never restarts the machine itself.
#pragma once

#include "engine/core/kwmemory.h"

#include <cstdint>

inline constexpr uint32_t RB_CREATED = 0x1;
inline constexpr uint32_t RB_DELETED = 0x2;
inline constexpr uint32_t RB_HIDDEN = 0x4;
inline constexpr uint32_t RB_UNHIDDEN = 0x8;
inline constexpr uint32_t RB_MOVED = 0x10;
inline constexpr uint32_t RB_UNSAFE = 0x100;

// One partition's recorded changes.
struct REBOOT_CHANGE : KwEngineAlloc {
    uint32_t bits = 0;
    uint32_t disk = 0;
    uint32_t start = 0;      // the partition's current start sector
    uint32_t firstStart = 0; // where it was when first recorded
    uint32_t letter = 0;     // drive letter, 0 for none
    uint32_t value = 0;      // the caller's last argument, kept only
    REBOOT_CHANGE* next = nullptr;
};

// Owns its list of change records.
class REBOOT_MANAGER : public KwEngineAlloc {
public:
    REBOOT_MANAGER() = default;
    ~REBOOT_MANAGER();
    REBOOT_MANAGER(const REBOOT_MANAGER&) = delete;
    REBOOT_MANAGER& operator=(const REBOOT_MANAGER&) = delete;

    // Disks whose changes are never recorded (remote or object disks); the
    // engine installs a test of the disk record's flag.
    using REMOTE_TEST = bool (*)(uint32_t disk);
    void SetRemoteTest(REMOTE_TEST test) { remote_ = test; }

    void PartitionCreated(uint32_t disk, uint32_t start, uint32_t value);
    void PartitionDeleted(uint32_t disk, uint32_t start, uint32_t letter, uint32_t value);
    void PartitionHidden(uint32_t disk, uint32_t start, uint32_t letter, uint32_t value);
    void PartitionUnhidden(uint32_t disk, uint32_t start, uint32_t value);
    void PartitionMoved(uint32_t disk, uint32_t oldStart, uint32_t newStart, uint32_t letter,
                        uint32_t value);
    void PartitionUnsafe(uint32_t disk, uint32_t start, uint32_t value);

    // 1 when a record of the partition carries created or unhidden.
    int IsChanged(uint32_t disk, uint32_t start) const;
    bool HasChanges() const { return changes_ != nullptr; }
    // Always true: no host takes partition changes without a restart.
    bool IsRebootNeeded() const { return true; }
    // The restart summary, one engine message per change bit; the caller
    // frees it with kwFreeMemory. Null when memory fails.
    char* GetSummary() const;
    // The engine never restarts the machine: marks the restart as asked for
    // and answers whether /NRB was given.
    bool Reboot();
    bool RebootStarted() const { return rebootStarted_ != 0; }

    const REBOOT_CHANGE* First() const { return changes_; }

private:
    bool Ignored(uint32_t disk) const { return remote_ != nullptr && remote_(disk); }
    REBOOT_CHANGE* Find(uint32_t disk, uint32_t start, uint32_t anyBits) const;
    REBOOT_CHANGE* FindExact(uint32_t disk, uint32_t start, uint32_t bits) const;
    void Append(uint32_t bits, uint32_t disk, uint32_t start, uint32_t firstStart, uint32_t letter,
                uint32_t value);
    void Remove(REBOOT_CHANGE* change);

    REBOOT_CHANGE* changes_ = nullptr;
    uint32_t rebootStarted_ = 0;
    REMOTE_TEST remote_ = nullptr;
};

// The global instance, created at engine set-up (null before).
extern REBOOT_MANAGER* gRebootManager;

#include "engine/core/rebootmgr.h"

#include "engine/core/cmdline.h"
#include "engine/core/dbgmgr.h"
#include "engine/core/msgformat.h"

#include <cstring>
#include <string>

REBOOT_MANAGER* gRebootManager = nullptr;

namespace {

// Engine messages of the summary.
constexpr uint32_t kMsgCreated = 299;
constexpr uint32_t kMsgDeletedLetter = 301;
constexpr uint32_t kMsgDeleted = 302;
constexpr uint32_t kMsgHiddenLetter = 323;
constexpr uint32_t kMsgHidden = 324;
constexpr uint32_t kMsgMovedLetter = 333;
constexpr uint32_t kMsgMoved = 334;
constexpr uint32_t kMsgUnhidden = 560;
constexpr uint32_t kMsgUnsafeLetter = 561;
constexpr uint32_t kMsgUnsafe = 562;
constexpr uint32_t kMsgRebootNotice = 460;
constexpr size_t kSummaryBytes = 2048;

} // namespace

REBOOT_MANAGER::~REBOOT_MANAGER() {
    while (changes_ != nullptr)
        Remove(changes_);
}

REBOOT_CHANGE* REBOOT_MANAGER::Find(uint32_t disk, uint32_t start, uint32_t anyBits) const {
    for (REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next)
        if (c->disk == disk && c->start == start && (c->bits & anyBits) != 0)
            return c;
    return nullptr;
}

REBOOT_CHANGE* REBOOT_MANAGER::FindExact(uint32_t disk, uint32_t start, uint32_t bits) const {
    for (REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next)
        if (c->disk == disk && c->start == start && c->bits == bits)
            return c;
    return nullptr;
}

void REBOOT_MANAGER::Append(uint32_t bits, uint32_t disk, uint32_t start, uint32_t firstStart,
                            uint32_t letter, uint32_t value) {
    auto* c = new REBOOT_CHANGE;
    if (c == nullptr)
        return; // the change is lost, as the engine allows
    c->bits = bits;
    c->disk = disk;
    c->start = start;
    c->firstStart = firstStart;
    c->letter = letter;
    c->value = value;
    REBOOT_CHANGE** link = &changes_;
    while (*link != nullptr)
        link = &(*link)->next;
    *link = c;
}

void REBOOT_MANAGER::Remove(REBOOT_CHANGE* change) {
    REBOOT_CHANGE** link = &changes_;
    while (*link != nullptr && *link != change)
        link = &(*link)->next;
    if (*link == change && change != nullptr) {
        *link = change->next;
        delete change;
    }
}

void REBOOT_MANAGER::PartitionCreated(uint32_t disk, uint32_t start, uint32_t value) {
    if (Ignored(disk))
        return;
    if (FindExact(disk, start, RB_CREATED) != nullptr) {
        DbgPrintf("REBOOT_MANAGER::PartitionCreated - Redundant call ignored\n");
        return;
    }
    Append(RB_CREATED, disk, start, start, 0, value);
    DbgPrintf("REBOOT_MANAGER::PartitionCreated (Disk = %d StartSector = %d)\n",
              static_cast<int>(disk), static_cast<int>(start));
}

void REBOOT_MANAGER::PartitionDeleted(uint32_t disk, uint32_t start, uint32_t letter,
                                      uint32_t value) {
    if (Ignored(disk))
        return;
    bool cancelled = false;
    while (REBOOT_CHANGE* c = Find(disk, start, RB_CREATED | RB_UNHIDDEN)) {
        Remove(c);
        cancelled = true;
        DbgPrintf("REBOOT_MANAGER::PartitionDeleted (Disk = %d StartSector = %d) - cancelled "
                  "out previous create or unhide\n",
                  static_cast<int>(disk), static_cast<int>(start));
    }
    if (cancelled)
        return;
    if (REBOOT_CHANGE* c = Find(disk, start, RB_MOVED | RB_HIDDEN)) {
        c->bits |= RB_DELETED;
    } else if (letter == 0) {
        return;
    } else if (REBOOT_CHANGE* same = FindExact(disk, start, RB_DELETED);
               same != nullptr && same->letter == letter) {
        DbgPrintf("REBOOT_MANAGER::PartitionDeleted - Redundant call ignored\n");
        return;
    } else {
        Append(RB_DELETED, disk, start, start, letter, value);
    }
    DbgPrintf("REBOOT_MANAGER::PartitionDeleted (Disk = %d StartSector = %d)\n",
              static_cast<int>(disk), static_cast<int>(start));
}

void REBOOT_MANAGER::PartitionHidden(uint32_t disk, uint32_t start, uint32_t letter,
                                     uint32_t value) {
    if (Ignored(disk))
        return;
    if (REBOOT_CHANGE* c = Find(disk, start, RB_CREATED | RB_UNHIDDEN)) {
        Remove(c);
        DbgPrintf("REBOOT_MANAGER::PartitionHidden (Disk = %d StartSector = %d) - cancelled out "
                  "previous create or unhide\n",
                  static_cast<int>(disk), static_cast<int>(start));
        return;
    }
    if (REBOOT_CHANGE* c = Find(disk, start, RB_MOVED)) {
        if (c->bits & RB_UNHIDDEN)
            c->bits &= ~RB_UNHIDDEN;
        else
            c->bits |= RB_HIDDEN;
    } else if (REBOOT_CHANGE* same = FindExact(disk, start, RB_HIDDEN);
               same != nullptr && same->letter == letter) {
        DbgPrintf("REBOOT_MANAGER::PartitionHidden - Redundant call ignored\n");
        return;
    } else {
        Append(RB_HIDDEN, disk, start, start, letter, value);
    }
    DbgPrintf("REBOOT_MANAGER::PartitionHidden (Disk = %d StartSector = %d)\n",
              static_cast<int>(disk), static_cast<int>(start));
}

void REBOOT_MANAGER::PartitionUnhidden(uint32_t disk, uint32_t start, uint32_t value) {
    if (Ignored(disk))
        return;
    if (REBOOT_CHANGE* c = FindExact(disk, start, RB_HIDDEN)) {
        Remove(c);
        DbgPrintf("REBOOT_MANAGER::PartitionUnhidden (Disk = %d StartSector = %d) - cancelled "
                  "out previous hide\n",
                  static_cast<int>(disk), static_cast<int>(start));
        return;
    }
    if (REBOOT_CHANGE* c = Find(disk, start, RB_MOVED)) {
        if (c->bits & RB_HIDDEN)
            c->bits &= ~RB_HIDDEN;
        else
            c->bits |= RB_UNHIDDEN;
    } else {
        for (REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next) {
            if (c->disk != disk || c->start != start)
                continue;
            if (c->bits == RB_UNHIDDEN) {
                DbgPrintf("REBOOT_MANAGER::PartitionUnhidden - Redundant call ignored\n");
                return;
            }
            if (c->bits == RB_CREATED)
                return;
        }
        Append(RB_UNHIDDEN, disk, start, start, 0, value);
    }
    DbgPrintf("REBOOT_MANAGER::PartitionUnhidden (Disk = %d StartSector = %d)\n",
              static_cast<int>(disk), static_cast<int>(start));
}

void REBOOT_MANAGER::PartitionMoved(uint32_t disk, uint32_t oldStart, uint32_t newStart,
                                    uint32_t letter, uint32_t value) {
    if (Ignored(disk))
        return;
    for (REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next) {
        if (c->disk == disk && c->start == oldStart && c->firstStart == newStart) {
            DbgPrintf("REBOOT_MANAGER::PartitionMoved (Disk = %d StartSector = %d) - Moved back "
                      "to original position\n",
                      static_cast<int>(disk), static_cast<int>(newStart));
            if (c->bits == RB_MOVED) {
                Remove(c);
            } else {
                c->start = newStart;
                c->bits &= ~RB_MOVED;
            }
            return;
        }
    }
    for (REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next) {
        if (c->disk == disk && c->start == oldStart) {
            c->start = newStart;
            c->bits |= RB_MOVED;
            DbgPrintf("REBOOT_MANAGER::PartitionMoved (Disk = %d StartSector = %d)\n",
                      static_cast<int>(disk), static_cast<int>(newStart));
            return;
        }
    }
    if (letter == 0)
        return;
    REBOOT_CHANGE* same = FindExact(disk, newStart, RB_MOVED);
    if (same != nullptr && same->firstStart == oldStart) {
        DbgPrintf("REBOOT_MANAGER::PartitionMoved - Redundant call ignored\n");
        return;
    }
    Append(RB_MOVED, disk, newStart, oldStart, 0, value);
    DbgPrintf("REBOOT_MANAGER::PartitionMoved (Disk = %d OldStartSector = %d, NewStartSector = "
              "%d)\n",
              static_cast<int>(disk), static_cast<int>(oldStart), static_cast<int>(newStart));
}

void REBOOT_MANAGER::PartitionUnsafe(uint32_t disk, uint32_t start, uint32_t value) {
    if (Ignored(disk))
        return;
    if (REBOOT_CHANGE* c = Find(disk, start, ~0u))
        c->bits |= RB_UNSAFE;
    else
        Append(RB_UNSAFE, disk, start, start, 0, value);
    DbgPrintf("REBOOT_MANAGER::PartitionUnsafe (Disk = %d StartSector = %d)\n",
              static_cast<int>(disk), static_cast<int>(start));
}

int REBOOT_MANAGER::IsChanged(uint32_t disk, uint32_t start) const {
    return Find(disk, start, RB_CREATED | RB_UNHIDDEN) != nullptr ? 1 : 0;
}

namespace {

// The summary lines of one record, in the order the engine reports them.
void AppendLines(const REBOOT_CHANGE& c, std::string* text) {
    std::string disk = std::to_string(c.disk + 1);
    std::string start = std::to_string(c.start);
    std::string first = std::to_string(c.firstStart);
    std::string letter(1, static_cast<char>(c.letter));
    bool lettered = c.letter != 0;
    auto add = [&](uint32_t id, const std::string& a, const std::string& b,
                   const std::string& x = {}, const std::string& y = {}) {
        *text += FormatString(kwGetMessageText(id), a.c_str(), b.c_str(), x.c_str(), y.c_str());
    };
    if (c.bits & RB_UNSAFE)
        lettered ? add(kMsgUnsafeLetter, letter, disk, start) : add(kMsgUnsafe, disk, start);
    if (c.bits & RB_CREATED)
        add(kMsgCreated, disk, first);
    if (c.bits & RB_MOVED)
        lettered ? add(kMsgMovedLetter, letter, disk, first, start)
                 : add(kMsgMoved, disk, first, start);
    if (c.bits & RB_HIDDEN)
        lettered ? add(kMsgHiddenLetter, letter, disk, start) : add(kMsgHidden, disk, start);
    if (c.bits & RB_UNHIDDEN)
        add(kMsgUnhidden, disk, start);
    if (c.bits & RB_DELETED)
        lettered ? add(kMsgDeletedLetter, letter, disk, start) : add(kMsgDeleted, disk, start);
}

} // namespace

char* REBOOT_MANAGER::GetSummary() const {
    char* out = nullptr;
    if (kwGetMemory(kSummaryBytes, &out) != KW_OK || out == nullptr)
        return nullptr;
    std::string text;
    for (const REBOOT_CHANGE* c = changes_; c != nullptr; c = c->next)
        AppendLines(*c, &text);
    // A summary longer than the buffer ends with the last whole line that fits.
    if (text.size() >= kSummaryBytes) {
        size_t cut = text.rfind('\n', kSummaryBytes - 2);
        text.resize(cut == std::string::npos ? 0 : cut + 1);
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

bool REBOOT_MANAGER::Reboot() {
    if (kwSwitchSet(SW_NRB))
        return true;
    rebootStarted_ = 1;
    DbgPrintf("%s", kwGetMessageText(kMsgRebootNotice));
    return false;
}

// What the AutoFix steps share beyond the entry list: the new contents of the
// sectors a repair changes, written in the order they were planned; the
// question put to the user; and the texts of the engine's messages.
#pragma once

#include "engine/disk/autofix.h"

#include <array>
#include <string>
#include <vector>

// Collects the new contents of whole sectors; Commit writes them in the order
// they were first touched. Before the first write the old contents of every
// sector go to the backup file; every write is flushed before the next one,
// so that a crash leaves each earlier write on the disk.
class AF_PLAN {
public:
    explicit AF_PLAN(DISK_RECORD* disk) : disk_(disk) {}
    // The sector's new contents, read from the disk when first touched.
    kwRet Sector(uint32_t sector, uint8_t** bytes);
    // Starts a sector from the given bytes instead of the disk's.
    void Fill(uint32_t sector, const uint8_t* bytes);
    // Puts the record's 16-byte entry into slot `slot` of its table sector.
    kwRet PutEntry(const AUTOFIX_ENTRY& record);
    kwRet Commit();

private:
    struct Item {
        uint32_t sector;
        std::array<uint8_t, 512> bytes;
        std::array<uint8_t, 512> old;
        bool hasOld;
    };
    Item* Find(uint32_t sector);
    kwRet Backup() const;

    DISK_RECORD* disk_;
    std::vector<Item> items_;
};

// The text of an engine message with its markers replaced.
std::string AfMessage(uint32_t id, const std::string& s1 = {}, const std::string& s2 = {},
                      const std::string& s3 = {});
std::string AfNumber(uint64_t value);
std::string AfTitle();

// Asks the question of a repair: message 6 for the error code, the start and
// the disk, then the explanation, then message 7. 0 only for an explicit Yes;
// 7 for every other answer; 55 (nothing asked) when the disk cannot be
// written.
kwRet AfAsk(const DISK_RECORD* disk, kwRet code, uint64_t start, const std::string& explanation);
// Asks a question of its own text; the same answers as AfAsk.
kwRet AfAskText(const DISK_RECORD* disk, const std::string& text);
// Tells the user that the repair was written.
void AfTellFixed();

void AfLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads the CHS triple at `at` of an entry.
void AfChs(const uint8_t* at, uint32_t* cylinder, uint32_t* head, uint32_t* sector);
// Writes a CHS triple, the cylinder clipped to 1023.
void AfPutChs(uint8_t* at, uint32_t cylinder, uint32_t head, uint32_t sector);
// True for the triple that stands for "past cylinder 1023": cylinder 1023,
// the last head and the last sector of a track (also written as 254/63 by
// tools that assume 255 heads).
bool AfIsLargePlaceholder(const DISK_RECORD* disk, uint32_t cylinder, uint32_t head,
                          uint32_t sector);

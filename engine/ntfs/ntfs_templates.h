// New file records built from the volume's templates: $STANDARD_INFORMATION,
// a $FILE_NAME when the record has a name, and one of three self-relative
// security descriptors, in a record that is in use. The record image is
// the caller's (fix-ups removed form); nothing here reads or writes a disk.
#pragma once

#include "engine/ntfs/ntfs_record_edit.h"

#include <cstdint>
#include <vector>

namespace kw::ntfs {

// Which security descriptor a record gets: 1 read for system and
// administrators, 2 the same with write, 3 everyone full control
// (inherited by what a folder holds).
enum class TemplateKind : uint8_t { SystemRead = 1, SystemWrite = 2, Everyone = 3 };

struct TemplateRecord {
    uint32_t number = 0;
    uint16_t sequence = 1;
    Bytes name; // UTF-16LE; empty: no $FILE_NAME
    uint64_t dataSize = 0;
    uint64_t allocatedSize = 0;
    TemplateKind kind = TemplateKind::Everyone;
    uint64_t parentReference = 5 | (uint64_t{5} << 48); // the root
    uint32_t fileAttributes = 6;                        // hidden, system
    uint8_t nameSpace = NAMESPACE_WIN32 | NAMESPACE_DOS;
    uint64_t time = 0; // NT time of all four stamps; 0: now
};

// The current time as NT time.
uint64_t NtfsNow();
std::vector<uint8_t> SecurityDescriptor(TemplateKind kind);
// The $FILE_NAME value of a template (66 + 2 x name length bytes).
std::vector<uint8_t> FileNameValue(const TemplateRecord& t);
// Builds the record in place; 1519 when its attributes do not fit.
kwRet BuildTemplateRecord(MutableBytes record, const TemplateRecord& t);

} // namespace kw::ntfs

// The one table of partition-type bytes: the kind of partition each type
// byte stands for, whether it is the hidden form of a type, and whether it
// has a hidden form. Enumeration, the legal operations and the reboot
// manager's record all read it.
#pragma once

#include <cstdint>

struct PART_TYPE_ROW {
    std::uint8_t type;
    std::uint8_t kind; // FS_KIND_...; extended records are told apart by place
    bool hidden;       // the hidden form of a type (the running system does not see it)
    bool hideable;     // has a hidden form (HideType)
};

// The row of a type byte; null for a type the table does not hold.
const PART_TYPE_ROW* PartTypeRow(std::uint8_t type);

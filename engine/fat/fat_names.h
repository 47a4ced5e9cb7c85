// Names of FAT directory entries: the 8.3 name as shown (in the host's
// text, UTF-8), long names collected from their pieces with every check a
// damaged directory needs (sequence, piece count, checksum), and the one
// comparison used to find a listed name again (UTF-16, case-folded).
#pragma once

#include <cstddef>
#include <cstdint>

// A long name has at most this many pieces of 13 UTF-16 characters.
inline constexpr uint32_t LFN_MAX_PIECES = 20;
inline constexpr uint32_t LFN_CHARS_PER_PIECE = 13;
inline constexpr uint32_t LFN_MAX_CHARS = 255;
// Room for any name in the host's text, terminator included.
inline constexpr size_t FAT_NAME_BYTES = LFN_MAX_PIECES * LFN_CHARS_PER_PIECE * 3 + 1;

inline constexpr uint8_t FAT_ATTR_LFN = 0x0F;
inline constexpr uint8_t FAT_DELETED = 0xE5;
// NT case flags of byte 12: base and extension stored upper, shown lower.
inline constexpr uint8_t FAT_CASE_LOWER_BASE = 0x08;
inline constexpr uint8_t FAT_CASE_LOWER_EXT = 0x10;

uint8_t LfnChecksum(const uint8_t* shortName11);

// The 8.3 name (11 stored bytes) as shown, with the entry's case flags
// applied, in UTF-8.
void ShortNameDisplay(const uint8_t* name11, uint8_t caseFlags, char* out, size_t size);
// The same without the case flags: the stored name, as the tools print it.
void ShortNameStored(const uint8_t* name11, char* out, size_t size);

// Collects the pieces in front of one short entry.
class LFN_COLLECTOR {
public:
    void Reset() { state_ = State::None; }
    // A long-name piece at directory index `index`.
    void Piece(const uint8_t* entry, uint32_t index);
    // The name for the short entry that follows the pieces: true (with the
    // UTF-16 name, NUL-terminated, and the first piece's index) when the
    // pieces form one complete name that belongs to it. Resets.
    bool Finish(const uint8_t* shortEntry, char16_t* name, uint32_t* firstIndex);

private:
    enum class State { None, Collecting, Broken };
    State state_ = State::None;
    uint32_t pieces_ = 0;
    uint32_t expected_ = 0;
    uint8_t checksum_ = 0;
    uint32_t firstIndex_ = 0;
    char16_t chars_[LFN_MAX_PIECES * LFN_CHARS_PER_PIECE + 1] = {};
};

// UTF-8 <-> UTF-16 (NUL-terminated; the output is cut to size units).
void Utf16ToUtf8(const char16_t* in, char* out, size_t size);
void Utf8ToUtf16(const char* in, char16_t* out, size_t size);
// Case-folded comparison of two UTF-16 names.
bool NamesEqual(const char16_t* a, const char16_t* b);

// Creating names: a name that may be stored (no forbidden characters, not
// "." or "..", no trailing dot or blank, at most 255 characters); the
// strict 8.3 form of a name that needs no long name (upper case, valid
// characters); the basis of an alias for any other name and the alias with
// its numeric tail ("LONGNA~1"); and one long-name piece.
bool FatNameValid(const char16_t* name);
bool FatShortForm(const char16_t* name, uint8_t* out11);
// The same, also for a name whose base and extension are each all lower
// case or all upper case ("a.txt"): stored upper case with the NT case
// flags that show it as it was given, as other FAT writers do.
bool FatShortFormWithCase(const char16_t* name, uint8_t* out11, uint8_t* caseFlags);
void FatAliasBasis(const char16_t* name, uint8_t* out11);
void FatAliasWithTail(const uint8_t* basis11, uint32_t n, uint8_t* out11);
void FatLongNamePiece(const char16_t* name, uint32_t number, bool last, uint8_t checksum,
                      uint8_t* entry);

// kwvaults.h: the public face of libkwvaults.so, the image library.
//
// The library is used only through the nine functions declared at the end of
// this header. They hand out reference-counted objects (PART_STORE, and the
// older-format IMAGE_STORE); the caller drops its reference through Release.
// Every call takes the caller's MEDIA_CHANGE_CALLBACK (or null) for media
// prompts, passwords and progress, and reports failures as integer codes
// (0 success, 7 cancelled by the user, 1800 and up the image-store codes).
// No exception ever leaves the library.
#pragma once

#include "kwvaults_callbacks.h" // MEDIA_CHANGE_CALLBACK and PASSWORD_SINK

#include <cstdint>

class IMAGE_STORE; // reader of images of the older format (see its own header)

// Flags of PartStoreCreateNew.
enum KW_CREATE_FLAGS : uint32_t {
    KW_CREATE_LOW_COMPRESSION = 0x02,  // chunks compressed with LZS
    KW_CREATE_HIGH_COMPRESSION = 0x04, // chunks compressed with the own method (wins over 0x02)
    KW_CREATE_VERIFY_VOLUMES = 0x08,   // read back every volume after writing it
    KW_CREATE_OPTION_40 = 0x40,        // passed on to the container, which ignores it
    KW_CREATE_ERROR_CORRECTION = 0x80, // check bytes in every chunk
    KW_CREATE_KEEP_LAST_MEDIUM = 0x100 // leave the last medium in the drive
};

// Flags answered by PART_STORE::GetImageFlags.
enum KW_IMAGE_FLAGS : uint32_t {
    KW_IMAGE_LOW_COMPRESSION = 0x02,
    KW_IMAGE_HIGH_COMPRESSION = 0x04,
    KW_IMAGE_MEDIA_HANDLER = 0x10,
    KW_IMAGE_PASSWORD = 0x20,
    // The image was read as of an earlier session: the chunks after it carry
    // no directory (a volume is missing, or the last session's end is lost).
    KW_IMAGE_EARLIER_SESSION = 0x1000
};

// One image opened through the library: its header with the description, its
// ordered parts (one per stored partition, each with a record, a name, a
// description, a used-block bitmap and a data stream) and an optional stream
// holding master-boot-record sectors.
//
// At most one part is current (SelectPart when reading, AddPart when writing)
// and at most one stream (a part stream or the MBR stream) is open. Texts are
// 8-bit: results are copied into the caller's buffer, cut to its size and
// always terminated; characters that are not 7-bit ASCII read back as '?'.
// Times are local calendar values (full year, month and day from 1).
//
// Layout of the part streams:
//  - "ubmap": one bit per block, (blocks + 7) / 8 bytes; block i is bit
//    (i mod 8) of byte i / 8;
//  - "udata": the used blocks in ascending order, each sectors per block x
//    bytes per sector long.
//
// The slot order below is part of the binary interface and is shared by the
// current-format store and the older-format adapter; the number after each
// operation is its slot. In particular the getters run 18-47 and the setters
// 48-76 in the order listed.
class PART_STORE {
public:
    virtual uint32_t AddRef() = 0;                      // 0
    virtual uint32_t Release() = 0;                     // 1: the last release commits and frees
    virtual void* QueryExtension(const char* name) = 0; // 2: always null
    virtual int32_t DeleteImage() = 0;                  // 3: deletes every volume (write mode)
    virtual int32_t Commit() = 0;                       // 4
    virtual int32_t GetImagePath(char* buffer, uint32_t size) = 0;   // 5
    virtual uint32_t GetImageFlags() = 0;                            // 6: KW_IMAGE_FLAGS
    virtual int32_t GetDescription(char* buffer, uint32_t size) = 0; // 7
    virtual int32_t GetCreationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                    int32_t* minute, int32_t* second) = 0; // 8
    virtual int32_t GetModificationTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                        int32_t* minute,
                                        int32_t* second) = 0; // 9
    virtual uint32_t GetPartCount() = 0;                      // 10
    virtual uint32_t GetVolumeCount() = 0;                    // 11
    virtual uint64_t GetImageSize() = 0;                      // 12
    virtual int32_t SetDescription(const char* text) = 0;     // 13
    virtual int32_t SelectPart(uint32_t index) = 0;           // 14
    virtual int32_t AddPart(uint32_t* index) = 0;             // 15
    virtual int32_t ClosePart() = 0;                          // 16
    virtual int32_t RemovePart(uint32_t index) = 0;           // 17

    // Getters of the current part (0 or an empty text when none is current).
    virtual uint32_t GetPartFlags() = 0; // 18: 0x04 logical partition
    virtual int32_t GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                                int32_t* minute, int32_t* second) = 0;   // 19
    virtual int32_t GetPartName(char* buffer, uint32_t size) = 0;        // 20
    virtual int32_t GetPartDescription(char* buffer, uint32_t size) = 0; // 21
    virtual uint32_t GetPartitionType() = 0;                             // 22
    virtual uint32_t GetFileSystemKind() = 0;                            // 23
    virtual uint32_t GetDriveLetter() = 0;                               // 24
    virtual uint32_t GetBytesPerSector() = 0;                            // 25
    virtual uint32_t GetTotalSectors() = 0;                              // 26
    virtual uint32_t GetSectorsPerBlock() = 0;                           // 27
    virtual uint32_t GetBlockCount() = 0;                                // 28
    virtual uint32_t GetUsedBlockCount() = 0;                            // 29
    virtual uint32_t GetBlockLimit() = 0;                                // 30
    virtual uint32_t GetPartValue20() = 0;                               // 31
    virtual uint32_t GetPartValue24() = 0;                               // 32
    virtual uint32_t GetPartValue2C() = 0;                               // 33
    virtual uint32_t GetPartValue40() = 0;                               // 34
    virtual uint32_t GetPartValue44() = 0;                               // 35
    virtual uint32_t GetPartValue48() = 0;                               // 36
    virtual uint32_t GetPartValue4C() = 0;                               // 37
    virtual uint32_t GetPartValue50() = 0;                               // 38
    virtual uint32_t GetPartValue54() = 0;                               // 39
    virtual uint32_t GetPartValue58() = 0;                               // 40
    virtual uint32_t GetPartValue68() = 0;                               // 41
    virtual uint32_t GetPartValue6C() = 0;                               // 42
    virtual uint32_t GetPartValue70() = 0;                               // 43
    virtual uint32_t GetPartValue74() = 0;                               // 44
    virtual uint32_t GetPartValue78() = 0;                               // 45
    virtual uint32_t GetPartValue7C() = 0;                               // 46
    virtual uint32_t GetPartValue80() = 0;                               // 47

    // Setters of the part just added (write mode; 2 when no part is current).
    virtual int32_t SetPartFlags(uint32_t value) = 0;         // 48
    virtual int32_t SetPartName(const char* text) = 0;        // 49
    virtual int32_t SetPartDescription(const char* text) = 0; // 50
    virtual int32_t SetPartitionType(uint32_t value) = 0;     // 51
    virtual int32_t SetFileSystemKind(uint32_t value) = 0;    // 52
    virtual int32_t SetDriveLetter(uint32_t value) = 0;       // 53
    virtual int32_t SetBytesPerSector(uint32_t value) = 0;    // 54
    virtual int32_t SetTotalSectors(uint32_t value) = 0;      // 55
    virtual int32_t SetSectorsPerBlock(uint32_t value) = 0;   // 56
    virtual int32_t SetBlockCount(uint32_t value) = 0;        // 57
    virtual int32_t SetUsedBlockCount(uint32_t value) = 0;    // 58
    virtual int32_t SetBlockLimit(uint32_t value) = 0;        // 59
    virtual int32_t SetPartValue20(uint32_t value) = 0;       // 60
    virtual int32_t SetPartValue24(uint32_t value) = 0;       // 61
    virtual int32_t SetPartValue2C(uint32_t value) = 0;       // 62
    virtual int32_t SetPartValue40(uint32_t value) = 0;       // 63
    virtual int32_t SetPartValue44(uint32_t value) = 0;       // 64
    virtual int32_t SetPartValue48(uint32_t value) = 0;       // 65
    virtual int32_t SetPartValue4C(uint32_t value) = 0;       // 66
    virtual int32_t SetPartValue50(uint32_t value) = 0;       // 67
    virtual int32_t SetPartValue54(uint32_t value) = 0;       // 68
    virtual int32_t SetPartValue58(uint32_t value) = 0;       // 69
    virtual int32_t SetPartValue68(uint32_t value) = 0;       // 70
    virtual int32_t SetPartValue6C(uint32_t value) = 0;       // 71
    virtual int32_t SetPartValue70(uint32_t value) = 0;       // 72
    virtual int32_t SetPartValue74(uint32_t value) = 0;       // 73
    virtual int32_t SetPartValue78(uint32_t value) = 0;       // 74
    virtual int32_t SetPartValue7C(uint32_t value) = 0;       // 75
    virtual int32_t SetPartValue80(uint32_t value) = 0;       // 76

    virtual int32_t HintPartVolume() = 0;                                      // 77
    virtual int32_t IsNativeImage() = 0;                                       // 78
    virtual int32_t CreateMbrStream() = 0;                                     // 79
    virtual int32_t OpenMbrStream(uint64_t* length) = 0;                       // 80
    virtual int32_t ReadMbr(void* buffer, uint32_t length, uint32_t* got) = 0; // 81
    virtual int32_t WriteMbr(const void* data, uint32_t length) = 0;           // 82
    virtual int32_t CloseMbrStream() = 0;                                      // 83
    virtual int32_t OpenSbmap(uint64_t* length) = 0;                           // 84
    virtual int32_t OpenUbmap(uint64_t* length) = 0;                           // 85
    virtual int32_t OpenSdata(uint64_t* length) = 0;                           // 86
    virtual int32_t OpenUdata(uint64_t* length) = 0;                           // 87
    virtual int32_t CreateSbmap() = 0;                                         // 88
    virtual int32_t CreateUbmap() = 0;                                         // 89
    virtual int32_t CreateSdata() = 0;                                         // 90
    virtual int32_t CreateUdata() = 0;                                         // 91
    virtual int32_t ClosePartStream() = 0;                                     // 92
    virtual void SetPosition(uint64_t position) = 0;                           // 93
    virtual int32_t Read(void* buffer, uint32_t length, uint32_t* got) = 0;    // 94
    virtual int32_t Write(const void* data, uint32_t length) = 0;              // 95

protected:
    ~PART_STORE() = default; // destroyed only through Release
};

#if defined(KWVAULTS_BUILDING)
#define KWVAULTS_API extern "C" __attribute__((visibility("default")))
#else
#define KWVAULTS_API extern "C"
#endif

// Value of a password text as the older format stores it: a decimal, octal
// ("0" prefix) or hexadecimal ("0x" prefix) number when the text is one,
// otherwise the sum of its upper-cased bytes taken as little-endian words.
KWVAULTS_API uint32_t ConvertPasswordString(const char* text);

// Opens an image of the older format for reading.
KWVAULTS_API IMAGE_STORE* ImageStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                                 int32_t* error);

// Creates a new image. password: UTF-16, zero-terminated, null or empty for
// none. A volume size limit of 0 (both halves) means 0x7fffffff bytes.
KWVAULTS_API PART_STORE* PartStoreCreateNew(const char* path, const char16_t* password,
                                            uint32_t limitLow, uint32_t limitHigh, uint32_t flags,
                                            MEDIA_CHANGE_CALLBACK* callback, int32_t* error);

// Deletes every volume file of an image set.
KWVAULTS_API int32_t PartStoreDelete(const char* path, MEDIA_CHANGE_CALLBACK* callback);

// Shows an image of the older format through the PART_STORE interface. The
// result holds its own reference to the image store.
KWVAULTS_API PART_STORE*
PartStoreLegacyUseImageStore(IMAGE_STORE* store, MEDIA_CHANGE_CALLBACK* callback, int32_t* error);

// Opens an image for reading (an image of the older format comes back through
// the adapter of PartStoreLegacyUseImageStore).
KWVAULTS_API PART_STORE* PartStoreOpenReadOnly(const char* path, MEDIA_CHANGE_CALLBACK* callback,
                                               int32_t* error);

// Opens an image of the current format for appending parts.
KWVAULTS_API PART_STORE* PartStoreOpenWriteOnly(const char* path, uint32_t limitLow,
                                                uint32_t limitHigh, MEDIA_CHANGE_CALLBACK* callback,
                                                int32_t* error);

// Reads and checks every chunk of an image.
KWVAULTS_API int32_t PartStoreVerify(const char* path, MEDIA_CHANGE_CALLBACK* callback);

// Checks every part record of an image, then every chunk (PartStoreVerify);
// an image of the older format gets its own data check.
KWVAULTS_API int32_t PartStoreVerifyData(const char* path, MEDIA_CHANGE_CALLBACK* callback);

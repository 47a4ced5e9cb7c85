// The image side of kwfs: SOURCE image:FILE:N (partition N of an image,
// counted from 0, walked and read through CreateImageAccess and the read
// hook) and the copy command (CopyPartition between two images).
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"
#include "engine/imgaccess/imgaccess.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One listed entry, as kwfs prints it.
struct KwfsRow {
    std::string path; // "/" separated, no leading "/"
    bool dir = false;
    uint64_t size = 0;
    KW_DATE date;
    KW_TIME time;
    uint32_t attrs = 0;
    std::string shortName;
    std::string sha;
    kwRet error = KW_OK; // a file --hash could not read
};

// True for a SOURCE of the image form.
bool IsImageSource(const std::string& source);

// A partition of an image opened for kwfs.
class KwfsImage {
public:
    KwfsImage() = default;
    ~KwfsImage();
    KwfsImage(const KwfsImage&) = delete;
    KwfsImage& operator=(const KwfsImage&) = delete;

    // "image:FILE:N"; ERR_BAD_ARGUMENT when malformed, ERR_FILE_NOT_FOUND
    // when the image has no partition N, else the code of the open.
    kwRet Open(const std::string& source, const std::string& password);
    // Every entry below the partition's root (not "." and ".."), files
    // hashed with `hash`.
    kwRet Walk(bool hash, std::vector<KwfsRow>& rows);
    // One file's bytes, piece by piece.
    kwRet Read(const std::string& path, const std::function<kwRet(const uint8_t*, uint32_t)>& sink);

private:
    kwRet WalkFolder(const std::string& shown, int depth, bool hash, std::vector<KwfsRow>& rows);

    IMGACCESS* image_ = nullptr;
    std::string root_; // "\PartitionN"
};

// kwfs copy SRC.kwi:N DST.kwi: partition N (from 0) of SRC appended to DST,
// which is created with `createFlags` when it does not exist (and deleted
// again when the copy fails).
kwRet KwfsCopy(const std::string& source, const std::string& destination,
               const std::string& password, uint32_t createFlags);

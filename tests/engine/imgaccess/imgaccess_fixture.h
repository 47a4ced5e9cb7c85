// Fixtures of the image-access tests: FAT partitions made by mkfs.fat and
// mtools, stored into images through the image library's own interface, and
// the editor's callback object as the tests play it.
#pragma once

#include "engine/imgaccess/imgaccess.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kw::imgaccess::test {

using kw::partstore::test::Partition;
using kwv::test::RecordingCallback;
using kwv::test::TempFolder;

// A FAT volume of `kib` KiB with `fatBits` 12, 16 or 32, filled by mtools
// with long names, a deep tree, a 10,000-byte file and empty files. Blocks
// of zeros outside the volume's metadata are left unstored unless
// `allBlocks`.
Partition MakeFatPartition(const TempFolder& folder, const std::string& name, int fatBits,
                           uint32_t kib, bool allBlocks);

// The raw FAT volume in the file `image` as a partition, stored as
// MakeFatPartition stores it.
Partition FatPartitionOf(const std::string& image, int fatBits, bool allBlocks);

// A partition of `blocks` blocks of mixed bytes, `stored` saying which are kept.
Partition MakePatternPartition(uint32_t blocks, uint32_t sectorsPerBlock,
                               const std::vector<bool>& stored, uint32_t seed);

// The raw volume file MakeFatPartition left in the folder.
std::string RawVolume(const TempFolder& folder, const std::string& name);

struct ImageOptions {
    uint32_t flags = 0;                 // KW_CREATE_FLAGS
    std::u16string password;            // empty: none
    uint32_t volumeLimit = 0;           // bytes per volume; 0 the default
    std::vector<std::string> names;     // part names (default "Part<i>")
    std::vector<uint32_t> driveLetters; // drive letters (default none)

    ImageOptions& Flags(uint32_t v) { return flags = v, *this; }
    ImageOptions& Password(std::u16string v) { return password = std::move(v), *this; }
    ImageOptions& VolumeLimit(uint32_t v) { return volumeLimit = v, *this; }
    ImageOptions& Names(std::vector<std::string> v) { return names = std::move(v), *this; }
    ImageOptions& Letters(std::vector<uint32_t> v) { return driveLetters = std::move(v), *this; }
};

// Writes a new image holding the partitions in order; 0 or the first error.
int32_t WriteImage(const std::string& path, const std::vector<const Partition*>& parts,
                   const ImageOptions& options = {});

// The editor's callback: the library's slots answered by a recording
// callback, the image-access slots counted.
class UiCallback final : public IMGACCESS_UI_CALLBACK {
public:
    RecordingCallback media;

    uint32_t AskNewMediaForCreate(const char* p) override { return media.AskNewMediaForCreate(p); }
    uint32_t AskFirstMediaForUpdate(const char* p) override {
        return media.AskFirstMediaForUpdate(p);
    }
    uint32_t AskFirstMedia(const char* p) override { return media.AskFirstMedia(p); }
    uint32_t AskLastMedia(const char* p) override { return media.AskLastMedia(p); }
    uint32_t AskNextMedia(const char* p) override { return media.AskNextMedia(p); }
    uint32_t AskMediaWithFile(const char* p) override { return media.AskMediaWithFile(p); }
    uint32_t AskNewMediaNumber(const char* p, uint32_t n) override {
        return media.AskNewMediaNumber(p, n);
    }
    uint32_t AskMediaNumber(const char* p, uint32_t n) override {
        return media.AskMediaNumber(p, n);
    }
    void MediaOpened(const char* p, uint32_t v, uint32_t n) override { media.MediaOpened(p, v, n); }
    void MediaStillFull(const char* p) override { media.MediaStillFull(p); }
    void MediaCreateFailed(const char* p) override { media.MediaCreateFailed(p); }
    void WrongMedia(const char* p) override { media.WrongMedia(p); }
    void MediaNotice(uint32_t v) override { media.MediaNotice(v); }
    void MediaFull(const char* p) override { media.MediaFull(p); }
    uint32_t ConfirmEraseMedia(const char* p) override { return media.ConfirmEraseMedia(p); }
    uint32_t ConfirmDeleteImageSet(const char* p) override {
        return media.ConfirmDeleteImageSet(p);
    }
    void DeleteImageBegin() override { media.DeleteImageBegin(); }
    void DeleteImageEnd() override { media.DeleteImageEnd(); }
    void MediaPrepareBegin() override {}
    void MediaPrepareEnd() override {}
    void MediaWriteBegin() override {}
    uint32_t MediaWriteProgress(uint32_t, uint32_t) override { return 1; }
    void MediaWriteEnd() override {}
    void ProgressBegin() override { media.ProgressBegin(); }
    uint32_t ProgressStep(uint32_t t, uint32_t d) override { return media.ProgressStep(t, d); }
    void ProgressEnd() override { media.ProgressEnd(); }
    uint32_t AskPassword(PASSWORD_SINK* sink) override { return media.AskPassword(sink); }
    void MediaEraseBegin() override {}
    uint32_t MediaEraseProgress(uint32_t, uint32_t) override { return 0; }
    void MediaEraseEnd() override {}
    void MediaEjectBegin() override {}
    void MediaEjectEnd() override {}
    // The image-access slots: what was asked, and the answers given.
    std::vector<uint32_t> queries; // codes of the change-file questions
    uint32_t queryAnswer = 4;      // go on without the change file
    uint32_t progressCalls = 0, endProgressCalls = 0;
    uint32_t progressAnswer = 1, endProgressAnswer = 1; // 0: the user cancels

    uint32_t Query(uint32_t code, uint32_t) override {
        queries.push_back(code);
        return queryAnswer;
    }
    uint32_t Progress(uint32_t, uint32_t, uint32_t) override {
        ++progressCalls;
        return progressAnswer;
    }
    uint32_t EndProgress() override {
        ++endProgressCalls;
        return endProgressAnswer;
    }
};

} // namespace kw::imgaccess::test

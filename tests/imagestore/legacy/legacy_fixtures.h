// Fixtures of the older-format tests: a temporary folder per test, a FAT
// partition made with mkfs.fat and mcopy, its bitmap and used blocks, a
// recording media callback, and reading a partition back through IMAGE_STORE.
#pragma once

#include "include/kwvaults_callbacks.h"
#include "include/kwvaults_image_store.h"
#include "tests/imagestore/container/container_test_util.h"
#include "tests/imagestore/legacy/legacy_writer.h"
#include "tests/platform/vfs/fake_extender.h"

#include <memory>

#include <cstdint>
#include <string>
#include <vector>

namespace kw::legacy::testing {

// The container tests' temporary folder and whole-file helpers.
using kwv::test::FileBytes;
using kwv::test::PutFileBytes;
using kwv::test::TempFolder;

// A FAT partition of sizeKiB made by mkfs.fat and filled with files by mcopy.
std::vector<uint8_t> makeFatPartition(const TempFolder& dir, uint32_t sizeKiB, bool fat32 = false);

// Splits a raw partition into blocks: the used ones (not all zero, or
// holding one of the first `keepSectors` sectors) go into the partition's
// data, one bit each into its bitmap.
LegacyPartition partitionFromRaw(const std::vector<uint8_t>& raw, uint32_t sectorsPerBlock,
                                 uint32_t keepSectors = 0);

// Rebuilds the raw partition from the store's bitmap and data, reading the
// data in pieces of `piece` bytes. Returns the first error, 0 on success.
int readBack(IMAGE_STORE* store, uint32_t number, size_t piece, std::vector<uint8_t>* raw);

// The container tests' recording callback, trying several passwords in turn
// and keeping the last progress values.
class RecordingCallback : public kwv::test::RecordingCallback {
public:
    std::vector<std::u16string> passwords; // tried in turn by AskPassword
    uint32_t lastTotal = 0, lastDone = 0;

    uint32_t ProgressStep(uint32_t total, uint32_t done) override;
    uint32_t AskPassword(PASSWORD_SINK* sink) override;
};

// A removable drive over a folder, registered with the path layer for as
// long as it lives (also when an assertion ends the test early).
struct RemovableDrive {
    kw::test::FakeRemovableExtender drive;
    RemovableDrive(char letter, const std::string& folder);
    ~RemovableDrive();
};

} // namespace kw::legacy::testing

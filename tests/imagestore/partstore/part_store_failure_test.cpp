// Appending to an image when the medium stops taking writes midway: the part
// that was being added is removed again, and the image already on disk stays
// readable and whole.
#include "imagestore/container/volume_files.h"
#include "imagestore/partstore/part_store_api.h"
#include "tests/imagestore/container/fault_volume.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <memory>

using namespace kw::partstore;
using namespace kw::partstore::test;

namespace {

// A volume file that refuses every write once `budget` bytes were written.
class FailingFile : public kwv::test::ForwardingFile {
public:
    FailingFile(std::unique_ptr<kwv::VolumeFile> inner, int64_t* budget)
        : ForwardingFile(std::move(inner)), budget_(budget) {}
    bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) override {
        if (*budget_ < int64_t(length)) {
            *done = 0;
            return false;
        }
        *budget_ -= length;
        return inner_->WriteAt(offset, data, length, done);
    }

private:
    int64_t* budget_;
};

// A new image holding `fat` as its part "first".
void ImageOfOnePart(const std::string& image, const Partition& fat) {
    int32_t error = -1;
    PART_STORE* store = CreateImage(image.c_str(), nullptr, 0, 0, nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "first", &index), 0);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();
}

} // namespace

// The container reads a set whose last chunks were written without a
// directory (an interrupted append) through the directory written before them.
TEST(PartStoreFailure, WritesFailingMidwayLeaveTheImageReadable) {
    TempFolder folder;
    const std::string image = folder.File("disk.kwi");
    const Partition fat = MakeFat(folder, 2, true);
    const Partition ntfs = MakeNtfs(folder, 2, true);
    ImageOfOnePart(image, fat);
    int32_t error = -1;
    PART_STORE* store = nullptr;
    uint32_t index = 0;
    const std::vector<uint8_t> before = FileBytes(image);

    int64_t budget = 600 * 1024; // a few chunks, then the medium fails
    kwv::volfiles::SetFileFilterForTests(
        [&budget](std::unique_ptr<kwv::VolumeFile> file, const std::string&) {
            return std::unique_ptr<kwv::VolumeFile>(new FailingFile(std::move(file), &budget));
        });
    store = OpenForAppend(image.c_str(), 0, nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    // With worker threads the failed store may come to light only when the
    // part is closed: either way the part's copy fails.
    const int32_t stored = StorePart(store, ntfs, "second", &index);
    const int32_t closed = store->ClosePart();
    EXPECT_NE(stored != 0 ? stored : closed, 0);
    EXPECT_EQ(store->RemovePart(index), 0);
    EXPECT_NE(store->Commit(), 0); // the directory cannot be written either
    store->Release();
    kwv::volfiles::SetFileFilterForTests(nullptr);

    store = OpenForReading(image.c_str(), nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 1u);
    ExpectPart(store, 0, fat, "first");
    store->Release();
    EXPECT_EQ(VerifyImageChunks(image.c_str(), nullptr), 0);
    EXPECT_GE(FileBytes(image).size(), before.size());
}

// A part one of whose writes failed cannot be kept: a caller that goes on to
// close it and commit (the failed chunk would store fine on a retry) gets the
// failure, and the image stays exactly as it was instead of holding a part
// with part of its data. The same holds when the image is released instead.
TEST(PartStoreFailure, PartWithAFailedWriteIsNeverCommitted) {
    TempFolder folder, images;
    const Partition fat = MakeFat(folder, 2, true);
    const std::string image = images.File("disk.kwi");
    ImageOfOnePart(image, fat);
    int32_t error = -1;
    PART_STORE* store = nullptr;
    uint32_t index = 0;
    const auto before = kwv::test::FolderBytes(images.Path());
    for (bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "committed" : "released");
        kwv::test::FaultPlan plan;
        plan.failAt = 3; // a chunk of the new part's data
        {
            kwv::test::FaultScope faults(&plan);
            store = OpenForAppend(image.c_str(), 0, nullptr, error);
            ASSERT_NE(store, nullptr) << error;
            EXPECT_EQ(StorePart(store, fat, "second", &index), kwv::kStoreMediaFailure);
            EXPECT_EQ(store->ClosePart(), kwv::kStoreMediaFailure);
            if (commit) {
                EXPECT_EQ(store->Commit(), kwv::kStoreMediaFailure);
            }
            store->Release();
        }
        EXPECT_TRUE(kwv::test::FolderBytes(images.Path()) == before);
    }
    store = OpenForReading(image.c_str(), nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 1u);
    store->Release();
}

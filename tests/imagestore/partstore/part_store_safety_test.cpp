// Appends to an image that are refused or add nothing, and images whose last
// volume is missing: no byte of the image changes, and what cannot be seen
// is reported instead of being silently left out.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/store_log.h"
#include "include/kwbytes.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <filesystem>
#include <zlib.h>

using namespace kw::partstore;
using namespace kw::partstore::test;

namespace {

constexpr uint64_t kLimit = 1 << 20;

// An image holding `parts` FAT partitions, one per session, volumes of 1 MiB.
std::string Image(const TempFolder& folder, const Partition& fat, int parts) {
    const std::string path = folder.File("disk.kwi");
    for (int i = 0; i < parts; ++i) {
        int32_t error = -1;
        PART_STORE* store = i == 0 ? CreateImage(path.c_str(), nullptr, kLimit, 0, nullptr, error)
                                   : OpenForAppend(path.c_str(), kLimit, nullptr, error);
        EXPECT_NE(store, nullptr) << error;
        uint32_t index = 0;
        EXPECT_EQ(StorePart(store, fat, i == 0 ? "first" : "second", &index), 0);
        EXPECT_EQ(store->Commit(), 0);
        store->Release();
    }
    return path;
}

// A container holding only a "kwi" entry with the given inline bytes.
void PlainSet(const std::string& path, const std::vector<uint8_t>& kwi) {
    int error = -1;
    kwv::StoreContainer* c = kwv::CreateContainer(path.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(c, nullptr) << error;
    if (!kwi.empty()) {
        kwv::StreamWriter* w = c->CreateStream("kwi", 0x49574B24, 0, &error);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->SetInlineData(kwi.data(), uint32_t(kwi.size())), 0);
        w->Release();
    }
    EXPECT_EQ(c->Close(), 0);
    c->Release();
}

std::string LastVolume(const TempFolder& folder) {
    std::string last;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("disk.", 0) == 0 && name != "disk.kwi") {
            last = std::max(last, name);
        }
    }
    return last;
}

// What an image holds, as a reader of it is told.
struct Described {
    uint32_t parts = 0, volumes = 0;
    uint64_t size = 0;
    std::vector<std::string> names;
    int32_t verify = -1, verifyData = -1;
    bool operator==(const Described&) const = default;
};

Described Describe(const std::string& path) {
    Described d;
    int32_t error = -1;
    PART_STORE* store = OpenForReading(path.c_str(), nullptr, error);
    EXPECT_NE(store, nullptr) << error;
    if (store == nullptr) {
        return d;
    }
    d.parts = store->GetPartCount();
    d.volumes = store->GetVolumeCount();
    d.size = store->GetImageSize();
    for (uint32_t i = 0; i < d.parts; ++i) {
        char name[64] = {};
        EXPECT_EQ(store->SelectPart(i), 0);
        store->GetPartName(name, sizeof name);
        d.names.push_back(name);
    }
    store->Release();
    d.verify = VerifyImageChunks(path.c_str(), nullptr);
    bool opened = false;
    d.verifyData = VerifyImageData(path.c_str(), nullptr, opened);
    return d;
}

} // namespace

TEST(PartStoreSafety, RefusedAppendLeavesEveryByte) {
    TempFolder folder;
    std::vector<uint8_t> newer(36, 0);
    kwbytes::StoreLe32(&newer[0], 0x49574B24); // "$KWI"
    kwbytes::StoreLe32(&newer[4], 36);
    kwbytes::StoreLe32(&newer[8], 5); // a version this library does not write
    kwbytes::StoreLe32(&newer[12], 4);
    kwbytes::StoreLe32(&newer[28], 36);
    const struct {
        std::vector<uint8_t> kwi;
        int32_t want;
    } cases[] = {{{}, kwv::kStoreBadImageHeader}, {newer, kwv::kStoreUnsupported}};
    for (const auto& k : cases) {
        const std::string path = folder.File("plain.kwi");
        std::filesystem::remove(path);
        PlainSet(path, k.kwi);
        const auto before = FileBytes(path);
        int32_t error = -1;
        EXPECT_EQ(OpenForAppend(path.c_str(), 0, nullptr, error), nullptr);
        EXPECT_EQ(error, k.want);
        EXPECT_TRUE(FileBytes(path) == before);
    }
}

// A copy cancelled before a part was kept, or an append opened and released
// with nothing done, writes nothing.
TEST(PartStoreSafety, AppendThatKeepsNothingWritesNothing) {
    TempFolder folder;
    const Partition fat = MakeFat(folder, 2, true);
    const std::string path = Image(folder, fat, 1);
    const auto before = kwv::test::FolderBytes(folder.Path());
    int32_t error = -1;
    PART_STORE* store = OpenForAppend(path.c_str(), kLimit, nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    store->Release();
    store = OpenForAppend(path.c_str(), kLimit, nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "cancelled", &index, 3), 0);
    EXPECT_EQ(store->RemovePart(index), 0);
    EXPECT_EQ(store->Commit(), 0);
    store->Release();
    EXPECT_TRUE(kwv::test::FolderBytes(folder.Path()) == before);
}

// The image's last volume is not there: appending is refused (1831) with
// every volume unchanged, the part on it cannot be read (never silently an
// older image), and once the volume is back the image reads whole.
TEST(PartStoreSafety, MissingLastVolumeIsReportedAndCostsNothing) {
    TempFolder folder, aside;
    const Partition fat = MakeFat(folder, 2, true);
    const std::string path = Image(folder, fat, 2);
    const std::string last = LastVolume(folder);
    ASSERT_FALSE(last.empty());
    std::filesystem::rename(folder.File(last), aside.File(last));
    const auto before = kwv::test::FolderBytes(folder.Path());
    int32_t error = -1;
    EXPECT_EQ(OpenForAppend(path.c_str(), kLimit, nullptr, error), nullptr);
    EXPECT_EQ(error, kwv::kStoreNotFound);
    EXPECT_TRUE(kwv::test::FolderBytes(folder.Path()) == before);
    PART_STORE* store = OpenForReading(path.c_str(), nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 2u);
    ExpectPart(store, 0, fat, "first");
    ASSERT_EQ(store->SelectPart(1), 0);
    uint64_t length = 0;
    std::vector<uint8_t> data(fat.raw.size());
    uint32_t got = 0;
    const int32_t read =
        store->OpenUdata(&length) != 0 ? -1 : store->Read(data.data(), uint32_t(length), &got);
    EXPECT_EQ(read, kwv::kStoreNotFound);
    store->Release();
    EXPECT_NE(VerifyImageChunks(path.c_str(), nullptr), 0);

    // Without chunk 0's copy the set opens at the first session's directory
    // and says so, and that later parts are out of sight.
    std::vector<uint8_t> v0 = FileBytes(path);
    kwbytes::StoreLe32(&v0[52], kwbytes::LoadLe32(&v0[52]) & ~2u);
    kwbytes::StoreLe32(&v0[88], uint32_t(crc32(0L, v0.data(), 88)));
    PutFileBytes(path, v0);
    store = OpenForReading(path.c_str(), nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 1u);
    EXPECT_EQ(store->SelectPart(1), kwv::kStoreNotFound);
    EXPECT_EQ(store->GetImageFlags() & KW_IMAGE_EARLIER_SESSION, KW_IMAGE_EARLIER_SESSION);
    store->Release();
    // Nor is a volume holding the later session's chunks cut by an append.
    EXPECT_EQ(OpenForAppend(path.c_str(), kLimit, nullptr, error), nullptr);
    EXPECT_EQ(kwv::test::FolderBytes(folder.Path()).size(), before.size());
    PutFileBytes(path, before.at("disk.kwi"));

    std::filesystem::rename(aside.File(last), folder.File(last));
    store = OpenForReading(path.c_str(), nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    ExpectPart(store, 1, fat, "second");
    EXPECT_EQ(store->GetImageFlags() & KW_IMAGE_EARLIER_SESSION, 0u);
    store->Release();
    EXPECT_EQ(VerifyImageChunks(path.c_str(), nullptr), 0);
}

// A second session that stopped before its directory (its files copied while
// the writer was still open, over three volumes): the image lists, sizes up
// and verifies exactly as the first session left it, and the debug log says
// what was passed over.
TEST(PartStoreSafety, StoppedAppendReadsExactlyAsTheImageWasBefore) {
    TempFolder folder, stopped;
    const Partition fat = MakeFat(folder, 2, true);
    const std::string path = Image(folder, fat, 1);
    const Described before = Describe(path);
    EXPECT_EQ(before.verifyData, 0);
    int32_t error = -1;
    PART_STORE* store = OpenForAppend(path.c_str(), kLimit, nullptr, error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "second", &index), 0);
    for (const auto& [name, bytes] : kwv::test::FolderBytes(folder.Path())) {
        if (name.rfind("disk.", 0) == 0) {
            PutFileBytes(stopped.File(name), bytes);
        }
    }
    store->Release();
    ASSERT_GT(kwv::test::FolderBytes(stopped.Path()).size(), size_t(before.volumes));
    std::string log;
    kwv::SetStoreLogSinkForTests([&](const std::string& line) { log += line + "\n"; });
    const Described after = Describe(stopped.File("disk.kwi"));
    kwv::SetStoreLogSinkForTests(nullptr);
    EXPECT_TRUE(after == before) << "parts " << after.parts << ", volumes " << after.volumes
                                 << ", size " << after.size << ", verify " << after.verify;
    EXPECT_NE(log.find("append stopped before its commit"), std::string::npos) << log;
}

// The cache of decoded chunks: its bound and order, its invalidation by any
// write to a volume file, a reader that comes back to chunks, the check of
// a whole set that never takes a chunk from it, and several threads at once.
#include "container_test_util.h"
#include "counting_volume.h"
#include "imagestore/container/chunk_cache.h"

#include <thread>

namespace kwv::test {
namespace {

CachedChunkPtr Chunk(uint32_t number, size_t bytes) {
    auto c = std::make_shared<CachedChunk>();
    c->record.chunkNumber = number;
    c->data.assign(bytes, uint8_t(number));
    return c;
}

// Over its budget the cache drops a chunk of its less recently used half.
TEST(ChunkCache, KeepsTheMoreRecentlyUsedChunksWithinItsBudget) {
    ChunkCache cache(4000);
    const uint64_t now = volfiles::WriteGeneration();
    for (uint32_t n = 0; n < 4; ++n)
        cache.Keep(Chunk(n, 1000), now);
    EXPECT_EQ(cache.Count(), 4u);
    ASSERT_NE(cache.Find(0), nullptr); // from the oldest to the newest: 1, 2, 3, 0
    cache.Keep(Chunk(4, 1000), now);
    for (uint32_t n : {0u, 3u, 4u}) {
        CachedChunkPtr c = cache.Find(n);
        ASSERT_NE(c, nullptr) << n;
        EXPECT_EQ(c->data.front(), n);
    }
    EXPECT_EQ((cache.Find(1) != nullptr) + (cache.Find(2) != nullptr), 1);
    EXPECT_EQ(cache.Bytes(), 4000u);
    cache.Keep(Chunk(9, 1001), now); // more than a quarter of the budget
    EXPECT_EQ(cache.Find(9), nullptr);
    EXPECT_EQ(cache.Count(), 4u);
}

TEST(ChunkCache, AnyWriteToAVolumeFileEmptiesIt) {
    TempFolder dir;
    ChunkCache cache(1 << 20);
    const uint64_t before = volfiles::WriteGeneration();
    cache.Keep(Chunk(1, 100), before);
    ASSERT_NE(cache.Find(1), nullptr);
    {
        std::unique_ptr<VolumeFile> f = volfiles::CreateNew(dir.File("other.kwi"));
        ASSERT_NE(f, nullptr);
        uint32_t done = 0;
        ASSERT_TRUE(f->WriteAt(0, "x", 1, &done));
    }
    EXPECT_EQ(cache.Find(1), nullptr);
    EXPECT_EQ(cache.Count(), 0u);
    // A chunk read before the write is not kept after it.
    cache.Keep(Chunk(2, 100), before);
    EXPECT_EQ(cache.Find(2), nullptr);
    cache.Keep(Chunk(2, 100), volfiles::WriteGeneration());
    EXPECT_NE(cache.Find(2), nullptr);
}

// A reader going back and forth between two chunks reads each once; after a
// write to any volume file it reads the chunk from its file again. The check
// of the whole set reads every chunk from the files, cached or not.
TEST(ChunkCache, AReaderComingBackReadsEachChunkOnceUntilAWrite) {
    Threads one(1); // no chunks read ahead
    TempFolder dir;
    const std::string path = dir.File("c.kwi");
    const auto data = MixedBytes(6 * 0x20000, 5);
    int err = -1;
    StoreContainer* w =
        CreateContainer(path.c_str(), nullptr, 0, 0, kOptLzs | kOptPayloadCrc, nullptr, &err);
    ASSERT_NE(w, nullptr) << err;
    ASSERT_EQ(WriteStream(w, "s", data), 0);
    ASSERT_EQ(w->Close(), 0);
    w->Release();

    ChunkReadCounter count;
    StoreContainer* c = OpenContainerForRead(path.c_str(), nullptr, &err);
    ASSERT_NE(c, nullptr) << err;
    StreamReader* r = c->OpenStream("s", &err);
    ASSERT_NE(r, nullptr) << err;
    const uint64_t far = data.size() - 1000;
    uint8_t got[16];
    uint32_t n = 0;
    const uint32_t opened = count.reads;
    for (int turn = 0; turn < 50; ++turn) {
        for (uint64_t at : {uint64_t(10), far}) {
            ASSERT_EQ(r->Read(at, got, sizeof got, &n), 0);
            ASSERT_TRUE(std::equal(got, got + sizeof got, data.begin() + at)) << at;
        }
    }
    EXPECT_LE(count.reads - opened, 2u);
    {
        std::unique_ptr<VolumeFile> f = volfiles::CreateNew(dir.File("other.kwi"));
        uint32_t done = 0;
        ASSERT_TRUE(f != nullptr && f->WriteAt(0, "x", 1, &done));
    }
    const uint32_t beforeWrite = count.reads;
    ASSERT_EQ(r->Read(10, got, sizeof got, &n), 0);
    ASSERT_EQ(r->Read(far, got, sizeof got, &n), 0);
    EXPECT_EQ(count.reads - beforeWrite, 2u);
    r->Release();
    const uint32_t beforeCheck = count.reads;
    EXPECT_EQ(c->VerifyAll(), 0);
    // Every chunk of the set, from its file.
    EXPECT_EQ(count.reads - beforeCheck, std::filesystem::file_size(path) / 0x20000);
    c->Release();
}

// Readers on several threads finding, keeping and dropping chunks of one
// cache (run under ThreadSanitizer with the store's tests).
TEST(ChunkCache, SeveralThreadsShareOneCache) {
    ChunkCache cache(64 * 1000);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (uint32_t i = 0; i < 2000; ++i) {
                const uint32_t number = (i * 7 + t) % 100;
                CachedChunkPtr c = cache.Find(number);
                if (c)
                    EXPECT_EQ(c->data.back(), uint8_t(number));
                else
                    cache.Keep(Chunk(number, 1000), volfiles::WriteGeneration());
                if (i % 500 == 0)
                    cache.Clear();
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_LE(cache.Bytes(), 64u * 1000);
}

} // namespace
} // namespace kwv::test

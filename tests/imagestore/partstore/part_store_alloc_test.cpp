// Out of memory inside the part store: every slot and opening answers a code
// (1806) instead of letting an exception out, and nothing leaks. Allocation
// failures are injected through this binary's own operator new, at every
// allocation of an operation in turn.
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/store_error.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <cstdlib>
#include <functional>
#include <new>

namespace {

// Counts allocations down to the one that fails; -1: none fails.
long gFailIn = -1;
bool gFailed = false;

void* Allocate(std::size_t size) {
    if (gFailIn == 0) {
        gFailIn = -1;
        gFailed = true;
        throw std::bad_alloc();
    }
    if (gFailIn > 0) {
        --gFailIn;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
// Called when a constructor throws inside a nothrow new.
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace kw::partstore::test {
namespace {

Partition SmallPartition() {
    Partition p;
    p.raw = MixedBytes(24 * 4096, 5);
    MarkBlocks(p, true);
    return p;
}

// Runs `operation` with the n-th allocation failing, for n = 0, 1, ... until
// it runs through without meeting a failure. No exception may leave it, and
// a failure it met must be answered with an error.
void FailEachAllocation(const std::function<PART_STORE*()>& setUp,
                        const std::function<int32_t(PART_STORE*&)>& operation) {
    for (long n = 0; n < 5000; ++n) {
        PART_STORE* store = setUp();
        ASSERT_NE(store, nullptr);
        gFailed = false;
        gFailIn = n;
        int32_t result = 0;
        bool escaped = false;
        try {
            result = operation(store);
        } catch (...) {
            escaped = true;
        }
        gFailIn = -1;
        if (store != nullptr) {
            store->Release();
        }
        ASSERT_FALSE(escaped) << "allocation " << n;
        if (!gFailed) {
            EXPECT_EQ(result, 0);
            return;
        }
    }
    ADD_FAILURE() << "the operation never ran through";
}

class PartStoreOutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        int32_t error = -1;
        PART_STORE* store = CreateImage(image_.c_str(), nullptr, 0, 0, nullptr, error);
        ASSERT_NE(store, nullptr) << error;
        uint32_t index = 0;
        ASSERT_EQ(StorePart(store, SmallPartition(), "one", &index), 0);
        ASSERT_EQ(store->Commit(), 0);
        store->Release();
        pristine_ = FileBytes(image_);
    }

    PART_STORE* OpenRead() {
        int32_t error = -1;
        return OpenForReading(image_.c_str(), nullptr, error);
    }

    // The image as it was made, opened for appending with a part half added.
    PART_STORE* OpenWithNewPart() {
        PutFileBytes(image_, pristine_);
        int32_t error = -1;
        PART_STORE* store = OpenForAppend(image_.c_str(), 0, nullptr, error);
        uint32_t index = 0;
        if (store != nullptr) {
            EXPECT_EQ(StorePart(store, SmallPartition(), "two", &index, 3), 0);
        }
        return store;
    }

    TempFolder folder_;
    std::string image_ = folder_.File("img.kwi");
    std::vector<uint8_t> pristine_;
};

TEST_F(PartStoreOutOfMemory, ReadingSlots) {
    FailEachAllocation([&] { return OpenRead(); }, [](PART_STORE*& s) { return s->SelectPart(0); });
    FailEachAllocation(
        [&] {
            PART_STORE* s = OpenRead();
            EXPECT_EQ(s->SelectPart(0), 0);
            return s;
        },
        [](PART_STORE*& s) {
            uint64_t length = 0;
            int32_t error = s->OpenUdata(&length);
            uint8_t block[4096];
            uint32_t got = 0;
            for (int i = 0; i < 3 && error == 0; ++i) {
                error = s->Read(block, sizeof block, &got);
            }
            return error != 0 ? error : s->ClosePartStream();
        });
}

TEST_F(PartStoreOutOfMemory, WritingSlots) {
    FailEachAllocation([&] { return OpenWithNewPart(); },
                       [](PART_STORE*& s) { return s->ClosePart(); });
    FailEachAllocation([&] { return OpenWithNewPart(); },
                       [](PART_STORE*& s) { return s->RemovePart(1); });
    FailEachAllocation([&] { return OpenWithNewPart(); },
                       [](PART_STORE*& s) { return s->Commit(); });
    FailEachAllocation([&] { return OpenWithNewPart(); },
                       [](PART_STORE*& s) {
                           s->Release(); // commits; its result can only be logged
                           s = nullptr;
                           return 0;
                       });
}

TEST_F(PartStoreOutOfMemory, Opening) {
    FailEachAllocation([&] { return OpenRead(); },
                       [&](PART_STORE*&) {
                           int32_t error = -1;
                           PART_STORE* other = OpenForReading(image_.c_str(), nullptr, error);
                           if (other != nullptr) {
                               other->Release();
                           }
                           return error;
                       });
}

// The password reaches the library from inside the caller's prompt: a
// failure there is a refused password, never an exception thrown back.
struct PromptCallback : RecordingCallback {
    bool thrownBack = false;
    uint32_t AskPassword(PASSWORD_SINK* sink) override {
        try {
            return sink->TryPassword(password.c_str());
        } catch (...) {
            thrownBack = true;
            throw;
        }
    }
};

TEST_F(PartStoreOutOfMemory, OpeningAProtectedImage) {
    const std::string image = folder_.File("protected.kwi");
    PromptCallback callback;
    callback.password = u"a password longer than a short string";
    int32_t error = -1;
    PART_STORE* made =
        CreateImage(image.c_str(), callback.password.c_str(), 0, 0, &callback, error);
    ASSERT_NE(made, nullptr) << error;
    made->Release();
    FailEachAllocation([&] { return OpenRead(); },
                       [&](PART_STORE*&) {
                           int32_t code = -1;
                           PART_STORE* other = OpenForReading(image.c_str(), &callback, code);
                           if (other != nullptr) {
                               other->Release();
                           }
                           return code;
                       });
    EXPECT_FALSE(callback.thrownBack);
}

} // namespace
} // namespace kw::partstore::test

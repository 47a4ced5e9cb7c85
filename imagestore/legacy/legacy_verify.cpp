// The data check of an image of the older format, through its adapter.
#include "imagestore/legacy/legacy_part_store.h"

#include "imagestore/legacy/legacy_format.h"

#include <bit>
#include <memory>
#include <new>

namespace kw::legacy {
namespace {

uint64_t countSetBits(const uint8_t* bytes, uint64_t n) {
    uint64_t bits = 0;
    for (uint64_t i = 0; i < n; ++i)
        bits += std::popcount(bytes[i]);
    return bits;
}

// Walks every part, with progress in blocks: one step for the bitmap of a
// part and one per stored block.
class DataCheck {
public:
    DataCheck(PART_STORE* store, MEDIA_CHANGE_CALLBACK* callback)
        : store_(store), callback_(callback) {}

    int32_t run() {
        if (int32_t r = countSteps())
            return r;
        if (int32_t r = allocate())
            return r;
        for (uint32_t i = 0; i < store_->GetPartCount(); ++i)
            if (int32_t r = checkPart(i))
                return r;
        return 0;
    }

private:
    int32_t countSteps() {
        for (uint32_t i = 0; i < store_->GetPartCount(); ++i) {
            if (int32_t r = store_->SelectPart(i))
                return r;
            total_ += uint64_t(store_->GetUsedBlockCount()) + 1;
        }
        return 0;
    }

    int32_t allocate() {
        for (size_t size = 0x80000; size >= 0x10000; size /= 2) {
            buffer_.reset(new (std::nothrow) uint8_t[size]);
            if (buffer_) {
                size_ = size;
                return 0;
            }
        }
        return kwv::kStoreOutOfMemory;
    }

    bool step(uint64_t blocks) {
        done_ += blocks;
        if (callback_ == nullptr)
            return true;
        return callback_->ProgressStep(uint32_t(total_), uint32_t(done_)) & 0xFF;
    }

    int32_t checkBitmap(uint32_t blocks, uint32_t used) {
        uint64_t length = 0;
        if (int32_t r = store_->OpenUbmap(&length))
            return r;
        if (length != (uint64_t(blocks) + 7) / 8)
            return kwv::kStoreInvalid;
        std::unique_ptr<uint8_t[]> bitmap(new (std::nothrow) uint8_t[length + 1]);
        if (!bitmap)
            return kwv::kStoreOutOfMemory;
        uint32_t got = 0;
        if (int32_t r = store_->Read(bitmap.get(), uint32_t(length), &got))
            return r;
        store_->ClosePartStream();
        if (!step(1))
            return kwv::kStoreCancelled;
        return got == length && countSetBits(bitmap.get(), length) == used ? 0 : kwv::kStoreInvalid;
    }

    int32_t checkData(uint64_t length, uint64_t blockBytes) {
        // Pieces of whole blocks; a block larger than the buffer is read in parts.
        uint64_t piece = blockBytes <= size_ ? size_ / blockBytes * blockBytes : size_;
        uint64_t at = 0, stepped = 0;
        while (at < length) {
            uint32_t want = uint32_t(std::min(piece, length - at));
            uint32_t got = 0;
            if (int32_t r = store_->Read(buffer_.get(), want, &got))
                return r;
            if (got != want)
                return kwv::kStoreShortRead;
            at += got;
            uint64_t blocks = at / blockBytes;
            if (!step(blocks - stepped))
                return kwv::kStoreCancelled;
            stepped = blocks;
        }
        return 0;
    }

    int32_t checkPart(uint32_t index) {
        if (int32_t r = store_->SelectPart(index))
            return r;
        store_->HintPartVolume();
        uint32_t blocks = store_->GetBlockCount();
        uint32_t used = store_->GetUsedBlockCount();
        uint64_t blockBytes = uint64_t(store_->GetSectorsPerBlock()) * store_->GetBytesPerSector();
        if (int32_t r = checkBitmap(blocks, used))
            return r;
        uint64_t length = 0;
        if (int32_t r = store_->OpenUdata(&length))
            return r;
        if (length != used * blockBytes || (used != 0 && blockBytes == 0))
            return kwv::kStoreInvalid;
        int32_t r = checkData(length, blockBytes);
        store_->ClosePartStream();
        return r;
    }

    PART_STORE* store_;
    MEDIA_CHANGE_CALLBACK* callback_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t size_ = 0;
    uint64_t total_ = 0, done_ = 0;
};

} // namespace

int32_t verifyLegacyData(PART_STORE* store, MEDIA_CHANGE_CALLBACK* callback) {
    if (callback != nullptr)
        callback->ProgressBegin();
    int32_t result = DataCheck(store, callback).run();
    if (callback != nullptr)
        callback->ProgressEnd();
    return result;
}

} // namespace kw::legacy

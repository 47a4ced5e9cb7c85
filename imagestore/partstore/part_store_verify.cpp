// The data check of an image of the current format: every part's record and
// streams agree with each other (a part left by a copy that stopped midway
// does not), no part was passed over as damaged, and every chunk of the set
// reads back under its checks.
#include "imagestore/container/store_container.h"
#include "imagestore/partstore/part_store.h"
#include "imagestore/partstore/part_store_api.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace kw::partstore {

namespace {

constexpr uint32_t kBitmapPiece = 65536;

uint64_t SetBits(const uint8_t* bytes, uint32_t count) {
    uint64_t bits = 0;
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        bits += uint64_t(std::popcount(word));
    }
    for (; i < count; ++i) {
        bits += uint64_t(std::popcount(bytes[i]));
    }
    return bits;
}

} // namespace

// Reads the open bitmap stream of `length` bytes and counts its set bits.
int32_t PartStore::CountBitmapBits(uint64_t length, uint64_t& bits) {
    std::vector<uint8_t> piece(size_t(std::min<uint64_t>(length, kBitmapPiece)));
    bits = 0;
    for (uint64_t done = 0; done < length;) {
        const uint32_t n = uint32_t(std::min<uint64_t>(piece.size(), length - done));
        uint32_t got = 0;
        if (const int32_t error = Read(piece.data(), n, &got); error != kwv::kStoreOk) {
            return error;
        }
        if (got != n) {
            return kwv::kStoreShortRead;
        }
        bits += SetBits(piece.data(), n);
        done += n;
    }
    return kwv::kStoreOk;
}

// The current part's bitmap must have one bit per block with exactly the used
// count set, and its data stream must hold the used blocks.
int32_t PartStore::CheckPartStreams(const std::string& part) {
    const auto fail = [&](const char* what, int32_t error) {
        kwv::StoreLog("%s: part %s %s", path_.c_str(), part.c_str(), what);
        return error == kwv::kStoreNoSuchStream ? int32_t(kwv::kStoreInvalid) : error;
    };
    const uint64_t blocks = Value(PartField::BlockCount);
    const uint64_t used = Value(PartField::UsedBlockCount);
    const uint64_t blockBytes =
        uint64_t(Value(PartField::SectorsPerBlock)) * Value(PartField::BytesPerSector);
    uint64_t length = 0;
    int32_t error = OpenUbmap(&length);
    if (error != kwv::kStoreOk) {
        return fail("has no readable block bitmap", error);
    }
    if (length != (blocks + 7) / 8) {
        return fail("has a block bitmap of the wrong size", kwv::kStoreInvalid);
    }
    uint64_t bits = 0;
    if ((error = CountBitmapBits(length, bits)) != kwv::kStoreOk) {
        return fail("has a block bitmap that cannot be read", error);
    }
    if (bits != used) {
        return fail("has a block bitmap that disagrees with its used block count",
                    kwv::kStoreInvalid);
    }
    if ((error = OpenUdata(&length)) != kwv::kStoreOk) {
        return fail("has no readable data stream", error);
    }
    ClosePartStream();
    if ((unsigned __int128)used * blockBytes != length) {
        return fail("holds a data stream of the wrong length", kwv::kStoreInvalid);
    }
    return kwv::kStoreOk;
}

int32_t PartStore::VerifyData() {
    if (mode_ != Mode::Read || container_ == nullptr) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        for (uint32_t i = 0; i < parts_.size(); ++i) {
            int32_t error = SelectPart(i);
            if (error == kwv::kStoreOk) {
                error = CheckPartStreams(parts_[i].path);
            } else {
                kwv::StoreLog("%s: part %s fails its record check", path_.c_str(),
                              parts_[i].path.c_str());
            }
            ClosePart();
            if (error != kwv::kStoreOk) {
                return error;
            }
        }
        return container_->VerifyAll();
    });
}

int32_t VerifyImageData(const char* path, MEDIA_CHANGE_CALLBACK* callback, bool& opened) {
    int32_t error = kwv::kStoreOk;
    PART_STORE* store = OpenForReading(path, callback, error);
    opened = store != nullptr;
    if (store == nullptr) {
        return error;
    }
    error = static_cast<PartStore*>(store)->VerifyData();
    store->Release();
    return error;
}

} // namespace kw::partstore

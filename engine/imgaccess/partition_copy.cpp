#include "engine/imgaccess/partition_copy.h"
#include "engine/imgaccess/copy_steps.h"

#include "engine/core/kwmemory.h"
#include "engine/core/progress.h"
#include "engine/core/statemap.h"
#include "engine/imgaccess/udata_map.h"

#include <algorithm>
#include <cstring>

namespace kw::imgaccess {

kwRet StepTo(Progress* progress, uint32_t low, uint32_t high, uint64_t done, uint64_t total) {
    const uint64_t share = total == 0 ? 0 : (high - low) * (done < total ? done : total) / total;
    return progress->Update(low + static_cast<uint32_t>(share));
}

kwRet WriteBitmap(PART_STORE* dest, const STATE_MAP& bitmap, uint32_t bytes, Progress* progress,
                  uint32_t low, uint32_t high) {
    const auto* bits = reinterpret_cast<const uint8_t*>(bitmap.GetWords());
    kwRet rc = KW_OK;
    for (uint32_t at = 0; at < bytes && rc == KW_OK;) {
        const uint32_t want = std::min(kMaxPieceBytes, bytes - at);
        rc = static_cast<kwRet>(dest->Write(bits + at, want));
        at += want;
        if (rc == KW_OK)
            rc = StepTo(progress, low, high, at, bytes);
    }
    return rc;
}

namespace {

// Blocks moved per step, and the most bytes one step may take.
inline constexpr uint32_t kChunkBlocks = 128;
inline constexpr uint32_t kMaxChunkBytes = 16u << 20;
inline constexpr uint32_t kFinePiece = 0x10000;

// What is taken over from the source part.
struct SOURCE_PART {
    uint32_t totalSectors = 0;
    uint32_t blocks = 0;
    uint32_t sectorsPerBlock = 0;
    uint32_t blockBytes = 0;
    uint32_t used = 0;
    STATE_MAP bitmap;
    uint32_t bitmapBytes = 0;
};

kwRet Code(int32_t storeCode) {
    return static_cast<kwRet>(storeCode);
}

// The bitmap read in pieces, with a progress call after each (percent
// low..high); the part stream is open.
kwRet ReadBitmap(PART_STORE* source, SOURCE_PART* part, Progress* progress, uint32_t low,
                 uint32_t high) {
    auto* bits = reinterpret_cast<uint8_t*>(part->bitmap.pulBits);
    kwRet rc = KW_OK;
    for (uint32_t at = 0; at < part->bitmapBytes && rc == KW_OK;) {
        const uint32_t want = std::min(kMaxPieceBytes, part->bitmapBytes - at);
        uint32_t got = 0;
        rc = Code(source->Read(bits + at, want, &got));
        if (rc == KW_OK && got != want)
            rc = ERR_IMG_READ;
        at += want;
        if (rc == KW_OK)
            rc = StepTo(progress, low, high, at, part->bitmapBytes);
    }
    return rc;
}

// Steps 1-5: select the part, read its bitmap and check that bitmap, used
// count and data size agree; the data stream is left open at offset 0.
kwRet ReadSource(PART_STORE* source, uint32_t number, SOURCE_PART* part, Progress* progress) {
    progress->SetRange(0, 2);
    kwRet rc = number == 0 ? ERR_FILE_NOT_FOUND : Code(source->SelectPart(number - 1));
    if (rc != KW_OK)
        return rc;
    part->totalSectors = source->GetTotalSectors();
    part->blocks = source->GetBlockCount();
    part->sectorsPerBlock = source->GetSectorsPerBlock();
    if (source->GetBytesPerSector() != kSectorBytes || part->blocks == 0 ||
        part->sectorsPerBlock == 0 || part->sectorsPerBlock > UINT32_MAX / kSectorBytes)
        return ERR_IMG_INVALID;
    part->blockBytes = part->sectorsPerBlock * kSectorBytes;
    if ((rc = progress->Update(10)) != KW_OK)
        return rc;
    if (part->bitmap.Create(part->blocks, false) != KW_OK)
        return ERR_NO_MEMORY;
    part->bitmapBytes = static_cast<uint32_t>((uint64_t{part->blocks} + 7) / 8);
    uint64_t size = 0;
    if ((rc = Code(source->OpenUbmap(&size))) != KW_OK)
        return rc;
    if (size != part->bitmapBytes)
        return ERR_IMG_INVALID;
    rc = ReadBitmap(source, part, progress, 10, 85);
    source->ClosePartStream();
    if (rc != KW_OK)
        return rc;
    part->used = part->bitmap.CountSet(0, part->blocks - 1, UINT32_MAX);
    if (part->used != source->GetUsedBlockCount())
        return ERR_IMG_INVALID;
    if ((rc = Code(source->OpenUdata(&size))) != KW_OK)
        return rc;
    if (size != uint64_t{part->used} * part->blockBytes)
        return ERR_IMG_INVALID;
    return progress->Update(100);
}

// Steps 7-8: the new part's record values and bitmap.
kwRet AddPart(PART_STORE* dest, PART_STORE* source, SOURCE_PART* part, uint32_t* index, bool* added,
              Progress* progress) {
    kwRet rc = Code(dest->AddPart(index));
    if (rc != KW_OK)
        return rc;
    *added = true;
    dest->SetBytesPerSector(kSectorBytes);
    dest->SetTotalSectors(part->totalSectors);
    dest->SetSectorsPerBlock(part->sectorsPerBlock);
    dest->SetBlockCount(part->blocks);
    dest->SetUsedBlockCount(part->used);
    dest->SetPartitionType(source->GetPartitionType());
    dest->SetFileSystemKind(source->GetFileSystemKind());
    dest->SetDriveLetter(source->GetDriveLetter());
    dest->SetPartValue50(source->GetPartValue50());
    dest->SetPartFlags(source->GetPartFlags());
    dest->SetBlockLimit(source->GetBlockLimit());
    dest->SetPartValue40(source->GetPartValue40());
    dest->SetPartValue20(source->GetPartValue20());
    dest->SetPartValue24(source->GetPartValue24());
    if ((rc = progress->Update(50)) != KW_OK || (rc = Code(dest->CreateUbmap())) != KW_OK ||
        (rc = WriteBitmap(dest, part->bitmap, part->bitmapBytes, progress, 50, 90)) != KW_OK)
        return rc;
    dest->ClosePartStream();
    dest->SetPartValue2C(source->GetPartValue2C());
    char text[256] = {};
    source->GetPartName(text, sizeof text);
    dest->SetPartName(text);
    source->GetPartDescription(text, sizeof text);
    dest->SetPartDescription(text);
    dest->SetPartValue58(source->GetPartValue58());
    return progress->Update(100);
}

// The bytes moved per read or write inside one chunk: at most
// kMaxPieceBytes, and about a hundredth of the whole with fine progress.
uint32_t PieceBytes(const SOURCE_PART& part, uint32_t chunkBytes, uint32_t flags) {
    uint64_t piece = std::min(chunkBytes, kMaxPieceBytes);
    if ((flags & COPY_FINE_PROGRESS) != 0) {
        const uint64_t hundredth = uint64_t{part.used} * 2 / 100 * part.blockBytes;
        piece = std::min(piece, hundredth);
        piece = std::max<uint64_t>(piece / kFinePiece * kFinePiece, kFinePiece);
    }
    return static_cast<uint32_t>(piece);
}

// Step 9: the used blocks, chunk by chunk.
kwRet CopyBlocks(PART_STORE* dest, PART_STORE* source, const SOURCE_PART& part, uint32_t flags,
                 Progress* progress) {
    kwRet rc = Code(dest->CreateUdata());
    if (rc != KW_OK)
        return rc;
    progress->SetRange(0, 95);
    const uint32_t chunkBlocks =
        std::clamp<uint32_t>(kMaxChunkBytes / part.blockBytes, 1, kChunkBlocks);
    const uint64_t total = uint64_t{part.used} * part.blockBytes * 2; // read, then written
    uint64_t done = 0;
    uint8_t* buffer = nullptr;
    if (part.used != 0 && kwGetMemory(chunkBlocks * part.blockBytes, &buffer) != KW_OK)
        return ERR_NO_MEMORY;
    for (uint32_t remaining = part.used; remaining > 0 && rc == KW_OK;) {
        const uint32_t n = std::min(remaining, chunkBlocks);
        const uint32_t bytes = n * part.blockBytes;
        const uint32_t piece = std::min(PieceBytes(part, bytes, flags), bytes);
        for (uint32_t at = 0; at < bytes && rc == KW_OK; at += piece) {
            const uint32_t want = std::min(piece, bytes - at);
            uint32_t got = 0;
            rc = Code(source->Read(buffer + at, want, &got));
            if (rc == KW_OK && got != want)
                rc = got == 0 ? ERR_IMG_NO_DATA : ERR_IMG_READ;
            done += want;
            if (rc == KW_OK)
                rc = progress->UpdateCount(done, total);
        }
        for (uint32_t at = 0; at < bytes && rc == KW_OK; at += piece) {
            const uint32_t want = std::min(piece, bytes - at);
            rc = Code(dest->Write(buffer + at, want));
            done += want;
            if (rc == KW_OK)
                rc = progress->UpdateCount(done, total);
        }
        remaining -= n;
    }
    kwFreeMemory(&buffer);
    return rc;
}

} // namespace

} // namespace kw::imgaccess

kwRet CopyPartition(PART_STORE* destination, PART_STORE* source, uint32_t number, uint32_t flags) {
    using namespace kw::imgaccess;
    if (destination == nullptr || source == nullptr)
        return ERR_BAD_ARGUMENT;
    auto* progress = new Progress;
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    progress->SetTextId(KW_MSG_COPYING_DATA);
    SOURCE_PART part;
    uint32_t index = 0;
    bool added = false;
    kwRet rc = ReadSource(source, number, &part, progress);
    if (rc == KW_OK) {
        progress->SetRange(0, 5);
        rc = AddPart(destination, source, &part, &index, &added, progress);
    }
    if (rc == KW_OK)
        rc = CopyBlocks(destination, source, part, flags, progress);
    if (rc == KW_OK) {
        destination->ClosePartStream();
        rc = progress->Update(100);
    }
    if (rc == KW_OK)
        rc = progress->Done();
    source->ClosePartStream();
    if (rc != KW_OK) {
        progress->SendValue(rc);
        if (added)
            destination->RemovePart(index); // the new part's record is never written
    }
    kwRet closed = Code(destination->ClosePart());
    delete progress;
    return rc != KW_OK ? rc : closed;
}

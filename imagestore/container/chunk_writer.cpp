// ChunkWriter: starting, filling, sealing and storing chunks, and the stream
// space they are filled from.
#include "imagestore/container/chunk_writer.h"

#include "imagestore/container/chunk_seal.h"
#include "imagestore/container/store_container.h"
#include "imagestore/container/write_behind.h"
#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <limits>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

ChunkWriter::ChunkWriter(StoreContainer& set) : set_(set) {}

ChunkWriter::~ChunkWriter() = default;

bool ChunkWriter::MakeEncoders(uint32_t codec, uint32_t room) {
    storedEncoder_ = MakeChunkEncoder(kCodecNone, room);
    setEncoder_ = codec == kCodecNone ? nullptr : MakeChunkEncoder(codec, room);
    return storedEncoder_ && (codec == kCodecNone || setEncoder_);
}

bool ChunkWriter::Holding() const {
    return chunkOpen_ || sealedPending_ ||
           (behind_ && (behind_->Queued() || behind_->Filled() > 0));
}

void ChunkWriter::EndSegments() {
    segmentBytes_ = segmentEnd_ = std::numeric_limits<uint64_t>::max();
}

void ChunkWriter::End() {
    behind_.reset(); // waits for its workers
    segmentGathered_ = false;
    segmentBytes_ = segmentEnd_ = 0;
    chunkOpen_ = false;
    sealedPending_ = false;
    storedEncoder_.reset();
    setEncoder_.reset();
}

void ChunkWriter::Drop() {
    chunkOpen_ = false;
    encoder_ = nullptr;
}

uint64_t ChunkWriter::AppendPosition() const {
    if (segmentGathered_) {
        return segmentEnd_ - segmentBytes_ + behind_->Filled();
    }
    return chunkOpen_ ? set_.chunk_.streamOffset + encoder_->GetInputCount() : set_.streamLength_;
}

void ChunkWriter::StartChunk() {
    uint8_t* buf = set_.buffer_.data();
    ChunkRecord r = FreshRecord(
        set_.headerBytes_, set_.volumes_.FirstChunk() + set_.volumes_.Chunks(), set_.streamLength_);
    const bool first = r.chunkNumber == 0;
    const bool reserve =
        first && set_.reservedSize_ > 0 && (set_.header_.containerFlags & kFlagDirectoryCopy);
    if ((first && (set_.oldSignature_ || reserve)) || !setEncoder_) {
        encoder_ = storedEncoder_.get();
    } else {
        encoder_ = setEncoder_.get();
        r.chunkFlags |= kChunkCompressed;
    }
    encoder_->Begin(buf + kRecordSize, r.PayloadRoom());
    if (first && set_.oldSignature_) {
        // The first 2,048 bytes look like a header of the older format.
        encoder_->Put(nullptr, kOldSigPayloadOffset - kRecordSize);
        r.magic = kMagicOldSig;
        r.payloadOffset = kOldSigPayloadOffset;
        StoreLe32(buf + kOldSigVersionAt, 4);
        StoreLe32(buf + kOldSigVersionAt + 4, 4);
    }
    if (reserve) {
        const uint32_t taken = encoder_->GetInputCount();
        r.directoryOffset = int32_t(taken);
        set_.reservedSize_ =
            encoder_->Put(nullptr, std::min(kReservedAreaSize, r.PayloadRoom() - taken));
    }
    set_.chunk_ = r;
    chunkOpen_ = true;
}

void ChunkWriter::SealChunk() {
    uint8_t* buf = set_.buffer_.data();
    set_.index_.Record(set_.chunk_.chunkNumber, set_.chunk_.StreamEnd());
    const SealKeys keys = KeysOf(set_.headerBytes_);
    SealPayload(buf, set_.chunk_, keys);
    StampChunk(buf, set_.chunk_, set_.chunk_.chunkNumber, keys);
}

int ChunkWriter::StoreSealedChunk() {
    const int err = set_.StoreChunk(set_.buffer_.data(), set_.chunk_);
    if (err == kStoreOk) {
        chunkOpen_ = false;
        sealedPending_ = false;
    }
    return err;
}

// A sealed chunk is final: when storing it fails it stays sealed in the
// buffer, and only storing it is tried again, never finishing or scrambling.
int ChunkWriter::FinishChunk() {
    set_.chunk_.dataLength = encoder_->GetInputCount();
    set_.chunk_.storedLength = encoder_->Finish();
    SealChunk();
    sealedPending_ = true;
    return StoreSealedChunk();
}

int ChunkWriter::Append(const uint8_t* data, uint64_t length, uint64_t* firstOffset) {
    // A chunk encoded here follows every chunk handed to the workers.
    if (int err = StoreBehind(!segmentGathered_); err != kStoreOk) {
        return err;
    }
    if (segmentBytes_ == 0) {
        segmentBytes_ = SegmentBytes(set_.header_.PayloadRoom());
        segmentEnd_ = set_.streamLength_ + FirstSegmentBytes(set_.header_.PayloadRoom());
    }
    if (!segmentGathered_ && !chunkOpen_ && length > 0) {
        StartChunk(); // chunk 0 may begin with bytes of its own
    }
    if (firstOffset != nullptr) {
        *firstOffset = AppendPosition();
    }
    while (length > 0) {
        const uint64_t take = std::min(length, segmentEnd_ - AppendPosition());
        const int err = segmentGathered_ ? GatherSpace(data, take) : EncodeSpace(data, take);
        if (err != kStoreOk) {
            return err;
        }
        length -= take;
        if (data != nullptr) {
            data += take;
        }
        if (AppendPosition() == segmentEnd_) {
            if (int e = EndSegment(); e != kStoreOk) {
                return e;
            }
        }
    }
    return kStoreOk;
}

} // namespace kwv

// ChunkWriter: the stream space written in segments. A segment is encoded
// on the caller's thread as its bytes come (the first of a session, any
// segment with one thread, and the rest of one a caller settled), or
// gathered and handed to the workers whole. Either way its chunks are the
// same: each segment starts a fresh chunk and its last chunk may be short.
#include "imagestore/container/chunk_writer.h"

#include "imagestore/container/chunk_seal.h"
#include "imagestore/container/store_container.h"
#include "imagestore/container/write_behind.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace kwv {

int ChunkWriter::EncodeSpace(const uint8_t* data, uint64_t length) {
    bool fresh = false;
    while (length > 0) {
        if (!chunkOpen_) {
            StartChunk();
            fresh = true;
        }
        const uint32_t piece = uint32_t(std::min<uint64_t>(length, 1u << 30));
        const uint32_t n = encoder_->Put(data, piece);
        if (n == 0) {
            if (fresh) {
                return kStoreInvalid; // an empty chunk that takes nothing
            }
            if (int err = FinishChunk(); err != kStoreOk) {
                return err;
            }
            continue;
        }
        fresh = false;
        length -= n;
        if (data != nullptr) {
            data += n;
        }
    }
    return kStoreOk;
}

int ChunkWriter::GatherSpace(const uint8_t* data, uint64_t length) {
    // Every input or segment busy: segments are stored, oldest first, as
    // they are encoded, until one is free.
    for (;;) {
        WriteSegment* oldest = nullptr;
        if (int err = behind_->AwaitRoom(&oldest); err != kStoreOk) {
            return err;
        }
        if (oldest == nullptr) {
            break;
        }
        if (int err = StoreSegment(oldest); err != kStoreOk) {
            return err;
        }
    }
    behind_->Gather(data, size_t(length));
    return kStoreOk;
}

int ChunkWriter::EndSegment() {
    int err = kStoreOk;
    if (segmentGathered_) {
        behind_->HandOff(segmentEnd_ - segmentBytes_);
    } else if (chunkOpen_) {
        err = FinishChunk();
    }
    segmentEnd_ += segmentBytes_;
    if (set_.threads_ > 1 && !behind_) {
        try {
            behind_ = std::make_unique<WriteBehind>(
                set_.threads_, KeysOf(set_.headerBytes_), CodecOf(set_.header_.containerFlags),
                set_.header_.PayloadRoom(), set_.buffer_.size(), size_t(segmentBytes_));
        } catch (const std::exception&) {
            // Encoded here, as with one thread.
        }
    }
    segmentGathered_ = behind_ != nullptr;
    return err != kStoreOk ? err : StoreBehind(false);
}

int ChunkWriter::StoreBehind(bool wait) {
    if (sealedPending_) {
        if (int err = StoreSealedChunk(); err != kStoreOk) {
            return err;
        }
    }
    while (behind_) {
        WriteSegment* s = behind_->Front(wait);
        if (s == nullptr) {
            break;
        }
        if (int err = StoreSegment(s); err != kStoreOk) {
            return err;
        }
    }
    return kStoreOk;
}

// Numbers and stores a segment's chunks in order. A chunk whose store failed
// stays first, numbered and sealed, and only storing it is tried again.
int ChunkWriter::StoreSegment(WriteSegment* s) {
    if (s->status != kStoreOk) {
        return s->status;
    }
    const size_t sealed = s->chunks.size() - (s->open ? 1 : 0);
    for (; s->next < sealed; ++s->next) {
        SealedChunk& c = *s->chunks[s->next];
        if (!c.stamped) {
            StampChunk(c.bytes.data(), c.record,
                       set_.volumes_.FirstChunk() + set_.volumes_.Chunks(), behind_->Keys());
            set_.index_.Record(c.record.chunkNumber, c.record.StreamEnd());
            c.stamped = true;
        }
        if (int err = set_.StoreChunk(c.bytes.data(), c.record); err != kStoreOk) {
            return err;
        }
    }
    if (s->open) {
        AdoptOpenChunk(s);
    }
    behind_->PopFront();
    return kStoreOk;
}

// The open last chunk of a segment the workers encoded becomes the chunk this
// thread fills on, numbered as if it had been started here.
void ChunkWriter::AdoptOpenChunk(WriteSegment* s) {
    SealedChunk& c = *s->chunks.back();
    set_.buffer_.swap(c.bytes);
    EncoderPtr& theirs = s->open->set ? s->open->set : s->open->stored;
    EncoderPtr& mine = s->open->set ? setEncoder_ : storedEncoder_;
    std::swap(mine, theirs);
    encoder_ = mine.get();
    set_.chunk_ = c.record;
    set_.chunk_.chunkNumber = set_.volumes_.FirstChunk() + set_.volumes_.Chunks();
    chunkOpen_ = true;
}

// The bytes gathered go to the workers all the same; this thread takes over
// their last chunk, still open, once everything before it is stored.
int ChunkWriter::Settle() {
    if (segmentGathered_) {
        segmentGathered_ = false;
        if (behind_->Filled() > 0) {
            behind_->HandOff(segmentEnd_ - segmentBytes_, true);
        } else {
            behind_->Forget();
        }
    }
    return StoreBehind(true);
}

} // namespace kwv

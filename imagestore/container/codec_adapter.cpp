#include "imagestore/container/codec_adapter.h"

#include "imagestore/container/chunk_record.h"

namespace kwv {

EncoderPtr MakeChunkEncoder(uint32_t codec, uint32_t room) {
    switch (codec) {
    case kCodecNone:
        return EncoderPtr(CreateStoredChunkEncoder());
    case kCodecLzs:
        return EncoderPtr(CreateLzsChunkEncoder(room));
    case kCodecOwn:
        return EncoderPtr(CreateOwnMethodChunkEncoder());
    default:
        return nullptr;
    }
}

DecoderPtr MakeChunkDecoder(uint32_t codec, uint32_t room) {
    switch (codec) {
    case kCodecNone:
        return DecoderPtr(CreateStoredChunkDecoder());
    case kCodecLzs:
        return DecoderPtr(CreateCompressedChunkDecoder(ChunkCodecMode::Lzs, room));
    case kCodecOwn:
        return DecoderPtr(CreateCompressedChunkDecoder(ChunkCodecMode::OwnMethod, room));
    default:
        return nullptr;
    }
}

} // namespace kwv

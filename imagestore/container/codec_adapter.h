// The container's view of the chunk codecs: encoders and decoders made per
// codec number and held with their reference released on destruction.
#pragma once

#include "imagestore/codec/chunk_codec.h"
#include "imagestore/codec/error_correction.h"

#include <cstdint>
#include <memory>

namespace kwv {

struct CodecRelease {
    template <class T> void operator()(T* object) const {
        if (object != nullptr) {
            object->Release();
        }
    }
};
using EncoderPtr = std::unique_ptr<::ChunkEncoder, CodecRelease>;
using DecoderPtr = std::unique_ptr<::ChunkDecoder, CodecRelease>;

// Codec 0 is the stored codec, 2 LZS, 3 the own method; null when the codec is
// unknown or its buffers cannot be allocated.
EncoderPtr MakeChunkEncoder(uint32_t codec, uint32_t room);
DecoderPtr MakeChunkDecoder(uint32_t codec, uint32_t room);

} // namespace kwv

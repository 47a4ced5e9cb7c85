// Decoding of a compressed partition of the older image format: one zlib
// stream (codes 1-8), a run of LZS blocks with history carried across blocks
// (100-105) or a fresh history per block (300-305), or a run of own-method
// blocks (200-209).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kw::legacy {

// Where a decoder takes stored (still compressed) bytes from.
class StoredSource {
public:
    // Reads up to len stored bytes at the current stored-data position and
    // advances it; *got receives the count (0 at the end of the data).
    virtual int ReadStored(uint8_t* buffer, size_t len, size_t* got) = 0;
    // Stored bytes left from the current stored-data position.
    virtual uint64_t StoredLeft() const = 0;

protected:
    ~StoredSource() = default;
};

enum class DecoderKind { None, Zlib, LzsHistory, LzsFresh, OwnMethod };

// The decoder kind of a compression code; None for 0 and unknown codes.
DecoderKind decoderKindFor(uint32_t code);
bool isKnownCode(uint32_t code);

// A byte buffer that grows keeping its bytes and leaves the new ones unset:
// the decoder's buffers are large, and it reads back only bytes it stored.
class DecoderBuffer {
public:
    uint8_t* data() { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        bytes_.reset();
        size_ = 0;
    }
    // Grows to n bytes (never shrinks); false when memory is short.
    bool grow(size_t n);

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
};

// Owns the decoding state of the selected partition: the input buffer of
// stored bytes, the output buffer of decoded bytes not yet delivered, the
// LZS work area with its copy, or the inflate stream.
class LegacyDecoder {
public:
    static constexpr size_t kInputPiece = 0x18000;
    static constexpr size_t kInputCapacity = 0x30000;
    static constexpr size_t kOutputUnit = 0x40000;
    static constexpr size_t kMaxOutput = 64 * kOutputUnit;
    static constexpr size_t kZlibInput = 0x10000;

    explicit LegacyDecoder(DecoderKind kind);
    ~LegacyDecoder();
    LegacyDecoder(const LegacyDecoder&) = delete;
    LegacyDecoder& operator=(const LegacyDecoder&) = delete;

    DecoderKind kind() const { return kind_; }
    // Delivers up to len decoded bytes; *got receives the count.
    int Read(StoredSource& source, uint8_t* out, size_t len, size_t* got);
    // Drops pending output and buffered input; the decoder resumes at the
    // stored-data offset. The LZS history is kept (a caller restores a saved
    // state next), except at offset 0 where every kind starts afresh.
    void Seek(uint64_t offset);
    // Stored-data position of the first byte not consumed by the decoder.
    uint64_t Position() const { return position_; }
    uint32_t Pending() const { return uint32_t(pendingCount_); }
    // Bytes of saveable state: the LZS work area for the LZS kinds, else 0.
    uint32_t StateSize() const;
    int SaveState(void* buffer);
    int RestoreState(const void* buffer);
    // Frees the input and output buffers; reads fail until the next Seek.
    void FreeBuffers();

private:
    enum class Block { Done, Failed };
    int setUp();
    int readZlib(StoredSource& source, uint8_t* out, size_t len, size_t* got);
    int readBlocks(StoredSource& source, uint8_t* out, size_t len, size_t* got);
    int fillInput(StoredSource& source, size_t want);
    int decodeBlock(StoredSource& source);
    bool tryBlock(uint32_t* status, size_t* consumed, size_t* produced);
    int growOutput();
    size_t deliver(uint8_t* out, size_t len);
    void dropBuffers();

    DecoderKind kind_;
    bool setUp_ = false;
    bool usable_ = true;    // false after an error or FreeBuffers, until Seek
    uint64_t position_ = 0; // stored-data position of the first unconsumed byte
    DecoderBuffer input_;
    size_t inputCount_ = 0;
    bool finalPiece_ = false;
    DecoderBuffer output_;
    size_t pendingStart_ = 0;
    size_t pendingCount_ = 0;
    std::vector<uint8_t> work_;     // LZS work area
    std::vector<uint8_t> workCopy_; // its copy from before the block being decoded
    struct Inflate;
    std::unique_ptr<Inflate> inflate_;
};

} // namespace kw::legacy

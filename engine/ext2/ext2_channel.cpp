// The engine's I/O channel for libext2fs: blocks read and written through a
// file system's partition handle, one block cached.
#include "engine/ext2/ext2_channel.h"

#include "engine/fs/filesystem.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace kw::ext2 {
namespace {

std::mutex gNamesLock;
std::map<std::string, FILESYSTEM*>& Names() {
    static std::map<std::string, FILESYSTEM*> names;
    return names;
}
std::atomic<unsigned long> gNextName{1};

constexpr unsigned long kNoBlock = ~0ul;

struct ChannelData {
    errcode_t magic = kPrivateMagic;
    FILESYSTEM* fs = nullptr;
    unsigned char* cache = nullptr;
    unsigned long long cached = kNoBlock;
};

ChannelData* DataOf(io_channel channel, errcode_t* rc) {
    *rc = 0;
    if (channel->magic != kChannelMagic) {
        *rc = EXT2_ET_MAGIC_IO_CHANNEL;
        return nullptr;
    }
    auto* data = static_cast<ChannelData*>(channel->private_data);
    if (data == nullptr || data->magic != kPrivateMagic) {
        *rc = kPrivateMagic;
        return nullptr;
    }
    return data;
}

errcode_t Open(const char* name, int /*flags*/, io_channel* out) {
    if (out == nullptr)
        return 0;
    FILESYSTEM* fs = nullptr;
    {
        std::lock_guard<std::mutex> hold(gNamesLock);
        auto it = name != nullptr ? Names().find(name) : Names().end();
        if (it == Names().end())
            return EXT2_ET_BAD_DEVICE_NAME;
        fs = it->second;
    }
    auto* channel = static_cast<io_channel>(std::calloc(1, sizeof(struct_io_channel)));
    auto* data = new (std::nothrow) ChannelData;
    char* copy = strdup(name);
    auto* cache = static_cast<unsigned char*>(std::malloc(1024));
    if (channel == nullptr || data == nullptr || copy == nullptr || cache == nullptr) {
        std::free(channel);
        delete data;
        std::free(copy);
        std::free(cache);
        return EXT2_ET_NO_MEMORY;
    }
    data->fs = fs;
    data->cache = cache;
    channel->magic = kChannelMagic;
    channel->manager = KwIoManager();
    channel->name = copy;
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->private_data = data;
    *out = channel;
    return 0;
}

errcode_t Close(io_channel channel) {
    if (channel == nullptr)
        return 0;
    errcode_t rc = 0;
    ChannelData* data = DataOf(channel, &rc);
    if (data == nullptr)
        return rc;
    if (--channel->refcount > 0)
        return 0;
    std::free(data->cache);
    delete data;
    std::free(channel->name);
    std::free(channel);
    return 0;
}

errcode_t SetBlockSize(io_channel channel, int size) {
    errcode_t rc = 0;
    ChannelData* data = DataOf(channel, &rc);
    if (data == nullptr)
        return rc;
    if (size <= 0 || size % 512 != 0)
        return EXT2_ET_INVALID_ARGUMENT;
    if (size == channel->block_size)
        return 0;
    auto* cache = static_cast<unsigned char*>(std::realloc(data->cache, size_t(size)));
    if (cache == nullptr)
        return EXT2_ET_NO_MEMORY;
    data->cache = cache;
    data->cached = kNoBlock;
    channel->block_size = size;
    return 0;
}

// The sectors of `blocks` blocks from `block`, or false when they do not fit
// 32-bit sector numbers.
bool Sectors(io_channel channel, unsigned long long block, unsigned long long blocks,
             uint32_t* first, uint32_t* count) {
    unsigned long long per = unsigned(channel->block_size) / 512;
    unsigned long long from = block * per, n = blocks * per;
    if (block > (1ull << 40) || blocks > (1ull << 31) || from + n > 0xFFFFFFFFull)
        return false;
    *first = uint32_t(from);
    *count = uint32_t(n);
    return true;
}

// Reads the whole block into the cache.
errcode_t Fill(io_channel channel, ChannelData* data, unsigned long long block) {
    uint32_t first = 0, count = 0;
    if (!Sectors(channel, block, 1, &first, &count))
        return EXT2_ET_LLSEEK_FAILED;
    data->cached = kNoBlock;
    kwRet rc = data->fs->ReadSectors(first, data->cache, count);
    if (rc != KW_OK)
        return errcode_t(rc);
    data->cached = block;
    return 0;
}

errcode_t Read(io_channel channel, unsigned long long block, int count, void* buffer) {
    if (count == 0 || channel == nullptr || buffer == nullptr)
        return 0;
    errcode_t rc = 0;
    ChannelData* data = DataOf(channel, &rc);
    if (data == nullptr)
        return rc;
    const size_t blockBytes = size_t(channel->block_size);
    size_t bytes = count < 0 ? size_t(-(long long)count) : size_t(count) * blockBytes;
    if (count < 0 && bytes > blockBytes)
        return EXT2_ET_INVALID_ARGUMENT;
    if (count < 0 || (count == 1 && data->cached == block)) {
        rc = data->cached == block ? 0 : Fill(channel, data, block);
        if (rc == 0)
            std::memcpy(buffer, data->cache, bytes);
    } else {
        uint32_t first = 0, sectors = 0;
        rc = Sectors(channel, block, unsigned(count), &first, &sectors)
                 ? errcode_t(data->fs->ReadSectors(first, buffer, sectors))
                 : EXT2_ET_LLSEEK_FAILED;
        if (rc == 0 && count == 1) {
            std::memcpy(data->cache, buffer, blockBytes);
            data->cached = block;
        }
    }
    if (rc != 0) {
        std::memset(buffer, 0, bytes);
        data->cached = kNoBlock;
        if (channel->read_error != nullptr)
            rc = channel->read_error(channel, (unsigned long)block, count, buffer, bytes, 0, rc);
    }
    return rc;
}

errcode_t Write(io_channel channel, unsigned long long block, int count, const void* buffer) {
    if (channel == nullptr || buffer == nullptr)
        return 0;
    errcode_t rc = 0;
    ChannelData* data = DataOf(channel, &rc);
    if (data == nullptr || count == 0)
        return rc;
    const size_t blockBytes = size_t(channel->block_size);
    if (count != 1)
        data->cached = kNoBlock;
    uint32_t first = 0, sectors = 0;
    size_t bytes = count < 0 ? size_t(-(long long)count) : size_t(count) * blockBytes;
    if (count < 0) {
        if (bytes > blockBytes)
            return EXT2_ET_INVALID_ARGUMENT;
        rc = Fill(channel, data, block);
        if (rc == 0) {
            std::memcpy(data->cache, buffer, bytes);
            Sectors(channel, block, 1, &first, &sectors);
            rc = errcode_t(data->fs->WriteSectors(first, data->cache, sectors));
        }
    } else if (!Sectors(channel, block, unsigned(count), &first, &sectors)) {
        rc = EXT2_ET_LLSEEK_FAILED;
    } else {
        rc = errcode_t(data->fs->WriteSectors(first, buffer, sectors));
        if (rc == 0 && count == 1 && data->cached == block)
            std::memcpy(data->cache, buffer, blockBytes);
    }
    if (rc != 0) {
        data->cached = kNoBlock;
        if (channel->write_error != nullptr)
            rc = channel->write_error(channel, (unsigned long)block, count, buffer, bytes, 0, rc);
    }
    return rc;
}

errcode_t Read32(io_channel channel, unsigned long block, int count, void* buffer) {
    return Read(channel, block, count, buffer);
}

errcode_t Write32(io_channel channel, unsigned long block, int count, const void* buffer) {
    return Write(channel, block, count, buffer);
}

errcode_t Flush(io_channel channel) {
    errcode_t rc = 0;
    DataOf(channel, &rc);
    return rc;
}

struct_io_manager MakeManager() {
    struct_io_manager m{};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "Kw I/O Manager";
    m.open = Open;
    m.close = Close;
    m.set_blksize = SetBlockSize;
    m.read_blk = Read32;
    m.write_blk = Write32;
    m.flush = Flush;
    m.read_blk64 = Read;
    m.write_blk64 = Write;
    return m;
}

} // namespace

io_manager KwIoManager() {
    static struct_io_manager manager = MakeManager();
    return &manager;
}

ChannelName::ChannelName(FILESYSTEM* fs) : name_("kw-ext2-" + std::to_string(gNextName++)) {
    std::lock_guard<std::mutex> hold(gNamesLock);
    Names()[name_] = fs;
}

ChannelName::~ChannelName() {
    std::lock_guard<std::mutex> hold(gNamesLock);
    Names().erase(name_);
}

} // namespace kw::ext2

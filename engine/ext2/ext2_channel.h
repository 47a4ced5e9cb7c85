// The I/O manager through which libext2fs reads and writes an ext2 volume:
// every block goes through the partition handle of the file system that
// opened it (so disks, disk-image files and partitions inside images are
// served alike), and one block is cached. A volume is opened by a name that
// ChannelNameFor registers for the time of the open; the name is a counter,
// never an address.
#pragma once

#include "engine/core/kwret.h"

#include <ext2fs/ext2fs.h>

#include <string>

class FILESYSTEM;

namespace kw::ext2 {

inline constexpr errcode_t kChannelMagic = EXT2_ET_MAGIC_IO_CHANNEL;
inline constexpr errcode_t kPrivateMagic = EXT2_ET_BASE + 0x0E;

io_manager KwIoManager();

// Registers fs under a new channel name until the guard goes; the channel
// the library opens by that name reads through fs.
class ChannelName {
public:
    explicit ChannelName(FILESYSTEM* fs);
    ~ChannelName();
    ChannelName(const ChannelName&) = delete;
    ChannelName& operator=(const ChannelName&) = delete;
    const char* c_str() const { return name_.c_str(); }

private:
    std::string name_;
};

} // namespace kw::ext2

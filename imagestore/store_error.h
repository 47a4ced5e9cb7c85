// Result codes of the image library: the one numbering that the container,
// the part store, the older-format reader and its adapter, the codecs and the
// exported functions return. The store's own range starts at 1800; the few
// small codes are those the engine gives the same meaning.
#pragma once

namespace kwv {

enum StoreError : int {
    kStoreOk = 0,
    kStoreWrongMode = 2,         // wrong mode, object busy, no stream open
    kStoreNotSupported = 2,      // the operation does not exist for this object
    kStoreOutOfMemory = 3,       // out of memory (older-format reader and adapter)
    kStoreCancelled = 7,         // cancelled by the user or password refused
    kStoreNoMoreNames = 19,      // enumeration finished
    kStoreStreamExists = 502,    // the stream to create exists
    kStoreNoSuchStream = 504,    // no such stream or index out of range
    kStoreNoPartition = 1800,    // no partition selected
    kStorePartitionRange = 1801, // partition number out of range
    kStoreInvalid = 1802,        // not an image of this format, or inconsistent
    kStoreNoData = 1804,         // partition without a stored bitmap
    kStoreMediaFailure = 1805,   // write, erase or media-handler failure
    kStoreNoMemory = 1806,       // out of memory
    kStoreDecompress = 1807,     // decompression failed
    kStoreBufferSmall = 1808,    // buffer too small
    kStoreTableFull = 1809,      // stream table full or no free part name
    kStoreCannotOpen = 1810,     // volume cannot be opened or set cannot be appended
    kStoreShortRead = 1811,      // short read or unrecoverable chunk
    kStoreVolumeTable = 1812,    // volume table missing or of the wrong size
    kStoreNoRoom = 1817,         // no room or too many volumes
    kStoreUnsupported = 1818,    // version or codec not supported
    kStoreUnknownCode = 1819,    // unknown compression code
    kStoreNotFound = 1831,       // volume or chunk not found
    kStoreNoHeader = 1851,       // no container header
    kStoreBadImageHeader = 1852, // bad image header
    kStoreContinuation = 1878,   // path names a continuation volume
};

} // namespace kwv

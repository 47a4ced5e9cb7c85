// Result codes of the image library (shared numbering with the engine).
#pragma once

namespace kwv {

enum StoreError : int {
    kStoreOk = 0,
    kStoreWrongMode = 2,         // wrong mode, object busy, not supported
    kStoreNoMemoryShort = 3,     // out of memory (adapter objects)
    kStoreCancelled = 7,         // cancelled by the user or password refused
    kStoreNoMoreNames = 19,      // enumeration finished
    kStoreStreamExists = 502,    // the stream to create exists
    kStoreNoSuchStream = 504,    // no such stream or index out of range
    kStoreInvalid = 1802,        // not a container of this format, or inconsistent
    kStoreNoData = 1804,         // record without data
    kStoreMediaFailure = 1805,   // write, erase or media-handler failure
    kStoreNoMemory = 1806,       // out of memory
    kStoreDecompress = 1807,     // decompression failed
    kStoreBufferSmall = 1808,    // buffer too small
    kStoreTableFull = 1809,      // stream table full or no free part name
    kStoreCannotOpen = 1810,     // volume cannot be opened or set cannot be appended
    kStoreShortRead = 1811,      // short read or unrecoverable chunk
    kStorePosition = 1812,       // position does not match
    kStoreNoRoom = 1817,         // no room or too many volumes
    kStoreUnsupported = 1818,    // version or codec not supported
    kStoreNotFound = 1831,       // volume or chunk not found
    kStoreNoHeader = 1851,       // no container header
    kStoreBadImageHeader = 1852, // bad image header
    kStoreContinuation = 1878,   // path names a continuation volume
};

} // namespace kwv

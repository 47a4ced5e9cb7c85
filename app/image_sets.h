// The editor's writes through the image library: an image opened for
// appending or created new, one partition copied into it under the progress
// window, and an image deleted with every file of its set. The copy dialog
// and the delete command use these and never call the library's exports
// themselves.
#pragma once

#include "engine/core/kwret.h"

#include <QString>

#include <cstdint>
#include <string>

class MEDIA_CHANGE_CALLBACK;
class PART_STORE;

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

// Compression of a new image (the library's create flags).
inline constexpr uint32_t CREATE_LOW_COMPRESSION = 0x02;
inline constexpr uint32_t CREATE_HIGH_COMPRESSION = 0x04;

// Opens an existing image of the current format for appending (the
// library's default volume size); null with *error on failure (7 when the
// user cancelled a prompt, 1802 for an image of the older format).
PART_STORE* OpenImageForAppend(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback,
                               int32_t* error);
// Creates a new image. password: UTF-16 units, empty for none; splitSize:
// bytes per volume file, 0 for the library's default.
PART_STORE* CreateImage(const std::string& hostPath, const std::u16string& password,
                        uint32_t splitSize, uint32_t flags, MEDIA_CHANGE_CALLBACK* callback,
                        int32_t* error);
// Commits the store and drops the caller's reference; the commit's code.
// Harmless for a null store.
int32_t CommitAndRelease(PART_STORE*& store);
// Deletes every volume file of a store opened for writing and drops the
// reference: what a failed new image leaves behind goes with it. 0 when
// every volume went; 2 for a store no longer open for writing.
int32_t DeleteAndRelease(PART_STORE*& store);
// Copies partition `index` (0-based, as the image access numbers it) of
// source into a new part of destination, with the progress window's
// callback; on failure the new part is taken out again.
kwRet CopyPartitionTo(PART_STORE* destination, PART_STORE* source, uint32_t index);
// The same for a partition under "Hidden Partitions" ("\\.\diskN.partM"):
// the sectors its file system uses; 2 when the path names no partition that
// is served.
kwRet CopyHiddenPartitionTo(PART_STORE* destination, const std::string& path);

// Deletes the image at path (a path of the namespace) with every file of its
// set: an image of the current format through the library, also when it is
// damaged (every volume the library finds for it); a set of the older
// format, once the library has opened it as one, with its ".KWU" first
// volume and its continuation files; any other file alone. A set that
// another writer holds open is left whole (1810). 0 only when every file of
// the set is gone, 7 when the user cancelled a prompt, else the failure (a
// delete that left some volumes behind included).
int32_t DeleteImageSet(vfs::VFS_NAMESPACE& vfs, const QString& path,
                       MEDIA_CHANGE_CALLBACK* callback);

} // namespace kw::app

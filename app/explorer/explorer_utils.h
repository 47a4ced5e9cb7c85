// Helpers shared by the main window, the explorer items and the dialogs:
// size and date texts, the contents list's column specifications, image
// file names, drive captions and paths, and directory creation with a
// prompt. File work goes through the path namespace.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace kw::drives {
class DriveTable;
}
namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

class ExplorerHost;
class UiServices;
class VtfeItem;

// Windows drive types as the drive items keep them.
enum DriveType : uint32_t {
    DRIVETYPE_UNKNOWN = 0,
    DRIVETYPE_NO_ROOT = 1, // also the type of a hidden partition
    DRIVETYPE_REMOVABLE = 2,
    DRIVETYPE_FIXED = 3,
    DRIVETYPE_REMOTE = 4,
    DRIVETYPE_CDROM = 5,
    DRIVETYPE_RAMDISK = 6,
};
// The drive type of a path namespace's drive flags.
DriveType DriveTypeFromFlags(uint32_t flags);

// "0 bytes" up to 1024, then KB and MB (truncated), from 1 GB on "1.00 GB".
QString FormatByteSize(uint64_t bytes);
// A FILETIME as the locale's short date, a blank and the time without
// seconds; local time when toLocal is set; empty for 0 or out of range.
QString FormatFileTime(uint64_t filetime, bool toLocal);
QString DigitsOnly(const QString& text);
QString StripTrailing(const QString& text, QChar suffix);
QString SubPathAfter(const QString& base, const QString& path);

// Applies column specifications ("Title,COL_WIDTH_x,AL_y") to the list: the
// column count, titles, widths and alignments. Unknown ids leave a column's
// width or alignment as it was.
void ApplyColumnSpecs(QTreeWidget* list, const QStringList& specs);
// The pixels of a width id; -1 for an unknown id.
int ColumnWidthOf(const QString& id);

// True when the name's extension (from its last ".") is in the list,
// compared without regard to case.
bool IsImageFile(const QString& path, const std::vector<std::string>& extensions);
// Whether two host paths name the same file: the drive letter of "X:\..."
// paths without regard to case, the rest exactly (host file names are
// case-sensitive).
bool SameHostPath(const QString& a, const QString& b);
// The host file a path of the namespace names; the path itself when the
// namespace does not map it to one.
std::string ToHostPath(vfs::VFS_NAMESPACE& vfs, const QString& path);

// A path the user typed, in the namespace's drive form. "/..." and "~" or
// "~/..." are host paths; "X:..." and "\\server\share\..." are drive paths
// and stay as typed; anything else lies in base (a drive path), "/" and "\"
// both separating its names. Empty, with *problem set, when a name of a
// host path holds "\" (no host file is ever made with one) or the host
// path lies on no drive.
QString TypedToDrivePath(const drives::DriveTable& table, const QString& typed, const QString& base,
                         QString* problem = nullptr);
// TypedToDrivePath over the namespace's drive table, relative to its
// current directory.
QString TypedToDrivePath(vfs::VFS_NAMESPACE& vfs, const QString& typed, QString* problem = nullptr);
// A drive path as a Linux user knows it: its host path ("C:\srv\a.kwi" ->
// "/srv/a.kwi"); the path itself when the drive table does not map it.
QString ShownPath(const drives::DriveTable& table, const QString& path);
QString ShownPath(vfs::VFS_NAMESPACE& vfs, const QString& path);

// The image a copied item comes from: the image itself or a partition's
// image; empty for none or any other kind.
QString SourceImagePath(const VtfeItem* item);
// Whether the item is a partition under "Hidden Partitions" ("\\.\diskN.partM").
bool IsHiddenPartitionItem(const VtfeItem* item);
// Whether the item lies on a hidden partition whose files may not be
// changed (its disk is read-only, or Linux uses the partition): nothing is
// dropped, pasted or deleted there.
bool OnReadOnlyHiddenPartition(const VtfeItem* item);
// The change file beside an image: D:\imgs\sys.old.kwi -> D:\imgs\sys.kwx.
QString ChangeFilePath(const QString& imagePath);
// Deletes an image set of the older format: the file, its ".KWU" first
// volume and its continuation files (name.002, name.003, ... up to the
// first missing one), the name taken without its last extension. Only for
// a file known to be such an image: the neighbours of any other file are
// not its own.
bool DeleteImageFiles(vfs::VFS_NAMESPACE& vfs, const QString& imagePath);
// The image filter of the file dialogs ("Name (*.x)|*.x|...") in the form
// the Qt file dialogs read ("Name (*.x);;...").
QString QtFileFilter(const QString& filter);

// "DATA (C:)" -> "C:"; "DATA (disk2.part1)" -> "\\.\disk2.part1".
QString DrivePathFromText(const QString& caption);

// Adds drive items under the "My Computer" node for drives it does not show
// yet; the number of drives added.
int BuildDriveItems(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list,
                    QTreeWidgetItem* myComputer);
// Adds items for the partitions without drive letters that the namespace
// names ("\\.\diskN.partM") under the node; the number added.
int BuildHiddenPartitionItems(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list,
                              QTreeWidgetItem* hiddenRoot);

// True when the folder exists or the user let it be created and it was.
bool EnsureDirectory(ExplorerHost* host, const QString& path);
// Creates the folder and the folders above it that are missing; each one
// made is synced in its parent before it returns true.
bool CreateDirectoryPath(vfs::VFS_NAMESPACE& vfs, const QString& path);
// The folders of dir (a drive path) that do not exist yet, the deepest first.
QStringList MissingFolders(vfs::VFS_NAMESPACE& vfs, QString dir);

} // namespace kw::app

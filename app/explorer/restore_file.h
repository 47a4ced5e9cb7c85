// Restoring files out of an open image to a folder of the machine: one
// file with its overwrite questions, and the state one restore command
// keeps across its files (answers given "to all", names that were skipped).
#pragma once

#include "engine/core/kwret.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <set>
#include <string>

class IMGACCESS;

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

class ProgressView;
class UiServices;

// Folders a restore goes down into, one inside the other.
inline constexpr int kMaxRestoreDepth = 128;

// Code of a file inside the image that cannot be opened.
inline constexpr kwRet ERR_SOURCE_OPEN = 110;

// One restore command's state; a new one (all answers "ask") per command.
// It shows progress in, and hears Cancel from, the progress it is given
// (none: no progress is shown and nothing cancels).
struct RestoreContext {
    RestoreContext(UiServices& u, vfs::VFS_NAMESPACE& v, ProgressView* p = nullptr)
        : ui(u), vfs(v), progress(p) {}
    UiServices& ui;
    vfs::VFS_NAMESPACE& vfs;
    ProgressView* progress;
    bool severalFiles = false; // the questions offer "Yes to All" / "No to All"
    enum class Remembered { Ask, Yes, No };
    Remembered readOnly = Remembered::Ask;
    Remembered overwrite = Remembered::Ask;
    QStringList skipped;    // names that cannot be a file name here
    QStringList failures;   // every failure of this restore, one line each
    bool skipAll = false;   // the user chose to skip every further failure
    bool cancelled = false; // the user chose to stop at a failure
    int depth = 0;          // folders being restored, one inside the other
    int reported = 0;       // failures already shown to the user
    // Folders whose entries changed (a file put in place, a folder made)
    // and are not synced yet; folders already cleared of leftovers.
    std::set<QString> unsynced, cleared;
    // What the restore has to copy (counted before it starts) and what it
    // copied: the bar moves by bytes, each file counting as kFileWeight more.
    uint64_t totalFiles = 0, totalBytes = 0, doneFiles = 0, doneBytes = 0;
    static constexpr uint64_t kFileWeight = 64 * 1024;

    // Moves the progress bar after bytes more were copied, or a file was
    // finished (copied, skipped or failed) with fileEnded.
    void Advance(uint64_t bytes, bool fileEnded);
    // Whether the user asked the restore to stop.
    bool StopRequested() const;
    // Shows the name being restored (and lets the window show it).
    void ShowName(const QString& name);

    // Notes one failure of this restore and counts it. With several files
    // the user is asked to skip it, to skip every further one or to stop
    // (then `cancelled` is set); for one file it is shown with OK.
    void ReportFailure(const QString& text);
    // After a restore of several files with more than one failure (or with
    // failures skipped unseen): one box that lists every failure.
    void ReportFailures();
    // Tells the user once about the skipped names.
    void ReportSkipped();
    // Syncs every changed folder once, so that what was restored survives a
    // power loss; each folder that fails is shown. 0, else ERR_FILE_WRITE.
    kwRet SyncFolders();
    // The first time this restore writes into folder: removes what an
    // interrupted restore left there (files named like its temporary copies,
    // "~NAME.XXXXXXXX.kwpart" with eight hex digits) and logs each one.
    void ClearLeftovers(const QString& folder);
};

// Adds the files below folder (a folder inside the image, at most maxDepth
// levels down) and their bytes to the context's totals.
void CountFiles(RestoreContext& ctx, IMGACCESS* access, const std::string& folder, int maxDepth);

// Whether a name is one of a restore's temporary copies: "~", a name, ".",
// eight lowercase hex digits, ".kwpart".
bool IsTemporaryCopyName(const std::string& name);

// True when a name read from an image may become a file or folder name in
// a host folder: not empty, not "." or "..", no "\", "/", ":" and no
// control characters.
bool SafeEntryName(const std::string& name);

// A host path (drive form) of name in folder.
QString JoinHostPath(const QString& folder, const QString& name);

// Copies the file sourceFolder + name out of the image into destFolder
// under the same name, with its attributes and time. The copy is written
// under a temporary name of its own (never an existing file's), given its
// time and attributes, made durable with them, and then put in the
// destination's place in one step, so an existing file stays whole until a
// whole copy replaces it, and a failed or cancelled copy leaves the folder
// as it was. The folder itself is synced by the context's SyncFolders. Each failure is shown once,
// naming the file and the reason. 0 also when the user chose to skip the
// file; 7 cancelled; ERR_SOURCE_OPEN, ERR_IMG_READ (also when the file's
// length is not the listed size), ERR_FILE_WRITE (the copy cannot be
// created, written or put in place).
kwRet RestoreFile(RestoreContext& ctx, IMGACCESS* access, const std::string& sourceFolder,
                  const std::string& name, const QString& destFolder, uint32_t attributes,
                  uint64_t time, uint64_t size);

} // namespace kw::app

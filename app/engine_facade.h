// The one door through which the editor's windows reach the engine: set-up,
// start on the machine's disks and stop. Widgets never call the engine's
// disk or file functions directly.
#pragma once

#include "engine/core/kwret.h"

#include <memory>
#include <string>
#include <vector>

class IMGACCESS;
struct PARTITION_INFO;
class IMGACCESS_UI_CALLBACK;
class MEDIA_CHANGE_CALLBACK;

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

// The engine as the main window sees it. Open sets it up, Start opens it on
// the machine's disks (the program's arguments carry the engine's switches),
// Stop undoes both; Stop is harmless when nothing was started.
class EngineFacade {
public:
    virtual ~EngineFacade() = default;
    virtual kwRet Open(uint32_t major, uint32_t minor) = 0;
    virtual kwRet Start(const std::vector<std::string>& args) = 0;
    virtual kwRet Stop() = 0;
    virtual bool Started() const = 0;
    // Offers the partitions of the started engine's disks that Linux has not
    // mounted as "\\.\diskN.partM" paths of the namespace, until Stop.
    virtual void ServeHiddenPartitions(vfs::VFS_NAMESPACE& ns) { (void)ns; }
};

// The engine of this program.
std::unique_ptr<EngineFacade> MakeEngineFacade();

// The percent of the outermost progress level the engine reports.
uint32_t EngineProgressPercent();
// Asks the engine's running operation to stop: it hears it at its next
// progress call, on whatever thread it runs. Off again when the operation
// has ended (or before the next one starts).
void SetEngineCancel(bool on);
bool EngineCancelSet();

// Opens the image at hostPath for browsing (one reference for the caller);
// null with *code on failure (7 when the user cancelled a prompt).
IMGACCESS* OpenImageAccess(const std::string& hostPath, const std::string& changeFile,
                           IMGACCESS_UI_CALLBACK* callback, uint32_t* code);
// Why the last listing of a folder inside the image ended: 0 when it reached
// the end (an empty folder), else the code of the failed read.
kwRet ImageListingError(IMGACCESS* access);
// Whether the engine reads folders and files of this file-system kind.
bool FileSystemHasFiles(uint32_t fsKind);
// Reads and checks every part record and chunk of the image at hostPath;
// 0 when it is sound, 7 when the user cancelled, else the first fault.
int32_t VerifyImage(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback);
// The partition a "\\.\diskN.partM" path names when the hidden-partition
// provider serves it (not mounted, a file system it reads), else null.
PARTITION_INFO* HiddenPartition(const std::string& path);
// Whether files of that partition may be changed (its disk is writable and
// Linux does not use it).
bool HiddenPartitionWritable(const std::string& path);
// Writes a line to the engine's log.
void LogLine(const std::string& line);
// The engine's text for a return code (empty when it has none).
std::string ErrorText(kwRet code);
// The name a partition's file system is shown by: its file-system kind
// first, then its partition-table type; empty when neither has one.
std::string FileSystemName(uint32_t fsKind, uint32_t partitionType);

} // namespace kw::app

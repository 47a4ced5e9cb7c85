// The drive table: the system keeps the Windows path model (drive letters,
// "\") and this table maps each letter onto a host folder. C: is "/", H: is
// $HOME, further mounted real file systems (block-device, network and optical
// mounts, not pseudo file systems) take D:, E:, ... in mount-point order, and
// the [Drives] section of the settings file may pin letters ("P=/srv/data").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kw::drives {

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;       // the folder of the file system mounted here
    std::string mountPoint; // unescaped
    std::string fsType;
    std::string source; // unescaped ("/dev/sda1", "//srv/share", ...)
};

// Parses one mountinfo line; false (and *out untouched) for a malformed line.
bool ParseMountInfoLine(std::string_view line, MountEntry* out);
// Parses a whole mountinfo text, skipping malformed lines.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// True for file systems that get a drive letter: block devices, network and
// optical file systems.
bool IsRealFileSystem(const MountEntry& entry);
bool IsNetworkFileSystem(std::string_view fsType);
bool IsOpticalFileSystem(std::string_view fsType);

enum class DriveKind { Fixed, Removable, Remote, CdRom };

// One lettered drive.
struct DRIVE {
    char letter = 0;
    std::string root; // host folder, absolute, no trailing "/" except for "/"
    // The mount that holds the root.
    std::string mountPoint;
    std::string fsType;
    std::string source;
    unsigned major = 0;
    unsigned minor = 0;
};

// What a table is built from; FromHost fills it from the running system.
struct DriveSources {
    std::string mountInfo;                          // text of /proc/self/mountinfo
    std::string home;                               // $HOME ("" for none)
    std::vector<std::pair<char, std::string>> pins; // letter -> host folder
    std::string sysRoot = "/sys";                   // sysfs, for removable and optical probes
    std::string devRoot = "/dev";                   // for /dev/disk/by-label
    // Skip mount points that are not folders (files bind-mounted into a container).
    bool directoriesOnly = false;
};

// Owns the letter -> host folder map of one process (or of a test) and the
// conversions between drive paths and host paths.
class DriveTable {
public:
    static DriveTable Build(const DriveSources& sources);
    // Built from /proc/self/mountinfo, $HOME and the settings file's [Drives].
    static DriveTable FromSystem();
    // The sources FromSystem builds from.
    static DriveSources SystemSources();
    // The process's table, built on first use.
    static const DriveTable& Process();
    // Replaces the process's table (tests, or after mounts changed).
    static void SetProcess(std::shared_ptr<const DriveTable> table);

    const DRIVE* Find(char letter) const;                        // either case; null when absent
    const std::vector<DRIVE>& Drives() const { return drives_; } // in letter order

    // Drive path to host path: "X:\a\b" -> "<root of X>/a/b"; "X:" -> root;
    // "\a" is rooted on the current directory's drive; "X:rel" and "rel" are
    // resolved against the current directory; "\\srv\share\x" through a
    // mounted network share. Already-POSIX absolute paths ("/x") pass as they
    // are. False for a letter without a drive or an unknown share.
    bool ToHost(std::string_view path, std::string* host) const;
    // Host path to drive path of the longest matching root: "/home/u/a" ->
    // "H:\a". Relative host paths are taken from the current directory. False
    // when a component contains "\" (it cannot be addressed) or no root matches.
    bool FromHost(std::string_view hostPath, std::string* path) const;

    DriveKind Kind(char letter) const;
    // Drive flags of the namespace (removable 0x01 / 0x11 for A-C, remote 0x02,
    // CD-ROM 0x0D, fixed 0); false when the letter has no drive.
    bool DriveFlags(char letter, uint32_t* flags) const;
    bool Label(char letter, std::string* label) const;
    // "\\srv\share" of a network drive; false for others.
    bool NetworkName(char letter, std::string* name) const;

private:
    const MountEntry* MountOf(const std::string& hostPath) const;
    bool ShareToHost(std::string_view path, std::string* host) const;
    bool BlockDevicePath(const DRIVE& d, std::string* sysDir) const;

    std::vector<DRIVE> drives_;
    std::vector<MountEntry> mounts_;
    std::string sysRoot_;
    std::string devRoot_;
};

} // namespace kw::drives

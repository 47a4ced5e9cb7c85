// kwfs: a thin shell over the engine's own calls that lists and reads FAT
// volumes, for comparing the engine with the Debian tools.
//
//   kwfs ls [--hash] SOURCE   one JSON object per entry, sorted by path
//   kwfs cat SOURCE PATH      one file's bytes to standard output
//   kwfs put SOURCE PATH      standard input into the file (created or replaced;
//                             refused with 2008 before an existing file is
//                             emptied when the bytes cannot fit)
//   kwfs rm SOURCE PATH       deletes one file (on NTFS also an empty folder)
//   kwfs parts disk:FILE      the disk's partition records, one JSON object
//                             each, in the engine's order; "number" is the N
//                             of disk:FILE:N
//
// A command on part: or disk: holds the volume's lock from start to end: a
// second command on the same volume meanwhile fails with 27.
//
// SOURCE is part:FILE, disk:FILE:N (N from 1, see kwfs_source.h) or
// image:FILE:N (N from 0, as the image names its partitions). On any failure the
// engine's code and text go to standard error and the exit status is 1;
// nothing is printed to standard output before the whole walk succeeded.
// ls --hash is the exception: a file it cannot read gets "error": CODE in
// place of its digest, the walk goes on, and the exit status is 3.
#include "engine/core/codepage.h"
#include "engine/core/errtext.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/pi_report.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/host/fs_modules.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "kwjson.h"
#include "tests/tools/kwfs/kwfs_image.h"
#include "tests/tools/kwfs/kwfs_source.h"
#include "tests/tools/kwfs/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// A folder deeper than this means a directory loop.
constexpr int kMaxDepth = 256;
constexpr uint32_t kChunk = 1 << 20;

using Row = KwfsRow;

// The path inside the volume in the engine's form.
std::string EnginePath(const std::string& path) {
    std::string out = "\\" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

kwRet HashFile(FILESYSTEM* fs, const std::string& path, std::string* digest);

kwRet Walk(FILESYSTEM* fs, const std::string& shown, int depth, bool hash, std::vector<Row>& rows) {
    if (depth > kMaxDepth)
        return ERR_BAD_SUBDIRECTORY;
    DIRLIST list;
    list.SetWantTimes(true);
    kwRet rc = fs->ListDirectory(&list, EnginePath(shown).c_str(), LIST_LONG_NAMES);
    for (uint32_t i = 0; rc == KW_OK && i < list.GetCount(); ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0)
            continue;
        Row row;
        row.path = shown.empty() ? e->name : shown + "/" + e->name;
        row.dir = (e->attributes & DIR_ATTR_DIRECTORY) != 0;
        row.size = e->Size();
        row.date = e->date;
        row.time = e->time;
        row.attrs = e->attributes;
        row.shortName = e->shortName;
        if (row.dir) {
            rc = Walk(fs, row.path, depth + 1, hash, rows);
        } else if (hash) {
            // A file that cannot be read is reported in its row; the walk goes on.
            row.error = HashFile(fs, row.path, &row.sha);
        }
        rows.push_back(std::move(row));
    }
    return rc;
}

void PrintRow(const Row& r, bool hash) {
    std::string attrs;
    if (r.attrs & DIR_ATTR_READONLY)
        attrs += 'R';
    if (r.attrs & DIR_ATTR_HIDDEN)
        attrs += 'H';
    if (r.attrs & DIR_ATTR_SYSTEM)
        attrs += 'S';
    if (r.attrs & DIR_ATTR_ARCHIVE)
        attrs += 'A';
    char mtime[32];
    std::snprintf(mtime, sizeof mtime, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + r.date.year,
                  r.date.month, r.date.day, r.time.hour, r.time.minute, r.time.second);
    std::string line = "{\"path\": " + kwjson::Quote(r.path) + ", \"kind\": \"" +
                       (r.dir ? "dir" : "file") +
                       "\", \"size\": " + (r.dir ? "null" : std::to_string(r.size)) +
                       ", \"mtime\": \"" + mtime + "\", \"attrs\": \"" + attrs + "\"";
    if (!r.shortName.empty())
        line += ", \"short\": " + kwjson::Quote(r.shortName);
    if (hash && !r.dir && r.error != KW_OK)
        line += ", \"error\": " + std::to_string(r.error);
    else if (hash && !r.dir)
        line += ", \"sha256\": \"" + r.sha + "\"";
    std::printf("%s}\n", line.c_str());
}

// Calls back with each piece of one file's bytes, read through the
// engine's file objects.
template <class Sink> kwRet ReadFile(FILESYSTEM* fs, const std::string& path, Sink sink) {
    FILE_BASE* file = nullptr;
    kwRet rc = kwFileOpen(&file, EnginePath(path).c_str(), FILE_MODE_READ | FILE_MODE_BINARY,
                          fs->GetPI(), nullptr, 0);
    if (rc != KW_OK)
        return rc;
    static std::vector<uint8_t> buffer(kChunk); // one for all files of a walk
    for (;;) {
        uint32_t done = 0;
        rc = kwFileRead(file, buffer.data(), kChunk, &done);
        if (rc == ERR_FILE_SHORT_READ)
            rc = KW_OK;
        if (rc != KW_OK || done == 0)
            break;
        rc = sink(buffer.data(), done);
        if (rc != KW_OK)
            break;
    }
    kwRet closed = kwFileClose(file, 0, nullptr);
    return rc != KW_OK ? rc : closed;
}

kwRet HashFile(FILESYSTEM* fs, const std::string& path, std::string* digest) {
    Sha256 sha;
    kwRet rc = ReadFile(fs, path, [&](const uint8_t* p, uint32_t n) {
        sha.Update(p, n);
        return KW_OK;
    });
    *digest = sha.HexDigest();
    return rc;
}

// Prints the rows sorted by path; kUnreadFiles when --hash met a file it
// could not read.
constexpr kwRet kUnreadFiles = 0xFFFFFFF3;

kwRet PrintRows(std::vector<Row>& rows, bool hash) {
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.path < b.path; });
    bool unread = false;
    for (const Row& r : rows) {
        PrintRow(r, hash);
        unread = unread || r.error != KW_OK;
    }
    return unread ? kUnreadFiles : KW_OK;
}

kwRet List(FILESYSTEM* fs, bool hash) {
    std::vector<Row> rows;
    kwRet rc = Walk(fs, "", 0, hash, rows);
    return rc != KW_OK ? rc : PrintRows(rows, hash);
}

kwRet Cat(FILESYSTEM* fs, const std::string& path) {
    return ReadFile(fs, path, [](const uint8_t* p, uint32_t n) {
        return std::fwrite(p, 1, n, stdout) == n ? KW_OK : ERR_FILE_WRITE;
    });
}

// Standard input as a file that can be measured: itself when it is one,
// else a copy in a temporary file. Null with *rc on failure.
FILE* MeasurableInput(kwRet* rc) {
    struct stat st {};
    if (fstat(fileno(stdin), &st) == 0 && S_ISREG(st.st_mode))
        return stdin;
    FILE* copy = std::tmpfile();
    std::vector<uint8_t> buffer(kChunk);
    size_t n = 0;
    while (copy != nullptr && (n = std::fread(buffer.data(), 1, kChunk, stdin)) > 0) {
        if (std::fwrite(buffer.data(), 1, n, copy) != n) {
            std::fclose(copy);
            copy = nullptr;
        }
    }
    if (copy == nullptr || std::ferror(stdin) || std::fseek(copy, 0, SEEK_SET) != 0) {
        if (copy != nullptr)
            std::fclose(copy);
        *rc = ERR_FILE_READ;
        return nullptr;
    }
    return copy;
}

// Refuses a put that cannot fit before the old file is emptied: the clusters
// free now and those the old file gives back must hold the new bytes.
kwRet CheckRoom(FILESYSTEM* fs, FILE_BASE* file, FILE* in) {
    auto* fat = dynamic_cast<FAT_FILESYSTEM*>(fs);
    struct stat st {};
    if (fat == nullptr || fat->GetBootRecord() == nullptr || fstat(fileno(in), &st) != 0)
        return KW_OK;
    uint64_t cluster = fat->GetBootRecord()->BytesPerCluster();
    uint64_t old = 0;
    if (kwFileGetSize(file, &old) != KW_OK)
        old = 0;
    uint64_t pos = static_cast<uint64_t>(std::max<off_t>(ftello(in), 0));
    uint64_t need = (static_cast<uint64_t>(st.st_size) - pos + cluster - 1) / cluster;
    uint64_t have = fat->GetFat()->CountFreeClusters() + (old + cluster - 1) / cluster;
    return need > have ? ERR_FAT_NO_SPACE : KW_OK;
}

// Standard input into the file, which is created or emptied first; a put
// that cannot fit leaves an existing file as it was.
kwRet Put(FILESYSTEM* fs, const std::string& path) {
    kwRet rc = KW_OK;
    FILE* in = MeasurableInput(&rc);
    if (in == nullptr)
        return rc;
    FILE_BASE* file = nullptr;
    rc = kwFileOpen(&file, EnginePath(path).c_str(), FILE_MODE_CREATE_ALWAYS | FILE_MODE_BINARY,
                    fs->GetPI(), nullptr, 0);
    if (rc == KW_OK)
        rc = CheckRoom(fs, file, in);
    if (rc == KW_OK)
        rc = kwFileSetSize(file, 0, 0);
    // No larger than the input: a small file needs no megabyte of buffer.
    struct stat st {};
    size_t chunk = kChunk;
    if (fstat(fileno(in), &st) == 0 && st.st_size >= 0 && st.st_size < off_t{kChunk})
        chunk = std::max<size_t>(static_cast<size_t>(st.st_size), 1);
    std::vector<uint8_t> buffer(chunk);
    while (rc == KW_OK) {
        size_t n = std::fread(buffer.data(), 1, chunk, in);
        if (n == 0) {
            rc = std::ferror(in) ? ERR_FILE_READ : KW_OK;
            break;
        }
        uint32_t done = 0;
        rc = kwFileWrite(file, buffer.data(), static_cast<uint32_t>(n), &done);
    }
    kwRet closed = file != nullptr ? kwFileClose(file, 0, nullptr) : KW_OK;
    if (in != stdin)
        std::fclose(in);
    return rc != KW_OK ? rc : closed;
}

kwRet Remove(FILESYSTEM* fs, const std::string& path) {
    if (auto* ntfs = dynamic_cast<NTFS_FILESYSTEM*>(fs); ntfs != nullptr)
        return ntfs->DeleteFile(EnginePath(path).c_str());
    FILE_BASE* file = nullptr;
    kwRet rc =
        kwFileOpen(&file, EnginePath(path).c_str(), FILE_MODE_NO_OPEN, fs->GetPI(), nullptr, 0);
    if (rc != KW_OK)
        return rc;
    rc = file->Delete();
    kwRet closed = kwFileClose(file, 0, nullptr);
    return rc != KW_OK ? rc : closed;
}

// The volume's lock for one command.
class VolumeLock {
public:
    ~VolumeLock() {
        if (locked_)
            kwLogUnlock(handle_, 0);
        if (handle_ != FS_NO_HANDLE)
            kwLogClose(handle_);
    }
    kwRet Take(PARTITION_INFO* pi) {
        kwRet rc = kwLogOpen(pi, &handle_);
        if (rc != KW_OK) {
            handle_ = FS_NO_HANDLE;
            return rc;
        }
        rc = kwLogLock(handle_);
        locked_ = rc == KW_OK;
        return rc;
    }

private:
    kwhandle handle_ = FS_NO_HANDLE;
    bool locked_ = false;
};

int Usage() {
    std::fprintf(stderr, "usage: kwfs ls [--hash] [--password P] SOURCE\n"
                         "       kwfs cat [--password P] SOURCE PATH\n"
                         "       kwfs put SOURCE PATH < FILE\n"
                         "       kwfs rm SOURCE PATH\n"
                         "       kwfs copy [--password P] [--low|--high] SRC.kwi:N DST.kwi\n"
                         "       kwfs parts disk:FILE\n"
                         "SOURCE: part:FILE         a file holding one volume\n"
                         "        disk:FILE:N       partition N of a disk-image file, from 1,\n"
                         "                          the \"number\" that kwfs parts lists\n"
                         "        image:FILE:N      partition N of an image, from 0, as the\n"
                         "                          image names it (\\PartitionN); so is\n"
                         "                          SRC.kwi:N of kwfs copy\n");
    return 2;
}

// Takes "--name VALUE" out of the arguments; empty when absent.
std::string TakeOption(std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) {
            std::string value = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            return value;
        }
    }
    return {};
}

// Takes "--name" out of the arguments; true when it was there.
bool TakeFlag(std::vector<std::string>& args, const std::string& name) {
    auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end())
        return false;
    args.erase(it);
    return true;
}

kwRet ImageCommand(const std::vector<std::string>& args, bool hash, const std::string& password) {
    KwfsImage image;
    if (args[0] == "put" || args[0] == "rm")
        return ERR_IMG_READ_ONLY; // partitions inside images are browsed, never changed
    kwRet rc = image.Open(args[1], password);
    if (rc != KW_OK)
        return rc;
    if (args[0] == "cat")
        return image.Read(args[2], [](const uint8_t* p, uint32_t n) {
            return std::fwrite(p, 1, n, stdout) == n ? KW_OK : ERR_FILE_WRITE;
        });
    std::vector<Row> rows;
    rc = image.Walk(hash, rows);
    return rc != KW_OK ? rc : PrintRows(rows, hash);
}

// The enumeration of a disk-image file as the engine sees it.
kwRet Parts(const std::string& source) {
    KwfsSource disk;
    kwRet rc = disk.OpenDisk(source);
    if (rc != KW_OK)
        return rc;
    std::string lines = PartitionsAsJsonLines(disk.Disk());
    return std::fwrite(lines.data(), 1, lines.size(), stdout) == lines.size() ? KW_OK
                                                                              : ERR_FILE_WRITE;
}

int Fail(kwRet rc) {
    if (rc == kUnreadFiles) {
        std::fprintf(stderr, "kwfs: some files could not be read\n");
        return 3;
    }
    std::fprintf(stderr, "kwfs: error %lu: %s\n", static_cast<unsigned long>(rc),
                 kwGetErrorTextA(rc).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    enInstallFsModules();
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string password = TakeOption(args, "--password");
    uint32_t createFlags = 0;
    if (TakeFlag(args, "--high"))
        createFlags = KW_CREATE_HIGH_COMPRESSION;
    else if (TakeFlag(args, "--low"))
        createFlags = KW_CREATE_LOW_COMPRESSION;
    if (args.size() == 3 && args[0] == "copy") {
        cpLoadBuiltinTables(CPKIND_UTF8);
        kwRet rc = KwfsCopy(args[1], args[2], password, createFlags);
        return rc == KW_OK ? 0 : Fail(rc);
    }
    if (args.size() == 2 && args[0] == "parts") {
        cpLoadBuiltinTables(CPKIND_UTF8);
        kwRet rc = Parts(args[1]);
        if (rc == KW_OK && std::fflush(stdout) != 0)
            rc = ERR_FILE_WRITE;
        return rc == KW_OK ? 0 : Fail(rc);
    }
    bool hash = args.size() > 1 && args[0] == "ls" && args[1] == "--hash";
    if (hash)
        args.erase(args.begin() + 1);
    const std::string& command = args.empty() ? "" : args[0];
    bool onePath = command == "cat" || command == "put" || command == "rm";
    if ((command == "ls" && args.size() != 2) || (onePath && args.size() != 3) ||
        (command != "ls" && !onePath))
        return Usage();
    cpLoadBuiltinTables(CPKIND_UTF8);
    if (IsImageSource(args[1])) {
        kwRet rc = ImageCommand(args, hash, password);
        if (rc == KW_OK && std::fflush(stdout) != 0)
            rc = ERR_FILE_WRITE;
        return rc == KW_OK ? 0 : Fail(rc);
    }
    KwfsSource source;
    kwRet rc = source.Open(args[1]);
    if (rc != KW_OK)
        return Fail(rc);
    // A command holds the volume from before its FAT is read to the end:
    // another writer is refused (ERR_CANNOT_LOCK) rather than working from a
    // FAT this one changes, and no reader sees a write half done. The files
    // opened inside then find the lock taken and need not take it each.
    VolumeLock lock;
    rc = lock.Take(source.Partition());
    if (rc != KW_OK)
        return Fail(rc);
    FILESYSTEM* fs = nullptr;
    rc = OpenFileSystem(source.Partition(), &fs, FS_OPEN_SHARED, 0);
    if (rc == KW_OK)
        rc = fs->Init();
    if (rc == KW_OK) {
        if (command == "ls")
            rc = List(fs, hash);
        else if (command == "cat")
            rc = Cat(fs, args[2]);
        else if (command == "put")
            rc = Put(fs, args[2]);
        else
            rc = Remove(fs, args[2]);
    }
    CloseFileSystem(&fs);
    if (rc == KW_OK && std::fflush(stdout) != 0)
        rc = ERR_FILE_WRITE;
    return rc == KW_OK ? 0 : Fail(rc);
}

#include "platform/files/sysfile.h"

#include "include/filetime.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

namespace kw::sys {
namespace {

// FILETIME of 1970-01-01 00:00:00.

// Opens an existing regular file. O_NONBLOCK keeps a FIFO from blocking the
// open; it is cleared again once the file is known to be regular.
int OpenRegular(const std::string& host, int access) {
    int fd = ::open(host.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint32_t AttributesOf(const struct stat& st, const char* name) {
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode))
        a |= vfs::ATTR_DIRECTORY;
    else
        a |= vfs::ATTR_ARCHIVE;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        a |= vfs::ATTR_READONLY;
    if (name && name[0] == '.')
        a |= vfs::ATTR_HIDDEN;
    return a;
}

const char* BaseName(const std::string& host) {
    size_t end = host.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t slash = host.rfind('/', end);
    return host.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

void FillEntry(const struct stat& st, const char* name, vfs::VFS_ENTRY* e) {
    e->attributes = AttributesOf(st, name);
    e->time = sysToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    e->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
}

} // namespace

int sysOpenFile(const std::string& host) {
    return OpenRegular(host, O_RDWR);
}

int sysOpenFileReadOnly(const std::string& host) {
    return OpenRegular(host, O_RDONLY);
}

int sysCreateFile(const std::string& host) {
    return ::open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}

bool sysCloseFile(int fd) {
    return fd >= 0 && ::close(fd) == 0;
}

bool sysGetPosition(int fd, uint64_t* position) {
    off_t p = ::lseek(fd, 0, SEEK_CUR);
    if (p < 0)
        return false;
    if (position)
        *position = static_cast<uint64_t>(p);
    return true;
}

bool sysSetPosition(int fd, uint64_t position) {
    if (position > static_cast<uint64_t>(INT64_MAX))
        return false;
    return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool sysGetSize(int fd, uint64_t* size) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    if (size)
        *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool sysSetSize(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX))
        return false;
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool sysRead(int fd, void* buffer, size_t count, size_t* done) {
    size_t got = 0;
    bool ok = true;
    while (got < count) {
        ssize_t n = ::read(fd, static_cast<char*>(buffer) + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (done)
        *done = got;
    return ok;
}

bool sysReadAll(int fd, std::string* text, size_t limit, ReadFn readFn) {
    text->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = readFn(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return true;
        if (n < 0 || text->size() + static_cast<size_t>(n) > limit) {
            text->clear();
            return false;
        }
        text->append(buf, static_cast<size_t>(n));
    }
}

bool sysReadFile(const std::string& host, std::string* text, size_t limit) {
    text->clear();
    int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = sysReadAll(fd, text, limit);
    ::close(fd);
    return ok;
}

bool sysWrite(int fd, const void* buffer, size_t count, size_t* done) {
    size_t put = 0;
    bool ok = true;
    while (put < count) {
        ssize_t n = ::write(fd, static_cast<const char*>(buffer) + put, count - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            // A full disk or file-size limit is reported as a short write.
            ok = (errno == ENOSPC || errno == EFBIG || errno == EDQUOT);
            break;
        }
        if (n == 0)
            break;
        put += static_cast<size_t>(n);
    }
    if (done)
        *done = put;
    return ok;
}

uint64_t sysGetTime(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return 0;
    return sysToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

bool sysSetTime(int fd, uint64_t filetime) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    int64_t sec;
    long nsec;
    sysFromFileTime(filetime, &sec, &nsec);
    ts[1].tv_sec = static_cast<time_t>(sec);
    ts[1].tv_nsec = nsec;
    return ::futimens(fd, ts) == 0;
}

bool sysFlush(int fd) {
    int r;
    do {
        r = ::fdatasync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool sysSync(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

void sysStartWriteback(int fd, uint64_t offset, uint64_t length) {
    ::sync_file_range(fd, off64_t(offset), off64_t(length), SYNC_FILE_RANGE_WRITE);
}

bool sysSyncFolder(const std::string& host) {
    const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    ::close(fd);
    return r == 0;
}

bool sysTryLock(int fd) {
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool sysGetAttributes(const std::string& host, uint32_t* attributes) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0)
        return false;
    if (attributes)
        *attributes = AttributesOf(st, BaseName(host));
    return true;
}

bool sysSetAttributes(const std::string& host, uint32_t attributes) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & vfs::ATTR_READONLY)
        mode &= ~(S_IWUSR | S_IWGRP | S_IWOTH);
    else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        mode |= S_IWUSR;
    return mode == (st.st_mode & 07777) || ::chmod(host.c_str(), mode) == 0;
}

bool sysGetFileInfo(const std::string& host, vfs::VFS_ENTRY* info) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0)
        return false;
    if (info) {
        info->name = BaseName(host);
        FillEntry(st, info->name.c_str(), info);
    }
    return true;
}

bool sysMoveFile(const std::string& from, const std::string& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

bool sysReplaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool sysDeleteFile(const std::string& host) {
    return ::unlink(host.c_str()) == 0;
}

bool sysCreateDirectory(const std::string& host) {
    return ::mkdir(host.c_str(), 0777) == 0;
}

bool sysRemoveDirectory(const std::string& host) {
    return ::rmdir(host.c_str()) == 0;
}

bool sysDiskSpace(const std::string& host, uint64_t* total, uint64_t* free) {
    struct statvfs sv;
    if (::statvfs(host.c_str(), &sv) != 0)
        return false;
    uint64_t unit = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    if (total)
        *total = static_cast<uint64_t>(sv.f_blocks) * unit;
    if (free)
        *free = static_cast<uint64_t>(sv.f_bavail) * unit;
    return true;
}

bool sysForEachEntry(DIR* dir, const std::function<void(const struct dirent&)>& fn,
                     ReadDirFn next) {
    for (;;) {
        errno = 0;
        struct dirent* de = next(dir);
        if (de == nullptr)
            return errno == 0;
        fn(*de);
    }
}

bool sysListDirectory(const std::string& host, std::vector<vfs::VFS_ENTRY>* entries) {
    int dfd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return false;
    DIR* dir = ::fdopendir(dfd);
    if (!dir) {
        ::close(dfd);
        return false;
    }
    std::vector<vfs::VFS_ENTRY> list;
    bool complete = sysForEachEntry(dir, [&](const struct dirent& de) {
        std::string_view name = de.d_name;
        if (name == "." || name == ".." || name.find('\\') != std::string_view::npos)
            return;
        struct stat lst, st;
        if (::fstatat(dfd, de.d_name, &lst, AT_SYMLINK_NOFOLLOW) != 0)
            return; // vanished meanwhile
        vfs::VFS_ENTRY e;
        e.name = de.d_name;
        bool link = S_ISLNK(lst.st_mode);
        FillEntry(link && ::fstatat(dfd, de.d_name, &st, 0) == 0 ? st : lst, de.d_name, &e);
        if (link)
            e.attributes |= vfs::ATTR_REPARSE_POINT;
        list.push_back(std::move(e));
    });
    ::closedir(dir);
    if (!complete)
        return false;
    std::sort(list.begin(), list.end(),
              [](const vfs::VFS_ENTRY& a, const vfs::VFS_ENTRY& b) { return a.name < b.name; });
    if (entries)
        *entries = std::move(list);
    return true;
}

uint64_t sysToFileTime(int64_t seconds, long nanoseconds) {
    return kwtime::FromUnix(seconds, nanoseconds);
}

void sysFromFileTime(uint64_t filetime, int64_t* seconds, long* nanoseconds) {
    kwtime::ToUnix(filetime, seconds, nanoseconds);
}

uint64_t sysNow() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return sysToFileTime(ts.tv_sec, ts.tv_nsec);
}

namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 1601-01-01 to the first of the given month.
int64_t DaysBefore(int y, int m) {
    int64_t yy = y - 1601;
    int64_t d = yy * 365 + yy / 4 - yy / 100 + yy / 400;
    for (int i = 1; i < m; ++i)
        d += DaysIn(y, i);
    return d;
}

} // namespace

uint64_t sysMakeFileTime(const FILETIME_PARTS& p) {
    if (p.year < 1601 || p.year > 30827 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > DaysIn(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
        p.minute > 59 || p.second < 0 || p.second > 59 || p.milliseconds < 0 ||
        p.milliseconds > 999)
        return 0;
    int64_t days = DaysBefore(p.year, p.month) + p.day - 1;
    int64_t ms = ((days * 24 + p.hour) * 60 + p.minute) * 60000 + p.second * 1000 + p.milliseconds;
    return static_cast<uint64_t>(ms) * 10000;
}

bool sysFileTimeToParts(uint64_t filetime, FILETIME_PARTS* parts) {
    FILETIME_PARTS p;
    uint64_t ms = filetime / 10000;
    int64_t days = static_cast<int64_t>(ms / 86400000);
    uint64_t inDay = ms % 86400000;
    int y = 1601;
    // Whole 400-year cycles first, then years.
    y += static_cast<int>(days / 146097) * 400;
    days %= 146097;
    while (days >= (IsLeap(y) ? 366 : 365)) {
        days -= IsLeap(y) ? 366 : 365;
        ++y;
    }
    if (y > 30827) {
        if (parts)
            *parts = FILETIME_PARTS{};
        return false;
    }
    int m = 1;
    while (days >= DaysIn(y, m))
        days -= DaysIn(y, m++);
    p.year = y;
    p.month = m;
    p.day = static_cast<int>(days) + 1;
    p.hour = static_cast<int>(inDay / 3600000);
    p.minute = static_cast<int>(inDay / 60000 % 60);
    p.second = static_cast<int>(inDay / 1000 % 60);
    p.milliseconds = static_cast<int>(inDay % 1000);
    if (parts)
        *parts = p;
    return true;
}

std::string sysGetCurrentDirectory() {
    std::string buf(256, '\0');
    for (int tries = 0; tries < 16; ++tries) {
        if (::getcwd(buf.data(), buf.size())) {
            buf.resize(std::char_traits<char>::length(buf.c_str()));
            return buf;
        }
        if (errno != ERANGE)
            break;
        buf.resize(buf.size() * 2);
    }
    return {};
}

bool sysSetCurrentDirectory(const std::string& host) {
    return ::chdir(host.c_str()) == 0;
}

std::string sysHomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h)
        return h;
    if (const struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

} // namespace kw::sys

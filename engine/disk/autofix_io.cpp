#include "engine/disk/autofix_io.h"
#include "engine/core/msgformat.h"
#include "engine/core/ui_bridge.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string& BackupFolder() {
    static std::string folder;
    return folder;
}

std::string ProgramFolder() {
    std::string exe(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
    if (n <= 0 || static_cast<size_t>(n) >= exe.size())
        return ".";
    exe.resize(static_cast<size_t>(n));
    size_t slash = exe.find_last_of('/');
    return slash == 0 ? "/" : exe.substr(0, slash);
}

// One record of the backup file: "KWAFBAK1", the disk number and the sector
// (32-bit little-endian each) and the sector's 512 bytes as they were.
constexpr char kBackupMagic[8] = {'K', 'W', 'A', 'F', 'B', 'A', 'K', '1'};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

void AutoFixSetBackupFolder(const std::string& folder) {
    BackupFolder() = folder;
}

std::string AutoFixBackupPath() {
    std::string folder = BackupFolder().empty() ? ProgramFolder() : BackupFolder();
    if (folder.back() != '/')
        folder += '/';
    return folder + "AUTOFIX.BAK";
}

void AfLog(const char* format, ...) {
    if (gDbgMgr == nullptr)
        return;
    va_list args;
    va_start(args, format);
    gDbgMgr->VPrint(false, DBG_LEVEL_TRACE, format, args);
    va_end(args);
}

AF_PLAN::Item* AF_PLAN::Find(uint32_t sector) {
    for (Item& item : items_)
        if (item.sector == sector)
            return &item;
    return nullptr;
}

kwRet AF_PLAN::Sector(uint32_t sector, uint8_t** bytes) {
    Item* item = Find(sector);
    if (item == nullptr) {
        Item fresh{sector, {}, {}, true};
        kwRet rc = phyRead(disk_, sector, fresh.old.data(), 1);
        if (rc != KW_OK)
            return rc;
        fresh.bytes = fresh.old;
        items_.push_back(fresh);
        item = &items_.back();
    }
    *bytes = item->bytes.data();
    return KW_OK;
}

void AF_PLAN::Fill(uint32_t sector, const uint8_t* bytes) {
    Item* item = Find(sector);
    if (item == nullptr) {
        Item fresh{sector, {}, {}, false};
        // The old contents are still kept when they can be read.
        fresh.hasOld = phyRead(disk_, sector, fresh.old.data(), 1) == KW_OK;
        items_.push_back(fresh);
        item = &items_.back();
    }
    std::memcpy(item->bytes.data(), bytes, 512);
}

kwRet AF_PLAN::PutEntry(const AUTOFIX_ENTRY& record) {
    uint8_t* s = nullptr;
    kwRet rc = Sector(record.tableSector, &s);
    if (rc != KW_OK)
        return rc;
    std::memcpy(s + 446 + 16 * record.slot, record.entry, 16);
    return KW_OK;
}

kwRet AF_PLAN::Backup() const {
    std::string path = AutoFixBackupPath();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        AfLog("AutoFix: the old sectors cannot be kept in %s; nothing written\n", path.c_str());
        return ERR_FILE_CREATE;
    }
    bool ok = true;
    for (const Item& item : items_) {
        if (!item.hasOld)
            continue;
        uint8_t head[16];
        std::memcpy(head, kBackupMagic, 8);
        kwbytes::StoreLe32(head + 8, disk_->diskNumber);
        kwbytes::StoreLe32(head + 12, item.sector);
        ok = ok && WriteAll(fd, head, sizeof head) && WriteAll(fd, item.old.data(), 512);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        AfLog("AutoFix: the old sectors cannot be kept in %s; nothing written\n", path.c_str());
        return ERR_FILE_WRITE;
    }
    AfLog("AutoFix: the old contents of %u sector(s) of disk %u are kept in %s\n",
          static_cast<unsigned>(items_.size()), disk_->diskNumber, path.c_str());
    return KW_OK;
}

kwRet AF_PLAN::Commit() {
    if (items_.empty())
        return KW_OK;
    kwRet rc = Backup();
    for (const Item& item : items_) {
        if (rc != KW_OK)
            break;
        if (item.hasOld && item.old == item.bytes)
            continue;
        rc = phyWrite(disk_, item.sector, item.bytes.data(), 1);
        if (rc == KW_OK)
            rc = phyFlush(disk_);
    }
    items_.clear();
    return rc;
}

std::string AfMessage(uint32_t id, const std::string& s1, const std::string& s2,
                      const std::string& s3) {
    return FormatString(kwGetMessageText(id), s1.c_str(), s2.c_str(), s3.c_str());
}

std::string AfNumber(uint64_t value) {
    return std::to_string(value);
}

std::string AfTitle() {
    const char* title = kwGetUIBridge()->GetProductTitle();
    return title != nullptr ? title : "";
}

kwRet AfAskText(const DISK_RECORD* disk, const std::string& text) {
    if (!kwDiskWritable(disk)) {
        AfLog("AutoFix: disk %u cannot be written; the repair is not offered\n", disk->diskNumber);
        return ERR_WRITE_PROTECTED;
    }
    uint32_t answer = kwGetUIBridge()->MessageBox(text.c_str(), 0xC, nullptr);
    return answer == BRIDGE_ANSWER_YES ? KW_OK : ERR_USER_CANCEL;
}

kwRet AfAsk(const DISK_RECORD* disk, kwRet code, uint64_t start, const std::string& explanation) {
    std::string text =
        FormatString(kwGetMessageText(6), AfTitle().c_str(), AfNumber(code).c_str(),
                     AfNumber(start).c_str(), AfNumber(disk->diskNumber + 1u).c_str());
    text += explanation;
    text += AfMessage(7, AfTitle());
    return AfAskText(disk, text);
}

void AfTellFixed() {
    std::string caption = AfMessage(23);
    kwGetUIBridge()->MessageBox(AfMessage(22).c_str(), 1, caption.c_str());
}

void AfChs(const uint8_t* at, uint32_t* cylinder, uint32_t* head, uint32_t* sector) {
    *head = at[0];
    *sector = at[1] & 0x3Fu;
    *cylinder = ((at[1] & 0xC0u) << 2) | at[2];
}

void AfPutChs(uint8_t* at, uint32_t cylinder, uint32_t head, uint32_t sector) {
    if (cylinder > 1023)
        cylinder = 1023;
    at[0] = static_cast<uint8_t>(head);
    at[1] = static_cast<uint8_t>((sector & 0x3Fu) | ((cylinder & 0x300u) >> 2));
    at[2] = static_cast<uint8_t>(cylinder & 0xFFu);
}

bool AfIsLargePlaceholder(const DISK_RECORD* disk, uint32_t cylinder, uint32_t head,
                          uint32_t sector) {
    if (cylinder != 1023 || (sector != 63u && sector != disk->sectorsPerTrack))
        return false;
    return head == 254u || head + 1u == disk->heads;
}

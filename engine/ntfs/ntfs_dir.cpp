// NTFS_FILESYSTEM: folders. A folder's names live in its $I30 index, a
// B-tree whose root is the $INDEX_ROOT value and whose other nodes are "INDX"
// buffers of $INDEX_ALLOCATION, marked in use in the index's $BITMAP.
// Lookups descend the tree by the volume's collation (names compared through
// its upcase table); listings walk it in order. Every walk is bounded in depth
// and visits each buffer at most once, so a sub-node that points back up
// fails the folder instead of looping.
#include "engine/core/codepage.h"
#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "include/filetime.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace kw::ntfs;

namespace {

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// A B-tree deeper than this is damaged (real ones have a handful of levels).
constexpr int kMaxIndexDepth = 32;
constexpr size_t kMaxNameUnits = 255;

const uint8_t kI30[8] = {'$', 0, 'I', 0, '3', 0, '0', 0};

// "\a\b" as its components in UTF-16; false for an empty component.
bool SplitPath(const char* path, std::vector<std::u16string>* out) {
    const char* p = path;
    while (*p == '\\')
        ++p;
    while (*p != '\0') {
        const char* end = std::strchr(p, '\\');
        std::string part(p, end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p));
        if (part.empty() || part.size() > 4 * kMaxNameUnits)
            return false;
        std::vector<char16_t> wide(part.size() + 1);
        cpConvertString(CPKIND_UTF16, wide.data(), CPKIND_UTF8, part.c_str(),
                        static_cast<uint32_t>(wide.size() * 2));
        out->emplace_back(wide.data());
        if (out->back().empty() || out->back().size() > kMaxNameUnits)
            return false;
        if (end == nullptr)
            break;
        p = end + 1;
        if (*p == '\0')
            return false;
    }
    return true;
}

} // namespace

std::string NtfsNameToUtf8(Bytes name) {
    std::vector<char16_t> wide(name.size() / 2 + 1);
    for (size_t i = 0; i + 1 < wide.size(); ++i)
        wide[i] = static_cast<char16_t>(kwbytes::LoadLe16(name, 2 * i));
    wide.back() = 0;
    std::vector<char> out(wide.size() * 4 + 1);
    cpConvertString(CPKIND_UTF8, out.data(), CPKIND_UTF16, wide.data(),
                    static_cast<uint32_t>(out.size()));
    return out.data();
}

// One open folder: its record, root value, allocation and index bitmap.
struct NTFS_FILESYSTEM::Folder {
    uint64_t record = 0;
    NTFS_STREAM root;
    NTFS_STREAM allocation;
    NTFS_STREAM bitmap;
    bool hasAllocation = false;
    uint32_t bufferSize = 0;
    uint64_t vcnUnit = 0; // bytes per index VCN
    std::set<uint64_t> visited;
};

kwRet NTFS_FILESYSTEM::openFolder(uint64_t record, Folder* f) {
    f->record = record;
    RecordPtr r;
    kwRet rc = GetRecord(record, &r);
    if (rc != KW_OK)
        return rc;
    rc = LoadStream(record, ATTR_INDEX_ROOT, Bytes(kI30, 8), &f->root);
    if (rc == ERR_ATTRIBUTE_MISSING)
        return ERR_PATH_NOT_FOUND; // not a folder
    if (rc != KW_OK)
        return rc;
    if (f->root.nonResident)
        return ERR_MUST_BE_RESIDENT;
    IndexNode node;
    rc = DecodeIndexRoot(f->root.value, &f->bufferSize, &node);
    if (rc != KW_OK)
        return rc;
    rc = LoadStream(record, ATTR_INDEX_ALLOCATION, Bytes(kI30, 8), &f->allocation);
    if (rc == ERR_ATTRIBUTE_MISSING)
        return KW_OK;
    if (rc != KW_OK)
        return rc;
    f->hasAllocation = true;
    if (f->bufferSize < 512 || f->bufferSize > 65536 || (f->bufferSize & (f->bufferSize - 1)))
        return ERR_INDEX_BUFFER_SIZE;
    f->vcnUnit = f->bufferSize < geometry_.bytesPerCluster ? 512 : geometry_.bytesPerCluster;
    rc = LoadStream(record, ATTR_BITMAP, Bytes(kI30, 8), &f->bitmap);
    if (rc == KW_OK && f->bitmap.Size() > (1u << 24))
        rc = ERR_INDEX_ENTRY;
    if (rc == KW_OK && f->bitmap.nonResident) {
        NTFS_STREAM& b = f->bitmap;
        b.value.resize(b.dataSize);
        rc = ReadStream(b, 0, b.value.data(), b.value.size());
        b.nonResident = false;
    }
    return rc == ERR_ATTRIBUTE_MISSING ? KW_OK : rc;
}

kwRet NTFS_FILESYSTEM::readIndexBuffer(Folder& f, uint64_t vcn, std::vector<uint8_t>* buffer,
                                       IndexNode* node) {
    if (!f.hasAllocation) {
        DbgPrintf("No directory buffer, File %lu\n", static_cast<unsigned long>(f.record));
        return ERR_NO_INDEX_ALLOCATION;
    }
    if (vcn > (uint64_t{1} << 40) || !f.visited.insert(vcn).second)
        return ERR_INDEX_ENTRY; // a sub-node seen before: the tree loops
    uint64_t offset = vcn * f.vcnUnit;
    uint64_t number = offset / f.bufferSize;
    const auto& bits = f.bitmap.value;
    if (!bits.empty() && (number / 8 >= bits.size() || !(bits[number / 8] & (1u << (number % 8)))))
        return ERR_INDEX_ENTRY; // points at a buffer not in use
    kwRet rc = readCachedBuffer(f, vcn, offset, buffer);
    uint64_t stored = 0;
    if (rc == KW_OK)
        rc = DecodeIndexBuffer(*buffer, &stored, node);
    if (rc == KW_OK && stored != vcn)
        rc = ERR_INDEX_ENTRY;
    return rc;
}

// The buffer's bytes as stored, from the cache of the last buffers read.
kwRet NTFS_FILESYSTEM::readCachedBuffer(Folder& f, uint64_t vcn, uint64_t offset,
                                        std::vector<uint8_t>* buffer) {
    for (IndexCacheEntry& e : indexCache_) {
        if (e.record == f.record && e.vcn == vcn && e.bytes.size() == f.bufferSize) {
            e.lastUse = ++useClock_;
            *buffer = e.bytes;
            return KW_OK;
        }
    }
    buffer->resize(f.bufferSize);
    kwRet rc = ReadStream(f.allocation, offset, buffer->data(), buffer->size());
    if (rc != KW_OK)
        return rc;
    IndexCacheEntry entry{f.record, vcn, ++useClock_, *buffer};
    if (indexCache_.size() < kIndexCacheSize) {
        indexCache_.push_back(std::move(entry));
        return KW_OK;
    }
    auto oldest = std::min_element(
        indexCache_.begin(), indexCache_.end(),
        [](const IndexCacheEntry& a, const IndexCacheEntry& b) { return a.lastUse < b.lastUse; });
    *oldest = std::move(entry);
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::walkNode(Folder& f, const IndexNode& node, int depth,
                                const NameVisitor& visit, bool* stop) {
    if (depth > kMaxIndexDepth)
        return ERR_INDEX_ENTRY;
    EntryWalk walk(node.entries);
    IndexEntry e;
    kwRet rc;
    while (!*stop && (rc = walk.Next(&e)) == KW_OK) {
        if (e.flags & ENTRY_SUBNODE) {
            std::vector<uint8_t> buffer;
            IndexNode child;
            rc = readIndexBuffer(f, e.subNodeVcn, &buffer, &child);
            if (rc == KW_OK)
                rc = walkNode(f, child, depth + 1, visit, stop);
            if (rc != KW_OK)
                return rc;
        }
        if (*stop || e.key.empty())
            continue;
        NTFS_INDEX_NAME name;
        name.reference = e.reference;
        rc = DecodeFileName(e.key, &name.key);
        if (rc != KW_OK)
            return rc;
        *stop = !visit(name);
    }
    return *stop || rc == ERR_NO_MORE_NAMES ? KW_OK : rc;
}

kwRet NTFS_FILESYSTEM::walkIndex(Folder& f, const NameVisitor& visit) {
    IndexNode root;
    uint32_t unused = 0;
    kwRet rc = DecodeIndexRoot(f.root.value, &unused, &root);
    bool stop = false;
    f.visited.clear();
    return rc == KW_OK ? walkNode(f, root, 0, visit, &stop) : rc;
}

void NTFS_FILESYSTEM::loadUpcase() {
    upcaseTried_ = true;
    NTFS_STREAM s;
    const uint8_t name[1] = {0};
    if (LoadStream(10, ATTR_DATA, Bytes(name, 0), &s) != KW_OK || s.Size() != 131072)
        return;
    std::vector<uint8_t> bytes(s.Size());
    if (ReadStream(s, 0, bytes.data(), bytes.size()) != KW_OK)
        return;
    // A table that does not even upcase ASCII is not used.
    auto at = [&](size_t c) { return kwbytes::LoadLe16(bytes.data() + 2 * c); };
    for (char16_t c = u'a'; c <= u'z'; ++c) {
        if (at(c) != c - 32 || at(c - 32) != c - 32)
            return;
    }
    upcase_.resize(65536);
    for (size_t i = 0; i < upcase_.size(); ++i)
        upcase_[i] = static_cast<char16_t>(at(i));
}

// One unit upcased: ASCII as every table has it, other units through the
// volume's table, read when first needed.
char16_t NTFS_FILESYSTEM::upcase(char16_t c) {
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    if (!upcaseTried_)
        loadUpcase();
    return upcase_.empty() ? cpFoldCase(c, 2) : upcase_[c];
}

// The volume's collation of file names without case: upcased units compared
// in order, then the shorter name first.
int NTFS_FILESYSTEM::compareNames(const std::u16string& a, Bytes b) {
    size_t bn = b.size() / 2;
    for (size_t i = 0; i < a.size() && i < bn; ++i) {
        char16_t x = a[i], y = static_cast<char16_t>(kwbytes::LoadLe16(b, 2 * i));
        if (x == y)
            continue;
        x = upcase(x);
        y = upcase(y);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == bn ? 0 : (a.size() < bn ? -1 : 1);
}

// Follows the B-tree's order down from the root.
kwRet NTFS_FILESYSTEM::descend(Folder& f, const std::u16string& name, uint64_t* record) {
    IndexNode node;
    uint32_t unused = 0;
    kwRet rc = DecodeIndexRoot(f.root.value, &unused, &node);
    std::vector<uint8_t> buffer;
    f.visited.clear();
    for (int depth = 0; rc == KW_OK; ++depth) {
        if (depth > kMaxIndexDepth)
            return ERR_INDEX_ENTRY;
        EntryWalk walk(node.entries);
        IndexEntry e;
        bool down = false;
        while (!down && (rc = walk.Next(&e)) == KW_OK) {
            int order = -1;
            if (!e.key.empty()) {
                FileName key;
                rc = DecodeFileName(e.key, &key);
                if (rc != KW_OK)
                    return rc;
                order = compareNames(name, key.name);
                if (order == 0) {
                    *record = RecordNumber(e.reference);
                    return KW_OK;
                }
            }
            if (order < 0) {
                if (!(e.flags & ENTRY_SUBNODE))
                    return ERR_FILE_NOT_FOUND;
                rc = readIndexBuffer(f, e.subNodeVcn, &buffer, &node);
                down = true;
            }
        }
        if (rc == ERR_NO_MORE_NAMES)
            return ERR_FILE_NOT_FOUND;
    }
    return rc;
}

kwRet NTFS_FILESYSTEM::lookup(uint64_t folderRecord, const std::u16string& name, uint64_t* record) {
    Folder f;
    kwRet rc = openFolder(folderRecord, &f);
    if (rc == KW_OK)
        rc = descend(f, name, record);
    if (rc != ERR_FILE_NOT_FOUND)
        return rc;
    // Upcase tables in use differ only in letters beyond ASCII, so a name of
    // ASCII alone sorts alike under all of them and its descent is final
    // (a create would otherwise read the whole folder twice). A name with
    // other letters may lie elsewhere in a tree sorted by another table than
    // ours: every name is looked at then.
    if (std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x80; }))
        return ERR_FILE_NOT_FOUND;
    bool found = false;
    rc = walkIndex(f, [&](const NTFS_INDEX_NAME& n) {
        if (compareNames(name, n.key.name) != 0)
            return true;
        *record = RecordNumber(n.reference);
        found = true;
        return false;
    });
    return rc != KW_OK ? rc : (found ? KW_OK : ERR_FILE_NOT_FOUND);
}

kwRet NTFS_FILESYSTEM::FindFile(const char* path, uint64_t* record, uint64_t* parent) {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    if (path == nullptr)
        return ERR_BAD_ARGUMENT;
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts))
        return ERR_INVALID_PATH;
    uint64_t current = kRootRecord, up = kRootRecord;
    for (size_t i = 0; i < parts.size(); ++i) {
        uint64_t next = 0;
        kwRet rc = lookup(current, parts[i], &next);
        if (rc == ERR_PATH_NOT_FOUND && i > 0)
            return ERR_PATH_NOT_FOUND;
        if (rc != KW_OK)
            return rc;
        up = current;
        current = next;
    }
    if (record != nullptr)
        *record = current;
    if (parent != nullptr)
        *parent = up;
    return KW_OK;
}

namespace {

// The listing's date and time from an NT time; none before 1980 or past 2106.
void AddTimes(uint64_t ntTime, KW_DATE* date, KW_TIME* time, bool* ok) {
    *ok = false;
    const int64_t rounded = kwtime::ToUnixRounded(ntTime);
    if (ntTime < kwtime::kUnixEpoch || rounded > 0xFFFFFFFF)
        return;
    auto seconds = static_cast<uint32_t>(rounded);
    *ok = FileTimeToKwDate(seconds, date) == KW_OK && FileTimeToKwTime(seconds, time) == KW_OK;
}

} // namespace

kwRet NTFS_FILESYSTEM::ListFolder(uint64_t record, uint32_t mode, DIRLIST* list) {
    Folder f;
    kwRet rc = openFolder(record, &f);
    if (rc != KW_OK)
        return rc;
    kwRet added = KW_OK;
    rc = walkIndex(f, [&](const NTFS_INDEX_NAME& n) {
        if (RecordNumber(n.reference) < kFirstUserRecord)
            return true;
        bool dosOnly = n.key.nameSpace == NAMESPACE_DOS;
        if ((mode == 1 && dosOnly) || (mode == 2 && !(n.key.nameSpace & NAMESPACE_DOS)))
            return true;
        std::string name = NtfsNameToUtf8(n.key.name);
        uint32_t attrs = n.key.attributes &
                         (DIR_ATTR_READONLY | DIR_ATTR_HIDDEN | DIR_ATTR_SYSTEM | DIR_ATTR_ARCHIVE);
        bool folder = (n.key.attributes & FILE_ATTR_DIRECTORY_BIT) != 0;
        if (folder)
            attrs |= DIR_ATTR_DIRECTORY;
        uint64_t size = folder ? 0 : n.key.dataSize;
        KW_DATE date;
        KW_TIME time;
        bool timed = false;
        if (list->GetWantTimes())
            AddTimes(n.key.modified, &date, &time, &timed);
        added = list->AddEntry(name.c_str(), attrs, static_cast<uint32_t>(size),
                               static_cast<uint32_t>(size >> 32), timed ? &date : nullptr,
                               timed ? &time : nullptr, DIRLIST_NO_EXTRA);
        return added == KW_OK;
    });
    return added != KW_OK ? added : rc;
}

kwRet NTFS_FILESYSTEM::ListDirectory(DIRLIST* list, const char* path, uint32_t /*flags*/) {
    if (list == nullptr || path == nullptr)
        return ERR_BAD_ARGUMENT;
    uint64_t record = 0;
    kwRet rc = FindFile(path, &record, nullptr);
    if (rc == ERR_FILE_NOT_FOUND)
        return ERR_PATH_NOT_FOUND;
    if (rc != KW_OK)
        return rc;
    return ListFolder(record, 1, list);
}

// NTFS_FILESYSTEM: renaming and moving files and folders inside the volume.
//
// A name is a $FILE_NAME attribute of the record and an index entry in the
// folder it names. A rename adds the new name to the record, inserts it into
// the new folder's index, and only when that is durable takes the old name
// out of the old folder's index and then out of the record; in between the
// file simply has two names. A cut between any two writes leaves it under
// its old name, its new name or both, never under none.
#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_attribute.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_names.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

using namespace kw::ntfs;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::StoreLe16;
using kwbytes::StoreLe64;

namespace {

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// A folder chain longer than this loops.
constexpr int kMaxDepth = 1024;
constexpr uint32_t kIndexedFlag = 0x16;

// One $FILE_NAME attribute of a record image.
struct NameAttribute {
    uint32_t offset = 0;
    std::vector<uint8_t> value;
    uint64_t parent = 0;
    uint8_t nameSpace = 0;
    Bytes Name() const { return Bytes(value.data() + 66, 2u * value[64]); }
};

std::vector<NameAttribute> NamesOf(const std::vector<uint8_t>& image) {
    std::vector<NameAttribute> out;
    RecordHeader h;
    h.firstAttribute = LoadLe16(image.data() + FRS_FIRST_ATTRIBUTE);
    h.bytesInUse = LoadLe32(image.data() + FRS_BYTES_IN_USE);
    AttributeWalk walk(image, h);
    Attribute a;
    uint32_t offset = h.firstAttribute;
    while (walk.Next(&a) == KW_OK) {
        FileName f;
        if (a.type == ATTR_FILE_NAME && !a.nonResident && DecodeFileName(a.value, &f) == KW_OK) {
            NameAttribute n;
            n.offset = offset;
            n.value.assign(a.value.begin(), a.value.end());
            n.parent = RecordNumber(f.parent);
            n.nameSpace = f.nameSpace;
            out.push_back(std::move(n));
        }
        offset += LoadLe32(image.data() + offset + AR_LENGTH);
    }
    return out;
}

// The $FILE_NAME value of the new name: the old one's times, sizes and
// attributes under another name, in another folder.
std::vector<uint8_t> NewNameValue(const std::vector<uint8_t>& old, uint64_t folderReference,
                                  const std::u16string& name) {
    std::vector<uint8_t> v(old.begin(), old.begin() + 66);
    StoreLe64(v.data(), folderReference);
    v[64] = static_cast<uint8_t>(name.size());
    v[65] = IsUpperShortName(name) ? (NAMESPACE_WIN32 | NAMESPACE_DOS) : NAMESPACE_WIN32;
    v.resize(66 + 2 * name.size());
    for (size_t i = 0; i < name.size(); ++i)
        StoreLe16(v.data() + 66 + 2 * i, name[i]);
    return v;
}

// The record image with its old name (and twins) replaced by the new name:
// for a record without room for both names at once.
kwRet ReplaceName(std::vector<uint8_t>& image, const std::vector<std::vector<uint8_t>>& oldValues,
                  const std::vector<uint8_t>& value) {
    std::vector<NameAttribute> names = NamesOf(image);
    std::sort(names.begin(), names.end(),
              [](const NameAttribute& a, const NameAttribute& b) { return a.offset > b.offset; });
    for (const NameAttribute& n : names) {
        if (n.value != oldValues.front() &&
            std::find(oldValues.begin(), oldValues.end(), n.value) != oldValues.end())
            RemoveAttribute(image, n.offset);
    }
    for (const NameAttribute& n : NamesOf(image)) {
        if (n.value == oldValues.front())
            return SetResidentValue(image, n.offset, value);
    }
    return ERR_ATTRIBUTE_MISSING;
}

void AddLinks(std::vector<uint8_t>& image, int delta) {
    StoreLe16(image.data() + FRS_LINK_COUNT,
              static_cast<uint16_t>(LoadLe16(image.data() + FRS_LINK_COUNT) + delta));
}

} // namespace

// True when `folder` is `record` or lies below it.
bool NTFS_FILESYSTEM::below(uint64_t folder, uint64_t record) {
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        if (folder == record)
            return true;
        if (folder == kRootRecord)
            return false;
        std::vector<uint8_t> image;
        if (ReadRecordForChange(folder, &image) != KW_OK)
            return true; // a chain that cannot be followed is not trusted
        std::vector<NameAttribute> names = NamesOf(image);
        if (names.empty())
            return true;
        folder = names.front().parent;
    }
    return true;
}

kwRet NTFS_FILESYSTEM::RenameFile(const char* from, const char* to) {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    if (from == nullptr || to == nullptr)
        return ERR_BAD_ARGUMENT;
    uint64_t record = 0, fromFolder = 0, toFolder = 0, existing = 0;
    kwRet rc = FindFile(from, &record, &fromFolder);
    if (rc != KW_OK)
        return rc;
    std::string fromPath, oldLast, toPath, newLast;
    std::u16string oldName, newName;
    if (record < kFirstUserRecord || SplitLast(from, &fromPath, &oldLast) != KW_OK ||
        SplitLast(to, &toPath, &newLast) != KW_OK || !NtfsName(oldLast, &oldName) ||
        !NtfsName(newLast, &newName))
        return ERR_INVALID_PATH;
    RecordPtr folderBase;
    if (FindFile(toPath.c_str(), &toFolder, nullptr) != KW_OK ||
        GetRecord(toFolder, &folderBase) != KW_OK || !folderBase->header.IsDirectory())
        return ERR_PATH_NOT_FOUND;
    rc = FindFile(to, &existing, nullptr);
    if (rc == KW_OK && (existing != record || toFolder != fromFolder))
        return ERR_FILE_EXISTS;
    if (rc != KW_OK && rc != ERR_FILE_NOT_FOUND)
        return rc;
    if (toFolder == fromFolder && oldName == newName)
        return KW_OK; // the name it has
    if (toFolder != fromFolder && below(toFolder, record))
        return ERR_INVALID_PATH;
    rc = CheckWritable();
    if (rc == KW_OK)
        rc = renameLink(record, fromFolder, oldName, toFolder, newName);
    if (rc != KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM::RenameFile: FRS# %lu not renamed (error %lu)\n",
                  static_cast<unsigned long>(record), static_cast<unsigned long>(rc));
        FlushVolume();
        return rc;
    }
    return FlushVolume();
}

// The old name (and its Win32 or DOS twin in the same folder) gives way to
// the new one.
kwRet NTFS_FILESYSTEM::renameLink(uint64_t record, uint64_t fromFolder,
                                  const std::u16string& oldName, uint64_t toFolder,
                                  const std::u16string& newName) {
    std::vector<uint8_t> image;
    kwRet rc = ReadRecordForChange(record, &image);
    if (rc != KW_OK)
        return rc;
    std::vector<NameAttribute> names = NamesOf(image);
    auto link = std::find_if(names.begin(), names.end(), [&](const NameAttribute& n) {
        return n.parent == fromFolder && compareNames(oldName, n.Name()) == 0;
    });
    if (link == names.end())
        return ERR_ATTRIBUTE_MISSING;
    std::vector<uint32_t> old{link->offset};
    std::vector<std::vector<uint8_t>> oldValues{link->value};
    const uint8_t twin = link->nameSpace == NAMESPACE_WIN32 ? NAMESPACE_DOS
                         : link->nameSpace == NAMESPACE_DOS ? NAMESPACE_WIN32
                                                            : 0;
    for (const NameAttribute& n : names) {
        if (twin != 0 && n.parent == fromFolder && n.nameSpace == twin) {
            old.push_back(n.offset);
            oldValues.push_back(n.value);
        }
    }
    RecordPtr folderBase;
    rc = GetRecord(toFolder, &folderBase);
    if (rc != KW_OK)
        return rc;
    const uint64_t folderReference = toFolder | (uint64_t{folderBase->header.sequence} << 48);
    const std::vector<uint8_t> value = NewNameValue(link->value, folderReference, newName);
    if (toFolder == fromFolder && compareNames(newName, link->Name()) == 0)
        return nameInPlace(record, image, old, value, toFolder);

    // The record takes the new name beside the old one; the index flushes
    // it before its root names it. A record without room for both (a
    // folder whose index root fills it) has its name replaced last instead:
    // meanwhile its index entries name it by the new name, its record by
    // the old one. A file whose data in the record leaves room for neither
    // has the data moved into clusters first.
    std::vector<uint8_t> named, replaced;
    std::vector<uint8_t> attribute = ResidentAttribute(ATTR_FILE_NAME, {}, value);
    attribute[kIndexedFlag] = 1;
    bool beside = false;
    for (int round = 0; round < 2; ++round) {
        named = replaced = image;
        uint32_t at = 0;
        rc = InsertAttribute(named, attribute, &at);
        beside = rc == KW_OK;
        if (rc == ERR_ATTRIBUTE_DATA_FIT)
            rc = ReplaceName(replaced, oldValues, value);
        if (rc != ERR_ATTRIBUTE_DATA_FIT || round > 0)
            break;
        rc = dataOutOfRecord(record);
        if (rc == KW_OK)
            rc = ReadRecordForChange(record, &image);
        if (rc != KW_OK)
            return rc;
    }
    if (rc != KW_OK)
        return rc;
    if (beside) {
        AddLinks(named, 1);
        rc = WriteRecord(record, named);
    }
    const uint64_t reference = record | (uint64_t{LoadLe16(image.data() + FRS_SEQUENCE)} << 48);
    if (rc == KW_OK)
        rc = insertName(toFolder, MakeIndexKey(reference, value));
    if (rc != KW_OK) {
        if (beside)
            WriteRecord(record, image); // as it was: no index names the new name
        return rc;
    }
    // Only once the new name is durable does the old one go, from the index
    // first, then (after a flush) from the record.
    rc = FlushVolume();
    for (size_t i = 0; rc == KW_OK && i < oldValues.size(); ++i) {
        FileName f;
        rc = DecodeFileName(oldValues[i], &f);
        if (rc == KW_OK)
            rc = deleteName(fromFolder, f.name);
        if (rc == ERR_FILE_NOT_FOUND)
            rc = KW_OK;
    }
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc == KW_OK && !beside)
        return WriteRecord(record, replaced);
    if (rc == KW_OK)
        rc = ReadRecordForChange(record, &named);
    if (rc != KW_OK)
        return rc;
    std::vector<NameAttribute> now = NamesOf(named);
    std::sort(now.begin(), now.end(),
              [](const NameAttribute& a, const NameAttribute& b) { return a.offset > b.offset; });
    for (const NameAttribute& n : now) {
        if (std::find(oldValues.begin(), oldValues.end(), n.value) != oldValues.end())
            RemoveAttribute(named, n.offset);
    }
    AddLinks(named, -1);
    return WriteRecord(record, named);
}

// The record's unnamed $DATA moved out of it into clusters (written and
// marked used before the record refers to them), to make room in it.
kwRet NTFS_FILESYSTEM::dataOutOfRecord(uint64_t record) {
    NTFS_ATTRIBUTE data(this);
    kwRet rc = data.Open(record, ATTR_DATA, Bytes());
    if (rc == KW_OK && data.Stream().nonResident)
        rc = ERR_ATTRIBUTE_DATA_FIT; // nothing left to move
    if (rc == KW_OK)
        rc = data.MakeNonResident(data.Stream().value.size());
    if (rc == KW_OK)
        rc = storeGrown(data);
    if (rc == KW_OK)
        rc = FlushVolume();
    return rc != KW_OK && rc != ERR_ATTRIBUTE_DATA_FIT ? dropWriteState(rc) : rc;
}

// A new name that the folder's collation holds equal to the old one (a
// change of case): the record's name is rewritten, its twin dropped (its
// index entry first), and the index entry's key replaced in place.
kwRet NTFS_FILESYSTEM::nameInPlace(uint64_t record, std::vector<uint8_t>& image,
                                   const std::vector<uint32_t>& old,
                                   const std::vector<uint8_t>& value, uint64_t folder) {
    std::vector<NameAttribute> names = NamesOf(image);
    kwRet rc = KW_OK;
    for (size_t i = 1; rc == KW_OK && i < old.size(); ++i) {
        for (const NameAttribute& n : names) {
            if (n.offset == old[i])
                rc = deleteName(folder, n.Name());
        }
        if (rc == ERR_FILE_NOT_FOUND)
            rc = KW_OK;
    }
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc != KW_OK)
        return rc;
    std::vector<uint32_t> drop(old.begin() + 1, old.end());
    std::sort(drop.begin(), drop.end(), std::greater<>());
    // The value keeps its length, so no offset moves until the twins go,
    // the last one first.
    rc = SetResidentValue(image, old.front(), value);
    for (uint32_t offset : drop) {
        if (rc == KW_OK)
            RemoveAttribute(image, offset);
    }
    if (rc == KW_OK)
        rc = WriteRecord(record, image);
    const uint64_t reference = record | (uint64_t{LoadLe16(image.data() + FRS_SEQUENCE)} << 48);
    if (rc == KW_OK)
        rc = changeIndex(
            folder, [&](INDEX_BTREE& tree) { return tree.Update(MakeIndexKey(reference, value)); });
    return rc;
}

// The file-system factory, the base class, directory lists and the wildcard
// matcher, without any volume.
#include "engine/disk/partition_info.h"
#include "engine/fs/dirlist.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/wildcard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

class FsFactory : public ::testing::Test {
protected:
    void SetUp() override {
        pi_.disk = &disk_;
        pi_.ulFlags = PI_OPENABLE;
        pi_.NumSects = 1000;
    }
    DISK_RECORD disk_;
    PARTITION_INFO pi_;
};

TEST_F(FsFactory, SharedOpensHandOutOneCountedObject) {
    pi_.ucFsKind = FS_KIND_HPFS;
    FILESYSTEM* a = nullptr;
    FILESYSTEM* b = nullptr;
    ASSERT_EQ(OpenFileSystem(&pi_, &a, FS_OPEN_SHARED, 0), KW_OK);
    ASSERT_EQ(OpenFileSystem(&pi_, &b, FS_OPEN_SHARED, 0), KW_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->GetOpenCount(), 2u);
    EXPECT_EQ(pi_.fileSystem, a);
    CloseFileSystem(&a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(pi_.fileSystem, b);
    CloseFileSystem(&b);
    EXPECT_EQ(pi_.fileSystem, nullptr);
    CloseFileSystem(&b); // null: nothing happens
}

TEST_F(FsFactory, TheLatestOpenersModeGovernsTheNextOpen) {
    FILESYSTEM* a = nullptr;
    FILESYSTEM* b = nullptr;
    FILESYSTEM* c = nullptr;
    ASSERT_EQ(OpenFileSystem(&pi_, &a, FS_OPEN_SHARED, 0), KW_OK);
    ASSERT_EQ(OpenFileSystem(&pi_, &b, FS_OPEN_EXCLUSIVE, 0), KW_OK);
    EXPECT_EQ(OpenFileSystem(&pi_, &c, FS_OPEN_SHARED, 0), ERR_LOCK_VIOLATION);
    EXPECT_EQ(c, nullptr);
    CloseFileSystem(&a);
    CloseFileSystem(&b);
}

TEST_F(FsFactory, KindsWithoutAClassGetThePlainBase) {
    for (uint8_t kind : {FS_KIND_NETWARE, FS_KIND_RAW, FS_KIND_FREE}) {
        pi_.ucFsKind = kind;
        FILESYSTEM* fs = nullptr;
        ASSERT_EQ(OpenFileSystem(&pi_, &fs, FS_OPEN_SHARED, 0), KW_OK);
        DIRLIST list;
        EXPECT_EQ(fs->ListDirectory(&list, "\\", 0), ERR_NOT_SUPPORTED);
        // What the base cannot do it says so, never success for nothing.
        SECT_LIST sectors;
        sectors.Add(5);
        EXPECT_EQ(fs->AddBadSectors(&sectors), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->SetBadSectors(&sectors), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->ClearBadSectors(), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->GetBadSectors(&sectors), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->UpdateHiddenSectors(), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->Resize(0, 500, nullptr, nullptr), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->SetSerialNumber(1), ERR_NOT_SUPPORTED);
        EXPECT_EQ(fs->SetGeometry(255, 63), ERR_NOT_SUPPORTED);
        STATE_MAP* map = nullptr;
        ASSERT_EQ(fs->GenerateBitmap(&map, FS_MAP_METADATA), KW_OK);
        uint32_t bits = kind == FS_KIND_RAW ? 1 : 1000;
        EXPECT_EQ(map->GetBitCount(), bits);
        EXPECT_EQ(map->CountSet(0, bits - 1, bits), bits);
        // The map belongs to the caller: it outlives the file system.
        CloseFileSystem(&fs);
        EXPECT_TRUE(map->IsSet(0));
        delete map;
    }
}

TEST(Wildcard, Matches) {
    struct Case {
        const char* pattern;
        const char* name;
        uint32_t want;
    } cases[] = {
        {"*.TXT", "README.TXT", WILDCARD_MATCH},
        {"*.TXT", "README.TX", WILDCARD_NAME_ENDED},
        {"A?C", "AC", WILDCARD_NAME_ENDED},
        {"A?C", "ABC", WILDCARD_MATCH},
        {"A?C", "ABCD", WILDCARD_PATTERN_ENDED},
        {"ABD", "ABC", WILDCARD_MISMATCH},
        {"*.*", "NOEXT", WILDCARD_NAME_ENDED},
        {"*.*", "A.B", WILDCARD_MATCH},
        {"*", "", WILDCARD_MATCH},
        {"*A*B*C", "XAYBZC", WILDCARD_MATCH},
        {"*\\*X", "A*X", WILDCARD_MATCH},
        {"*\\*X", "AYX", WILDCARD_NAME_ENDED},
        {"*\\", "A", WILDCARD_TRAILING_ESCAPE},
        {"*AAAAAAAAAAAAB", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAC", WILDCARD_NAME_ENDED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.want) << c.pattern << " " << c.name;
}

TEST(DirList, GrowsAndCopiesNames) {
    DIRLIST list;
    KW_DATE date{3, 4, 40, 0};
    for (uint32_t i = 0; i < 5000; ++i) {
        std::string name = "name" + std::to_string(i);
        ASSERT_EQ(list.AddEntry(name.c_str(), DIR_ATTR_ARCHIVE, i, 0, i == 7 ? &date : nullptr,
                                nullptr, i),
                  KW_OK);
    }
    EXPECT_EQ(list.GetCount(), 5000u);
    char name[6];
    uint32_t attrs = 0, extra = 0;
    uint64_t size = 0;
    KW_DATE got;
    ASSERT_EQ(list.GetEntry(4321, name, sizeof name, &attrs, &size, &got, nullptr, &extra), KW_OK);
    EXPECT_STREQ(name, "name4"); // cut to the buffer
    EXPECT_EQ(size, 4321u);
    EXPECT_EQ(extra, 4321u);
    EXPECT_EQ(got.day, 1); // "not given"
    ASSERT_EQ(list.GetEntry(7, nullptr, 0, nullptr, nullptr, &got, nullptr, nullptr), KW_OK);
    EXPECT_EQ(got.year, 40);
    EXPECT_EQ(list.GetEntry(5000, name, sizeof name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERR_ILLEGAL_OPERATION);
}

// A file system of folders given as a table, for the search.
class TableFs : public FILESYSTEM {
public:
    TableFs(PARTITION_INFO* pi, std::map<std::string, std::vector<std::string>> tree)
        : FILESYSTEM(pi), tree_(std::move(tree)) {}
    kwRet ListDirectory(DIRLIST* list, const char* path, uint32_t) override {
        auto it = tree_.find(path);
        if (it == tree_.end())
            return ERR_FILE_NOT_FOUND;
        for (const std::string& n : it->second) {
            bool dir = n.back() == '/';
            std::string name = dir ? n.substr(0, n.size() - 1) : n;
            list->AddEntry(name.c_str(), dir ? DIR_ATTR_DIRECTORY : DIR_ATTR_ARCHIVE, 0, 0, nullptr,
                           nullptr, DIRLIST_NO_EXTRA);
        }
        return KW_OK;
    }

private:
    std::map<std::string, std::vector<std::string>> tree_;
};

std::vector<std::string> Names(const DIRLIST& list) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list.GetCount(); ++i)
        out.push_back(list.Entry(i)->name);
    return out;
}

TEST_F(FsFactory, FileMatchSearchesOneFolderOrTheTree) {
    TableFs fs(&pi_, {{"\\", {".", "..", "readme.txt", "DOS/", "B/", "x.doc"}},
                      {"\\DOS", {".", "..", "A.TXT", "Sub/"}},
                      {"\\DOS\\Sub", {"deep.txt"}},
                      {"\\B", {"b.txt"}}});
    DIRLIST found;
    EXPECT_EQ(fs.FileMatch("\\*.TXT", SEARCH_STANDARD, &found), KW_OK);
    EXPECT_EQ(Names(found), std::vector<std::string>{"\\readme.txt"});
    DIRLIST all;
    EXPECT_EQ(fs.FileMatch("\\*.txt", SEARCH_SUBDIRECTORIES, &all), KW_OK);
    // Subdirectories after the files, the last listed first.
    EXPECT_EQ(Names(all), (std::vector<std::string>{"\\readme.txt", "\\B\\b.txt", "\\DOS\\A.TXT",
                                                    "\\DOS\\Sub\\deep.txt"}));
    DIRLIST dos;
    EXPECT_EQ(fs.FileMatch("\\DOS\\", SEARCH_STANDARD, &dos), KW_OK);
    EXPECT_EQ(Names(dos), std::vector<std::string>{"\\DOS\\A.TXT"});
    EXPECT_EQ(fs.FileMatch("A.TXT", SEARCH_STANDARD, nullptr), ERR_PATH_NOT_FOUND);
    // Without a result list the result tells whether anything matched.
    EXPECT_EQ(fs.FileMatch("\\*.DOC", SEARCH_STANDARD, nullptr), KW_OK);
    EXPECT_EQ(fs.FileMatch("\\*.PDF", SEARCH_STANDARD, nullptr), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(fs.FileMatch("\\NONE\\*.*", SEARCH_STANDARD, nullptr), ERR_FILE_NOT_FOUND);
}

} // namespace

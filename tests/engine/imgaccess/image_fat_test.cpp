// FAT partitions inside images, browsed and read through IMGACCESS with the
// engine's own FAT code, against mtools on the raw partitions.
#include "engine/imgaccess/image_access.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;

namespace {

// Every path of the volume as "mdir -/ -a -b" prints it ("/DOS/" for a
// folder), sorted.
std::vector<std::string> MdirPaths(const std::string& raw) {
    std::istringstream lines(kwtest::Capture("mdir -/ -a -b -i " + raw + " ::/"));
    std::vector<std::string> paths;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("::", 0) == 0)
            paths.push_back(line.substr(2));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

struct Walked {
    std::vector<std::string> paths; // as MdirPaths
    std::vector<std::string> files; // image paths of the files
};

void Walk(IMGACCESS* image, const std::string& root, const std::string& shown, Walked* out,
          int depth = 0) {
    ASSERT_LT(depth, 32);
    char name[260];
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::vector<std::pair<std::string, uint32_t>> entries;
    IMGACCESS_ITERATOR* it =
        image->FindFirst((root + shown).c_str(), name, sizeof name, &attributes, nullptr, &size);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, nullptr, &size))
        entries.emplace_back(name, attributes);
    if (it != nullptr)
        it->Release();
    for (const auto& [entry, attr] : entries) {
        if (entry == "." || entry == "..")
            continue;
        const std::string path = shown + "\\" + entry;
        std::string mdir = path;
        std::replace(mdir.begin(), mdir.end(), '\\', '/');
        if (attr & IMGACCESS_ATTR_DIRECTORY) {
            out->paths.push_back(mdir + "/");
            Walk(image, root, path, out, depth + 1);
        } else {
            out->paths.push_back(mdir);
            out->files.push_back(path);
        }
    }
}

std::string ReadAll(IMGACCESS* image, const std::string& path, uint32_t piece) {
    IMGACCESS_FILEHANDLE* file = image->OpenFile(path.c_str());
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr)
        return {};
    std::string bytes(file->GetSize(), '\0');
    for (size_t at = 0; at < bytes.size();) {
        const uint32_t n = uint32_t(std::min<size_t>(piece, bytes.size() - at));
        uint32_t done = 0;
        if (!file->Read(bytes.data() + at, n, &done)) {
            ADD_FAILURE() << path << " at " << at << ": " << file->GetLastError();
            break;
        }
        EXPECT_EQ(done, n);
        at += n;
    }
    file->Release();
    return bytes;
}

class ImageFatTest : public ::testing::Test {
protected:
    IMGACCESS* Open(const std::string& path) {
        uint32_t code = 0;
        IMGACCESS* image = CreateImageAccess(path.c_str(), nullptr, nullptr, &code);
        EXPECT_NE(image, nullptr) << code;
        return image;
    }
    TempFolder folder_;
};

} // namespace

TEST_F(ImageFatTest, ListingsAndFilesMatchMtoolsOnEveryFatKind) {
    const int kinds[] = {12, 16, 32};
    const uint32_t sizes[] = {2048, 20480, 40960};
    std::vector<Partition> parts;
    for (int i = 0; i < 3; ++i)
        parts.push_back(
            MakeFatPartition(folder_, "FAT" + std::to_string(kinds[i]), kinds[i], sizes[i], false));
    const std::string path = folder_.File("fat.kwi");
    ASSERT_EQ(WriteImage(path, {&parts[0], &parts[1], &parts[2]},
                         ImageOptions().Flags(KW_CREATE_HIGH_COMPRESSION)),
              0);
    IMGACCESS* image = Open(path);
    ASSERT_NE(image, nullptr);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(kinds[i]);
        const std::string raw = RawVolume(folder_, "FAT" + std::to_string(kinds[i]));
        const std::string root = "\\Partition" + std::to_string(i);
        Walked walked;
        Walk(image, root, "", &walked);
        std::sort(walked.paths.begin(), walked.paths.end());
        EXPECT_EQ(walked.paths, MdirPaths(raw));
        for (const std::string& file : walked.files) {
            std::string mpath = file;
            std::replace(mpath.begin(), mpath.end(), '\\', '/');
            const std::string expected = kwtest::Capture("mtype -i " + raw + " '::" + mpath + "'");
            EXPECT_EQ(ReadAll(image, root + file, 3000), expected) << file;
        }
        uint32_t attributes = 0;
        uint64_t size = 0, time = 0;
        char name[64];
        ASSERT_EQ(image->GetFileInfo((root + "\\ten.bin").c_str(), name, sizeof name, &attributes,
                                     &time, &size),
                  1u);
        EXPECT_STREQ(name, "TEN.BIN");
        EXPECT_EQ(size, 10000u);
        EXPECT_NE(time, 0u);
        EXPECT_EQ(image->GetFileInfo((root + "\\DOS\\nothing").c_str(), name, sizeof name, nullptr,
                                     nullptr, nullptr),
                  0u);
    }
    image->Release();
}

TEST_F(ImageFatTest, FilesRefuseReadsPastTheirEndAndFoldersAreNoFiles) {
    const Partition fat = MakeFatPartition(folder_, "EDGE", 16, 20480, true);
    const std::string path = folder_.File("edge.kwi");
    ASSERT_EQ(WriteImage(path, {&fat}), 0);
    IMGACCESS* image = Open(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->OpenFile("\\Partition0\\DOS"), nullptr);
    EXPECT_EQ(image->OpenFile("\\Partition0\\missing.txt"), nullptr);
    IMGACCESS_FILEHANDLE* empty = image->OpenFile("\\Partition0\\EMPTY.TXT");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetSize(), 0u);
    empty->Release();
    IMGACCESS_FILEHANDLE* ten = image->OpenFile("\\partition0\\TEN.BIN");
    ASSERT_NE(ten, nullptr);
    std::vector<uint8_t> buffer(20000);
    uint32_t done = 7;
    EXPECT_FALSE(ten->Read(buffer.data(), 10001, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(ten->Read(buffer.data(), 9000, &done));
    EXPECT_FALSE(ten->Read(buffer.data(), 1001, &done));
    EXPECT_TRUE(ten->Read(buffer.data(), 1000, &done));
    ten->Release();
    image->Release();
}

TEST_F(ImageFatTest, OpenFileKeepsItsImageAndReadsItsOwnPartitionBetweenListings) {
    const Partition a = MakeFatPartition(folder_, "AAA", 12, 2048, false);
    const Partition b = MakeFatPartition(folder_, "BBB", 16, 20480, false);
    const std::string path = folder_.File("ab.kwi");
    ASSERT_EQ(WriteImage(path, {&a, &b}, ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION)), 0);
    IMGACCESS* image = Open(path);
    ASSERT_NE(image, nullptr);
    const std::string file = "\\DOS\\A rather long file name.data";
    const std::string expected = kwtest::Capture("mtype -i " + RawVolume(folder_, "AAA") +
                                                 " '::/DOS/A rather long file name.data'");
    IMGACCESS_FILEHANDLE* handle = image->OpenFile(("\\Partition0" + file).c_str());
    ASSERT_NE(handle, nullptr);
    image->Release(); // the handle keeps the image
    std::string got(handle->GetSize(), '\0');
    IMGACCESS* again = Open(path); // another image, listed between the reads
    for (size_t at = 0; at < got.size(); at += 4096) {
        char name[64];
        IMGACCESS_ITERATOR* it =
            again->FindFirst("\\Partition1\\DOS", name, sizeof name, nullptr, nullptr, nullptr);
        ASSERT_NE(it, nullptr);
        it->Release();
        uint32_t done = 0;
        ASSERT_TRUE(
            handle->Read(got.data() + at, uint32_t(std::min<size_t>(4096, got.size() - at)), &done))
            << handle->GetLastError();
    }
    EXPECT_EQ(got, expected);
    handle->Release();
    again->Release();
}

TEST_F(ImageFatTest, EveryPartitionOfSeveralImagesBrowsesWithTheFewPartitionHandles) {
    const Partition small = MakeFatPartition(folder_, "SMALL", 12, 1024, false);
    const std::vector<const Partition*> twelve(12, &small);
    ASSERT_EQ(WriteImage(folder_.File("one.kwi"), twelve), 0);
    ASSERT_EQ(WriteImage(folder_.File("two.kwi"), twelve), 0);
    IMGACCESS* one = Open(folder_.File("one.kwi"));
    IMGACCESS* two = Open(folder_.File("two.kwi"));
    ASSERT_TRUE(one != nullptr && two != nullptr);
    IMGACCESS_FILEHANDLE* held = one->OpenFile("\\Partition0\\TEN.BIN");
    ASSERT_NE(held, nullptr);
    for (int round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < 12; ++i) {
            for (IMGACCESS* image : {one, two}) {
                const std::string root = "\\Partition" + std::to_string(i);
                Walked walked;
                Walk(image, root, "", &walked);
                EXPECT_EQ(walked.files.size(), 5u) << root;
                uint32_t done = 0;
                char byte;
                ASSERT_TRUE(held->Read(&byte, 1, &done)) << held->GetLastError();
            }
        }
    }
    held->Release();
    one->Release();
    two->Release();
}

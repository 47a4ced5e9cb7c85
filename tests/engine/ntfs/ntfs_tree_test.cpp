// The committed tree volume (fixtures/make_tree_volume.sh: nested folders, a
// folder of 5,000 files, hard links, a record with an attribute list, an
// alternate data stream, a fragmented and a sparse file) read through kwfs
// and compared with ntfsls and ntfscat.
#include "tests/engine/ntfs/ntfs_fixture.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using kwtest::Quote;

namespace {

fs::path UnpackTree(const kwtest::TempDir& dir) {
    fs::path image = dir / "tree.img";
    std::string fixture = std::string(KW_SOURCE_DIR) + "/tests/engine/ntfs/fixtures/tree.img.gz";
    EXPECT_TRUE(kwtest::Run("{ gzip -dc " + Quote(fixture) + " > " + Quote(image) + "; }"));
    return image;
}

TEST(NtfsTree, ListsAndReadsLikeTheTools) {
    kwtest::TempDir dir;
    fs::path image = UnpackTree(dir);
    std::string source = "part:" + image.string();
    kwtest::KwfsResult plain = kwtest::KwfsLs(source);
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::set<std::string> names;
    size_t many = 0, links = 0;
    for (const auto& [path, e] : plain.listing) {
        names.insert(path);
        many += path.rfind("Many/", 0) == 0;
        links += path.rfind("links/", 0) == 0;
    }
    // fls also shows names left in the index slack of a folder whose files
    // were deleted; ntfsls lists what the indexes hold.
    EXPECT_EQ(names, kwtest::NtfslsTreeNames(image));
    EXPECT_EQ(many, 5000u);
    EXPECT_EQ(links, 121u); // every name of the file with an attribute list

    // Every file outside the big folder reads as ntfscat reads it; the
    // sparse one is reported in its row and the rest goes on.
    kwtest::KwfsResult hashed = kwtest::Kwfs("ls --hash " + Quote(source));
    EXPECT_EQ(hashed.status, 3);
    EXPECT_NE(hashed.out.find("{\"path\": \"sparse.bin\", \"kind\": \"file\", \"size\": 1048576, "),
              std::string::npos);
    EXPECT_NE(hashed.out.find("\"error\": 722}"), std::string::npos);
    for (const char* path :
         {"README.TXT", "Docs/hard link to readme.txt", "Docs/Old Letters/big file.log",
          "frag/fragmented.txt", "links/target.txt", "links/another name for the same file 77",
          "Ünïcode näme — ok.dat", "empty.bin", "Many/F12345.TXT",
          "deep/level 0/level 1/level 2/level 3/level 4/level 5/level 6/level 7/level 8/level "
          "9/level 10/level 11/bottom.txt"}) {
        std::string want =
            kwtest::Capture("ntfscat " + Quote(image) + " " + Quote(path) + " | sha256sum");
        std::string got = kwtest::Capture(std::string(KW_KWFS) + " cat " + Quote(source) + " " +
                                          Quote(path) + " | sha256sum");
        EXPECT_EQ(got, want) << path;
        EXPECT_NE(hashed.out.find("\"sha256\": \"" + got.substr(0, 64) + "\""), std::string::npos)
            << path;
    }
    EXPECT_EQ(kwtest::Kwfs("cat " + Quote(source) + " README.TXT").out, "read me\n");
}

} // namespace

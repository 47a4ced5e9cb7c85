// Round trips through the container over a table of options.
#include "container_test_util.h"

#include <filesystem>

namespace kwv::test {
namespace {

struct RoundTripCase {
    const char* name;
    uint32_t options;
    const char16_t* password;
    uint32_t volumeLimit; // 0: one volume
    size_t dataBytes;
};

class ContainerRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ContainerRoundTrip, WritesAndReadsBackEveryStream) {
    const RoundTripCase& tc = GetParam();
    TempFolder dir;
    const std::string path = dir.File("img.kwi");
    const std::vector<uint8_t> big = MixedBytes(tc.dataBytes, 1);
    const std::vector<uint8_t> small = MixedBytes(1000, 2);
    const uint8_t header[36] = {'$', 'K', 'W', 'I', 36};
    RecordingCallback cb;
    cb.password = tc.password ? tc.password : u"";
    {
        int err = -1;
        StoreContainer* c =
            CreateContainer(path.c_str(), tc.password, tc.volumeLimit, 0, tc.options, &cb, &err);
        ASSERT_NE(c, nullptr) << err;
        StreamWriter* w = c->CreateStream("kwi", 0x4957 + 0x24, 0, &err);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(w->SetInlineData(header, sizeof header), 0);
        w->Release();
        ASSERT_EQ(WriteStream(c, "kwi/part0", {}), 0);
        ASSERT_EQ(WriteStream(c, "kwi\\part0\\sdata", big, 0, 77777), 0);
        ASSERT_EQ(WriteStream(c, "kwi/part0/sbmap", small), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
    }
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), &cb, &err);
    ASSERT_NE(c, nullptr) << err;
    std::vector<uint8_t> back;
    ASSERT_EQ(ReadStream(c, "KWI/PART0/SDATA", &back), 0);
    EXPECT_TRUE(back == big);
    ASSERT_EQ(ReadStream(c, "kwi/part0/sbmap", &back), 0);
    EXPECT_TRUE(back == small);
    uint8_t inlineBack[64] = {};
    uint32_t inlineLength = 0, tag1 = 0;
    ASSERT_EQ(c->ReadSmallStream("kwi", &tag1, nullptr, nullptr, nullptr, inlineBack,
                                 sizeof inlineBack, &inlineLength),
              0);
    EXPECT_EQ(inlineLength, 36u);
    EXPECT_EQ(tag1, 0x4957u + 0x24);
    EXPECT_EQ(std::memcmp(inlineBack, header, 36), 0);
    char name[32];
    StreamEnumerator* en = c->EnumerateStreams("kwi/part0", name, sizeof name, &err);
    ASSERT_NE(en, nullptr);
    EXPECT_STREQ(name, "sdata");
    ASSERT_EQ(en->Next(name, sizeof name), 0);
    EXPECT_STREQ(name, "sbmap");
    EXPECT_EQ(en->Next(name, sizeof name), kStoreNoMoreNames);
    en->Release();
    EXPECT_EQ(c->VerifyAll(), 0);
    uint32_t volumes = 0;
    c->GetInfo(nullptr, &volumes, nullptr, nullptr);
    if (tc.volumeLimit != 0) {
        EXPECT_GT(volumes, 1u);
        EXPECT_TRUE(std::filesystem::exists(dir.File("img.002")));
    } else {
        EXPECT_EQ(volumes, 1u);
        EXPECT_FALSE(std::filesystem::exists(dir.File("img.002")));
    }
    c->Release();
}

constexpr uint32_t kChunk = 0x20000;

INSTANTIATE_TEST_SUITE_P(
    Options, ContainerRoundTrip,
    ::testing::Values(
        RoundTripCase{"Plain", 0, nullptr, 0, 700000},
        RoundTripCase{"PayloadCrc", kOptPayloadCrc, nullptr, 0, 700000},
        RoundTripCase{"NoDirectoryCopy", kOptNoDirectoryCopy, nullptr, 0, 700000},
        RoundTripCase{"OldSignature", kOptOldSignature, nullptr, 0, 300000},
        RoundTripCase{"OldSignatureNoCopy", kOptOldSignature | kOptNoDirectoryCopy, nullptr, 0,
                      300000},
        RoundTripCase{"PasswordChecked", 0, u"secret", 0, 300000},
        RoundTripCase{"PasswordScrambled", kOptPayloadCrc, u"secret", 0, 300000},
        RoundTripCase{"Spanning", kOptPayloadCrc, nullptr, 3 * kChunk, 1500000},
        RoundTripCase{"SpanningNoCopy", kOptNoDirectoryCopy, nullptr, kChunk, 900000},
        RoundTripCase{"SpanningVerified", kOptVerifyVolumes, nullptr, 2 * kChunk, 900000},
        RoundTripCase{"Lzs", kOptLzs | kOptPayloadCrc, nullptr, 0, 900000},
        RoundTripCase{"OwnMethod", kOptOwnMethod, nullptr, 0, 900000},
        RoundTripCase{"LzsPassword", kOptLzs | kOptPayloadCrc, u"pw", 0, 300000},
        RoundTripCase{"OwnMethodSpanning", kOptOwnMethod, nullptr, 2 * kChunk, 1500000},
        RoundTripCase{"ErrorCorrection", kOptErrorCorrection | kOptPayloadCrc, nullptr, 0, 900000},
        RoundTripCase{"ErrorCorrectionScrambled", kOptErrorCorrection | kOptPayloadCrc, u"pw",
                      0x46000, 900000},
        RoundTripCase{"ExactlyOneChunk", 0, nullptr, 0, kChunk - 96 - 42284}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kwv::test

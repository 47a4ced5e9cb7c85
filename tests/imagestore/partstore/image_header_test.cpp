#include "imagestore/partstore/image_header.h"
#include "imagestore/partstore/store_text.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kw::partstore;

namespace {

std::vector<uint8_t> FreshBytes() {
    ImageHeader header = ImageHeader::Fresh(99);
    header.SetDescription(u"weekly");
    return {header.Bytes().begin(), header.Bytes().end()};
}

} // namespace

TEST(ImageHeader, FreshHeaderRoundTrips) {
    const std::vector<uint8_t> bytes = FreshBytes();
    ASSERT_EQ(bytes.size(), 36u + 12u);
    EXPECT_EQ(LoadLe32(bytes, 0), 0x49574B24u);
    EXPECT_EQ(LoadLe32(bytes, 8), 4u);
    EXPECT_EQ(LoadLe32(bytes, 12), 4u);
    EXPECT_EQ(LoadLe32(bytes, 28), 36u);
    ImageHeader back;
    ASSERT_EQ(ImageHeader::Parse(bytes, ImageHeader::kMagic, back), 0);
    EXPECT_EQ(back.CreationTime(), 99u);
    EXPECT_EQ(back.ModificationTime(), 99u);
    EXPECT_EQ(back.Description(), u"weekly");
}

TEST(ImageHeader, CheckAnswersTheCodeOfEachFault) {
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
        int32_t code;
    };
    const Case cases[] = {
        {"wrong magic", 0, 0x49574B25, 1852},
        {"size below 36", 4, 35, 1852},
        {"size past the data", 4, 49, 1852},
        {"size above 500", 4, 501, 1818},
        {"lowest version above 4", 12, 5, 1818},
        {"version below lowest", 8, 3, 1852},
        {"description past the size", 32, 7, 1852},
        {"description length that wraps", 32, 0x80000000u, 1852},
        {"text offset that wraps", 28, 0xFFFFFFF0u, 1852},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = FreshBytes();
        StoreLe32(bytes, c.offset, c.value);
        ImageHeader out;
        EXPECT_EQ(ImageHeader::Parse(bytes, ImageHeader::kMagic, out), c.code) << c.what;
    }
    ImageHeader out;
    const std::vector<uint8_t> bytes = FreshBytes();
    EXPECT_EQ(ImageHeader::Parse(bytes, 0x54524150, out), 1852) << "wrong tag";
    EXPECT_EQ(ImageHeader::Parse(std::span(bytes).first(35), ImageHeader::kMagic, out), 1852);
}

TEST(ImageHeader, DescriptionIsCutToFitAndTimeIsSet) {
    ImageHeader header = ImageHeader::Fresh(1);
    header.SetDescription(std::u16string(400, u'q'));
    EXPECT_EQ(header.Bytes().size(), 500u);
    EXPECT_EQ(header.Description().size(), 232u);
    header.SetModificationTime(42);
    ImageHeader back;
    ASSERT_EQ(ImageHeader::Parse(header.Bytes(), ImageHeader::kMagic, back), 0);
    EXPECT_EQ(back.ModificationTime(), 42u);
    EXPECT_EQ(back.CreationTime(), 1u);
    back.SetDescription(u"");
    EXPECT_EQ(back.Bytes().size(), 36u);
}

#include "imagestore/partstore/part_record.h"
#include "imagestore/partstore/store_text.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kw::partstore;

namespace {

std::vector<uint8_t> FreshBytes() {
    const PartRecord record = PartRecord::Fresh(1234);
    return {record.Bytes().begin(), record.Bytes().end()};
}

void Put(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    StoreLe32(bytes, offset, value);
}

} // namespace

TEST(PartRecord, FreshRecordHasItsFixedWords) {
    const PartRecord record = PartRecord::Fresh(77);
    EXPECT_EQ(record.Size(), 136u);
    EXPECT_EQ(record.Get(PartField::Magic), 0x54524150u);
    EXPECT_EQ(record.Get(PartField::Size), 136u);
    EXPECT_EQ(record.Get(PartField::Time), 77u);
    EXPECT_EQ(record.Get(PartField::TextOffset), 136u);
    EXPECT_EQ(record.Get(PartField::VolumeHint), 0xFFFFFFFFu);
    EXPECT_EQ(record.Name(), u"");
}

TEST(PartRecord, CheckRefusesDamagedRecords) {
    struct Case {
        const char* what;
        void (*damage)(std::vector<uint8_t>&, uint32_t& tag);
    };
    const Case cases[] = {
        {"wrong tag", [](std::vector<uint8_t>&, uint32_t& tag) { tag = 0x52424D24; }},
        {"wrong magic", [](std::vector<uint8_t>& b, uint32_t&) { Put(b, 0, 0x54524151); }},
        {"inline data of 131 bytes", [](std::vector<uint8_t>& b, uint32_t&) { b.resize(131); }},
        {"size 131", [](std::vector<uint8_t>& b, uint32_t&) { Put(b, 4, 131); }},
        {"size past the data", [](std::vector<uint8_t>& b, uint32_t&) { Put(b, 4, 137); }},
        {"texts past the size", [](std::vector<uint8_t>& b, uint32_t&) { Put(b, 96, 1); }},
        {"text lengths that wrap in 32 bits",
         [](std::vector<uint8_t>& b, uint32_t&) {
             Put(b, 92, 8);
             Put(b, 96, 0x80000000u);
             Put(b, 100, 0x40000000u);
         }},
        {"text offset that wraps in 32 bits",
         [](std::vector<uint8_t>& b, uint32_t&) {
             Put(b, 92, 0xFFFFFFFEu);
             Put(b, 96, 1);
         }},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = FreshBytes();
        uint32_t tag = PartRecord::kMagic;
        c.damage(bytes, tag);
        PartRecord out;
        EXPECT_EQ(PartRecord::Parse(bytes, tag, out), 1802) << c.what;
    }
}

TEST(PartRecord, ShortRecordReadsZeroBeyondItsBytes) {
    std::vector<uint8_t> bytes = FreshBytes();
    Put(bytes, 4, 132);
    Put(bytes, 92, 132);
    Put(bytes, 128, 0xABCD);
    PartRecord record;
    ASSERT_EQ(PartRecord::Parse(bytes, PartRecord::kMagic, record), 0);
    EXPECT_EQ(record.Get(PartField::Value68 /* 0x68 */) + record.Get(128u), 0xABCDu);
    EXPECT_EQ(record.Get(PartField::VolumeHint), 0u);
    record.Set(PartField::VolumeHint, 5); // beyond the record: ignored
    EXPECT_EQ(record.Bytes().size(), 132u);
    EXPECT_EQ(record.Name(), u""); // no room for texts behind the words
}

TEST(PartRecord, RoundTripKeepsEveryWordAndBothTexts) {
    PartRecord record = PartRecord::Fresh(5);
    for (uint32_t offset = 8; offset < 136; offset += 4) {
        if (offset < 92 || offset > 100) {
            record.Set(offset, 0x1000 + offset);
        }
    }
    record.SetDescription(u"data disk");
    record.SetName(u"C: drive"); // inserted in front of the description
    PartRecord back;
    ASSERT_EQ(PartRecord::Parse(record.Bytes(), PartRecord::kMagic, back), 0);
    EXPECT_EQ(back.Size(), 136u + 2 * (8 + 9));
    EXPECT_EQ(back.Name(), u"C: drive");
    EXPECT_EQ(back.Description(), u"data disk");
    for (uint32_t offset = 8; offset < 136; offset += 4) {
        if (offset < 92 || offset > 100) {
            EXPECT_EQ(back.Get(offset), 0x1000 + offset) << offset;
        }
    }
    back.SetName(u"X");
    EXPECT_EQ(back.Description(), u"data disk");
    EXPECT_EQ(back.Get(PartField::Size), 136u + 2 * (1 + 9));
}

TEST(PartRecord, LongTextsAreCutToFiveHundredBytes) {
    PartRecord record = PartRecord::Fresh(0);
    record.SetDescription(std::u16string(100, u'd'));
    record.SetName(std::u16string(300, u'n'));
    EXPECT_EQ(record.Size(), 500u);
    EXPECT_EQ(record.Name().size(), 82u); // (500 - 136) / 2 - 100
    EXPECT_EQ(record.Description(), std::u16string(100, u'd'));
    PartRecord back;
    EXPECT_EQ(PartRecord::Parse(record.Bytes(), PartRecord::kMagic, back), 0);
}

TEST(PartRecord, ParseReadsOnlyTheFirstFiveHundredBytes) {
    std::vector<uint8_t> bytes = FreshBytes();
    bytes.resize(600, 0xEE);
    Put(bytes, 4, 501);
    PartRecord out;
    EXPECT_EQ(PartRecord::Parse(bytes, PartRecord::kMagic, out), 1802);
    Put(bytes, 4, 500);
    EXPECT_EQ(PartRecord::Parse(bytes, PartRecord::kMagic, out), 0);
    EXPECT_EQ(out.Size(), 500u);
}

TEST(StoreText, NarrowCopiesAreCutTerminatedAndAscii) {
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    CopyNarrow(u"ab\u00e9cdef", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "ab?c");
    CopyNarrow(u"zz", buffer, 0); // nothing written
    EXPECT_STREQ(buffer, "ab?c");
    EXPECT_EQ(WidenText("a\xe9"), u"a?");
    EXPECT_EQ(WidenText(nullptr), u"");
}

// The part store over images whose streams are laid out by hand: parts among
// other streams, gaps in the part names, damaged records and headers, and the
// errors of each mode.
#include "imagestore/container/store_container.h"
#include "imagestore/partstore/image_header.h"
#include "imagestore/partstore/part_record.h"
#include "imagestore/partstore/store_text.h"
#include "imagestore/partstore/store_time.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <filesystem>
#include <utility>

using namespace kw::partstore;
using namespace kw::partstore::test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::span<const uint8_t> span) {
    return {span.begin(), span.end()};
}

// The record of an empty part: 512-byte sectors, one per block, none used.
Bytes RecordBytes(uint32_t time, const char16_t* name) {
    PartRecord record = PartRecord::Fresh(time);
    record.Set(PartField::BytesPerSector, 512);
    record.Set(PartField::SectorsPerBlock, 1);
    record.SetName(name);
    return ToBytes(record.Bytes());
}

// Writes an image whose "kwi" holds `header` and whose other streams are
// given as (path, tag, inline data) in creation order; a stream tagged
// "PART" with a record gets an empty bitmap and data stream.
void CraftImage(const std::string& path, const Bytes& header,
                const std::vector<std::tuple<std::string, uint32_t, Bytes>>& streams) {
    int error = -1;
    kwv::StoreContainer* c =
        kwv::CreateContainer(path.c_str(), nullptr, 0, 0, 0x401, nullptr, &error);
    ASSERT_NE(c, nullptr) << error;
    kwv::StreamWriter* w = c->CreateStream("kwi", ImageHeader::kMagic, 0, &error);
    ASSERT_NE(w, nullptr) << error;
    ASSERT_EQ(w->SetInlineData(header.data(), uint32_t(header.size())), 0);
    w->Release();
    for (const auto& [name, tag, data] : streams) {
        w = c->CreateStream(name.c_str(), tag, 0, &error);
        ASSERT_NE(w, nullptr) << name;
        ASSERT_EQ(w->SetInlineData(data.data(), uint32_t(data.size())), 0);
        w->Release();
        for (const char* child : {"/ubmap", "/udata"}) {
            if (tag == PartRecord::kMagic && !data.empty()) {
                w = c->CreateStream((name + child).c_str(), 0, 0, &error);
                ASSERT_NE(w, nullptr) << name << child;
                w->Release();
            }
        }
    }
    ASSERT_EQ(c->Close(), 0);
    c->Release();
}

Bytes FreshHeader(uint32_t time) {
    return ToBytes(ImageHeader::Fresh(time).Bytes());
}

bool StreamExists(const std::string& image, const char* stream) {
    int error = -1;
    kwv::StoreContainer* c = kwv::OpenContainerForRead(image.c_str(), nullptr, &error);
    if (c == nullptr) {
        return false;
    }
    uint32_t held = 0;
    const bool found =
        c->ReadSmallStream(stream, nullptr, nullptr, nullptr, nullptr, nullptr, 0, &held) == 0;
    c->Release();
    return found;
}

class PartStoreLayout : public ::testing::Test {
protected:
    TempFolder folder;
    std::string image = folder.File("laid.kwi");
    int32_t error = -1;
};

} // namespace

// The parts are the children of "kwi" meant to be parts, in table order; one
// whose record fails its check is listed as damaged (1802), the others open.
TEST_F(PartStoreLayout, ChildrenMeantAsPartsAreListedInTableOrder) {
    Bytes broken = RecordBytes(1, u"broken");
    StoreLe32(broken, 4, 131);
    CraftImage(image, FreshHeader(5),
               {{"kwi/part0", PartRecord::kMagic, RecordBytes(1, u"zero")},
                {"kwi/mbr", 0x52424D24, {}},
                {"kwi/part7", PartRecord::kMagic, RecordBytes(2, u"seven")},
                {"kwi/part1", PartRecord::kMagic, broken},
                {"kwi/part2", 0x12345678, RecordBytes(3, u"wrong tag")},
                {"kwi/part3", PartRecord::kMagic, RecordBytes(0, u"three")}});
    PART_STORE* store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_EQ(store->GetPartCount(), 5u);
    const char* names[] = {"zero", "seven", nullptr, nullptr, "three"};
    for (uint32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(store->SelectPart(i), names[i] != nullptr ? 0 : 1802);
        char text[32] = {};
        store->GetPartName(text, sizeof text);
        EXPECT_STREQ(text, names[i] != nullptr ? names[i] : "");
    }
    // A part time of 0 reads back as the start of 1970.
    ASSERT_EQ(store->SelectPart(4), 0);
    int32_t year = 0, month = 0, day = 0, hour = -1, minute = -1, second = -1;
    EXPECT_EQ(store->GetPartTime(&year, &month, &day, &hour, &minute, &second), 0);
    EXPECT_EQ(std::tie(year, month, day, hour, minute, second),
              std::make_tuple(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(store->SelectPart(5), 504);
    EXPECT_EQ(store->GetPartitionType(), 0u); // no part is current after a failure
    store->Release();
}

TEST_F(PartStoreLayout, NewPartTakesTheFirstFreeNameFromThePartCount) {
    CraftImage(image, FreshHeader(5),
               {{"kwi/part0", PartRecord::kMagic, RecordBytes(1, u"a")},
                {"kwi/part2", PartRecord::kMagic, RecordBytes(1, u"b")}});
    PART_STORE* store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(store->AddPart(&index), 0);
    EXPECT_EQ(index, 2u);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();
    EXPECT_TRUE(StreamExists(image, "kwi/part3"));
    EXPECT_FALSE(StreamExists(image, "kwi/part1"));
}

TEST_F(PartStoreLayout, NoFreeNameAfterFiftyTries) {
    std::vector<std::tuple<std::string, uint32_t, Bytes>> streams;
    streams.emplace_back("kwi/part0", PartRecord::kMagic, RecordBytes(1, u"only"));
    for (int n = 1; n <= 51; ++n) {
        // Parts taken out again before their record was written: no parts.
        streams.emplace_back("kwi/part" + std::to_string(n), PartRecord::kMagic, Bytes{});
    }
    CraftImage(image, FreshHeader(5), streams);
    PART_STORE* store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    EXPECT_EQ(store->AddPart(&index), 1809);
    store->Release();
}

TEST_F(PartStoreLayout, RecordWhoseTextsWrapIsADamagedPart) {
    Bytes wrapped = RecordBytes(1, u"x");
    StoreLe32(wrapped, 96, 0x80000000u); // name length that wraps in 32 bits
    StoreLe32(wrapped, 100, 0x80000000u);
    CraftImage(image, FreshHeader(5),
               {{"kwi/part0", PartRecord::kMagic, RecordBytes(1, u"good")},
                {"kwi/part1", PartRecord::kMagic, wrapped}});
    EXPECT_EQ(PartStoreVerify(image.c_str(), nullptr), 0);
    // The good part opens; the wrapped one is listed as damaged, and the
    // data check reports it.
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), 1802);
    PART_STORE* store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->GetPartCount(), 2u);
    EXPECT_EQ(store->SelectPart(0), 0);
    EXPECT_EQ(store->SelectPart(1), 1802);
    store->Release();
}

TEST_F(PartStoreLayout, HeaderFaultsAreReportedOnOpen) {
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
        int32_t readCode;
        int32_t appendCode;
    };
    const Case cases[] = {
        {"version 5 readable by 4", 8, 5, 0, 1818},
        {"lowest version 5", 12, 5, 1818, 1818},
        {"magic", 0, 0x11111111, 1852, 1852},
        {"size beyond the data", 4, 40, 1852, 1852},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes header = FreshHeader(5);
        StoreLe32(header, c.offset, c.value);
        CraftImage(image, header, {});
        PART_STORE* store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
        EXPECT_EQ(error, c.readCode);
        if (store != nullptr) {
            store->Release();
        }
        store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
        EXPECT_EQ(store, nullptr);
        EXPECT_EQ(error, c.appendCode);
        ASSERT_EQ(PartStoreDelete(image.c_str(), nullptr), 0);
    }
}

TEST_F(PartStoreLayout, ContinuationVolumePathIsRefusedUntouched) {
    const std::string volume = folder.File("laid.002");
    PutFileBytes(volume, {9, 9, 9});
    EXPECT_EQ(PartStoreOpenReadOnly(volume.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error, 1878);
    EXPECT_EQ(PartStoreOpenWriteOnly(volume.c_str(), 0, 0, nullptr, &error), nullptr);
    EXPECT_EQ(error, 1878);
    EXPECT_EQ(PartStoreCreateNew(volume.c_str(), nullptr, 0, 0, 0, nullptr, &error), nullptr);
    EXPECT_EQ(error, 1878);
    EXPECT_EQ(PartStoreVerifyData(volume.c_str(), nullptr), 1878);
    EXPECT_EQ(FileBytes(volume), (Bytes{9, 9, 9}));
}

// Appending writes the new modification time into the header; the creation
// time stays.
TEST_F(PartStoreLayout, AppendRecordsTheModificationTime) {
    const uint32_t old = StoreTimeFromCalendar({2001, 5, 6, 7, 8, 9}, 0);
    CraftImage(image, FreshHeader(old), {});
    PART_STORE* store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(store->AddPart(&index), 0);
    store->Release();
    store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    int32_t year = 0, second = 0;
    store->GetCreationTime(&year, nullptr, nullptr, nullptr, nullptr, &second);
    EXPECT_EQ(year, 2001);
    EXPECT_EQ(second, 9);
    store->GetModificationTime(&year, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GE(year, 2026);
    EXPECT_EQ(store->GetPartCount(), 1u);
    store->Release();
}

TEST_F(PartStoreLayout, EachModeRefusesTheOtherModesOperations) {
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint64_t length = 0;
    uint32_t got = 0;
    uint8_t byte = 0;
    EXPECT_EQ(store->SelectPart(0), 2);
    EXPECT_EQ(store->CreateUdata(), 2); // no current part
    EXPECT_EQ(store->SetPartitionType(6), 2);
    EXPECT_EQ(store->Write(&byte, 1), 2); // no open stream
    EXPECT_EQ(store->OpenMbrStream(&length), 2);
    ASSERT_EQ(store->CreateMbrStream(), 0);
    const Bytes mbr(1024, 0x55);
    ASSERT_EQ(store->WriteMbr(mbr.data(), 512), 0);
    ASSERT_EQ(store->WriteMbr(mbr.data() + 512, 512), 0);
    uint32_t index = 0;
    ASSERT_EQ(store->AddPart(&index), 0); // closes the MBR stream
    EXPECT_EQ(store->CloseMbrStream(), 0);
    EXPECT_EQ(store->OpenUdata(&length), 2);
    EXPECT_EQ(store->SetBytesPerSector(512), 0); // an empty part
    EXPECT_EQ(store->SetSectorsPerBlock(1), 0);
    ASSERT_EQ(store->CreateUbmap(), 0);
    ASSERT_EQ(store->CreateUdata(), 0);
    EXPECT_EQ(store->SetPartDescription("before a long name"), 0);
    EXPECT_EQ(store->SetPartName(std::string(300, 'n').c_str()), 0);
    store->Release();

    store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 1u); // "kwi/mbr" is not a part
    EXPECT_EQ(store->AddPart(&index), 2);
    EXPECT_EQ(store->CreateMbrStream(), 2);
    EXPECT_EQ(store->OpenUbmap(&length), 2); // no current part
    EXPECT_EQ(store->Read(&byte, 1, &got), 2);
    ASSERT_EQ(store->SelectPart(0), 0);
    char text[400] = {};
    store->GetPartName(text, sizeof text);
    EXPECT_EQ(std::string(text), std::string(182 - 18, 'n')); // cut to fit 500 bytes
    store->GetPartDescription(text, sizeof text);
    EXPECT_STREQ(text, "before a long name");
    EXPECT_EQ(store->SetPartFlags(4), 2);
    EXPECT_EQ(store->OpenSdata(&length), 504); // never created
    EXPECT_EQ(store->RemovePart(0), 2);
    ASSERT_EQ(store->OpenMbrStream(&length), 0);
    EXPECT_EQ(length, 1024u);
    Bytes back(1024);
    ASSERT_EQ(store->ReadMbr(back.data(), 1024, &got), 0);
    EXPECT_EQ(back, mbr);
    store->Release();
}

TEST_F(PartStoreLayout, FileOfAnotherFormatCannotBeAppendedTo) {
    PutFileBytes(image, MixedBytes(300000, 3));
    EXPECT_EQ(PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error), nullptr);
    EXPECT_EQ(error, 1802);
    EXPECT_EQ(PartStoreOpenReadOnly(image.c_str(), nullptr, &error), nullptr);
    EXPECT_NE(error, 0);
    EXPECT_NE(PartStoreVerifyData(image.c_str(), nullptr), 0);
    EXPECT_EQ(FileBytes(image), MixedBytes(300000, 3));
}

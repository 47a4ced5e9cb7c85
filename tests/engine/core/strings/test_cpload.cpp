// Loading code-page sections: a double-byte page built from iconv's CP932,
// damaged blocks and section lists, and the fall-backs between kinds.
#include "engine/core/codepage.h"
#include "engine/core/codepages/cpblock_format.h"
#include "engine/core/msgres.h"
#include "iconv_ref.h"
#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Block = std::vector<std::uint8_t>;

// CP932 as iconv knows it: every lead byte of cpIsLeadByte(932) with the
// trail bytes 0x40-0xFF, and the single bytes iconv maps to one character.
Block buildCp932Block() {
    kwcp::DbcsPart dbcs;
    dbcs.leadRanges = {{0x81, 0x84}, {0x87, 0x9F}, {0xE0, 0xEA}, {0xED, 0xEE}, {0xFA, 0xFC}};
    dbcs.firstTrail = 0x40;
    for (int lead = 0x81; lead < 256; ++lead) {
        if (!cpIsLeadByte(static_cast<std::uint8_t>(lead), 932))
            continue;
        ++dbcs.leadCount;
        for (int trail = 0x40; trail < 256; ++trail) {
            const std::string two{static_cast<char>(lead), static_cast<char>(trail)};
            auto u = kwtest::iconvTo16(two, "CP932");
            dbcs.values.push_back(u && u->size() == 1 ? (*u)[0] : 0);
        }
    }
    std::vector<kwcp::CodeEntry> singles;
    for (int b = 0x20; b < 256; ++b) {
        if (cpIsLeadByte(static_cast<std::uint8_t>(b), 932))
            continue;
        auto u = kwtest::iconvTo16(std::string(1, static_cast<char>(b)), "CP932");
        if (u && u->size() == 1)
            singles.push_back({static_cast<std::uint16_t>(b), (*u)[0]});
    }
    return kwcp::buildCodePageBlock(932, 2, '?', singles, &dbcs);
}

const Block& cp932Block() {
    static const Block block = buildCp932Block();
    return block;
}

// A block of the engine's built-in resource image.
Block builtinBlock(const char* name) {
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    CP_SECTION* list = nullptr;
    std::uint32_t count = 0;
    Block block;
    if (cpGetResourceSections(image, size, &list, &count)) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (std::string(list[i].name) == name && list[i].length > 0)
                block.assign(list[i].data, list[i].data + list[i].length);
        }
    }
    cpFreeResourceSections(&list);
    return block;
}

CP_SECTION section(const char* name, const Block& b) {
    return {name, b.data(), static_cast<std::int32_t>(b.size())};
}

std::u16string toWide(std::uint32_t kind, const std::string& text) {
    std::vector<char16_t> buf(text.size() + 2);
    cpConvertString(CPKIND_UTF16, buf.data(), kind, text.c_str(),
                    static_cast<std::uint32_t>(buf.size() * 2));
    return std::u16string(buf.data());
}

std::string fromWide(std::uint32_t kind, const std::u16string& text) {
    std::vector<char> buf(text.size() * 2 + 1);
    cpConvertString(kind, buf.data(), CPKIND_UTF16, text.c_str(),
                    static_cast<std::uint32_t>(buf.size()));
    return std::string(buf.data());
}

class DoubleBytePage : public ::testing::Test {
protected:
    void SetUp() override {
        dbcs_ = cp932Block();
        oem_ = builtinBlock("CODEPAGE_INFO CP_DOS");
        const CP_SECTION list[] = {section("CODEPAGE_INFO CP_WIN", dbcs_),
                                   section("CODEPAGE_INFO CP_BIOS", oem_)};
        ASSERT_TRUE(cpLoadSections(list, 2, CPKIND_WIN, false));
    }
    void TearDown() override { cpFreeTables(); }
    Block dbcs_, oem_;
};

TEST_F(DoubleBytePage, EveryCellAgreesWithIconv) {
    const cpInfo* t = cpGetTable(CPKIND_WIN);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->IsDbcs());
    EXPECT_EQ(cpGetTable(CPKIND_DOS), t); // DOS falls back to a double-byte WIN
    EXPECT_EQ(cpGetTable(CPKIND_BIOS)->GetCodePage(), 850u);
    int checked = 0;
    for (int lead = 0x81; lead < 256; ++lead) {
        if (!cpIsLeadByte(static_cast<std::uint8_t>(lead), 932))
            continue;
        for (int trail = 0x40; trail < 256; ++trail) {
            const std::string two{static_cast<char>(lead), static_cast<char>(trail)};
            auto ref = kwtest::iconvTo16(two, "CP932");
            if (!ref || ref->size() != 1)
                continue;
            ASSERT_EQ(toWide(CPKIND_WIN, two), *ref) << lead << "/" << trail;
            ++checked;
        }
    }
    EXPECT_GT(checked, 7000);
}

TEST_F(DoubleBytePage, TextBothWaysAsIconv) {
    const std::u16string text = u"\u65E5\u672C\u8A9E \uFF76\uFF80\uFF76\uFF85 abc \u2460";
    const std::string bytes = *kwtest::iconvFrom16(text, "CP932");
    EXPECT_EQ(toWide(CPKIND_WIN, bytes), text);
    EXPECT_EQ(fromWide(CPKIND_WIN, text), bytes);
    // Case-insensitive comparison walks whole characters.
    EXPECT_EQ(cpCompareStrings(CPKIND_WIN, (bytes + "X").c_str(), (bytes + "x").c_str(), 40), 0);
}

// A lead byte whose next byte is below the first trail byte, or the
// terminator, stands alone; nothing past the terminator is read.
TEST_F(DoubleBytePage, LeadByteWithoutTrail) {
    EXPECT_EQ(toWide(CPKIND_WIN, "\x81\x20"
                                 "a"),
              u"? a");
    EXPECT_EQ(toWide(CPKIND_WIN, "a\x81"), u"a?");
    const cpInfo* t = cpGetTable(CPKIND_WIN);
    const std::uint8_t end[] = {0x81, 0x00};
    EXPECT_EQ(t->NextChar(end), end + 1);
    EXPECT_EQ(t->NextChar(end + 1), end + 1);
    EXPECT_EQ(t->NextChar(nullptr), nullptr);
}

TEST_F(DoubleBytePage, TwoByteCharacterIsNeverCut) {
    char out[3];
    // The kanji needs two bytes and the terminator: with three bytes of room
    // the second one does not fit.
    cpConvertString(CPKIND_WIN, out, CPKIND_UTF16, u"\u65E5\u65E5", 3);
    EXPECT_EQ(std::string(out), *kwtest::iconvFrom16(u"\u65E5", "CP932"));
}

void putLe32(Block& b, std::size_t at, std::uint32_t v) {
    kwbytes::StoreLe32(b.data() + at, v);
}

TEST(CodePageBlock, DamagedBlocksAreRefused) {
    const Block good = cp932Block();
    const std::size_t s = kwbytes::LoadLe16(good.data() + 26);
    const std::size_t dPos = 30 + 4 * s; // D, then T, then L
    struct Damage {
        const char* what;
        void (*apply)(Block&, std::size_t);
    };
    const Damage damages[] = {
        {"total size", [](Block& b, std::size_t) { putLe32(b, 0, 99); }},
        {"single count", [](Block& b, std::size_t) { putLe32(b, 26, 0x40000000); }},
        {"singles out of order", [](Block& b, std::size_t) { std::swap(b[30], b[34]); }},
        {"lead count", [](Block& b, std::size_t d) { putLe32(b, d + 8, 44); }},
        {"trail byte 0", [](Block& b, std::size_t d) { putLe32(b, d + 4, 0); }},
        {"trail byte 256", [](Block& b, std::size_t d) { putLe32(b, d + 4, 256); }},
        {"lead ranges", [](Block& b, std::size_t) { b[15] = 0x85; }},
        {"control lead", [](Block& b, std::size_t) { b[14] = 0x10; }},
        {"no lead range", [](Block& b, std::size_t) { b[14] = 0; }},
        {"extra byte",
         [](Block& b, std::size_t) {
             b.push_back(0);
             putLe32(b, 0, static_cast<std::uint32_t>(b.size()));
         }},
        {"cut",
         [](Block& b, std::size_t) {
             b.resize(30);
             putLe32(b, 0, 30);
         }},
    };
    cpInfo ok;
    EXPECT_TRUE(ok.Load(good.data(), static_cast<std::uint32_t>(good.size()), nullptr, true));
    for (const Damage& d : damages) {
        Block bad = good;
        d.apply(bad, dPos);
        cpInfo t;
        EXPECT_FALSE(t.Load(bad.data(), static_cast<std::uint32_t>(bad.size()), nullptr, true))
            << d.what;
        EXPECT_EQ(t.GetCodePage(), 0u) << d.what;
    }
}

TEST(CodePageSections, SharesAndFallbacks) {
    const Block win = builtinBlock("CODEPAGE_INFO CP_UNIX");
    const Block oem = builtinBlock("CODEPAGE_INFO CP_DOS");
    struct Case {
        const char* what;
        std::vector<CP_SECTION> list;
        std::uint32_t host;
        bool loads;
    };
    const Case cases[] = {
        {"share past the end",
         {section("CODEPAGE_INFO CP_DOS", oem), {"CODEPAGE_INFO CP_WIN", nullptr, -5}},
         CPKIND_WIN,
         false},
        {"share of itself",
         {section("CODEPAGE_INFO CP_DOS", oem), {"CODEPAGE_INFO CP_WIN", nullptr, -1}},
         CPKIND_WIN,
         false},
        {"share of a share",
         {section("CODEPAGE_INFO CP_DOS", oem),
          {"CODEPAGE_INFO CP_UNIX", nullptr, 0},
          {"CODEPAGE_INFO CP_WIN", nullptr, -1}},
         CPKIND_WIN,
         false},
        {"no WIN table", {section("CODEPAGE_INFO CP_DOS", oem)}, CPKIND_DOS, false},
        {"no DOS or BIOS table", {section("CODEPAGE_INFO CP_WIN", win)}, CPKIND_WIN, false},
        {"BIOS serves DOS",
         {section("CODEPAGE_INFO CP_WIN", win), section("CODEPAGE_INFO CP_BIOS", oem)},
         CPKIND_DOS,
         true},
        {"host kind without a table",
         {section("CODEPAGE_INFO CP_WIN", win), section("CODEPAGE_INFO CP_DOS", oem)},
         CPKIND_MAC,
         false},
        {"UTF-8 host",
         {section("CODEPAGE_INFO CP_WIN", win), section("CODEPAGE_INFO CP_DOS", oem)},
         CPKIND_UTF8,
         true},
        {"share by position",
         {section("CODEPAGE_INFO CP_DOS", oem),
          section("CODEPAGE_INFO CP_UNIX", win),
          {"CODEPAGE_INFO CP_WIN", nullptr, -1}},
         CPKIND_WIN,
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            cpLoadSections(c.list.data(), static_cast<std::uint32_t>(c.list.size()), c.host, true),
            c.loads)
            << c.what;
        if (!c.loads) {
            EXPECT_EQ(cpGetHostKind(), 0u) << c.what;
        }
        cpFreeTables();
    }
    const CP_SECTION utf8Host[] = {section("CODEPAGE_INFO CP_WIN", win),
                                   section("CODEPAGE_INFO CP_DOS", oem)};
    ASSERT_TRUE(cpLoadSections(utf8Host, 2, CPKIND_UTF8, false));
    EXPECT_EQ(cpGetCurrentCodePage(), CP_NUMBER_UTF8);
    cpFreeTables();
}

TEST(CodePageSections, AlternateFormSets) {
    const Block win = builtinBlock("CODEPAGE_INFO CP_UNIX");
    const Block oem = builtinBlock("CODEPAGE_INFO CP_DOS");
    const Block first = kwcp::buildAltFormBlock({{0x0152, 'Q'}});
    const Block second = kwcp::buildAltFormBlock({{0x0152, 'O'}, {0x0153, 'o'}});
    const Block unsorted = kwcp::buildAltFormBlock({{0x0161, 's'}, {0x0160, 'S'}});
    const CP_SECTION list[] = {section("ALT_FORMS ONE", first), section("ALT_FORMS TWO", second),
                               section("ALT_FORMS BAD", unsorted),
                               section("CODEPAGE_INFO CP_WIN", win),
                               section("CODEPAGE_INFO CP_DOS", oem)};
    ASSERT_TRUE(cpLoadSections(list, 5, CPKIND_WIN, true));
    EXPECT_EQ(fromWide(CPKIND_DOS, u"\u0152\u0153\u0161"), "Qo?"); // first set wins; bad set unused
    cpFreeTables();

    altFormMapper m;
    EXPECT_EQ(m.Add("A", first.data(), 1, false), 1u);
    EXPECT_EQ(m.Add("A", second.data(), 2, false), 0u); // name already present
    EXPECT_EQ(m.Add("B", nullptr, 2, false), 0u);
    EXPECT_EQ(m.Add("B", second.data(), 0, false), 0u);
    EXPECT_EQ(m.Add(nullptr, second.data(), 2, false), 0u);
    EXPECT_EQ(m.Add("B", second.data(), 2, true), 2u);
    EXPECT_EQ(m.Lookup(0x0153), 'o');
    EXPECT_EQ(m.Lookup(0x0154), '?');
}

// A third single-byte page from iconv (437, as the BIOS table) converts
// every byte as iconv does, also to and from the built-in pages.
TEST(CodePageSections, BiosPageFromIconv) {
    std::vector<kwcp::CodeEntry> singles;
    for (int b = 0x20; b < 256; ++b) {
        auto u = kwtest::iconvTo16(std::string(1, static_cast<char>(b)), "IBM437");
        ASSERT_TRUE(u && u->size() == 1) << b;
        singles.push_back({static_cast<std::uint16_t>(b), (*u)[0]});
    }
    const Block bios = kwcp::buildCodePageBlock(437, 1, '?', singles);
    const Block win = builtinBlock("CODEPAGE_INFO CP_UNIX");
    const Block oem = builtinBlock("CODEPAGE_INFO CP_DOS");
    const CP_SECTION list[] = {section("CODEPAGE_INFO CP_WIN", win),
                               section("CODEPAGE_INFO CP_DOS", oem),
                               section("CODEPAGE_INFO CP_BIOS", bios)};
    ASSERT_TRUE(cpLoadSections(list, 3, CPKIND_WIN, true));
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(toWide(CPKIND_BIOS, one), *kwtest::iconvTo16(one, "IBM437")) << b;
        auto inDos = kwtest::iconvBytes(one, "IBM437", "IBM850");
        char out[4];
        cpConvertString(CPKIND_DOS, out, CPKIND_BIOS, one.c_str(), sizeof out);
        if (inDos) { // a character 850 lacks becomes its alternate form or "?"
            EXPECT_EQ(std::string(out), *inDos) << b;
        }
    }
    cpFreeTables();
}

} // namespace

namespace {

std::vector<std::uint8_t> builtinImage() {
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    return std::vector<std::uint8_t>(image, image + size);
}

TEST(CodePageResource, CopiedTablesOutliveTheImage) {
    {
        std::vector<std::uint8_t> image = builtinImage();
        ASSERT_TRUE(cpLoadResourceFile(image.data(), static_cast<std::uint32_t>(image.size()),
                                       CPKIND_WIN, 1));
        std::fill(image.begin(), image.end(), 0);
    }
    EXPECT_EQ(fromWide(CPKIND_DOS, u"\u00E9\u0152"), "\x82O");
    cpFreeTables();
}

TEST(CodePageResource, DamagedImagesAreRefused) {
    std::vector<std::uint8_t> image = builtinImage();
    // The last section's length (the 512-byte template) no longer fills the data area.
    const std::string name = "MBR LANGSPECIFIC";
    auto at = std::search(image.begin(), image.end(), name.begin(), name.end());
    ASSERT_NE(at, image.end());
    const std::size_t lengthAt = static_cast<std::size_t>(at - image.begin()) + name.size() + 1;
    image[lengthAt] ^= 1;
    EXPECT_FALSE(
        cpLoadResourceFile(image.data(), static_cast<std::uint32_t>(image.size()), CPKIND_WIN, 0));
    EXPECT_FALSE(cpLoadResourceFile(image.data(), 40, CPKIND_WIN, 0));
    EXPECT_FALSE(cpLoadResourceFile(nullptr, 0, CPKIND_WIN, 0));
    EXPECT_EQ(cpGetTable(CPKIND_WIN), nullptr);
}

TEST(CodePageResource, LastTextResourceTakesTheTables) {
    ASSERT_TRUE(cpLoadBuiltinTables(CPKIND_WIN));
    { CODEPAGE_INFO info; }
    EXPECT_EQ(cpGetTable(CPKIND_WIN), nullptr);
    EXPECT_EQ(cpGetCurrentCodePage(), 0u);
}

} // namespace

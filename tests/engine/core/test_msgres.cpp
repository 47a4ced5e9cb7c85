#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// Writes a resource image from parts, as the build's generator lays it out.
struct ImageBuilder {
    std::vector<std::pair<std::uint32_t, std::int32_t>> dir;
    std::string texts;
    std::vector<std::pair<std::string, std::int32_t>> sections;
    std::string data;
    std::int64_t totalOverride = -1;
    std::int64_t textSizeOverride = -1;

    void Message(std::uint32_t id, const std::string& text) {
        dir.push_back({id, static_cast<std::int32_t>(text.size())});
        texts += text;
        texts.push_back('\0');
    }
    void Share(std::uint32_t id, std::int32_t position) { dir.push_back({id, -position}); }
    void Section(const std::string& name, const std::string& block) {
        sections.push_back({name, static_cast<std::int32_t>(block.size())});
        data += block;
    }
    void ShareSection(const std::string& name, std::int32_t position) {
        sections.push_back({name, -position});
    }
    static void U32(std::string* out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out->push_back(static_cast<char>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> Build() const {
        std::string body;
        for (auto [id, len] : dir) {
            U32(&body, id);
            U32(&body, static_cast<std::uint32_t>(len));
        }
        U32(&body, static_cast<std::uint32_t>(sections.size()));
        for (const auto& [name, len] : sections) {
            body += name;
            body.push_back('\0');
            U32(&body, static_cast<std::uint32_t>(len));
        }
        body += texts + data;
        std::string image(KW_RESOURCE_SIGNATURE, KW_RESOURCE_SIGNATURE_LEN);
        U32(&image, 1);
        std::size_t total = image.size() + 12 + body.size();
        U32(&image, static_cast<std::uint32_t>(totalOverride >= 0 ? totalOverride : total));
        U32(&image, static_cast<std::uint32_t>(dir.size()));
        U32(&image,
            static_cast<std::uint32_t>(textSizeOverride >= 0 ? textSizeOverride : texts.size()));
        image += body;
        return {image.begin(), image.end()};
    }
};

ImageBuilder SmallImage() {
    ImageBuilder b;
    b.Message(3, "first");
    b.Message(7, "second %1");
    b.Share(9, 1);  // the text of position 1
    b.Share(12, 0); // length 0: the text of the first message
    b.Section("ALT_FORMS LATIN", "AAAA");
    b.Section("CODEPAGE_INFO CP_DOS", "DDDDDD");
    b.ShareSection("CODEPAGE_INFO CP_WIN", 1);
    b.Section("MBR LANGSPECIFIC", std::string("\x55\xAA", 2));
    return b;
}

TEST(MessageResource, BuiltInImage) {
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    std::uint32_t version = 0, count = 0, textSize = 0, sectionCount = 0;
    KW_SECTION_DIR* dir = nullptr;
    std::size_t offset = 0, dataSize = 0;
    ASSERT_TRUE(cpReadResourceHeader(image, size, &offset, &version, &count, &textSize, nullptr,
                                     &sectionCount, &dataSize, &dir));
    EXPECT_EQ(version, 1u);
    EXPECT_EQ(count, 569u);
    EXPECT_EQ(offset + textSize + dataSize, size);
    ASSERT_GE(sectionCount, 1u);
    EXPECT_STREQ(dir[sectionCount - 1].name, "MBR LANGSPECIFIC");
    EXPECT_EQ(dir[sectionCount - 1].length, 512);
    kwFreeMemory(&dir);
    // The file ends with the master boot record template.
    EXPECT_EQ(image[size - 2], 0x55);
    EXPECT_EQ(image[size - 1], 0xAA);

    CODEPAGE_INFO info;
    ASSERT_TRUE(info.LoadMessages(image, size, false));
    EXPECT_EQ(info.MessageCount(), 569u);
    EXPECT_FALSE(info.OwnsCopies());
    for (std::uint32_t id = 1; id <= 570; ++id)
        EXPECT_EQ(info.GetMessage(id) != nullptr, id != 101) << id;
    EXPECT_STREQ(info.GetMessage(430), "Copying segment %1");
    EXPECT_STREQ(info.GetMessage(474), "Can't use both %1 and %2");
    EXPECT_EQ(info.GetMessage(0), nullptr);
    EXPECT_EQ(info.GetMessage(571), nullptr);
    const KW_SECTION* mbr = info.FindSection("MBR LANGSPECIFIC");
    ASSERT_NE(mbr, nullptr);
    EXPECT_EQ(mbr->length, 512);
    EXPECT_EQ(mbr->data, image + size - 512);
    // Five sections; CP_WIN shares the CP_UNIX table.
    EXPECT_EQ(info.SectionCount(), 5u);
    const KW_SECTION* unix = info.FindSection("CODEPAGE_INFO CP_UNIX");
    const KW_SECTION* win = info.FindSection("CODEPAGE_INFO CP_WIN");
    ASSERT_NE(unix, nullptr);
    ASSERT_NE(win, nullptr);
    EXPECT_EQ(win->data, unix->data);
    EXPECT_EQ(win->length, unix->length);
}

TEST(MessageResource, SharesAndCopies) {
    std::vector<std::uint8_t> image = SmallImage().Build();
    for (bool copy : {false, true}) {
        CODEPAGE_INFO info;
        ASSERT_TRUE(info.LoadMessages(image.data(), image.size(), copy)) << copy;
        EXPECT_EQ(info.OwnsCopies(), copy);
        EXPECT_STREQ(info.GetMessage(3), "first");
        EXPECT_STREQ(info.GetMessage(9), "second %1");
        EXPECT_STREQ(info.GetMessage(12), "first");
        EXPECT_EQ(info.GetMessage(8), nullptr);
        const KW_SECTION* mbr = info.FindSection("MBR LANGSPECIFIC");
        ASSERT_NE(mbr, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(mbr->data), 2), "\x55\xAA");
        const KW_SECTION* win = info.FindSection("CODEPAGE_INFO CP_WIN");
        if (copy) {
            // The code-page layer keeps its own sections; copies drop them.
            EXPECT_EQ(info.SectionCount(), 1u);
            EXPECT_EQ(win, nullptr);
            EXPECT_TRUE(mbr->data < image.data() || mbr->data >= image.data() + image.size());
        } else {
            EXPECT_EQ(info.SectionCount(), 4u);
            ASSERT_NE(win, nullptr);
            EXPECT_EQ(win->length, 6);
            EXPECT_EQ(win->data, info.FindSection("CODEPAGE_INFO CP_DOS")->data);
        }
    }
}

TEST(MessageResource, DamagedImagesAreRefused) {
    struct Case {
        const char* what;
        void (*damage)(ImageBuilder*);
    };
    const Case cases[] = {
        {"share past the directory", [](ImageBuilder* b) { b->Share(20, 9); }},
        {"share of a share", [](ImageBuilder* b) { b->Share(20, 2); }},
        {"ids out of order", [](ImageBuilder* b) { b->Message(1, "late"); }},
        {"repeated id", [](ImageBuilder* b) { b->Message(12, "again"); }},
        {"section share past the directory", [](ImageBuilder* b) { b->ShareSection("X", 7); }},
        {"total size differs", [](ImageBuilder* b) { b->totalOverride = 5; }},
        {"text area too small", [](ImageBuilder* b) { b->textSizeOverride = 8; }},
        {"text area past the end", [](ImageBuilder* b) { b->textSizeOverride = 100000; }},
        {"section longer than the data", [](ImageBuilder* b) { b->sections[0].second = 99; }},
        {"section data left over", [](ImageBuilder* b) { b->data += "zz"; }},
        {"message longer than its text", [](ImageBuilder* b) { b->dir[0].second = 9; }},
        {"message shorter than its text", [](ImageBuilder* b) { b->dir[0].second = 2; }},
    };
    for (const Case& c : cases) {
        ImageBuilder b = SmallImage();
        c.damage(&b);
        std::vector<std::uint8_t> image = b.Build();
        CODEPAGE_INFO info;
        EXPECT_FALSE(info.LoadMessages(image.data(), image.size(), false)) << c.what;
        EXPECT_EQ(info.MessageCount(), 0u) << c.what;
        EXPECT_EQ(info.GetMessage(3), nullptr) << c.what;
    }
    std::vector<std::uint8_t> image = SmallImage().Build();
    CODEPAGE_INFO info;
    image[0] ^= 1; // signature
    EXPECT_FALSE(info.LoadMessages(image.data(), image.size(), false));
    image[0] ^= 1;
    image[26] = 2; // version
    EXPECT_FALSE(info.LoadMessages(image.data(), image.size(), false));
    image[26] = 1;
    for (std::size_t cut = 0; cut < image.size(); ++cut)
        EXPECT_FALSE(info.LoadMessages(image.data(), cut, true)) << cut;
    EXPECT_FALSE(info.LoadMessages(nullptr, 100, false));
    EXPECT_TRUE(info.LoadMessages(image.data(), image.size(), false));
}

// Reads the catalogue the build generated the image from.
std::map<std::uint32_t, std::string> ReadCatalogue() {
    std::ifstream in(std::string(KW_SOURCE_DIR) + "/engine/core/texts/messages.txt");
    std::map<std::uint32_t, std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::uint32_t id = static_cast<std::uint32_t>(std::stoul(line));
        std::string text;
        bool quoted = false;
        for (std::size_t i = line.find(' '); i < line.size(); ++i) {
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\') {
                char e = line[++i];
                text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e);
            } else if (quoted) {
                text.push_back(c);
            }
        }
        out[id] = text;
    }
    return out;
}

TEST(MessageResource, BuiltInImageHoldsTheCatalogue) {
    std::map<std::uint32_t, std::string> catalogue = ReadCatalogue();
    ASSERT_EQ(catalogue.size(), 569u);
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    CODEPAGE_INFO info;
    ASSERT_TRUE(info.LoadMessages(image, size, true));
    for (const auto& [id, text] : catalogue) {
        const char* loaded = info.GetMessage(id);
        ASSERT_NE(loaded, nullptr) << id;
        EXPECT_EQ(loaded, text) << id;
    }
}

class FormatTest : public ::testing::Test {
protected:
    kwtest::EngineTexts texts_;
};

TEST_F(FormatTest, Substitutions) {
    struct Case {
        const char* text;
        const char* s[4];
        const char* result;
    };
    const Case cases[] = {
        {"plain", {}, "plain"},
        {"Copying segment %1", {"SYS"}, "Copying segment SYS"},
        {"Copying segment %1", {}, "Copying segment %1"},
        {"%1-%2", {"a", "b"}, "a-b"},
        {"%3 %1 %4 %2", {"one", "two", "three", "four"}, "three one four two"},
        {"%1%1%1", {"ab"}, "ababab"},
        {"100%%", {}, "100%"},
        {"ends in %", {}, "ends in %?"},
        {"%x and %5", {}, "%? and %?"},
        {"", {"unused"}, ""},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(FormatString(c.text, c.s[0], c.s[1], c.s[2], c.s[3]), c.result) << c.text;
    EXPECT_EQ(FormatString(nullptr, "x"), nullptr);
    EXPECT_STREQ(gMessageFormatter->FormatById(430, "SYS"), "Copying segment SYS");
    EXPECT_STREQ(gMessageFormatter->GetString(101), "String Not Found");
    EXPECT_STREQ(kwGetMessageText(474), "Can't use both %1 and %2");
}

TEST_F(FormatTest, LongTextsStayInsideTheBuffer) {
    // Estimated too long: the input comes back unchanged.
    std::string text(4000, 'a');
    text += "%1";
    std::string s1(200, 'b');
    EXPECT_EQ(FormatString(text.c_str(), s1.c_str()), text.c_str());
    // A repeated marker makes the result longer than the estimate: it is cut
    // at 4095 characters.
    std::string repeated;
    for (int i = 0; i < 100; ++i)
        repeated += "%1";
    std::string s2(1000, 'c');
    const char* out = FormatString(repeated.c_str(), s2.c_str());
    EXPECT_EQ(std::strlen(out), KW_FORMAT_BUFFER - 1);
    EXPECT_EQ(std::string(out), std::string(KW_FORMAT_BUFFER - 1, 'c'));
    // Trailing percent signs at the very end of a full buffer.
    std::string percents(4094, 'd');
    percents += "%";
    out = FormatString(percents.c_str());
    EXPECT_EQ(std::strlen(out), KW_FORMAT_BUFFER - 1);
}

TEST_F(FormatTest, ResultsRotateThroughThreeBuffers) {
    const char* r0 = FormatString("a%1", "0");
    const char* r1 = FormatString("a%1", "1");
    const char* r2 = FormatString("a%1", "2");
    EXPECT_NE(r0, r1);
    EXPECT_NE(r1, r2);
    EXPECT_NE(r0, r2);
    EXPECT_STREQ(r0, "a0");
    const char* r3 = FormatString("a%1", "3");
    EXPECT_EQ(r3, r0);
    EXPECT_STREQ(r0, "a3");
    char buf[16];
    EXPECT_STREQ(FormatNumber(buf, 4294967295u), "4294967295");
}

} // namespace

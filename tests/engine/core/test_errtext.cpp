#include "engine/core/errtext.h"

#include "kwstring.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// The codes that carry a text of their own.
std::set<kwRet> CodesWithText() {
    const std::pair<kwRet, kwRet> ranges[] = {
        {2, 4},       {6, 10},      {20, 24},     {26, 59},     {70, 92},     {95, 126},
        {128, 136},   {140, 140},   {158, 159},   {180, 184},   {186, 186},   {200, 229},
        {299, 313},   {320, 321},   {330, 330},   {335, 335},   {352, 357},   {500, 514},
        {600, 603},   {606, 607},   {610, 623},   {625, 627},   {630, 633},   {636, 644},
        {718, 720},   {745, 745},   {747, 748},   {800, 800},   {900, 902},   {948, 980},
        {982, 987},   {990, 998},   {1000, 1049}, {1100, 1118}, {1120, 1127}, {1200, 1213},
        {1216, 1233}, {1400, 1421}, {1423, 1488}, {1500, 1552}, {1600, 1655}, {1680, 1694},
        {1701, 1701}, {1800, 1805}, {1807, 1813}, {1816, 1824}, {1826, 1839}, {1849, 1868},
        {1871, 1878}, {2001, 2027}, {2100, 2104}, {2200, 2212}, {4000, 4000}};
    std::set<kwRet> codes;
    for (auto [a, b] : ranges)
        for (kwRet c = a; c <= b; ++c)
            codes.insert(c);
    return codes;
}

TEST(ErrorText, ExactlyTheListedCodesHaveTexts) {
    std::set<kwRet> codes = CodesWithText();
    ASSERT_EQ(codes.size(), 716u); // 2010: the full fixed root folder
    for (kwRet code = 0; code <= 4100; ++code) {
        std::string text = kwGetErrorTextA(code);
        EXPECT_EQ(!text.empty(), codes.count(code) == 1) << "code " << code;
        EXPECT_EQ(kwHasErrorText(code), codes.count(code) == 1) << "code " << code;
        for (unsigned char c : text)
            ASSERT_LT(c, 0x80) << "code " << code;
    }
    EXPECT_EQ(kwGetErrorTextA(0xFFFFFFFFu), "");
    EXPECT_EQ(kwGetErrorTextA(kwHostError(5)), "");
}

TEST(ErrorText, TextsAsTheSystemWritesThem) {
    const std::pair<kwRet, const char*> cases[] = {
        {3, "Not enough memory\n"},
        {29, "Cannot lock a locked drive."},
        {122, "A bad sector was found in the current or new partition\narea.  The operation "
              "cannot be safely performed.  No\nchanges were made."},
        {990, "Unable to fix error #%lu. "},
        {1802, "Image file is invalid or corrupted."},
        {1849, "The file \"Resource.dat\" was not found."},
        {1874, "Unable to open \"%s\" file, required for operation\n"},
        {4000, "Block not found."},
    };
    for (auto [code, text] : cases)
        EXPECT_EQ(kwGetErrorTextA(code), text) << "code " << code;
}

// The NetWare layer's texts, as its users see them.
TEST(ErrorText, NetWareTexts) {
    const std::pair<kwRet, const char*> cases[] = {
        {1400, "Redirect Area Block Size is not 4K."},
        {1401, "Bad Redirect Area on NetWare partition."},
        {1402, "No Volume Definition Table on NetWare partition."},
        {1403, "Specified volume segment not found."},
        {1406, "Invalid Volume Block Requested."},
        {1414, "NetWare volume is missing segments."},
        {1415, "Mirror partition not found.  Use INSTALL or NWCONFIG.NLM to fix up mirroring."},
        {1419, "Primary partition not found."},
        {1421, "Cannot format -- bad system area"},
        {1423, "Root directory entry is incorrect."},
        {1424, "Incorrect number of suballocation FAT chains."},
        {1425, "Directory entry is corrupt."},
        {1426, "File's parent is not a directory."},
        {1429, "Redirection Table and copy are not identical."},
        {1430, "Error Table and copy are not identical"},
        {1431, "Not enough free space in Redirection Area to resize."},
        {1436, "Internal Error: FAT not available for exclusive use."},
        {1437, "Internal Error: FAT table not correct size."},
        {1439, "No valid Mirror Information Table in Redirection Area."},
        {1440, "Internal Error: Number of volume segments on disk\ndoesn't match internal count."},
        {1441,
         "Number of sectors in the volume's segments does\nnot match block count for volume."},
        {1442, "Volume segment's block shift factor is incorrect."},
        {1443, "Volume segment's segment position is incorrect."},
        {1444, "Volume segment's number of segments count is incorrect."},
        {1446, "Volume segment's starting disk sector value is incorrect."},
        {1451, "Volume segment's first primary directory block\nvalue is incorrect."},
        {1455, "The FAT chain used to define the FAT has an invalid\nforward reference."},
        {1456, "Internal Error: Incorrect reference to Volume object."},
        {1457, "The specified segment is not found."},
        {1459, "Internal Error: the region specified cannot be found."},
        {1460, "Number of segments in partition greater than the\nmaximum allowed."},
        {1462, "Internal Error: The region is invalid for the\noperation specified."},
        {1463, "The FAT chain used to define the directory has\nan invalid entry."},
        {1464, "The FAT chain used to define the FAT has an invalid entry."},
        {1465, "Wrong number of FAT blocks in a segment for the segment size."},
        {1466, "Not enough space in Redirection Area for system tables."},
        {1469, "Not enough memory to resize."},
        {1471, "Not enough memory for FAT."},
        {1473, "Not enough memory for directory."},
        {1476, "First entry in file FAT chain (%s) is invalid"},
        {1477, "First entry in suballocation FAT chain is invalid"},
        {1480, "Internal error: Partition limits are invalid"},
        {1481, "Internal error: Volume segment limits are invalid"},
    };
    for (auto [code, text] : cases)
        EXPECT_EQ(kwGetErrorTextA(code), text) << "code " << code;
}

TEST(ErrorText, CopyStringCheckedNeverOverruns) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    CopyStringChecked(buf, "abc", 4);
    EXPECT_STREQ(buf, "abc");
    CopyStringChecked(buf, "abcd", 4); // needs 5 bytes
    EXPECT_STREQ(buf, "ERR");
    CopyStringChecked(buf, "zzz", 0); // nothing written
    EXPECT_STREQ(buf, "ERR");
    CopyStringChecked(nullptr, "zzz", 4);
}

TEST(ErrorText, ResourceStrings) {
    char buf[64];
    LookupResourceString(97, buf, 3);
    EXPECT_STREQ(buf, "ER");
    LookupResourceString(97, buf, 6);
    EXPECT_STREQ(buf, "Error");
    // Ids below, between and above every id in the table.
    for (std::uint32_t id : {0u, 7u, 500u, 0xFFFFFFFFu}) {
        LookupResourceString(id, buf, sizeof buf);
        EXPECT_STREQ(buf, "ERROR: String not found") << id;
    }
    EXPECT_EQ(GetResourceStringA(98), "Error #%d \n%s");
    EXPECT_EQ(GetResourceStringA(105), "Unformatted");
    LookupResourceString(6, nullptr, 10);
}

TEST(ErrorText, KWStringsBeforeCodePagesAreLoaded) {
    EXPECT_STREQ(kwGetErrorText(3).c_str(), "Not enough memory\n");
    EXPECT_STREQ(kwGetErrorText(1849).c_str(), "The file \"Resource.dat\" was not found.");
    EXPECT_STREQ(kwGetErrorText(5).c_str(), "");
    EXPECT_STREQ(GetResourceString(6).c_str(), "Boot Manager");
}

std::string Framed(kwRet code, std::uint32_t kind, std::uintptr_t a1 = 0, std::uintptr_t a2 = 0) {
    char* text = kwFormatErrorText(code, 0, kind, a1, a2);
    std::string out = text != nullptr ? text : "<null>";
    std::free(text);
    return out;
}

TEST(ErrorText, FramedMessages) {
    EXPECT_EQ(Framed(3, KW_ARG_NONE), "Error #3 \nNot enough memory\n");
    EXPECT_EQ(Framed(990, KW_ARG_ONE_NUMBER, 12), "Error #990 \nUnable to fix error #12. ");
    EXPECT_EQ(Framed(1118, KW_ARG_TWO_NUMBERS, 7, 99),
              "Error #1118 \nInode 7 has an illegal block 99");
    const char* name = "FOO";
    EXPECT_EQ(Framed(1829, KW_ARG_TEXT, reinterpret_cast<std::uintptr_t>(name)),
              "Error #1829 \nError: Unknown Command -->FOO");
    EXPECT_EQ(Framed(4001, KW_ARG_NONE), "Error #4001 \n");
}

TEST(ErrorText, ConversionsOfTheWrongKindShowTheTextAsItIs) {
    // A text conversion given a number, a number conversion given a text,
    // too few arguments, and a null text argument.
    EXPECT_EQ(Framed(1829, KW_ARG_ONE_NUMBER, 0x1234),
              "Error #1829 \nError: Unknown Command -->%s");
    EXPECT_EQ(Framed(990, KW_ARG_TEXT, reinterpret_cast<std::uintptr_t>("x")),
              "Error #990 \nUnable to fix error #%lu. ");
    EXPECT_EQ(Framed(1118, KW_ARG_ONE_NUMBER, 1),
              "Error #1118 \nInode %lu has an illegal block %lu");
    EXPECT_EQ(Framed(1829, KW_ARG_TEXT, 0), "Error #1829 \nError: Unknown Command -->%s");
}

std::string gShownCaption, gShownText;
int gShown = 0;

void RecordBox(const char* caption, const char* text) {
    ++gShown;
    gShownCaption = caption;
    gShownText = text;
}

TEST(ErrorText, MessageBoxSkipsUserCancel) {
    kwSetErrorBoxHandler(RecordBox);
    gShown = 0;
    EXPECT_EQ(kwShowErrorMessage(7, 0, 0, 0, 0), KW_OK);
    EXPECT_EQ(gShown, 0);
    EXPECT_EQ(kwShowErrorMessage(1802, 0, 0, 0, 0), KW_OK);
    EXPECT_EQ(gShown, 1);
    EXPECT_EQ(gShownCaption, "Error");
    EXPECT_EQ(gShownText, "Error #1802 \nImage file is invalid or corrupted.");
    kwSetErrorBoxHandler(nullptr);
}

} // namespace

// Build-time generator of the code-page and alternate-form sections of the
// engine resource file. Reads the readable tables beside it and writes one
// binary block per table, which the resource generator (kwresgen) places
// into the resource image as named sections.
// Usage: gen_cpblocks <table file> <out.bin> [<table file> <out.bin>...]
#include "cpblock_format.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& file, int line, const std::string& what) {
    std::fprintf(stderr, "gen_cpblocks: %s:%d: %s\n", file.c_str(), line, what.c_str());
    std::exit(1);
}

unsigned long parseNumber(const std::string& text, const std::string& file, int line) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0')
        fail(file, line, "not a number: " + text);
    return v;
}

// Reads a table file: "codepage N", "maxchar N", "default N" or "set NAME"
// lines, then pairs of numbers; '#' starts a comment.
std::vector<std::uint8_t> readTable(const std::string& file) {
    std::ifstream in(file);
    if (!in)
        fail(file, 0, "cannot open");
    std::vector<kwcp::CodeEntry> entries;
    unsigned long codePage = 0, maxChar = 1, defChar = '?';
    bool isSet = false;
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        raw = raw.substr(0, raw.find('#'));
        std::istringstream words(raw);
        std::string a, b, extra;
        if (!(words >> a))
            continue;
        if (!(words >> b) || (words >> extra))
            fail(file, line, "expected two fields");
        if (a == "codepage")
            codePage = parseNumber(b, file, line);
        else if (a == "maxchar")
            maxChar = parseNumber(b, file, line);
        else if (a == "default")
            defChar = parseNumber(b, file, line);
        else if (a == "set")
            isSet = true;
        else {
            const unsigned long code = parseNumber(a, file, line);
            const unsigned long uni = parseNumber(b, file, line);
            if (code == 0 || code > 0xFFFF || uni > 0xFFFF)
                fail(file, line, "value out of range");
            if (!entries.empty() && entries.back().code >= code)
                fail(file, line, "entries must ascend");
            entries.push_back({static_cast<std::uint16_t>(code), static_cast<std::uint16_t>(uni)});
        }
    }
    if (isSet)
        return kwcp::buildAltFormBlock(entries);
    if (codePage == 0)
        fail(file, 0, "no codepage line");
    return kwcp::buildCodePageBlock(static_cast<std::uint32_t>(codePage),
                                    static_cast<std::uint32_t>(maxChar),
                                    static_cast<std::uint16_t>(defChar), entries);
}

void writeBlock(const std::string& path, const std::vector<std::uint8_t>& block) {
    std::ofstream bin(path, std::ios::binary);
    bin.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size()));
    if (!bin)
        fail(path, 0, "cannot write");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: gen_cpblocks <table> <out.bin> [<table> <out.bin>...]\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2)
        writeBlock(argv[i + 1], readTable(argv[i]));
    return 0;
}

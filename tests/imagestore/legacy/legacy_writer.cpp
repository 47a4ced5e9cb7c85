#include "tests/imagestore/legacy/legacy_writer.h"

#include "imagestore/codec/own_method.h"
#include "include/kwbytes.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kw::legacy::testing {
namespace {

using kwbytes::LoadLe32;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    if (b.size() < off + 4)
        b.resize(off + 4);
    StoreLe32(b.data() + off, v);
}

void putText(std::vector<uint8_t>& b, size_t off, size_t size, const std::string& s) {
    size_t n = std::min(s.size(), size - 1);
    std::memcpy(b.data() + off, s.data(), n);
}

// MSB-first bit writer.
struct BitWriter {
    std::vector<uint8_t> out;
    int used = 8;
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (used == 8) {
                out.push_back(0);
                used = 0;
            }
            if ((value >> i) & 1)
                out.back() |= uint8_t(0x80 >> used);
            ++used;
        }
    }
    void align() { used = 8; }
};

void lzsLength(BitWriter& w, size_t len) {
    static const uint32_t codes[] = {0, 0, 0b00, 0b01, 0b10, 0b1100, 0b1101, 0b1110};
    static const int widths[] = {0, 0, 2, 2, 2, 4, 4, 4};
    if (len < 8) {
        w.bits(codes[len], widths[len]);
        return;
    }
    w.bits(0b1111, 4);
    len -= 8;
    while (len >= 15) {
        w.bits(0b1111, 4);
        len -= 15;
    }
    w.bits(uint32_t(len), 4);
}

// One block from data[begin, end) with matches back to windowStart.
void lzsBlock(BitWriter& w, const std::vector<uint8_t>& d, size_t windowStart, size_t begin,
              size_t end, std::vector<int64_t>& head) {
    auto hash = [&](size_t i) { return (d[i] << 8 ^ d[i + 1] << 4 ^ d[i + 2]) & 0xFFFF; };
    size_t i = begin;
    while (i < end) {
        size_t bestLen = 0, bestOff = 0;
        if (i + 3 <= end) {
            int64_t c = head[hash(i)];
            if (c >= int64_t(windowStart) && i - size_t(c) <= 2047) {
                size_t n = 0;
                while (i + n < end && d[size_t(c) + n] == d[i + n] && n < 300)
                    ++n;
                if (n >= 2) {
                    bestLen = n;
                    bestOff = i - size_t(c);
                }
            }
        }
        size_t step = bestLen >= 2 ? bestLen : 1;
        for (size_t k = i; k < i + step && k + 3 <= d.size(); ++k)
            head[hash(k)] = int64_t(k);
        if (bestLen >= 2) {
            w.bits(1, 1);
            if (bestOff < 128)
                w.bits(0x80 | uint32_t(bestOff), 8);
            else
                w.bits(uint32_t(bestOff), 12);
            lzsLength(w, bestLen);
        } else {
            w.bits(d[i], 9);
        }
        i += step;
    }
    w.bits(0b110000000, 9);
    w.align();
}

std::vector<uint8_t> zlibOf(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, data.data(), uLong(data.size()), 6) != Z_OK)
        throw std::runtime_error("zlib compress failed");
    out.resize(size);
    return out;
}

std::vector<uint8_t> ownMethodBlocks(const std::vector<uint8_t>& data, size_t blockSize) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(blockSize + 0x4000);
    OwnMethodCompressor compressor; // its work buffers serve every block
    for (size_t at = 0; at < data.size(); at += blockSize) {
        size_t n = std::min(blockSize, data.size() - at);
        size_t got =
            compressor.Compress(data.data() + at, n, buf.data(), buf.size(), kOwnMethodParameter);
        if (got == 0)
            throw std::runtime_error("own method refused a block");
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    return out;
}

std::vector<uint8_t> encode(const LegacyPartition& p) {
    std::vector<uint8_t> plain = p.data;
    scramble(plain, p.passwordValue);
    uint32_t c = p.compressedFlag ? p.code : 0;
    if (c == 0)
        return plain;
    if (c >= 1 && c <= 8)
        return zlibOf(plain);
    if (c >= 100 && c <= 105)
        return lzsEncodeBlocks(plain, p.blockSize, true);
    if (c >= 300 && c <= 305)
        return lzsEncodeBlocks(plain, p.blockSize, false);
    if (c >= 200 && c <= 209)
        return ownMethodBlocks(plain, p.blockSize);
    return plain; // unknown codes: stored as they are
}

struct Placed {
    std::vector<uint8_t> record; // 512 bytes
    std::vector<uint8_t> bitmap, stored;
};

std::vector<uint8_t> makeRecord(const LegacyPartition& p, const Placed& s, uint32_t setId) {
    std::vector<uint8_t> r(512, 0);
    put32(r, 0, 0x14378314);
    put32(r, 4, 512);
    put32(r, 8, setId);
    put32(r, 16, p.partitionType);
    put32(r, 20, p.fileSystemKind);
    put32(r, 24, p.totalSectors);
    put32(r, 28, p.sectorsPerBlock);
    put32(r, 32, p.blockCount);
    put32(r, 36, p.bytesPerSector);
    StoreLe16(r.data() + 40, p.year);
    r[42] = p.month;
    r[43] = p.day;
    put32(r, 48, uint32_t(s.bitmap.size()));
    put32(r, 52, uint32_t(s.stored.size()));
    put32(r, 96, uint32_t(uint64_t(s.stored.size()) >> 32));
    uint32_t flags = p.extraFlags | (p.bitmapZlib ? 0x02 : 0);
    if (p.code != 0 && p.compressedFlag)
        flags |= 0x01;
    put32(r, 56, flags);
    put32(r, 60, p.code);
    put32(r, 64, p.driveLetter);
    put32(r, 68, p.value68);
    put32(r, 72, p.usedBlocks);
    put32(r, 76, p.value76);
    put32(r, 88, p.value88);
    put32(r, 92, storedPasswordValue(p.passwordValue));
    put32(r, 100, p.blockLimit);
    put32(r, 104, p.value104);
    put32(r, 108, p.value108);
    putText(r, 112, 100, p.name);
    putText(r, 212, 256, p.description);
    put32(r, 508, p.value508);
    return r;
}

// Lays the partitions out over the volumes; volumes[0] is volume 1.
struct Layout {
    std::vector<std::vector<uint8_t>> volumes;
    std::vector<std::vector<uint8_t>> records;       // first record of each partition
    std::vector<std::vector<uint8_t>> continuations; // continuation records
};

void append(Layout& L, const uint8_t* b, size_t n) {
    L.volumes.back().insert(L.volumes.back().end(), b, b + n);
}

void place(Layout& L, Placed& s, uint64_t limit, uint32_t setId) {
    auto room = [&] { return limit - L.volumes.back().size(); };
    if (limit && room() < 512 + s.bitmap.size() + 1)
        L.volumes.emplace_back();
    uint32_t vol = uint32_t(L.volumes.size());
    size_t off = L.volumes.back().size();
    bool spans = limit && room() < 512 + s.bitmap.size() + s.stored.size();
    if (spans)
        put32(s.record, 56, LoadLe32(s.record.data() + 56) | 0x08);
    put32(s.record, 80, vol);
    put32(s.record, 84, uint32_t(off));
    L.records.push_back(s.record);
    append(L, s.record.data(), 512);
    append(L, s.bitmap.data(), s.bitmap.size());
    size_t at = 0;
    while (at < s.stored.size()) {
        size_t n = limit ? std::min<size_t>(room(), s.stored.size() - at) : s.stored.size() - at;
        append(L, s.stored.data() + at, n);
        at += n;
        if (at == s.stored.size())
            break;
        L.volumes.emplace_back();
        std::vector<uint8_t> cont = s.record;
        size_t left = s.stored.size() - at;
        bool more = left > limit - 512;
        put32(cont, 48, 0);
        put32(cont, 52, uint32_t(std::min<uint64_t>(left, limit - 512)));
        put32(cont, 96, 0);
        put32(cont, 56, (LoadLe32(cont.data() + 56) & ~0x08u) | (more ? 0x08 : 0));
        put32(cont, 80, uint32_t(L.volumes.size()));
        put32(cont, 84, 0);
        put32(cont, 468, uint32_t(L.volumes.size()));
        put32(cont, 472, 0);
        put32(cont, 8, setId);
        L.continuations.push_back(cont);
        append(L, cont.data(), 512);
    }
}

std::vector<uint8_t> makeHeader(const LegacyImage& im, const Layout& L, size_t size,
                                size_t partitions, uint32_t magic) {
    std::vector<uint8_t> h(size, 0);
    put32(h, 0, magic);
    put32(h, 4, uint32_t(size));
    put32(h, 8, uint32_t(partitions));
    putText(h, 12, 100, im.title);
    putText(h, 112, 400, im.description);
    if (im.shortHeader)
        return h;
    put32(h, 512, im.setId);
    put32(h, 516, uint32_t(L.volumes.size()));
    put32(h, 2020, im.formatVersion);
    put32(h, 2024, im.readerVersion);
    put32(h, 2028, im.firstVolume ? 1 : 0);
    size_t conts = im.continuationCopies ? L.continuations.size() : 0;
    put32(h, 2032, uint32_t(conts));
    for (size_t n = 0; im.recordCopies && n < L.records.size(); ++n)
        std::memcpy(h.data() + 2048 + 512 * n, L.records[n].data(), 512);
    for (size_t k = 0; k < conts; ++k)
        std::memcpy(h.data() + 2048 + 512 * (partitions + k), L.continuations[k].data(), 512);
    return h;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

uint32_t storedPasswordValue(uint32_t value) {
    return value == 0 ? 0 : value ^ 0x3E61B7A4;
}

void scramble(std::vector<uint8_t>& data, uint32_t passwordValue) {
    if (passwordValue == 0)
        return;
    for (size_t i = 0; i < data.size(); ++i)
        data[i] ^= uint8_t(passwordValue >> (8 * (i % 4)));
}

std::vector<uint8_t> lzsEncodeBlocks(const std::vector<uint8_t>& data, size_t blockSize,
                                     bool history) {
    BitWriter w;
    std::vector<int64_t> head(0x10000, -1);
    for (size_t at = 0; at < data.size(); at += blockSize) {
        size_t end = std::min(data.size(), at + blockSize);
        if (!history)
            std::fill(head.begin(), head.end(), -1);
        lzsBlock(w, data, history ? 0 : at, at, end, head);
    }
    return w.out;
}

std::vector<std::string> writeLegacyImage(const std::string& path, const LegacyImage& image,
                                          const std::vector<LegacyPartition>& partitions) {
    size_t conts = 0;
    std::vector<Placed> placed(partitions.size());
    for (size_t n = 0; n < partitions.size(); ++n) {
        const LegacyPartition& p = partitions[n];
        placed[n].stored = encode(p);
        placed[n].bitmap = p.bitmapZlib ? zlibOf(p.bitmap) : p.bitmap;
        placed[n].record = makeRecord(p, placed[n], image.setId);
    }
    // The header size depends on the number of continuation records, which
    // depends on the layout behind the header: lay out until it is stable.
    Layout L;
    size_t headerSize = 0;
    for (int round = 0; round < 4; ++round) {
        headerSize = image.shortHeader ? 512 : 2048 + 512 * (partitions.size() + conts);
        L = Layout{};
        L.volumes.emplace_back(headerSize, 0);
        for (Placed& s : placed)
            place(L, s, image.volumeLimit, image.setId);
        size_t now = image.continuationCopies ? L.continuations.size() : 0;
        if (now == conts)
            break;
        conts = now;
    }
    std::vector<uint8_t> h = makeHeader(image, L, headerSize, partitions.size(), image.magic);
    std::memcpy(L.volumes[0].data(), h.data(), h.size());
    size_t dot = path.rfind('.');
    std::string base = dot == std::string::npos ? path : path.substr(0, dot);
    std::vector<std::string> files;
    for (size_t v = 0; v < L.volumes.size(); ++v) {
        std::string name = path;
        if (v > 0) {
            char ext[24];
            std::snprintf(ext, sizeof ext, ".%03zu", v + 1);
            name = base + ext;
        }
        writeFile(name, L.volumes[v]);
        files.push_back(name);
    }
    if (image.firstVolume) {
        std::string kwu = base + ".KWU";
        writeFile(kwu, makeHeader(image, L, headerSize, partitions.size(), 0x12268979));
        files.push_back(kwu);
    }
    return files;
}

} // namespace kw::legacy::testing

#include "tests/imagestore/legacy/legacy_fixtures.h"

#include "platform/vfs/vfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace kw::legacy::testing {

static void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

std::vector<uint8_t> makeFatPartition(const TempFolder& dir, uint32_t sizeKiB, bool fat32) {
    static int made = 0;
    std::string image = dir.File("fat" + std::to_string(++made) + ".img");
    run("mkfs.fat " + std::string(fat32 ? "-F 32 " : "") + "-C " + image + " " +
        std::to_string(sizeKiB));
    // Files of text (compressible) and of noise (not), a few clusters to a
    // few hundred KiB each.
    std::mt19937 rng(sizeKiB);
    for (int n = 0; n < 6; ++n) {
        std::string name = dir.File("f" + std::to_string(made) + "_" + std::to_string(n) + ".bin");
        std::vector<uint8_t> bytes(size_t(3000) << n);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = n % 2 ? uint8_t(rng()) : uint8_t("partition image text "[i % 21]);
        PutFileBytes(name, bytes);
        run("mcopy -i " + image + " " + name + " ::/");
    }
    return FileBytes(image);
}

LegacyPartition partitionFromRaw(const std::vector<uint8_t>& raw, uint32_t sectorsPerBlock,
                                 uint32_t keepSectors) {
    LegacyPartition p;
    size_t blockBytes = size_t(sectorsPerBlock) * 512;
    p.sectorsPerBlock = sectorsPerBlock;
    p.totalSectors = uint32_t(raw.size() / 512);
    p.blockCount = uint32_t((raw.size() + blockBytes - 1) / blockBytes);
    p.bitmap.assign((p.blockCount + 7) / 8, 0);
    for (uint32_t b = 0; b < p.blockCount; ++b) {
        size_t at = size_t(b) * blockBytes;
        size_t end = std::min(raw.size(), at + blockBytes);
        bool used = size_t(b) * sectorsPerBlock < keepSectors;
        for (size_t i = at; i < end && !used; ++i)
            used = raw[i] != 0;
        if (!used)
            continue;
        p.bitmap[b / 8] |= uint8_t(1 << (b % 8));
        p.data.insert(p.data.end(), raw.begin() + at, raw.begin() + end);
        p.data.resize(p.data.size() + (blockBytes - (end - at)), 0);
        ++p.usedBlocks;
    }
    return p;
}

int readBack(IMAGE_STORE* store, uint32_t number, size_t piece, std::vector<uint8_t>* raw) {
    if (int r = store->SelectPartition(number))
        return r;
    uint32_t blocks = 0, spb = 0, bps = 0, size = 0;
    store->GetBlockCount(&blocks);
    store->GetBytesPerSector(&bps);
    store->GetTotalSectors(&size);
    std::vector<uint8_t> bitmap((blocks + 7) / 8 + 16);
    uint32_t got = 0;
    if (int r = store->ReadBitmap(bitmap.data(), uint32_t(bitmap.size()), &spb, &got))
        return r;
    size_t blockBytes = size_t(spb) * bps;
    raw->assign(size_t(blocks) * blockBytes, 0);
    std::vector<uint8_t> data;
    std::vector<uint8_t> buf(piece);
    for (;;) {
        uint32_t n = 0;
        if (int r = store->ReadData(buf.data(), uint32_t(piece), &n))
            return r;
        data.insert(data.end(), buf.begin(), buf.begin() + n);
        if (n < piece)
            break;
    }
    size_t at = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        if (!(bitmap[b / 8] >> (b % 8) & 1))
            continue;
        if (at + blockBytes > data.size())
            return -1;
        std::copy_n(data.begin() + at, blockBytes, raw->begin() + size_t(b) * blockBytes);
        at += blockBytes;
    }
    raw->resize(size_t(size) * bps);
    return at == data.size() ? 0 : -2;
}

uint32_t RecordingCallback::ProgressStep(uint32_t total, uint32_t done) {
    lastTotal = total;
    lastDone = done;
    return kwv::test::RecordingCallback::ProgressStep(total, done);
}

uint32_t RecordingCallback::AskPassword(PASSWORD_SINK* sink) {
    calls.push_back("AskPassword");
    for (const std::u16string& p : passwords)
        if (sink->TryPassword(p.c_str()) & 0xFF)
            return 1;
    return 0;
}

RemovableDrive::RemovableDrive(char letter, const std::string& folder) : drive(letter, folder) {
    drive.SetDriveFlags(kw::vfs::DRIVE_REMOVABLE);
    kw::vfs::vfsAddExtender(&drive);
}

RemovableDrive::~RemovableDrive() {
    kw::vfs::vfsRemoveExtender(&drive);
}

} // namespace kw::legacy::testing

// Opens arbitrary bytes as an image of the older format and reads all of its
// partitions, through IMAGE_STORE and through the PART_STORE adapter.
//
// The input holds up to four files, split at the marker "KWVOLSEP": the image
// file, its continuation volumes ".002" and ".003", and its ".KWU" volume.
// They are served from memory.
#include "imagestore/legacy/image_store_reader.h"
#include "imagestore/legacy/legacy_open.h"
#include "imagestore/legacy/legacy_part_store.h"
#include "tests/fuzz/memory_files.h"

#include <string_view>
#include <vector>

namespace {

void readPartition(IMAGE_STORE* s, uint32_t n, std::vector<uint8_t>& buf) {
    if (s->SelectPartition(n) != 0)
        return;
    uint32_t spb = 0, count = 0, code = 0;
    s->ReadBitmap(buf.data(), 65536, &spb, &count);
    s->ReadRawBitmap(buf.data(), 65536, &count, &code);
    s->BuildVolumeTable();
    std::vector<uint8_t> state(s->GetDecoderStateSize());
    size_t total = 0;
    for (int i = 0; i < 64 && total < (4u << 20); ++i) {
        uint32_t got = 0;
        if (i == 2)
            s->SaveDecoderState(state.data());
        if (s->ReadData(buf.data(), uint32_t(buf.size()), &got) != 0 || got == 0)
            break;
        total += got;
    }
    s->SeekData(s->GetDataPosition());
    s->RestoreDecoderState(state.data());
    uint32_t got = 0;
    s->ReadData(buf.data(), 4096, &got);
    s->SeekData(1000);
    s->ReadRawData(buf.data(), 4096, &got, &code);
    s->ClosePartition();
}

void readThroughAdapter(PART_STORE* ps, std::vector<uint8_t>& buf) {
    for (uint32_t i = 0; i < ps->GetPartCount() && i < 16; ++i) {
        if (ps->SelectPart(i) != 0)
            continue;
        uint64_t length = 0;
        uint32_t got = 0;
        if (ps->OpenUbmap(&length) == 0 && length <= buf.size())
            ps->Read(buf.data(), uint32_t(length), &got);
        if (ps->OpenUdata(&length) != 0)
            continue;
        for (int k = 0; k < 16; ++k)
            if (ps->Read(buf.data(), 65536, &got) != 0 || got == 0)
                break;
    }
    ps->GetImageFlags();
    ps->GetImageSize();
    char text[600];
    ps->GetDescription(text, sizeof text);
    if (ps->GetPartCount() <= 4)
        kw::legacy::verifyLegacyData(ps, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const names[] = {"FUZZIMAGE.IMG", "FUZZIMAGE.002", "FUZZIMAGE.003",
                                        "FUZZIMAGE.KWU"};
    kw::fuzz::MemoryFiles& mem = kw::fuzz::MemoryFiles::Instance();
    mem.files.clear();
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    for (const char* name : names) {
        size_t sep = all.find("KWVOLSEP", at);
        const std::string_view file =
            all.substr(at, sep == std::string::npos ? std::string::npos : sep - at);
        mem.files[name] = {file, file.size()};
        if (sep == std::string::npos)
            break;
        at = sep + 8;
    }
    static std::vector<uint8_t> buf(1 << 17);
    int32_t error = 0;
    IMAGE_STORE* s = kw::legacy::openImageStore("/fuzzmem/fuzzimage.IMG", nullptr, error);
    if (s != nullptr) {
        for (uint32_t n = 1; n <= s->GetPartitionCount() && n <= 16; ++n)
            readPartition(s, n, buf);
        PART_STORE* ps = kw::legacy::wrapImageStore(s, nullptr, error);
        if (ps != nullptr) {
            readThroughAdapter(ps, buf);
            ps->Release();
        }
        s->Release();
    }
    return 0;
}

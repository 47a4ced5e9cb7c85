// Feeds arbitrary bytes to the container as volume 0 (and, when the input
// says so, as volume 1) and opens, enumerates, reads and verifies the set.
//
// Input: a 4-byte little-endian word whose low 30 bits give a length n, then n
// bytes of volume 0; any bytes after those form volume 1 (".002"). With the
// word's top bit set the CRCs of every chunk are recomputed first, so that
// forged records with valid CRCs are reached. With bit 30 set each volume
// reads as if padded with zeros to a whole chunk, so an input need not carry
// the empty tail of its last chunk. The volumes are served from memory.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "include/kwbytes.h"
#include "tests/fuzz/memory_files.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
#include <zlib.h>

using namespace kwv;

namespace {

// Reads every stream below `path`, depth first, within fixed bounds.
void Walk(StoreContainer* c, const std::string& path, int depth, int* budget) {
    if (depth > 6 || *budget <= 0) {
        return;
    }
    std::vector<std::string> names;
    char name[300];
    int err = 0;
    StreamEnumerator* en = c->EnumerateStreams(path.c_str(), name, sizeof name, &err);
    if (en != nullptr) {
        do {
            names.push_back(name);
        } while (names.size() < 64 && en->Next(name, sizeof name) == 0);
        en->Release();
    }
    for (const std::string& n : names) {
        if (--*budget <= 0) {
            return;
        }
        const std::string child = path.empty() ? n : path + "\\" + n;
        if (StreamReader* r = c->OpenStream(child.c_str(), &err)) {
            static uint8_t buffer[65536];
            uint32_t got = 0;
            const uint64_t length = std::min<uint64_t>(r->GetLength(), 4u << 20);
            for (uint64_t at = 0; at < length; at += sizeof buffer) {
                if (r->Read(at, buffer, sizeof buffer, &got) != 0) {
                    break;
                }
            }
            r->Release();
        }
        Walk(c, child, depth + 1, budget);
    }
}

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

// The distance between chunks of a volume image, as its first record says.
uint32_t ChunkStride(const std::vector<uint8_t>& v) {
    return v.size() >= 32 && LoadLe32(&v[28]) == 0x46000 ? 0x46000 : 0x20000;
}

// Recomputes the record CRC (and a payload CRC the record asks for) of every
// chunk of a volume image.
void Reseal(std::vector<uint8_t>& v) {
    if (v.size() < 96) {
        return;
    }
    const uint32_t stored = ChunkStride(v);
    for (size_t at = 0; at + 96 <= v.size(); at += stored) {
        uint8_t* r = &v[at];
        const uint32_t dataSize = LoadLe32(r + 32);
        if ((LoadLe32(r + 20) & 2) && dataSize > 96 && dataSize <= stored &&
            at + dataSize <= v.size()) {
            StoreLe32(r + 92, uint32_t(crc32(0L, r + 96, dataSize - 96)));
        }
        StoreLe32(r + 88, uint32_t(crc32(0L, r, 88)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    const uint32_t word = LoadLe32(data);
    const size_t first = std::min<size_t>(word & 0x3FFFFFFF, size - 4);
    std::vector<uint8_t> v0(data + 4, data + 4 + first), v1(data + 4 + first, data + size);
    const bool padded = (word & 0x40000000u) != 0;
    if (word & 0x80000000u) {
        for (std::vector<uint8_t>* v : {&v0, &v1}) {
            if (padded && !v->empty()) {
                const uint32_t stride = ChunkStride(*v);
                v->resize((v->size() + stride - 1) / stride * stride, 0);
            }
            Reseal(*v);
        }
    }
    auto view = [padded](const std::vector<uint8_t>& v) {
        const uint64_t stride = ChunkStride(v);
        const uint64_t declared = padded ? (v.size() + stride - 1) / stride * stride : v.size();
        return kw::fuzz::MemoryFileBytes{{reinterpret_cast<const char*>(v.data()), v.size()},
                                         declared};
    };
    kw::fuzz::MemoryFiles& files = kw::fuzz::MemoryFiles::Instance();
    files.files.clear();
    files.files["SET.KWI"] = view(v0);
    if (!v1.empty()) {
        files.files["SET.002"] = view(v1);
    }
    int err = 0;
    if (StoreContainer* c = OpenContainerForRead("/fuzzmem/set.kwi", nullptr, &err)) {
        int budget = 200;
        Walk(c, "", 0, &budget);
        uint32_t bits = 0, volumes = 0;
        uint64_t stored = 0, length = 0;
        c->GetInfo(&bits, &volumes, &stored, &length);
        if (length < (64u << 20)) {
            c->VerifyAll();
        }
        c->Release();
    }
    return 0;
}

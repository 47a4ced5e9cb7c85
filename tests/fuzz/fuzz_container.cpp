// Feeds arbitrary bytes to the container as volume 0 (and, when the input
// says so, as volume 1) and opens, enumerates, reads and verifies the set.
//
// Input: a 4-byte little-endian word whose low 31 bits give a length n, then n
// bytes of volume 0; any bytes after those form volume 1 (".002"). With the
// word's top bit set the CRCs of every chunk are recomputed first, so that
// forged records with valid CRCs are reached.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "include/kwbytes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace kwv;

namespace {

const std::string& Folder() {
    static const std::string folder = [] {
        char pattern[] = "/dev/shm/kwfuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            char fallback[] = "/tmp/kwfuzz-XXXXXX";
            made = mkdtemp(fallback);
            return std::string(made != nullptr ? made : "/tmp");
        }
        return std::string(made);
    }();
    return folder;
}

void PutFile(const std::string& path, const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0) {
            std::fwrite(data, 1, size, f);
        }
        std::fclose(f);
    }
}

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

// Recomputes the record CRC (and a payload CRC the record asks for) of every
// chunk of a volume image.
void Reseal(std::vector<uint8_t>& v) {
    if (v.size() < 96) {
        return;
    }
    const uint32_t stored = LoadLe32(&v[28]) == 0x46000 ? 0x46000 : 0x20000;
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
    const size_t first = std::min<size_t>(word & 0x7FFFFFFF, size - 4);
    std::vector<uint8_t> v0(data + 4, data + 4 + first), v1(data + 4 + first, data + size);
    if (word & 0x80000000u) {
        Reseal(v0);
        Reseal(v1);
    }
    const std::string path0 = Folder() + "/set.kwi";
    const std::string path1 = Folder() + "/set.002";
    PutFile(path0, v0.data(), v0.size());
    if (!v1.empty()) {
        PutFile(path1, v1.data(), v1.size());
    } else {
        unlink(path1.c_str());
    }
    int err = 0;
    if (StoreContainer* c = OpenContainerForRead(path0.c_str(), nullptr, &err)) {
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

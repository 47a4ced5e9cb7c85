// Feeds arbitrary bytes to the container as volume 0 (and, when the input
// says so, as volume 1) and opens, enumerates, reads and verifies the set.
//
// Input: a 4-byte little-endian length n, then n bytes of volume 0; any bytes
// after those form volume 1 (".002").
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    size_t first = data[0] | data[1] << 8 | data[2] << 16 | size_t(data[3]) << 24;
    data += 4;
    size -= 4;
    first = std::min(first, size);
    const std::string path0 = Folder() + "/set.kwi";
    const std::string path1 = Folder() + "/set.002";
    PutFile(path0, data, first);
    if (size > first) {
        PutFile(path1, data + first, size - first);
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

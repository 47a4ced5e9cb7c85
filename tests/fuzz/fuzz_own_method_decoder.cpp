// Own-method decompressor on arbitrary bytes; when the input is long enough it
// is also compressed and must come back unchanged.
#include "imagestore/codec/own_method.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the output room, small rooms included.
    size_t room = data[0] < 128 ? data[0] : (size_t(data[0]) << 9);
    std::vector<uint8_t> out(room);
    size_t consumed = 0;
    uint32_t produced = OwnMethodDecompress(data + 1, size - 1, out.data(), room, &consumed);
    if (produced > room || consumed > size - 1 || (produced != 0 && consumed < 2)) {
        std::abort();
    }

    if (size - 1 >= kOwnMethodMinInput && size - 1 <= 0xD800) {
        std::vector<uint8_t> packed(size + 1024);
        size_t n = OwnMethodCompress(data + 1, size - 1, packed.data(), packed.size(),
                                     kOwnMethodParameter);
        if (n != 0) {
            std::vector<uint8_t> back(size - 1 + kOwnMethodOutputSlack);
            size_t used = 0;
            if (OwnMethodDecompress(packed.data(), n, back.data(), back.size(), &used) !=
                    size - 1 ||
                used != n || std::memcmp(back.data(), data + 1, size - 1) != 0) {
                std::abort();
            }
        }
    }
    return 0;
}

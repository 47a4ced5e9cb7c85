// Reed-Solomon RS(35,32) over GF(2^8) (polynomial 0x187) for protected chunks.
#include "imagestore/codec/error_correction.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kWordLength = kEccSubBlocks; // bytes per code word
constexpr uint32_t kBatch = 32;                 // code words decoded together
constexpr uint8_t kGeneratorCoefficient = 0xC0; // g(x) = x^3 + C0 x^2 + C0 x + 1

// Exponent and logarithm tables of the field, and multiplication tables for
// the constants the encoder and the syndromes use. Built once, on first use.
struct Field {
    uint8_t exp[512];
    uint8_t log[256];
    uint8_t mulGenerator[256]; // x * 0xC0
    uint8_t mulAlpha[256];     // x * a
    uint8_t mulAlphaInv[256];  // x * a^-1

    Field() {
        uint32_t x = 1;
        for (uint32_t i = 0; i < 255; ++i) {
            exp[i] = exp[i + 255] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100) {
                x ^= 0x187;
            }
        }
        exp[510] = exp[0];
        exp[511] = exp[1];
        log[0] = 0;
        for (uint32_t v = 0; v < 256; ++v) {
            mulGenerator[v] = Mul(static_cast<uint8_t>(v), kGeneratorCoefficient);
            mulAlpha[v] = Mul(static_cast<uint8_t>(v), 2);
            mulAlphaInv[v] = Mul(static_cast<uint8_t>(v), exp[254]);
        }
    }
    uint8_t Mul(uint8_t a, uint8_t b) const {
        return (a == 0 || b == 0) ? 0 : exp[log[a] + log[b]];
    }
    // a / b for b != 0.
    uint8_t Div(uint8_t a, uint8_t b) const { return a == 0 ? 0 : exp[log[a] + 255 - log[b]]; }
    // a^p for the code position p (0 to 34): the locator of byte 34 - p.
    uint8_t Power(uint32_t p) const { return exp[p % 255]; }
};

const Field& Gf() {
    static const Field field;
    return field;
}

struct Syndromes {
    uint8_t s0 = 0, s1 = 0, s2 = 0;
    bool Zero() const { return (s0 | s1 | s2) == 0; }
};

// Syndromes of a word whose byte k lies at word[k * stride].
Syndromes ComputeSyndromes(const Field& gf, const uint8_t* word, size_t stride) {
    Syndromes s;
    for (uint32_t k = 0; k < kWordLength; ++k) {
        uint8_t b = word[k * stride];
        s.s0 ^= b;
        s.s1 = gf.mulAlpha[s.s1] ^ b;
        s.s2 = gf.mulAlphaInv[s.s2] ^ b;
    }
    return s;
}

// Corrects code words for one set of erased positions; the solution of the
// erasure equations is prepared once per set. Owns small fixed tables only.
class WordCorrector {
public:
    // `erased`: distinct positions 0 to 34, at most three.
    WordCorrector(const uint32_t* erased, size_t count) : gf_(Gf()), count_(count) {
        for (size_t i = 0; i < count; ++i) {
            pos_[i] = erased[i];
            loc_[i] = gf_.Power(kWordLength - 1 - erased[i]);
        }
        if (count == 3) {
            PrepareThree();
        }
    }

    // Returns 1 when the word was changed, 0 when it was consistent, -1 when
    // it could not be corrected (left unchanged).
    int Correct(uint8_t* word, size_t stride, Syndromes s) const {
        if (s.Zero()) {
            return 0;
        }
        switch (count_) {
        case 0:
            return CorrectSingle(word, stride, s);
        case 1:
            return CorrectOneErasure(word, stride, s);
        case 2:
            return CorrectTwoErasures(word, stride, s);
        default:
            return CorrectThreeErasures(word, stride, s);
        }
    }

private:
    int CorrectSingle(uint8_t* word, size_t stride, Syndromes s) const {
        if (s.s2 == 0 || s.s0 == 0) {
            return -1;
        }
        uint32_t p = gf_.log[gf_.Div(s.s0, s.s2)];
        if (p >= kWordLength || s.s1 != gf_.Mul(s.s0, gf_.Power(p))) {
            return -1;
        }
        word[(kWordLength - 1 - p) * stride] ^= s.s0;
        return 1;
    }

    int CorrectOneErasure(uint8_t* word, size_t stride, Syndromes s) const {
        uint8_t x1 = loc_[0];
        // t1 = e2 (x1 + x2), t2 = e2 (x1 + x2) / (x1 x2) for a second error e2 at x2.
        uint8_t t1 = s.s1 ^ gf_.Mul(s.s0, x1);
        uint8_t t2 = s.s2 ^ gf_.Div(s.s0, x1);
        if (t1 == 0 && t2 == 0) {
            word[pos_[0] * stride] ^= s.s0;
            return 1;
        }
        if (t1 == 0 || t2 == 0) {
            return -1;
        }
        uint8_t x2 = gf_.Div(t1, gf_.Mul(t2, x1));
        uint32_t p2 = gf_.log[x2];
        if (x2 == x1 || p2 >= kWordLength) {
            return -1;
        }
        uint8_t e2 = gf_.Div(t1, x1 ^ x2);
        word[pos_[0] * stride] ^= s.s0 ^ e2;
        word[(kWordLength - 1 - p2) * stride] ^= e2;
        return 1;
    }

    int CorrectTwoErasures(uint8_t* word, size_t stride, Syndromes s) const {
        uint8_t x1 = loc_[0], x2 = loc_[1];
        uint8_t e1 = gf_.Div(s.s1 ^ gf_.Mul(s.s0, x2), x1 ^ x2);
        uint8_t e2 = s.s0 ^ e1;
        if ((gf_.Div(e1, x1) ^ gf_.Div(e2, x2)) != s.s2) {
            return -1;
        }
        word[pos_[0] * stride] ^= e1;
        word[pos_[1] * stride] ^= e2;
        return 1;
    }

    int CorrectThreeErasures(uint8_t* word, size_t stride, Syndromes s) const {
        for (int i = 0; i < 3; ++i) {
            uint8_t e = gf_.Mul(inverse_[i][0], s.s0) ^ gf_.Mul(inverse_[i][1], s.s1) ^
                        gf_.Mul(inverse_[i][2], s.s2);
            word[pos_[i] * stride] ^= e;
        }
        return 1;
    }

    // Inverts the matrix with rows (1 1 1), (x1 x2 x3), (1/x1 1/x2 1/x3), so
    // that the three error values are inverse_ times the syndromes.
    void PrepareThree() {
        uint8_t m[3][6] = {};
        for (int c = 0; c < 3; ++c) {
            m[0][c] = 1;
            m[1][c] = loc_[c];
            m[2][c] = gf_.Div(1, loc_[c]);
            m[c][3 + c] = 1;
        }
        for (int col = 0; col < 3; ++col) {
            int pivot = col;
            while (m[pivot][col] == 0) {
                ++pivot; // the matrix is a Vandermonde-like one: never singular
            }
            std::swap(m[pivot], m[col]);
            uint8_t inv = gf_.Div(1, m[col][col]);
            for (int c = 0; c < 6; ++c) {
                m[col][c] = gf_.Mul(m[col][c], inv);
            }
            for (int r = 0; r < 3; ++r) {
                uint8_t f = m[r][col];
                if (r != col && f != 0) {
                    for (int c = 0; c < 6; ++c) {
                        m[r][c] ^= gf_.Mul(f, m[col][c]);
                    }
                }
            }
        }
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                inverse_[r][c] = m[r][3 + c];
            }
        }
    }

    const Field& gf_;
    size_t count_;
    uint32_t pos_[3] = {};
    uint8_t loc_[3] = {};
    uint8_t inverse_[3][3] = {};
};

// Check bytes of one code word whose data byte k lies at data[k * stride];
// check byte i is stored at check[i * checkStride].
inline void EncodeWord(const Field& gf, const uint8_t* data, size_t stride, uint8_t* check,
                       size_t checkStride) {
    uint8_t r2 = 0, r1 = 0, r0 = 0;
    for (uint32_t k = 0; k < kEccDataSubBlocks; ++k) {
        uint8_t f = data[k * stride] ^ r2;
        uint8_t m = gf.mulGenerator[f];
        r2 = r1 ^ m;
        r1 = r0 ^ m;
        r0 = f;
    }
    check[0] = r2;
    check[checkStride] = r1;
    check[2 * checkStride] = r0;
}

// Sorts and de-duplicates the erased positions; false when out of range or
// more than three.
bool DistinctErasures(const uint32_t* erased, size_t count, uint32_t* out, size_t* distinct) {
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        if (erased[i] >= kWordLength) {
            return false;
        }
        if (std::find(out, out + n, erased[i]) == out + n) {
            if (n == kEccMaxErasures) {
                return false;
            }
            out[n++] = erased[i];
        }
    }
    std::sort(out, out + n);
    *distinct = n;
    return true;
}

} // namespace

void EccEncodeWord(const uint8_t* data, uint8_t* check) {
    EncodeWord(Gf(), data, 1, check, 1);
}

namespace {

// Check bytes of the code words j from `begin` to `end`, one at a time.
void EncodeColumns(const Field& gf, uint8_t* chunk, uint32_t begin, uint32_t end) {
    for (uint32_t j = begin; j < end; ++j) {
        EncodeWord(gf, chunk + j, kEccSubBlockSize, chunk + kEccDataSize + j, kEccSubBlockSize);
    }
}

#if defined(__x86_64__)
// 16 code words at a time: the product by 0xC0 from two 16-entry tables
// (low and high nibble) with byte shuffles. Returns the words done.
__attribute__((target("ssse3"))) uint32_t EncodeColumnsSsse3(const Field& gf, uint8_t* chunk) {
    alignas(16) uint8_t low[16], high[16];
    for (uint32_t i = 0; i < 16; ++i) {
        low[i] = gf.mulGenerator[i];
        high[i] = gf.mulGenerator[i << 4];
    }
    const __m128i lowTable = _mm_load_si128(reinterpret_cast<const __m128i*>(low));
    const __m128i highTable = _mm_load_si128(reinterpret_cast<const __m128i*>(high));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    uint8_t* check = chunk + kEccDataSize;
    for (uint32_t j = 0; j < kEccSubBlockSize; j += 16) {
        __m128i r2 = _mm_setzero_si128(), r1 = r2, r0 = r2;
        for (uint32_t k = 0; k < kEccDataSubBlocks; ++k) {
            __m128i d =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + k * kEccSubBlockSize + j));
            __m128i f = _mm_xor_si128(d, r2);
            __m128i m = _mm_xor_si128(
                _mm_shuffle_epi8(lowTable, _mm_and_si128(f, nibble)),
                _mm_shuffle_epi8(highTable, _mm_and_si128(_mm_srli_epi16(f, 4), nibble)));
            r2 = _mm_xor_si128(r1, m);
            r1 = _mm_xor_si128(r0, m);
            r0 = f;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(check + j), r2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(check + kEccSubBlockSize + j), r1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(check + 2 * kEccSubBlockSize + j), r0);
    }
    return kEccSubBlockSize;
}
#endif

} // namespace

void EccEncodeChunk(uint8_t* chunk) {
    const Field& gf = Gf();
    uint32_t done = 0;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("ssse3")) {
        done = EncodeColumnsSsse3(gf, chunk);
    }
#endif
    EncodeColumns(gf, chunk, done, kEccSubBlockSize);
}

void EccEncodeLeadingWords(uint8_t* chunk, uint32_t count) {
    EncodeColumns(Gf(), chunk, 0, std::min(count, kEccSubBlockSize));
}

int EccCorrectWord(uint8_t* word, const uint32_t* erased, size_t erasedCount) {
    uint32_t positions[kEccMaxErasures];
    size_t count = 0;
    if (!DistinctErasures(erased, erasedCount, positions, &count)) {
        return -1;
    }
    WordCorrector corrector(positions, count);
    return corrector.Correct(word, 1, ComputeSyndromes(Gf(), word, 1));
}

int EccRebuildChunk(uint8_t* chunk, const uint32_t* erased, size_t erasedCount,
                    EccRebuildStats* stats) {
    uint32_t positions[kEccMaxErasures];
    size_t count = 0;
    if (!DistinctErasures(erased, erasedCount, positions, &count)) {
        return kEccUnrecoverable;
    }
    const Field& gf = Gf();
    WordCorrector corrector(positions, count);
    EccRebuildStats result;
    uint8_t work[kWordLength * kBatch];
    for (uint32_t j = 0; j < kEccSubBlockSize; j += kBatch) {
        for (uint32_t k = 0; k < kWordLength; ++k) {
            std::memcpy(work + k * kBatch, chunk + k * kEccSubBlockSize + j, kBatch);
        }
        bool changed = false;
        for (uint32_t w = 0; w < kBatch; ++w) {
            int r = corrector.Correct(work + w, kBatch, ComputeSyndromes(gf, work + w, kBatch));
            result.wordsCorrected += r > 0;
            result.wordsLeft += r < 0;
            changed |= r > 0;
        }
        if (changed) {
            for (uint32_t k = 0; k < kWordLength; ++k) {
                std::memcpy(chunk + k * kEccSubBlockSize + j, work + k * kBatch, kBatch);
            }
        }
    }
    if (stats != nullptr) {
        *stats = result;
    }
    return 0;
}

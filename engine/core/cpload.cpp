// The process-wide code-page tables: loading the code-page and alternate-form
// sections, the fall-backs between kinds, and the host kind.
#include "engine/core/codepage.h"
#include "engine/core/runenv.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>

namespace {

constexpr int kByteKinds = 5; // BIOS, DOS, WIN, UNIX, MAC

// Owns the list of loaded tables and the alternate-form sets; the per-kind
// entries point into the list.
struct CodePageState {
    cpInfoList* list = nullptr;
    altFormMapper* altForms = nullptr;
    cpInfo* byKind[kByteKinds] = {};
    cpInfo* current = nullptr;
    std::uint32_t hostKind = 0;
};

CodePageState gState;

constexpr char kAltPrefix[] = "ALT_FORMS ";
constexpr char kCodePagePrefix[] = "CODEPAGE_INFO";

struct SuffixKind {
    const char* suffix;
    std::uint32_t kind;
};

constexpr SuffixKind kSuffixes[] = {
    {" CP_WIN", CPKIND_WIN},   {" CP_DOS", CPKIND_DOS},   {" CP_MAC", CPKIND_MAC},
    {" CP_BIOS", CPKIND_BIOS}, {" CP_UNIX", CPKIND_UNIX},
};

bool startsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// The data and length a section stands for: its own block, or the block of the
// section it shares. A share must name another section that has a block.
bool resolve(const CP_SECTION* sections, std::uint32_t count, std::uint32_t i,
             const std::uint8_t** data, std::uint32_t* length) {
    const CP_SECTION* s = &sections[i];
    if (s->length <= 0) {
        const std::uint64_t target =
            static_cast<std::uint64_t>(-static_cast<std::int64_t>(s->length));
        if (target >= count || target == i || sections[target].length <= 0)
            return false;
        s = &sections[target];
    }
    if (s->data == nullptr)
        return false;
    *data = s->data;
    *length = static_cast<std::uint32_t>(s->length);
    return true;
}

bool ensureContainers() {
    if (gState.altForms == nullptr)
        gState.altForms = new (std::nothrow) altFormMapper;
    if (gState.list == nullptr)
        gState.list = new (std::nothrow) cpInfoList;
    return gState.altForms != nullptr && gState.list != nullptr;
}

// A code-page section: reuse the table of the same code page, else load one.
cpInfo* codePageTable(const std::uint8_t* data, std::uint32_t length, bool copy) {
    if (length < 8)
        return nullptr;
    if (cpInfo* known = gState.list->FindByCodePage(kwbytes::LoadLe32(data + 4)))
        return known;
    auto* table = new (std::nothrow) cpInfo;
    if (table == nullptr)
        return nullptr;
    if (!table->Load(data, length, gState.altForms, copy) || gState.list->Add(table) == 0) {
        delete table;
        return nullptr;
    }
    return table;
}

bool loadSection(const CP_SECTION* sections, std::uint32_t count, std::uint32_t i, bool copy) {
    const char* name = sections[i].name != nullptr ? sections[i].name : "";
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    if (!resolve(sections, count, i, &data, &length))
        return false;
    if (startsWith(name, kAltPrefix)) {
        // A set that is already known (a second load) or malformed is skipped.
        gState.altForms->Add(name + sizeof kAltPrefix - 1, data, length / 4, copy);
        return true;
    }
    if (!startsWith(name, kCodePagePrefix))
        return true;
    cpInfo* table = codePageTable(data, length, copy);
    if (table == nullptr)
        return false;
    const char* suffix = name + sizeof kCodePagePrefix - 1;
    for (const SuffixKind& s : kSuffixes) {
        if (std::strcmp(suffix, s.suffix) == 0)
            gState.byKind[s.kind] = table;
    }
    return true;
}

bool applyFallbacks() {
    cpInfo** k = gState.byKind;
    if (k[CPKIND_WIN] == nullptr)
        return false;
    if (k[CPKIND_DOS] == nullptr) {
        k[CPKIND_DOS] = k[CPKIND_WIN]->IsDbcs() ? k[CPKIND_WIN] : k[CPKIND_BIOS];
        if (k[CPKIND_DOS] == nullptr)
            return false;
    }
    if (k[CPKIND_BIOS] == nullptr) {
        if (k[CPKIND_WIN]->IsDbcs())
            return false;
        k[CPKIND_BIOS] = k[CPKIND_DOS];
    }
    return true;
}

bool selectCurrent(std::uint32_t hostKind) {
    if (hostKind == CPKIND_UTF8 || hostKind == CPKIND_UTF16) {
        gState.current = nullptr;
        return true;
    }
    gState.current = hostKind < kByteKinds ? gState.byKind[hostKind] : nullptr;
    return gState.current != nullptr;
}

} // namespace

bool cpLoadSections(const CP_SECTION* sections, std::uint32_t count, std::uint32_t hostKind,
                    bool copy) {
    if (sections == nullptr || count == 0 || !ensureContainers())
        return false;
    for (cpInfo*& t : gState.byKind)
        t = nullptr;
    gState.current = nullptr;
    gState.hostKind = hostKind;
    bool ok = true;
    for (std::uint32_t i = 0; ok && i < count; ++i)
        ok = loadSection(sections, count, i, copy);
    ok = ok && applyFallbacks() && selectCurrent(hostKind);
    if (!ok) {
        for (cpInfo*& t : gState.byKind)
            t = nullptr;
        gState.current = nullptr;
        gState.hostKind = 0;
    }
    return ok;
}

void cpFreeTables() {
    delete gState.list;
    delete gState.altForms;
    gState.list = nullptr;
    gState.altForms = nullptr;
    for (cpInfo*& t : gState.byKind)
        t = nullptr;
    gState.current = nullptr;
    gState.hostKind = 0;
}

std::uint32_t cpGetHostKind() {
    return gState.hostKind;
}

std::uint32_t cpGetCurrentCodePage() {
    if (gState.current != nullptr)
        return gState.current->GetCodePage();
    return gState.hostKind == CPKIND_UTF8 && gState.list != nullptr ? CP_NUMBER_UTF8 : 0;
}

// The run environment is the engine's one word (runenv.h).
void cpSetRunEnvironment(std::uint32_t value) {
    kwSetRunEnvironment(value);
}

std::uint32_t cpGetRunEnvironment() {
    return kwGetRunEnvironment();
}

const cpInfo* cpGetTable(std::uint32_t kind) {
    return kind < kByteKinds ? gState.byKind[kind] : nullptr;
}

// The engine allocator over the C heap, its memory budget and pointer probes.
#include "engine/core/kwmemory.h"

#include "engine/core/dbgmgr.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

std::uint32_t gMemFlags = 0;
std::uint32_t gFailCountdown = 0;

bool InjectedFailure() {
    if (gFailCountdown == 0)
        return false;
    return --gFailCountdown == 0;
}

// Reads "<key>: <n> kB" from /proc/meminfo; false when absent.
bool ReadMeminfo(const char* key, std::uint64_t* bytes) {
    FILE* f = std::fopen("/proc/meminfo", "re");
    if (f == nullptr)
        return false;
    char line[256];
    bool found = false;
    std::size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            unsigned long long kb = std::strtoull(line + keyLen + 1, nullptr, 10);
            *bytes = kb * 1024;
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

// One-byte probes through a pipe: the kernel reports EFAULT instead of faulting.
// The mutex keeps two threads from reading back each other's byte.
struct ProbePipe {
    int rd = -1;
    int wr = -1;
    std::mutex lock;
};

ProbePipe& Probe() {
    static ProbePipe pipeFds;
    static std::once_flag opened;
    std::call_once(opened, [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            pipeFds.rd = fds[0];
            pipeFds.wr = fds[1];
        }
    });
    return pipeFds;
}

} // namespace

kwRet LibOpenMem() {
    if ((gMemFlags & KW_MEM_OPEN) == 0) {
        gMemFlags |= KW_MEM_OPEN;
        DbgPrintf("LibOpenMem: QueryCorePhys = %lu\n", static_cast<unsigned long>(QueryCorePhys()));
    }
    return KW_OK;
}

kwRet LibCloseMem() {
    return KW_OK;
}

std::uint32_t kwMemoryFlags() {
    return gMemFlags;
}

void kwSetUseVirtualMemory() {
    gMemFlags |= KW_MEM_USE_VIRTUAL;
}

kwRet kwGetMemory(std::uint32_t size, void** block) {
    if ((gMemFlags & KW_MEM_OPEN) == 0) {
        kwRet rc = LibOpenMem();
        if (rc != KW_OK)
            return rc;
    }
    if (size == 0) {
        DbgPrintf("kwGetMemory: size = 0\n");
        *block = nullptr;
        return ERR_NO_MEMORY;
    }
    *block = InjectedFailure() ? nullptr : std::malloc(size);
    return *block == nullptr ? ERR_NO_MEMORY : KW_OK;
}

kwRet kwFreeMemory(void** block) {
    if ((gMemFlags & KW_MEM_OPEN) == 0) {
        DbgPrintf("kwFreeMemory: called before kwGetMemory\n");
        return ERR_BAD_POINTER;
    }
    if (block == nullptr || *block == nullptr)
        return KW_OK;
    if (IsBadPointer(*block)) {
        DbgPrintf("kwFreeMemory error: Bad pointer: 0x%lX\n",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(*block)));
        return KW_OK;
    }
    std::free(*block);
    *block = nullptr;
    return KW_OK;
}

std::uint64_t QueryCorePhys() {
    struct sysinfo si {};
    if (sysinfo(&si) != 0)
        return 0;
    return static_cast<std::uint64_t>(si.totalram) * si.mem_unit;
}

bool IsBadPointer(const void* p) {
    if (p == nullptr)
        return true;
    ProbePipe& pipeFds = Probe();
    if (pipeFds.rd < 0)
        return false; // no probe available: trust the caller
    std::lock_guard<std::mutex> hold(pipeFds.lock);
    // Readable: the byte can be written into the pipe.
    if (write(pipeFds.wr, p, 1) != 1)
        return true;
    // Writable: the same byte can be read back into its place.
    if (read(pipeFds.rd, const_cast<void*>(p), 1) != 1) {
        char sink;
        (void)!read(pipeFds.rd, &sink, 1);
        return true;
    }
    return false;
}

bool kwReadMemoryStatus(KW_MEMORY_STATUS* status) {
    struct sysinfo si {};
    if (sysinfo(&si) != 0)
        return false;
    std::uint64_t unit = si.mem_unit;
    status->totalPhys = static_cast<std::uint64_t>(si.totalram) * unit;
    std::uint64_t avail = 0;
    if (!ReadMeminfo("MemAvailable", &avail))
        avail = static_cast<std::uint64_t>(si.freeram + si.bufferram) * unit;
    status->availPhys = avail;
    status->availPageFile = static_cast<std::uint64_t>(si.freeswap) * unit;
    std::uint64_t used = status->totalPhys > avail ? status->totalPhys - avail : 0;
    status->loadPercent =
        status->totalPhys == 0 ? 0 : static_cast<std::uint32_t>(used * 100 / status->totalPhys);
    return true;
}

static std::uint32_t Clamp32(long double v) {
    constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
    if (v >= static_cast<long double>(kMax))
        return kMax;
    return v <= 0 ? 0 : static_cast<std::uint32_t>(v);
}

std::uint32_t kwComputeMemoryBudget(const KW_MEMORY_STATUS& s, bool useVirtual) {
    constexpr std::uint64_t kOneMb = 0x100000;
    if (useVirtual)
        return Clamp32(static_cast<long double>(s.totalPhys > s.availPageFile ? s.totalPhys
                                                                              : s.availPageFile));
    std::uint32_t freePercent = s.loadPercent < 100 ? 100 - s.loadPercent : 1;
    std::uint32_t budget = Clamp32(static_cast<long double>(s.availPhys) * freePercent * 0.01L);
    if (budget < kOneMb) {
        if (s.availPageFile > kOneMb)
            budget = kOneMb;
        else if (s.availPageFile > budget)
            budget = static_cast<std::uint32_t>(s.availPageFile);
    }
    return budget;
}

kwRet kwQueryMemoryBudget(std::uint32_t* budget, std::uint32_t* o1, std::uint32_t* o2,
                          std::uint32_t* o3, std::uint32_t* o4) {
    for (std::uint32_t* o : {budget, o1, o2, o3, o4})
        if (o != nullptr)
            *o = 0;
    LibOpenMem();
    KW_MEMORY_STATUS status;
    if (!kwReadMemoryStatus(&status))
        return KW_OK;
    if (budget != nullptr)
        *budget = kwComputeMemoryBudget(status, (gMemFlags & KW_MEM_USE_VIRTUAL) != 0);
    return KW_OK;
}

void* kwGetSectorBuffer() {
    void* p = nullptr;
    kwGetMemory(512, &p);
    return p;
}

kwRet kwFreeSectorBuffer(void** block) {
    return kwFreeMemory(block);
}

void kwInjectAllocFailure(std::uint32_t nth) {
    gFailCountdown = nth;
}

void kwResetMemoryLayerForTest() {
    gMemFlags = 0;
    gFailCountdown = 0;
}

void* KwEngineAlloc::operator new(std::size_t size) noexcept {
    if (size > std::numeric_limits<std::uint32_t>::max())
        return nullptr;
    void* p = nullptr;
    kwGetMemory(static_cast<std::uint32_t>(size), &p);
    return p;
}

void* KwEngineAlloc::operator new[](std::size_t size) noexcept {
    return operator new(size);
}

void KwEngineAlloc::operator delete(void* p) noexcept {
    if (p != nullptr)
        kwFreeMemory(&p);
}

void KwEngineAlloc::operator delete[](void* p) noexcept {
    operator delete(p);
}

// The engine's allocator: every engine block comes from kwGetMemory and goes
// back through kwFreeMemory. Failure is a null pointer and code 3, never an
// exception. The global operator new stays the standard one; engine classes
// that must survive a failed allocation derive from KwEngineAlloc (or use
// new (std::nothrow)) so that a failed new-expression yields null.
#pragma once

#include "engine/core/kwret.h"

#include <cstddef>
#include <cstdint>
#include <new>

// Memory-layer flags.
inline constexpr std::uint32_t KW_MEM_OPEN = 0x1;
inline constexpr std::uint32_t KW_MEM_USE_VIRTUAL = 0x2;

kwRet kwGetMemory(std::uint32_t size, void** block);
kwRet kwFreeMemory(void** block);

template <class T> kwRet kwGetMemory(std::uint32_t size, T** block) {
    void* p = nullptr;
    kwRet rc = kwGetMemory(size, &p);
    *block = static_cast<T*>(p);
    return rc;
}

template <class T> kwRet kwFreeMemory(T** block) {
    void* p = const_cast<void*>(static_cast<const void*>(*block));
    kwRet rc = kwFreeMemory(&p);
    if (p == nullptr)
        *block = nullptr;
    return rc;
}

kwRet LibOpenMem();
kwRet LibCloseMem();
std::uint32_t kwMemoryFlags();
// Set by engine start when the switch UVM is given; never cleared.
void kwSetUseVirtualMemory();

// Total physical memory of the machine in bytes.
std::uint64_t QueryCorePhys();
// True when one byte at the pointer cannot be read or cannot be written.
bool IsBadPointer(const void* p);

// The host's memory figures the budget is computed from.
struct KW_MEMORY_STATUS {
    std::uint32_t loadPercent = 0;
    std::uint64_t totalPhys = 0;
    std::uint64_t availPhys = 0;
    std::uint64_t availPageFile = 0;
};

bool kwReadMemoryStatus(KW_MEMORY_STATUS* status);
// The budget rule on given figures; the result is held to 32 bits (hosts
// with more than 4 GiB free get the largest 32-bit budget, not a wrapped one).
std::uint32_t kwComputeMemoryBudget(const KW_MEMORY_STATUS& status, bool useVirtual);
// The number of bytes the engine may use now. The optional outputs are set to 0.
kwRet kwQueryMemoryBudget(std::uint32_t* budget, std::uint32_t* opt1 = nullptr,
                          std::uint32_t* opt2 = nullptr, std::uint32_t* opt3 = nullptr,
                          std::uint32_t* opt4 = nullptr);

// 512-byte sector buffers.
void* kwGetSectorBuffer();
kwRet kwFreeSectorBuffer(void** block);

// Test hooks: make the n-th allocation from now fail (1 = the next one, 0 = never);
// and forget that the layer was ever opened.
void kwInjectAllocFailure(std::uint32_t nth);
void kwResetMemoryLayerForTest();

// Base of engine classes allocated through the engine allocator: a failed
// new-expression gives null instead of throwing.
struct KwEngineAlloc {
    static void* operator new(std::size_t size) noexcept;
    static void* operator new[](std::size_t size) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete[](void* p) noexcept;
};

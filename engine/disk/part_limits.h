// Size limits of partitions, how far they may move and grow, and alignment to
// a partition's cylinder grid.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

// Alignment modes.
inline constexpr std::uint32_t EN_ALIGN_UP = 0;
inline constexpr std::uint32_t EN_ALIGN_DOWN = 1;
inline constexpr std::uint32_t EN_ALIGN_NEAREST = 2;

// The sector aligned to the partition's cylinder grid (origin: the sectors to
// its next cylinder; unit: its cylinder size).
std::uint32_t enGetCylinderBoundary(const PARTITION_INFO* pi, std::uint32_t sector,
                                    std::uint32_t mode);

// The minimum-size rule of most file systems: the used sectors and a reserve
// of a sixteenth of them, at most the free sectors and at most cap, at least
// `reserve`; no larger than the partition, aligned up to its
// cylinder grid.
std::uint32_t enMinimumWithReserve(const PARTITION_INFO* pi, std::uint32_t reserve,
                                   std::uint32_t cap);
// That rule with a reserve of at least 2048 sectors and no cap (NTFS, ext2).
std::uint32_t enMinimumWithCommonReserve(const PARTITION_INFO* pi);

struct EN_SIZE_LIMITS {
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
};
// The size limits of partitions whose file system gives none of its own: the
// room up to the next record (cut to what CHS addresses) and a minimum by
// kind (its rules' minimum-size rule). 1 for kinds without one (FAT, NetWare:
// their file systems know), 4 for null arguments.
kwRet enGetDefaultLimits(const PARTITION_INFO* pi, EN_SIZE_LIMITS* limits);

// How a partition may move and grow: the sectors its start may move towards
// the disk's start (the free run before it, aligned), its size, and the
// sectors its end may grow. 4 for null arguments.
struct EN_MOVE_INFO {
    std::uint32_t left = 0;
    std::uint32_t size = 0;
    std::uint32_t right = 0;
};
kwRet enGetMoveInfo(const PARTITION_INFO* pi, EN_MOVE_INFO* info);

// PARTITION_LIMITS: how small and how large one partition may become and
// where its start may go, and the size a caller chose within them. Sizes
// are sector counts. File systems with rules of their own (FAT, NetWare)
// derive from it.
class PARTITION_LIMITS : public KwEngineAlloc {
public:
    enum Anchor : std::uint32_t { ANCHOR_NONE = 0, ANCHOR_START = 1, ANCHOR_END = 2 };

    PARTITION_LIMITS() = default;
    virtual ~PARTITION_LIMITS() { partition_ = nullptr; }
    PARTITION_LIMITS(const PARTITION_LIMITS&) = delete;
    PARTITION_LIMITS& operator=(const PARTITION_LIMITS&) = delete;

    // The start stays and the end moves (the default).
    virtual void AnchorStart() { mode_ = ANCHOR_START; }
    // The end stays and the start moves: the sizes follow the start's range.
    virtual void AnchorEnd();
    virtual void ClearAnchor() { mode_ = ANCHOR_NONE; }
    virtual void SetMoveLimits(std::uint32_t left, std::uint32_t right);
    virtual std::uint32_t GetMaxSize() const { return maximum_; }
    virtual std::uint32_t GetMinSize() const { return minimum_; }
    // Clamps the size to [minimum, maximum] and, with align, moves it to the
    // partition's cylinder grid towards the inside of the range (never past
    // either bound while the range holds a boundary). Nothing without a
    // partition.
    virtual void SetSize(std::uint32_t size, bool align);
    virtual std::uint32_t GetSize() const { return newSize_; }
    virtual bool IsChanged() const { return newSize_ != oldSize_; }
    virtual std::uint32_t GetMinStart() const { return lowestStart_; }
    virtual std::uint32_t GetStart() const { return start_; }

    void Init(PARTITION_INFO* pi, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t size);
    PARTITION_INFO* Partition() const { return partition_; }
    std::uint32_t GetMode() const { return mode_; }
    std::uint32_t GetOldSize() const { return oldSize_; }
    std::uint32_t GetNewStart() const { return newStart_; }
    std::uint32_t GetMaxStart() const { return highestStart_; }

protected:
    // The clamped, aligned size SetSize would choose (no side effects).
    std::uint32_t ClampSize(std::uint32_t size, bool align) const;
    // Stores a chosen size (and in end-anchored mode the start it implies).
    void StoreSize(std::uint32_t size);

    std::uint32_t mode_ = ANCHOR_START;
    std::uint32_t flag_ = 1;
    PARTITION_INFO* partition_ = nullptr;
    std::uint32_t lowestStart_ = 0;
    std::uint32_t highestStart_ = 0;
    std::uint32_t start_ = 0;
    std::uint32_t oldEnd_ = 0;
    std::uint32_t minimum_ = 0;
    std::uint32_t maximum_ = 0;
    std::uint32_t oldSize_ = 0;
    std::uint32_t newStart_ = 0;
    std::uint32_t newSize_ = 0;
};

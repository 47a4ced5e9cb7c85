// What the two partition copies share: the step in which they move bytes
// between progress calls, and the bitmap written in such steps.
#pragma once

#include "engine/core/kwret.h"
#include "engine/core/statemap.h"
#include "kwvaults.h"

#include <cstdint>

class Progress;

namespace kw::imgaccess {

inline constexpr uint32_t KW_MSG_COPYING_DATA = 422;
// The most bytes read or written between two progress calls, so that a
// cancel is heard quickly even from a slow medium.
inline constexpr uint32_t kMaxPieceBytes = 256u << 10;

// Moves progress to percent low..high of its own range for done of total.
kwRet StepTo(Progress* progress, uint32_t low, uint32_t high, uint64_t done, uint64_t total);
// Writes the first bytes of the bitmap's words into the open part stream of
// dest, with a progress call (low..high) after each step.
kwRet WriteBitmap(PART_STORE* dest, const STATE_MAP& bitmap, uint32_t bytes, Progress* progress,
                  uint32_t low, uint32_t high);

} // namespace kw::imgaccess

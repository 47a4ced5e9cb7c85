// The run environment word of the engine.
#include "engine/core/runenv.h"

namespace {
std::uint32_t gRunEnvironment = 0;
}

std::uint32_t kwGetRunEnvironment() {
    return gRunEnvironment;
}
void kwSetRunEnvironment(std::uint32_t environment) {
    gRunEnvironment = environment;
}

// The run environment of the engine, stored at engine set-up: 0 a normal run,
// 1 a run at Windows NT boot time (the logs are appended to then).
#pragma once

#include <cstdint>

std::uint32_t kwGetRunEnvironment();
void kwSetRunEnvironment(std::uint32_t environment);

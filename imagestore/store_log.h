// The image library's debug log: one line per event that the library handles
// on its own but a reader of the log should see (a damaged part passed over, a
// result nobody asked for). The library cannot reach the engine's debug file,
// so lines go to the file named by KW_VAULTS_LOG (appended) and to stderr
// when KW_DEBUG_STDERR is set; without either they are dropped. Never throws.
#pragma once

#include <functional>
#include <string>

namespace kwv {

// Writes one line, printf-style (the line feed is added).
void StoreLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the lines instead (null: back to the environment's choice).
void SetStoreLogSinkForTests(std::function<void(const std::string&)> sink);

} // namespace kwv

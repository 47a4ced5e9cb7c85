// Test helpers: a unique temporary folder and the engine's text globals
// (message table and formatter) set up from the built-in resource.
#pragma once

#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"
#include "engine/core/workdir.h"
#include "tests/platform/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kwtest {

// The shared test folder, with the names these tests use.
class TempDir : public kw::test::TempDir {
public:
    const std::string& Path() const { return path(); }
    // The folder as an engine path with a trailing "\".
    std::string EnginePath() const { return kwHostToEnginePath(path()) + "\\"; }
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Installs the message table and the formatter for one test.
class EngineTexts {
public:
    EngineTexts() {
        const std::uint8_t* image = nullptr;
        std::uint32_t size = 0;
        GetEngineResource(&image, &size);
        cpLoadMessages(image, size, false);
        gMessageFormatter = new MESSAGE_FORMATTER;
    }
    ~EngineTexts() {
        delete gMessageFormatter;
        gMessageFormatter = nullptr;
        delete gCodePageInfo;
        gCodePageInfo = nullptr;
    }
};

} // namespace kwtest

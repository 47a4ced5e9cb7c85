// Installs the file systems' rows before a test program's first test, as
// engine set-up does for the program.
#pragma once

#include "engine/host/fs_modules.h"

#include <gtest/gtest.h>

namespace kwtest {

class FsModulesEnvironment : public ::testing::Environment {
public:
    void SetUp() override { enInstallFsModules(); }
};

inline ::testing::Environment* const kFsModulesEnvironment =
    ::testing::AddGlobalTestEnvironment(new FsModulesEnvironment);

} // namespace kwtest

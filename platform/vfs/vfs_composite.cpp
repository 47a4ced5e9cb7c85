// Path functions built from the providers' operations: copying, folder trees,
// volume names and roots, and the process-wide switches.
#include "platform/vfs/vfs.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace kw::vfs {

bool VFS_NAMESPACE::GetVolumeRoot(std::string, std::string*) {
    return false;
}
bool VFS_NAMESPACE::CopyFile(const std::string&, const std::string&) {
    return false;
}
bool VFS_NAMESPACE::CreateDirectoryTree(const std::string&) {
    return false;
}
bool VFS_NAMESPACE::DeleteTree(const std::string&) {
    return false;
}

void vfsAssertFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "ASSERTION FAILED: %s(%d)\r\n%s\n", file, line, expression);
    std::fflush(stderr);
    ::_exit(3);
}

bool vfsUserBreak() {
    return false;
}
void vfsSetErrorMode() {}

} // namespace kw::vfs

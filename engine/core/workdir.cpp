// Working directory of the engine and the mapping of engine paths to host paths.
#include "engine/core/workdir.h"

#include "platform/drives/drive_table.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

std::string gWorkDir;
bool gWorkDirSet = false;

void AddBackslash(std::string* path) {
    if (path->empty() || path->back() != '\\')
        path->push_back('\\');
}

// Creates every missing folder of a host path.
void MakeHostFolders(const std::string& hostPath) {
    for (std::size_t i = 1; i <= hostPath.size(); ++i) {
        if (i == hostPath.size() || hostPath[i] == '/')
            mkdir(hostPath.substr(0, i).c_str(), 0700);
    }
}

kwRet CopyOut(const std::string& text, char* buffer, std::size_t size, kwRet failure) {
    if (buffer == nullptr || size == 0)
        return failure;
    if (text.size() + 1 > size) {
        buffer[0] = '\0';
        return failure;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return KW_OK;
}

} // namespace

kwRet enGetSystemDirectory(std::string* path) {
    path->clear();
    std::string host;
    if (const char* dir = std::getenv("KW_SYSTEM_DIR"); dir != nullptr && *dir != '\0') {
        host = dir;
    } else if (const char* st = std::getenv("XDG_STATE_HOME"); st != nullptr && *st == '/') {
        host = std::string(st) + "/kwvtfe";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        host = std::string(home) + "/.local/state/kwvtfe";
    } else {
        return ERR_SYSTEM_DIR;
    }
    if (host.empty() || host[0] != '/')
        return ERR_SYSTEM_DIR;
    MakeHostFolders(host);
    *path = kwHostToEnginePath(host);
    AddBackslash(path);
    return KW_OK;
}

kwRet enGetSystemDirectory(char* buffer, std::size_t size) {
    std::string path;
    kwRet rc = enGetSystemDirectory(&path);
    if (rc != KW_OK) {
        CopyOut("", buffer, size, rc);
        return rc;
    }
    return CopyOut(path, buffer, size, ERR_SYSTEM_DIR);
}

kwRet enSetWorkingDirectory(const char* path) {
    if (path == nullptr) {
        kwRet rc = enGetSystemDirectory(&gWorkDir);
        gWorkDirSet = rc == KW_OK;
        return rc;
    }
    gWorkDir = path;
    AddBackslash(&gWorkDir);
    gWorkDirSet = true;
    return KW_OK;
}

kwRet enGetWorkingDirectory(std::string* path) {
    if (!gWorkDirSet && enSetWorkingDirectory(nullptr) != KW_OK)
        return ERR_WORKDIR;
    *path = gWorkDir;
    return KW_OK;
}

kwRet enGetWorkingDirectory(char* buffer, std::size_t size) {
    std::string path;
    if (enGetWorkingDirectory(&path) != KW_OK)
        return ERR_WORKDIR;
    return CopyOut(path, buffer, size, ERR_WORKDIR);
}

void kwResetWorkingDirectory() {
    gWorkDir.clear();
    gWorkDirSet = false;
}

bool kwEngineToHostPath(const std::string& enginePath, std::string* hostPath) {
    if (enginePath.size() < 2 || enginePath[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(enginePath[0])))
        return false;
    if (kw::drives::DriveTable::Process().ToHost(enginePath, hostPath))
        return true;
    // Without a table entry, drive C: is still the host root.
    if (std::toupper(static_cast<unsigned char>(enginePath[0])) != 'C')
        return false;
    std::string rest = enginePath.substr(2);
    for (char& c : rest)
        if (c == '\\')
            c = '/';
    while (!rest.empty() && rest[0] == '/')
        rest.erase(0, 1);
    *hostPath = "/" + rest;
    return true;
}

std::string kwHostToEnginePath(const std::string& hostPath) {
    std::string out;
    if (kw::drives::DriveTable::Process().FromHost(hostPath, &out))
        return out;
    out = "C:";
    for (char c : hostPath)
        out.push_back(c == '/' ? '\\' : c);
    if (out.size() == 2)
        out.push_back('\\');
    return out;
}

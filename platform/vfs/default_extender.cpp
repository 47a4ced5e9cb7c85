#include "platform/vfs/default_extender.h"

namespace kw::vfs {

DEFAULTFILESYSEXTENDER::DEFAULTFILESYSEXTENDER(const VFS_OPTIONS& options) : options_(options) {}
void DEFAULTFILESYSEXTENDER::SetOptions(const VFS_OPTIONS& options) {
    options_ = options;
}
void DEFAULTFILESYSEXTENDER::SetDriveTable(const drives::DriveTable* table) {
    table_ = table;
    drivesCounted_ = false;
    driveLetters_.clear();
}
const drives::DriveTable& DEFAULTFILESYSEXTENDER::Table() const {
    return table_ ? *table_ : drives::DriveTable::Process();
}
bool DEFAULTFILESYSEXTENDER::ToHost(const std::string&, std::string*) const {
    return false;
}
bool DEFAULTFILESYSEXTENDER::ClaimsPath(std::string&) {
    return true;
}
void* DEFAULTFILESYSEXTENDER::Reserved1(const std::string&, const char*) {
    return nullptr;
}
FILEHANDLE* DEFAULTFILESYSEXTENDER::OpenFile(const std::string&) {
    return nullptr;
}
FILEHANDLE* DEFAULTFILESYSEXTENDER::OpenFileReadOnly(const std::string&) {
    return nullptr;
}
FILEHANDLE* DEFAULTFILESYSEXTENDER::CreateFile(const std::string&) {
    return nullptr;
}
bool DEFAULTFILESYSEXTENDER::GetFileInfo(const std::string&, VFS_ENTRY*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetAttributes(const std::string&, uint32_t*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::SetAttributes(const std::string&, uint32_t) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::MoveFile(const std::string&, const std::string&) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::DeleteFile(const std::string&) {
    return false;
}
FILEITERATOR* DEFAULTFILESYSEXTENDER::FindFirst(const std::string&, VFS_ENTRY*) {
    return nullptr;
}
bool DEFAULTFILESYSEXTENDER::CreateDirectory(const std::string&) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::RemoveDirectory(const std::string&) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetFullPath(const std::string&, std::string*) {
    return false;
}
uint32_t DEFAULTFILESYSEXTENDER::GetVolumeCount() {
    return 0;
}
bool DEFAULTFILESYSEXTENDER::GetVolumeName(uint32_t, std::string*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetVolumeLabel(const std::string&, std::string*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::SetVolumeLabel(const std::string&, const char*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetDriveFlags(const std::string&, uint32_t*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetNetworkName(const std::string&, std::string*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetMediaState(const std::string&, uint32_t*) {
    return false;
}
bool DEFAULTFILESYSEXTENDER::GetDiskSpace(const std::string&, uint64_t*, uint64_t*) {
    return false;
}
int DEFAULTFILESYSEXTENDER::TouchDrive(const std::string&) {
    return 0;
}
bool DEFAULTFILESYSEXTENDER::IsDriveList(const std::string&) const {
    return false;
}
uint32_t DEFAULTFILESYSEXTENDER::RemovableMediaState(char, uint32_t) {
    return 0;
}

} // namespace kw::vfs

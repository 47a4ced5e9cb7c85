#include "platform/drives/drive_table.h"

namespace kw::drives {

bool ParseMountInfoLine(std::string_view, MountEntry*) {
    return false;
}
std::vector<MountEntry> ParseMountInfo(std::string_view) {
    return {};
}
bool IsRealFileSystem(const MountEntry&) {
    return false;
}

DriveTable DriveTable::Build(const DriveSources&) {
    return DriveTable();
}
DriveTable DriveTable::FromHost() {
    return DriveTable();
}
const DriveTable& DriveTable::Process() {
    static DriveTable table;
    return table;
}
void DriveTable::SetProcess(std::shared_ptr<const DriveTable>) {}
const DRIVE* DriveTable::Find(char) const {
    return nullptr;
}
bool DriveTable::ToHost(std::string_view, std::string*) const {
    return false;
}
bool DriveTable::FromHost(std::string_view, std::string*) const {
    return false;
}
DriveKind DriveTable::Kind(char) const {
    return DriveKind::Fixed;
}
bool DriveTable::DriveFlags(char, uint32_t*) const {
    return false;
}
bool DriveTable::Label(char, std::string*) const {
    return false;
}
bool DriveTable::NetworkName(char, std::string*) const {
    return false;
}

} // namespace kw::drives

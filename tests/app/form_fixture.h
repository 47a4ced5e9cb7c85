// Pieces of the editor's end-to-end tests: folders and images of the main
// window opened by name, whole files, mcopy's view of a FAT volume and
// pictures for the screenshot script.
#pragma once

#include "app/main_form.h"
#include "app/settings_store.h"
#include "tests/app/app_fixture.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class QTreeWidgetItem;
class QWidget;

namespace kw::app {
class TCopyToImageDlg;
}

namespace kw::test {

std::string FileBytes(const std::filesystem::path& file);
// The bytes of a file inside a raw FAT volume as mcopy reads them (through
// the scratch file); "mcopy failed" when it cannot.
std::string McopyBytes(const std::string& raw, const std::string& inVolume,
                       const std::filesystem::path& scratch);
// With KW_SHOT_DIR set (tests/app/screenshots.sh), a picture of the window.
void SaveShot(QWidget& window, const char* name);
// The whole screen (windows in their places), under KW_SHOT_DIR as SaveShot.
void SaveScreen(const char* name);

// The engine starts on one empty 1 MiB disk file of the folder.
void UseEmptyDisk(const TempDir& dir);
// The node of a folder of T: (by name), expanded.
QTreeWidgetItem* FolderNode(app::TMainForm& form, const QString& name);
// The node of an image in a folder of T:, expanded (the image opened).
QTreeWidgetItem* ImageNode(app::TMainForm& form, const QString& folder, const QString& name);
// Runs the copy command on the form's selection; `user` plays the dialog
// once it is shown.
void RunCopy(app::TMainForm& form, FakeUi& ui,
             const std::function<void(app::TCopyToImageDlg&)>& user);

} // namespace kw::test

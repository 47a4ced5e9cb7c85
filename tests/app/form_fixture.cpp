#include "tests/app/form_fixture.h"

#include "app/dialogs/copy_to_image_dlg.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTreeWidgetItem>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace kw::test {

std::string FileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string McopyBytes(const std::string& raw, const std::string& inVolume,
                       const std::filesystem::path& scratch) {
    std::filesystem::remove(scratch);
    const std::string cmd = "mcopy -n -i " + raw + " '::/" + inVolume + "' " + scratch.string();
    return std::system(cmd.c_str()) == 0 ? FileBytes(scratch) : "mcopy failed";
}

void SaveShot(QWidget& window, const char* name) {
    const char* dir = std::getenv("KW_SHOT_DIR");
    if (dir == nullptr)
        return;
    window.show();
    QTest::qWait(200);
    window.grab().save(QString(dir) + "/" + name);
}

void SaveScreen(const char* name) {
    const char* dir = std::getenv("KW_SHOT_DIR");
    if (dir == nullptr)
        return;
    QTest::qWait(200);
    QGuiApplication::primaryScreen()->grabWindow(0).save(QString(dir) + "/" + name);
}

void UseEmptyDisk(const TempDir& dir) {
    std::ofstream(dir / "disk.img").seekp((1 << 20) - 1).put('\0');
    setenv("KW_DISKS", (dir / "disk.img").c_str(), 1);
}

QTreeWidgetItem* FolderNode(app::TMainForm& form, const QString& name) {
    QTreeWidgetItem* t = Child(form.MyComputerNode(), " (T:)");
    t->setExpanded(true);
    QTreeWidgetItem* folder = Child(t, name);
    if (folder != nullptr)
        folder->setExpanded(true);
    return folder;
}

QTreeWidgetItem* ImageNode(app::TMainForm& form, const QString& folder, const QString& name) {
    QTreeWidgetItem* image = Child(FolderNode(form, folder), name);
    if (image != nullptr)
        image->setExpanded(true);
    return image;
}

void RunCopy(app::TMainForm& form, FakeUi& ui,
             const std::function<void(app::TCopyToImageDlg&)>& user) {
    ui.modal = [&user](QDialog& d) {
        auto& dlg = static_cast<app::TCopyToImageDlg&>(d);
        dlg.FormShow();
        user(dlg);
        return dlg.result();
    };
    form.CopyToImgMnuItmClick();
    ui.modal = nullptr;
}

} // namespace kw::test

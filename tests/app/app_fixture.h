// Shared pieces of the editor's tests: a user interface that records its
// messages and answers from a script, and a drive table whose T: drive is a
// test folder, with a path namespace over it.
#pragma once

#include "app/ui_services.h"
#include "platform/drives/drive_table.h"
#include "platform/vfs/vfs.h"
#include "tests/platform/temp_dir.h"

#include <QStringList>

class QTreeWidget;
class QTreeWidgetItem;

#include <deque>
#include <functional>
#include <memory>

namespace kw::app {
class SettingsStore;
class TMainForm;
} // namespace kw::app

namespace kw::test {

class FakeUi final : public app::UiServices {
public:
    struct Shown {
        QString text, caption;
        app::MsgIcon icon;
        app::MsgButtons buttons;
        bool onWindowThread = true; // shown from the window thread
    };
    app::MsgAnswer Message(const QString& text, const QString& caption, app::MsgIcon icon,
                           app::MsgButtons buttons) override;
    int ShowModal(QDialog& dialog) override;
    QString BrowseForFolder(QWidget*, const QString&) override { return folder; }
    QStringList OpenFiles(QWidget*, const QString&, const QString& start,
                          const QString& filter) override {
        openStart = start;
        openFilter = filter;
        return filesToOpen;
    }
    QString ChooseFileToWrite(QWidget*, const QString&, const QString& start,
                              const QString& filter) override {
        openStart = start;
        openFilter = filter;
        return fileToWrite;
    }
    bool OpenDocument(const QString& pathOrUrl) override;
    void ProcessEvents() override {
        if (onProcessEvents)
            onProcessEvents();
    }
    void Log(const QString& line) override { logged << line; }

    std::vector<Shown> messages;
    std::deque<app::MsgAnswer> answers; // default: Ok / Yes
    QStringList opened;
    bool documentsOpen = true; // whether OpenDocument finds a viewer
    QStringList logged;
    QStringList modalDialogs; // object names
    // Plays the user of a modal dialog and gives its result; unset, every
    // dialog is accepted untouched.
    std::function<int(QDialog&)> modal;
    QString folder;
    QStringList filesToOpen; // host paths
    QString fileToWrite;     // host path
    QString openStart, openFilter;
    // Plays the user while a long operation lets window events run.
    std::function<void()> onProcessEvents;
};

// A folder mapped as drive T: (C: stays "/"; no other drives) and a
// namespace with the editor's options over that table.
class TestDrives {
public:
    TestDrives();
    const TempDir& Dir() const { return dir_; }
    vfs::VFS_NAMESPACE& Vfs() { return *vfs_; }
    const drives::DriveTable& Table() const { return table_; }
    // A drive path as the editor shows it (its host path).
    QString Shown(const QString& drivePath) const;

private:
    TempDir dir_;
    drives::DriveTable table_;
    std::unique_ptr<vfs::VFS_NAMESPACE> vfs_;
};

// The main window over the test drives with the real engine, started without
// the splash's wait or the trees' selection delays.
std::unique_ptr<app::TMainForm> StartMainForm(FakeUi& ui, app::SettingsStore& settings,
                                              TestDrives& drives);

// The child of a tree node, or the top-level row of a list, with that text;
// null when there is none.
QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& text);
QTreeWidgetItem* Row(QTreeWidget* list, const QString& text);

} // namespace kw::test

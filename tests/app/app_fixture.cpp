#include "tests/app/app_fixture.h"

#include "app/explorer/explorer_utils.h"

#include "app/engine_facade.h"
#include "app/main_form.h"
#include "app/window_thread.h"

#include <QDialog>
#include <QTreeWidget>

namespace kw::test {

app::MsgAnswer FakeUi::Message(const QString& text, const QString& caption, app::MsgIcon icon,
                               app::MsgButtons buttons) {
    messages.push_back({text, caption, icon, buttons, app::OnWindowThread()});
    if (!answers.empty()) {
        app::MsgAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    return buttons == app::MsgButtons::Ok ? app::MsgAnswer::Ok : app::MsgAnswer::Yes;
}

int FakeUi::ShowModal(QDialog& dialog) {
    modalDialogs << dialog.objectName();
    return modal ? modal(dialog) : QDialog::Accepted;
}

bool FakeUi::OpenDocument(const QString& pathOrUrl) {
    opened << pathOrUrl;
    return documentsOpen;
}

TestDrives::TestDrives() {
    drives::DriveSources sources;
    sources.pins = {{'T', dir_.path()}};
    sources.sysRoot = dir_.path() + "/no-sys";
    sources.devRoot = dir_.path() + "/no-dev";
    table_ = drives::DriveTable::Build(sources);
    vfs_ = std::make_unique<vfs::VFS_NAMESPACE>(vfs::VFS_OPTIONS::Program());
    vfs_->Root().SetDriveTable(&table_);
}

QString TestDrives::Shown(const QString& drivePath) const {
    return app::ShownPath(table_, drivePath);
}

std::unique_ptr<app::TMainForm> StartMainForm(FakeUi& ui, app::SettingsStore& settings,
                                              TestDrives& drives) {
    auto form = std::make_unique<app::TMainForm>(app::MakeEngineFacade(), ui, settings,
                                                 drives.Vfs(), QStringList{"KwVtFe32", "/NDBG"});
    form->splashDelay = -1;
    form->exploreChangeDelay = 0;
    form->recentChangeDelay = 0;
    form->copyPause = 0;
    form->FormCreate();
    return form;
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& text) {
    for (int i = 0; node != nullptr && i < node->childCount(); ++i)
        if (node->child(i)->text(0) == text)
            return node->child(i);
    return nullptr;
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& text) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == text)
            return list->topLevelItem(i);
    return nullptr;
}

} // namespace kw::test

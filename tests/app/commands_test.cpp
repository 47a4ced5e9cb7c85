// The main window's commands over a real image (a FAT volume made by
// mkfs.fat and mtools): which commands each selection offers, the context
// menu, copy and paste, properties, and the restore that a paste starts.
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/restore_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/vtfe_folder.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "tests/app/app_fixture.h"
#include "tests/app/image_fixture.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace kw::app;
using kw::test::Row;

namespace {

std::string Bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The node at a path of node texts ("My Computer/ (T:)/imgs"), each step
// expanded on the way; null when a step is missing.
QTreeWidgetItem* NodeAt(QTreeWidget* tree, const QString& path) {
    QTreeWidgetItem* node = nullptr;
    for (const QString& step : path.split('/')) {
        QTreeWidgetItem* next = nullptr;
        const int count = node != nullptr ? node->childCount() : tree->topLevelItemCount();
        for (int i = 0; i < count && next == nullptr; ++i) {
            QTreeWidgetItem* c = node != nullptr ? node->child(i) : tree->topLevelItem(i);
            const VtfeItem* item = VtfeItem::OfNode(c);
            if (c->text(0) == step || (item != nullptr && item->Path() == step))
                next = c; // a recent image by its path
        }
        if (next == nullptr)
            return nullptr;
        next->setExpanded(true);
        node = next;
    }
    return node;
}

// The names of the enabled commands, in a fixed order.
QString Enabled(const TMainForm& f) {
    const std::pair<const char*, QAction*> actions[] = {
        {"Up", f.UpOneLevel},     {"CopyToImg", f.CopyToImg}, {"Delete", f.DeleteImg},
        {"Verify", f.VerifyImg},  {"Restore", f.Restore},     {"Properties", f.Properties},
        {"Copy", f.Copy},         {"Paste", f.Paste},         {"SelectAll", f.SelectAll},
        {"AddEntry", f.AddEntry}, {"Remove", f.RemoveEntry},  {"Clear", f.ClearList},
    };
    QStringList on;
    for (const auto& [name, action] : actions)
        if (action->isEnabled())
            on << name;
    return on.join(' ');
}

// The names of the visible entries of the context menu.
QString Visible(QMenu* menu) {
    QStringList on;
    for (QAction* a : menu->actions())
        if (a->isVisible())
            on << a->objectName() + (a->isEnabled() ? "" : "(off)");
    return on.join(' ');
}

const QString kImage = "My Computer/ (T:)/imgs/sample.kwi";
const QString kPartition = kImage + "/E: (SYSTEM)";

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::string raw_;

    std::unique_ptr<TMainForm> Start() {
        auto form = kw::test::StartMainForm(ui_, settings_, drives_);
        form->AddRecentImage("T:\\imgs\\sample.kwi");
        return form;
    }

    // Shows a tab and selects the node at path in its tree, then, when rows
    // are named, those rows of the list (the first one current).
    void Select(TMainForm& form, const QString& tab, const QString& path,
                const QStringList& rows = {}) {
        form.PageControl->setCurrentWidget(tab == "Recent" ? form.RecentImgsTab : form.ExploreTab);
        QTreeWidgetItem* node = NodeAt(form.CurrentTree(), path);
        QVERIFY2(node != nullptr, qPrintable(path));
        form.CurrentTree()->setCurrentItem(node);
        for (const QString& text : rows) {
            QTreeWidgetItem* row = Row(form.ContentsList, text);
            if (row == nullptr) // a recent image's row shows its host path
                row = Row(form.ContentsList, drives_.Shown(text));
            QVERIFY2(row != nullptr, qPrintable(text));
            if (text == rows.first())
                form.ContentsList->setCurrentItem(row);
            else
                row->setSelected(true);
        }
    }

private slots:
    void initTestCase() {
        std::ofstream(drives_.Dir() / "disk.img").seekp((1 << 20) - 1).put('\0');
        setenv("KW_DISKS", (drives_.Dir() / "disk.img").c_str(), 1);
        std::filesystem::create_directories(drives_.Dir() / "imgs");
        std::filesystem::create_directories(drives_.Dir() / "Plain");
        raw_ = drives_.Dir() / "fat.raw";
        std::string ten(10000, '\0');
        for (size_t i = 0; i < ten.size(); ++i)
            ten[i] = char(i * 7 + 1);
        drives_.Dir().Write("ten.bin", ten);
        const std::string m = " -i " + raw_ + " ", src = drives_.Dir() / "ten.bin";
        const std::string cmd = "mkfs.fat -C -F 16 -n SYSTEM " + raw_ + " 16384 >/dev/null && mmd" +
                                m + "::/top && mcopy" + m + src + " ::/TEN.BIN && mcopy" + m + src +
                                " ::/top/a.bin";
        QCOMPARE(std::system(cmd.c_str()), 0);
        QCOMPARE(kw::test::StoreVolume(raw_, drives_.Dir() / "imgs/sample.kwi", {}), 0);
        QCOMPARE(kw::test::StoreVolume(raw_, drives_.Dir() / "imgs/other.kwi", {}), 0);
        QCOMPARE(kw::test::StoreVolume(raw_, drives_.Dir() / "imgs/locked.kwi", u"pw"), 0);
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modalDialogs.clear();
        ui_.modal = nullptr;
    }
    void cleanup() { settings_.File() = {}; }

    // copy: a node copied (tree focused) before the selection is made.
    void availabilityFollowsTheSelection_data() {
        QTest::addColumn<QString>("copy");
        QTest::addColumn<QString>("tab");
        QTest::addColumn<QString>("node");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("enabled");
        const QString drive = "My Computer/ (T:)", folder = drive + "/imgs";
        const QStringList none;
        QTest::newRow("0 root") << ""
                                << "Locate"
                                << "My Computer" << none << "AddEntry";
        QTest::newRow("1 drive") << ""
                                 << "Locate" << drive << none << "Up AddEntry";
        QTest::newRow("2 folder") << ""
                                  << "Locate" << folder << none << "Up AddEntry";
        QTest::newRow("6 image, tree")
            << ""
            << "Locate" << kImage << none << "Up CopyToImg Delete Verify Properties Copy AddEntry";
        QTest::newRow("6 image, one row")
            << ""
            << "Locate" << folder << QStringList{"sample.kwi"}
            << "Up CopyToImg Delete Verify Properties Copy SelectAll AddEntry";
        QTest::newRow("6 image, two rows")
            << ""
            << "Locate" << folder << QStringList{"sample.kwi", "other.kwi"}
            << "Up Delete SelectAll AddEntry";
        QTest::newRow("7 partition, tree")
            << ""
            << "Locate" << kPartition << none << "Up CopyToImg Properties Copy AddEntry";
        QTest::newRow("7 partition, row") << ""
                                          << "Locate" << kImage << QStringList{"E: (SYSTEM)"}
                                          << "Up CopyToImg Properties Copy SelectAll AddEntry";
        QTest::newRow("8 folder, tree")
            << ""
            << "Locate" << kPartition + "/top" << none << "Up Restore Copy AddEntry";
        QTest::newRow("9 file, row") << ""
                                     << "Locate" << kPartition << QStringList{"TEN.BIN"}
                                     << "Restore Copy SelectAll AddEntry";
        QTest::newRow("8 and 9, rows") << ""
                                       << "Locate" << kPartition << QStringList{"top", "TEN.BIN"}
                                       << "Up Restore Copy SelectAll AddEntry";
        QTest::newRow("recent root") << ""
                                     << "Recent"
                                     << "My Recent Images" << none << "AddEntry Clear";
        QTest::newRow("recent image, tree")
            << ""
            << "Recent"
            << "My Recent Images/T:\\imgs\\sample.kwi" << none
            << "Up CopyToImg Delete Verify Properties Copy AddEntry Remove Clear";
        QTest::newRow("recent image, row")
            << ""
            << "Recent"
            << "My Recent Images" << QStringList{"T:\\imgs\\sample.kwi"}
            << "Up CopyToImg Delete Verify Properties Copy SelectAll AddEntry Remove Clear";
        // Paste: what was copied against where it would go.
        QTest::newRow("paste partition on folder")
            << kPartition << "Locate" << folder << none << "Up Paste AddEntry";
        QTest::newRow("paste partition on drive")
            << kPartition << "Locate" << drive << none << "Up Paste AddEntry";
        QTest::newRow("paste partition on image")
            << kPartition << "Locate" << folder + "/other.kwi" << none
            << "Up CopyToImg Delete Verify Properties Copy Paste AddEntry";
        QTest::newRow("paste image on recent image")
            << kImage << "Recent"
            << "My Recent Images/T:\\imgs\\sample.kwi" << none
            << "Up CopyToImg Delete Verify Properties Copy Paste AddEntry Remove Clear";
        QTest::newRow("paste folder on folder")
            << kPartition + "/top"
            << "Locate" << folder << none << "Up Paste AddEntry";
        QTest::newRow("paste folder on image")
            << kPartition + "/top"
            << "Locate" << kImage << none << "Up CopyToImg Delete Verify Properties Copy AddEntry";
        QTest::newRow("paste folder on partition")
            << kPartition + "/top"
            << "Locate" << kPartition << none << "Up CopyToImg Properties Copy AddEntry";
        QTest::newRow("paste drive on folder")
            << drive << "Locate" << folder << none << "Up AddEntry";
        QTest::newRow("paste partition on recent root")
            << kPartition << "Recent"
            << "My Recent Images" << none << "AddEntry Clear";
    }
    void availabilityFollowsTheSelection() {
        QFETCH(QString, copy);
        QFETCH(QString, tab);
        QFETCH(QString, node);
        QFETCH(QStringList, rows);
        QFETCH(QString, enabled);
        auto form = Start();
        if (!copy.isEmpty()) {
            Select(*form, "Locate", copy);
            form->CopyExecute();
        }
        Select(*form, tab, node, rows);
        QCOMPARE(Enabled(*form), enabled);
    }

    // Restored folders and files (kinds 3 and 5) are items of the host.
    void availabilityOfRestoredItems() {
        auto form = Start();
        QTreeWidgetItem* drive = NodeAt(form->ExploreTree, "My Computer/ (T:)");
        auto* folder = CreateItem<VtfeFolder>(drive, form.get(), form->ExploreTree,
                                              form->ContentsList, "Restored", KIND_RESTORED_FOLDER);
        folder->AddFile(
            std::make_unique<VtfeFile>(form.get(), folder->Node(), form->ContentsList, "r.txt"));
        Select(*form, "Locate", "My Computer/ (T:)/Restored");
        QCOMPARE(Enabled(*form), QString("Up Copy AddEntry"));
        Select(*form, "Locate", "My Computer/ (T:)/Restored", {"r.txt"});
        QCOMPARE(Enabled(*form), QString("Copy SelectAll AddEntry"));
    }

    void contextMenuFollowsTheSelection_data() {
        QTest::addColumn<QString>("tab");
        QTest::addColumn<QString>("node");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("visible");
        const QStringList none;
        QTest::newRow("folder") << "Locate"
                                << "My Computer/ (T:)/imgs" << none << "";
        QTest::newRow("image") << "Locate" << kImage << none
                               << "CopyToImgMnuItm1 DeleteImg2MnuItm VerifyImg2MnuItm "
                                  "Prop2MnuItm PopupMenuSep1 PopupMenuSep2 SelectAll2MnuItm(off)";
        QTest::newRow("two images")
            << "Locate"
            << "My Computer/ (T:)/imgs" << QStringList{"sample.kwi", "other.kwi"}
            << "DeleteImg2MnuItm PopupMenuSep1 PopupMenuSep2 SelectAll2MnuItm";
        QTest::newRow("partition") << "Locate" << kPartition << none
                                   << "CopyToImgMnuItm1 Prop2MnuItm PopupMenuSep1 PopupMenuSep2 "
                                      "SelectAll2MnuItm(off)";
        QTest::newRow("file") << "Locate" << kPartition << QStringList{"TEN.BIN"}
                              << "Restore2MnuItm PopupMenuSep1 PopupMenuSep2 SelectAll2MnuItm";
        QTest::newRow("recent root")
            << "Recent"
            << "My Recent Images" << none
            << "AddEntryMnuItm RemoveMnuItm(off) ClearListMnuItm PopupMenuSep2 "
               "SelectAll2MnuItm(off)";
        QTest::newRow("recent image")
            << "Recent"
            << "My Recent Images/T:\\imgs\\sample.kwi" << none
            << "CopyToImgMnuItm1 DeleteImg2MnuItm VerifyImg2MnuItm Prop2MnuItm PopupMenuSep1 "
               "AddEntryMnuItm RemoveMnuItm ClearListMnuItm PopupMenuSep2 SelectAll2MnuItm(off)";
    }
    void contextMenuFollowsTheSelection() {
        QFETCH(QString, tab);
        QFETCH(QString, node);
        QFETCH(QStringList, rows);
        QFETCH(QString, visible);
        auto form = Start();
        Select(*form, tab, node, rows);
        QCOMPARE(form->PopupMenu1Popup(), !visible.isEmpty());
        QCOMPARE(Visible(form->PopupMenu1), visible);
    }

    void propertiesOpenTheDialogOfTheItem() {
        auto form = Start();
        Select(*form, "Locate", kImage);
        form->Properties->trigger();
        Select(*form, "Locate", kImage, {"E: (SYSTEM)"});
        form->Properties->trigger();
        QCOMPARE(ui_.modalDialogs, (QStringList{"TImgPropDlg", "TPrtPropDlg"}));
        QVERIFY(ui_.messages.empty());

        // A password prompt cancelled: nothing more, no message.
        ui_.modalDialogs.clear();
        ui_.modal = [](QDialog& d) {
            return qobject_cast<TfrmPassword*>(&d) != nullptr ? int(QDialog::Rejected)
                                                              : int(QDialog::Accepted);
        };
        Select(*form, "Locate", "My Computer/ (T:)/imgs", {"locked.kwi"});
        form->PropertiesExecute();
        QCOMPARE(ui_.modalDialogs.size(), qsizetype(1));
        QVERIFY(ui_.modalDialogs[0] != "TImgPropDlg");
        QVERIFY(ui_.messages.empty());
    }

    // A partition pasted onto a host folder or an image opens the copy
    // dialog with that destination; an image onto itself is refused.
    void pasteOfPartitionsOpensTheCopyDialog() {
        auto form = Start();
        QStringList destinations;
        ui_.modal = [&destinations](QDialog& d) {
            destinations << d.findChild<QLineEdit*>("DestEd")->text();
            return int(QDialog::Rejected);
        };
        Select(*form, "Locate", kPartition);
        form->CopyExecute();
        Select(*form, "Locate", "My Computer/ (T:)/Plain");
        form->PasteExecute();
        QCOMPARE(ui_.modalDialogs, QStringList{"TCopyToImageDlg"});
        Select(*form, "Locate", kPartition);
        form->CopyExecute();
        Select(*form, "Locate", "My Computer/ (T:)/imgs/other.kwi");
        form->PasteExecute();
        QCOMPARE(ui_.modalDialogs, (QStringList{"TCopyToImageDlg", "TCopyToImageDlg"}));
        QCOMPARE(destinations.last(), drives_.Shown("T:\\imgs\\other.kwi"));

        Select(*form, "Locate", kImage);
        form->CopyExecute();
        form->PasteExecute();
        QCOMPARE(ui_.modalDialogs.size(), qsizetype(2));
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Source and destination cannot be the same file."));
    }

    // Folders and files of a partition pasted onto a host folder are
    // restored there, every one of them; onto a partition nothing happens.
    void pasteOfPartitionItemsRestoresThemAll() {
        auto form = Start();
        Select(*form, "Locate", kPartition, {"top", "TEN.BIN"});
        form->Copy->trigger();
        Select(*form, "Locate", kPartition);
        form->PasteExecute();
        QVERIFY(ui_.modalDialogs.isEmpty());

        QString image, partition, destination;
        int listed = 0;
        ui_.modal = [&](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            image = dlg.ImageName->text();
            partition = dlg.PartitionName->text();
            destination = dlg.DestEd->text();
            listed = dlg.RestoreList->topLevelItemCount();
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        Select(*form, "Locate", "My Computer/ (T:)/Plain");
        QVERIFY(form->Paste->isEnabled());
        form->Paste->trigger();
        QCOMPARE(ui_.modalDialogs, QStringList{"TRestoreDlg"});
        QCOMPARE(image, QString("T:\\imgs\\sample.kwi"));
        QCOMPARE(partition, QString("E: (SYSTEM)"));
        QCOMPARE(destination, drives_.Shown("T:\\Plain"));
        QCOMPARE(listed, 2);
        const std::string ten = Bytes(drives_.Dir() / "ten.bin");
        QCOMPARE(Bytes(drives_.Dir() / "Plain/TEN.BIN"), ten);
        QCOMPARE(Bytes(drives_.Dir() / "Plain/top/a.bin"), ten);
        std::filesystem::remove_all(drives_.Dir() / "Plain");
        std::filesystem::create_directories(drives_.Dir() / "Plain");
    }

    // The keys reach the commands wherever the focus is; a drop goes to the
    // destination a list selection made.
    void keysCopyAndPasteAndDropGoesToTheDestination() {
        auto form = Start();
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QStringList destinations;
        ui_.modal = [&destinations](QDialog& d) {
            destinations << static_cast<TRestoreDlg&>(d).DestEd->text();
            return int(QDialog::Rejected);
        };
        Select(*form, "Locate", kPartition, {"TEN.BIN"});
        form->ContentsList->setFocus();
        QTest::keyClick(form->ContentsList, Qt::Key_C, Qt::ControlModifier);
        Select(*form, "Locate", "My Computer/ (T:)/Plain");
        form->ExploreTree->setFocus();
        QTest::keyClick(form->ExploreTree, Qt::Key_V, Qt::ControlModifier);
        Select(*form, "Locate", "My Computer/ (T:)", {"imgs"});
        form->DropItemExecute();
        QCOMPARE(destinations,
                 (QStringList{drives_.Shown("T:\\Plain"), drives_.Shown("T:\\imgs")}));
    }

    // A restore with the list focused and no row selected does nothing.
    void restoreWithoutSelectedRowsDoesNothing() {
        auto form = Start();
        Select(*form, "Locate", kPartition, {"TEN.BIN"});
        form->ContentsList->clearSelection();
        form->RestoreExecute();
        QVERIFY(ui_.modalDialogs.isEmpty());
        QVERIFY(ui_.messages.empty());
    }
};

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"

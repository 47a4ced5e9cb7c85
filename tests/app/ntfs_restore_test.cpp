// NTFS partitions in the editor, end to end: the committed tree volume
// (tests/engine/ntfs/fixtures) stored into an image, browsed in the main
// window, and folders restored out of it byte for byte (checked against
// ntfscat) with their times; a partition whose listing fails says why.
#include "app/dialogs/restore_dlg.h"
#include "app/explorer/vtfe_prt_folder.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "include/kwbytes.h"
#include "platform/vfs/vfs.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>

using namespace kw::app;
using kw::test::Child;
using kw::test::FileBytes;
using kw::test::Row;

class NtfsRestoreTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::string raw_;

    std::unique_ptr<TMainForm> Start() { return kw::test::StartMainForm(ui_, settings_, drives_); }

    QTreeWidgetItem* Partition(TMainForm& form, const QString& image) {
        QTreeWidgetItem* node = kw::test::ImageNode(form, "imgs", image);
        return node != nullptr && node->childCount() == 1 ? node->child(0) : nullptr;
    }

    // ntfscat's bytes of a file of the raw volume.
    std::string Expected(const std::string& inVolume) {
        const std::filesystem::path scratch = drives_.Dir() / "expected.bin";
        const std::string cmd =
            "ntfscat '" + raw_ + "' '" + inVolume + "' > '" + scratch.string() + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0 ? FileBytes(scratch) : "ntfscat failed";
    }

private slots:
    void initTestCase() {
        kw::test::UseEmptyDisk(drives_.Dir());
        std::filesystem::create_directories(drives_.Dir() / "imgs");
        raw_ = drives_.Dir() / "tree.raw";
        const std::string fixture =
            std::string(KW_SOURCE_DIR) + "/tests/engine/ntfs/fixtures/tree.img.gz";
        QCOMPARE(std::system(("gzip -dc '" + fixture + "' > '" + raw_ + "'").c_str()), 0);
        QCOMPARE(kw::test::StoreVolume(raw_, drives_.Dir() / "imgs/tree.kwi", {}), 0);
        // The same volume with the root folder's record damaged.
        std::string broken = FileBytes(raw_);
        const uint64_t mft =
            kwbytes::LoadLe64(reinterpret_cast<const uint8_t*>(&broken[0x30])) * 4096;
        broken[mft + 5 * 1024 + 510] ^= 0x55; // the record's first sector no longer checks
        drives_.Dir().Write("broken.raw", broken);
        QCOMPARE(kw::test::StoreVolume(drives_.Dir() / "broken.raw",
                                       drives_.Dir() / "imgs/broken.kwi", {}),
                 0);
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    void restoresFoldersByteEqualWithTheirTimes() {
        auto form = Start();
        QTreeWidgetItem* part = Partition(*form, "tree.kwi");
        QVERIFY(part != nullptr);
        form->ExploreTree->setCurrentItem(part->parent());
        QTreeWidgetItem* partRow = Row(form->ContentsList, part->text(0));
        QVERIFY(partRow != nullptr);
        QCOMPARE(partRow->text(2), QString("NTFS"));
        part->setExpanded(true);
        QVERIFY(Child(part, "Docs") != nullptr && Child(part, "deep") != nullptr);
        form->ExploreTree->setCurrentItem(part);
        QTreeWidgetItem* readme = Row(form->ContentsList, "README.TXT");
        QVERIFY(readme != nullptr);
        QCOMPARE(readme->text(1), QString("8"));
        const uint64_t listedTime = static_cast<VtfePrtFile*>(VtfeItem::OfRow(readme))->Time();

        form->ContentsList->setCurrentItem(readme);
        for (const char* name : {"Docs", "deep", "frag", "links"})
            Row(form->ContentsList, name)->setSelected(true);
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText("T:\\out");
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form->RestoreExecute();
        QCOMPARE(ui_.messages.size(), size_t(1)); // "does not exist. Create it?"
        const std::filesystem::path out = drives_.Dir() / "out";
        for (const char* path :
             {"README.TXT", "Docs/Old Letters/big file.log", "Docs/hard link to readme.txt",
              "frag/fragmented.txt", "links/target.txt", "links/another name for the same file 9",
              "deep/level 0/level 1/level 2/level 3/level 4/level 5/level 6/level 7/level "
              "8/level 9/level 10/level 11/bottom.txt"})
            QVERIFY2(FileBytes(out / path) == Expected(path), path);
        size_t links = 0;
        for (const auto& e : std::filesystem::directory_iterator(out / "links"))
            links += e.is_regular_file();
        QCOMPARE(links, size_t(121));
        kw::vfs::VFS_ENTRY info;
        QVERIFY(drives_.Vfs().GetFileInfo("T:\\out\\README.TXT", &info));
        QCOMPARE(info.time, listedTime);
    }

    // A file whose data the engine does not read (a sparse run) is named
    // with the reason; skipped, the others restore.
    void aSparseFileIsReportedOnceAndTheRestRestores() {
        auto form = Start();
        QTreeWidgetItem* part = Partition(*form, "tree.kwi");
        QVERIFY(part != nullptr);
        form->ExploreTree->setCurrentItem(part);
        form->ContentsList->setCurrentItem(Row(form->ContentsList, "sparse.bin"));
        Row(form->ContentsList, "empty.bin")->setSelected(true);
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText("T:\\sparse");
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        drives_.Dir().Write("sparse/keep", "");
        ui_.answers = {MsgAnswer::Skip};
        form->RestoreExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text,
                 QString("Unable to read the file \\Partition0\\sparse.bin out of the image.\n"
                         "Error 722."));
        QVERIFY(std::filesystem::exists(drives_.Dir() / "sparse/empty.bin"));
        QVERIFY(!std::filesystem::exists(drives_.Dir() / "sparse/sparse.bin"));
    }

    void aPartitionThatCannotBeListedSaysWhyOnce() {
        auto form = Start();
        QTreeWidgetItem* part = Partition(*form, "broken.kwi");
        QVERIFY(part != nullptr);
        form->ExploreTree->setCurrentItem(part);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Error"));
        QVERIFY2(ui_.messages[0].text.startsWith("Unable to list the folder ") &&
                     ui_.messages[0].text.endsWith("\nBad update sequence number."),
                 qPrintable(ui_.messages[0].text));
        QCOMPARE(form->ContentsList->topLevelItemCount(), 1);
        QCOMPARE(form->ContentsList->topLevelItem(0)->text(0),
                 QString("Unable to list the folder: Bad update sequence number."));
        // Shown again: the row says why, no second message.
        form->ExploreTree->setCurrentItem(part->parent());
        form->ExploreTree->setCurrentItem(part);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(form->ContentsList->topLevelItemCount(), 1);
    }
};

QTEST_MAIN(NtfsRestoreTest)
#include "ntfs_restore_test.moc"

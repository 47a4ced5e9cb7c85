// Browsing and restoring out of real images, end to end: FAT volumes made by
// mkfs.fat and mtools, stored into images through the image library, opened
// in the main window, and their files restored and checked against mtools.
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/dialogs/restore_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/restore_file.h"
#include "app/explorer/vtfe_prt.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "kwvaults.h"
#include "platform/vfs/vfs.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"
#include "tests/platform/vfs/fake_extender.h"

#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/resource.h>

using namespace kw::app;
using kw::test::Child;
using kw::test::FileBytes;
using kw::test::Row;
using kw::test::SaveShot;
using kw::test::StoreVolume;

class RestoreTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::string raw_;

    std::unique_ptr<TMainForm> Start() { return kw::test::StartMainForm(ui_, settings_, drives_); }

    // The node of an image under T:\imgs, expanded.
    QTreeWidgetItem* ImageNode(TMainForm& form, const QString& name) {
        return kw::test::ImageNode(form, "imgs", name);
    }

    // Restores the partition's TEN.BIN (or another entry of its root) into
    // the folder dest through the restore dialog.
    void RestoreTen(TMainForm& form, const QString& dest, const QString& entry = "TEN.BIN",
                    const QString& image = "sample.kwi") {
        QTreeWidgetItem* part = ImageNode(form, image)->child(0);
        form.ExploreTree->setCurrentItem(part);
        form.ContentsList->setCurrentItem(Row(form.ContentsList, entry));
        ui_.modal = [dest](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText(dest);
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form.RestoreExecute();
    }

    // RestoreTen with the process's file size limited to limit bytes, as on
    // a target that fills up.
    void RestoreTenWithFileLimit(TMainForm& form, const QString& dest, rlim_t limit) {
        struct rlimit old;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = limit;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        RestoreTen(form, dest);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }

    // mcopy's bytes of a file of the raw volume.
    std::string Expected(const std::string& inVolume) {
        return kw::test::McopyBytes(raw_, inVolume, drives_.Dir() / "expected.bin");
    }

private slots:
    void initTestCase() {
        kw::test::UseEmptyDisk(drives_.Dir());
        std::filesystem::create_directories(drives_.Dir() / "imgs");
        raw_ = (drives_.Dir() / "fat.raw");
        kw::test::WritePatternFiles(drives_.Dir().path());
        const std::string d = drives_.Dir().path(), m = " -i " + raw_ + " ";
        const std::string cmd = "mkfs.fat -C -F 16 -n SYSTEM " + raw_ + " 16384 >/dev/null && mmd" +
                                m + "::/top ::/top/mid ::/top/mid/low ::/empty && mcopy" + m + d +
                                "/ten.bin ::/TEN.BIN && mcopy" + m + d +
                                "/small.bin ::/top/a.bin && mcopy" + m + d +
                                "/ten.bin ::/top/mid/b.bin && mcopy" + m + d +
                                "/small.bin '::/top/mid/low/A rather long name.data'";
        QCOMPARE(std::system(cmd.c_str()), 0);
        QCOMPARE(StoreVolume(raw_, (drives_.Dir() / "imgs/sample.kwi"), {}), 0);
        QCOMPARE(StoreVolume(raw_, (drives_.Dir() / "imgs/locked.kwi"), u"s\u00e9cret"), 0);
        drives_.Dir().Write("imgs/damaged.kwi", std::string(4096, 'x'));
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    // Expand, browse, restore a file and a three-level folder to a new folder.
    void restoresFileAndFolderTreeByteEqual() {
        auto form = Start();
        QTreeWidgetItem* image = ImageNode(*form, "sample.kwi");
        QVERIFY(image != nullptr);
        QCOMPARE(image->childCount(), 1);
        QTreeWidgetItem* part = image->child(0);
        QCOMPARE(part->text(0), QString("E: (SYSTEM)"));
        form->ExploreTree->setCurrentItem(image);
        QTreeWidgetItem* row = Row(form->ContentsList, "E: (SYSTEM)");
        QVERIFY(row != nullptr);
        QCOMPARE(row->text(1), QString("E"));
        QCOMPARE(row->text(2), QString("FAT"));
        QCOMPARE(row->text(3), QString("Primary"));
        QCOMPARE(row->text(5), QString("16 MB"));
        SaveShot(*form, "image_partitions.png");

        part->setExpanded(true);
        QVERIFY(Child(part, "top") != nullptr && Child(part, "empty") != nullptr);
        form->ExploreTree->setCurrentItem(part);
        QTreeWidgetItem* ten = Row(form->ContentsList, "TEN.BIN");
        QVERIFY(ten != nullptr);
        QCOMPARE(ten->text(1), QString("10,000"));
        QVERIFY(Row(form->ContentsList, ".") == nullptr &&
                Row(form->ContentsList, "..") == nullptr);
        SaveShot(*form, "partition_files.png");

        form->ContentsList->setCurrentItem(ten);
        Row(form->ContentsList, "top")->setSelected(true);
        Row(form->ContentsList, "empty")->setSelected(true);
        QVERIFY(form->Restore->isEnabled());
        const uint64_t listedTime = static_cast<VtfePrtFile*>(VtfeItem::OfRow(ten))->Time();
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText("T:\\out\\new");
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form->RestoreExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, "The directory " +
                                           QString::fromStdString(drives_.Dir() / "out/new") +
                                           " does not exist.\nWould you like to create it?");
        const std::filesystem::path out = drives_.Dir() / "out/new";
        QCOMPARE(FileBytes(out / "TEN.BIN"), Expected("TEN.BIN"));
        QCOMPARE(FileBytes(out / "top/a.bin"), Expected("top/a.bin"));
        QCOMPARE(FileBytes(out / "top/mid/b.bin"), Expected("top/mid/b.bin"));
        QCOMPARE(FileBytes(out / "top/mid/low/A rather long name.data"),
                 Expected("top/mid/low/A rather long name.data"));
        QVERIFY(std::filesystem::is_directory(out / "empty"));
        kw::vfs::VFS_ENTRY info;
        QVERIFY(drives_.Vfs().GetFileInfo("T:\\out\\new\\TEN.BIN", &info));
        QCOMPARE(info.time, listedTime);
        for (const auto& e : std::filesystem::recursive_directory_iterator(out))
            QVERIFY2(e.path().extension() != ".kwpart", e.path().c_str());

        // Again: the answers of the overwrite question start over each time.
        // A changed copy shows whether a file was skipped or replaced.
        drives_.Dir().Write("out/new/top/mid/b.bin", "stale");
        ui_.messages.clear();
        ui_.answers = {MsgAnswer::NoToAll};
        form->RestoreExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QVERIFY(
            ui_.messages[0].text.endsWith("already exists.\nDo you want to overwrite the file?"));
        QCOMPARE(FileBytes(out / "top/mid/b.bin"), std::string("stale"));
        ui_.messages.clear();
        ui_.answers = {MsgAnswer::YesToAll};
        form->RestoreExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(FileBytes(out / "top/mid/b.bin"), Expected("top/mid/b.bin"));

        // Restored three times, each file is listed once.
        QTreeWidgetItem* shown = Child(Child(Child(form->MyComputerNode(), " (T:)"), "out"), "new");
        QVERIFY(shown != nullptr);
        form->ExploreTree->setCurrentItem(shown);
        int tens = 0;
        for (int i = 0; i < form->ContentsList->topLevelItemCount(); ++i)
            tens += form->ContentsList->topLevelItem(i)->text(0) == "TEN.BIN";
        QCOMPARE(tens, 1);
    }

    // The bar of a restore moves by the files and bytes restored (a
    // folder's share is its files), and the window names the file at hand.
    void progressFollowsFilesAndBytes() {
        std::vector<int> bar;
        QStringList names;
        ui_.onProcessEvents = [&] {
            if (VtfeProgDlg == nullptr)
                return;
            if (bar.empty() || bar.back() != VtfeProgDlg->ProgBar->value())
                bar.push_back(VtfeProgDlg->ProgBar->value());
            const QString shown = VtfeProgDlg->ProgLbl->text();
            if (names.isEmpty() || names.back() != shown)
                names << shown;
        };
        const auto unhook = qScopeGuard([this] { ui_.onProcessEvents = nullptr; });
        std::filesystem::remove_all(drives_.Dir() / "progress");
        std::filesystem::create_directories(drives_.Dir() / "progress");
        auto form = Start();
        RestoreTen(*form, "T:\\progress", "top"); // three files in three folders
        QVERIFY(std::is_sorted(bar.begin(), bar.end()));
        QCOMPARE(bar.back(), 100);
        const auto between =
            std::count_if(bar.begin(), bar.end(), [](int v) { return v > 0 && v < 100; });
        QVERIFY2(between >= 2, qPrintable(QString::number(between))); // after each but the last
        for (const char* name : {"a.bin", "b.bin", "A rather long name.data"})
            QVERIFY2(std::any_of(names.begin(), names.end(),
                                 [name](const QString& n) { return n.endsWith(name); }),
                     qPrintable(names.join(" | ")));
    }

    // Where a typed destination lands: a host path ("/...", "~/...") and a
    // drive path name the same folder, a relative one lies in the current
    // folder, and a host path whose name holds "\\" is refused. The tree
    // arrives below it, never as files with "\\" in their names beside it.
    void typedDestinationIsWhereTheFilesLand_data() {
        QTest::addColumn<QString>("typed");   // "@" stands for the T: folder
        QTest::addColumn<QString>("landing"); // below T:; empty: refused
        QTest::newRow("host path") << "@/typed/abs"
                                   << "typed/abs";
        QTest::newRow("host path with dots") << "@/typed/x/../dots/"
                                             << "typed/dots";
        QTest::newRow("home") << "~/typed/home"
                              << "typed/home";
        QTest::newRow("drive path") << "T:\\typed\\drive"
                                    << "typed/drive";
        QTest::newRow("relative") << "typed/rel"
                                  << "typed/rel";
        QTest::newRow("backslash in a name") << "@/typed/a\\b"
                                             << "";
    }
    void typedDestinationIsWhereTheFilesLand() {
        QFETCH(QString, typed);
        QFETCH(QString, landing);
        namespace fs = std::filesystem;
        const QString root = QString::fromStdString(drives_.Dir().path());
        typed.replace('@', root);
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", root.toUtf8());
        std::string oldCurrent;
        QVERIFY(drives_.Vfs().GetCurrentDirectory(&oldCurrent));
        QVERIFY(drives_.Vfs().SetCurrentDirectory("T:\\"));
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            drives_.Vfs().SetCurrentDirectory(oldCurrent);
            fs::remove_all(drives_.Dir() / "typed");
        });
        auto form = Start();
        RestoreTen(*form, typed, "top");
        if (landing.isEmpty()) {
            QCOMPARE(ui_.messages.size(), size_t(1));
            QCOMPARE(ui_.messages[0].text,
                     "The name \"a\\b\" in " + typed +
                         " contains \"\\\", which no file or folder name on this machine may "
                         "hold.");
            QVERIFY(!fs::exists(drives_.Dir() / "typed"));
            return;
        }
        const fs::path out = drives_.Dir() / landing.toStdString();
        QCOMPARE(ui_.messages.size(), size_t(1)); // may it be created?
        QCOMPARE(ui_.messages[0].text, "The directory " + QString::fromStdString(out) +
                                           " does not exist.\nWould you like to create it?");
        QCOMPARE(FileBytes(out / "top/mid/b.bin"), Expected("top/mid/b.bin"));
        for (const auto& e : fs::recursive_directory_iterator(drives_.Dir() / "typed"))
            QVERIFY2(e.path().filename().string().find('\\') == std::string::npos,
                     e.path().c_str());
    }

    // An existing file is replaced only by a whole copy. Whatever fails, it
    // stays as it was, the user's own file named like a temporary copy
    // stays, no temporary copy is left, and a failure is shown once.
    void replacingKeepsTheOldFileUntilTheCopyIsWhole_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("error"); // the one error shown; empty: none
        const QString dest = "R:\\out\\TEN.BIN";
        QTest::newRow("replaced") << "" << false << "";
        QTest::newRow("read-only replaced") << "" << true << "";
        QTest::newRow("rename fails")
            << "rename" << false
            << "Unable to replace the file " + dest +
                   "; it is left as it was.\nThe file could not be written to successfully.";
        QTest::newRow("rename fails, read-only")
            << "rename" << true
            << "Unable to replace the file " + dest +
                   "; it is left as it was.\nThe file could not be written to successfully.";
        QTest::newRow("flush fails")
            << "flush" << false << "Unable to write the file " + dest + ".\nInput/output error";
        QTest::newRow("target full")
            << "full" << false << "Unable to write the file " + dest + ".\nFile too large";
        QTest::newRow("copy not creatable")
            << "protected" << false
            << "Unable to create the file " + dest +
                   ".\nThe file could not be written to successfully.";
        QTest::newRow("cancelled mid-copy") << "cancel" << false << "";
    }
    void replacingKeepsTheOldFileUntilTheCopyIsWhole() {
        QFETCH(QString, fault);
        QFETCH(bool, readOnly);
        QFETCH(QString, error);
        namespace fs = std::filesystem;
        kw::test::TempDir dir;
        dir.Write("out/TEN.BIN", "old bytes");
        dir.Write("out/~TEN.BIN.kwpart", "the user's own file");
        if (readOnly)
            fs::permissions(dir / "out/TEN.BIN", fs::perms::owner_read);
        kw::test::FakeRemovableExtender fake('R', dir.path());
        drives_.Vfs().AddExtender(&fake);
        const auto unlink = qScopeGuard([this, &fake] {
            drives_.Vfs().RemoveExtender(&fake);
            ui_.onProcessEvents = nullptr;
        });
        fake.SetReplaceFails(fault == "rename");
        fake.SetFlushFails(fault == "flush");
        if (fault == "cancel")
            ui_.onProcessEvents = [] {
                if (VtfeProgDlg != nullptr)
                    VtfeProgDlg->CancelBtnClick();
            };
        auto form = Start();
        fake.SetWriteProtected(fault == "protected");
        if (fault == "full")
            RestoreTenWithFileLimit(*form, "R:\\out", 4096);
        else
            RestoreTen(*form, "R:\\out");

        const bool replaced = fault.isEmpty();
        QCOMPARE(dir.Read("out/TEN.BIN"), replaced ? Expected("TEN.BIN") : "old bytes");
        const auto perms = fs::status(dir / "out/TEN.BIN").permissions();
        QCOMPARE((perms & fs::perms::owner_write) == fs::perms::none, readOnly && !replaced);
        QCOMPARE(dir.Read("out/~TEN.BIN.kwpart"), std::string("the user's own file"));
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "out"))
            names.insert(e.path().filename());
        QCOMPARE(names, (std::set<std::string>{"TEN.BIN", "~TEN.BIN.kwpart"}));

        QVERIFY(!ui_.messages.empty());
        QVERIFY(ui_.messages[0].text.endsWith(readOnly ? "is a read-only file.\nDo you want to "
                                                         "overwrite the file?"
                                                       : "already exists.\nDo you want to "
                                                         "overwrite the file?"));
        QStringList errors;
        for (const auto& m : ui_.messages)
            if (m.icon == MsgIcon::Error)
                errors << m.text;
        QCOMPARE(errors, error.isEmpty() ? QStringList() : QStringList{error});
    }

    // A restored file gets its time and attributes before the sync that
    // makes it durable, and is renamed into place only after it; its folder
    // is synced once after that.
    void restoredFileIsDurableBeforeItIsPlaced() {
        kw::test::TempDir dir;
        kw::test::FakeRemovableExtender fake('R', dir.path());
        drives_.Vfs().AddExtender(&fake);
        const auto unlink = qScopeGuard([this, &fake] { drives_.Vfs().RemoveExtender(&fake); });
        auto form = Start();
        dir.Write("out/keep", "");
        RestoreTen(*form, "R:\\out");
        QVERIFY(ui_.messages.empty());
        QStringList steps;
        for (const std::string& step : fake.steps)
            steps << QString::fromStdString(step.substr(0, step.find(" ~")));
        QCOMPARE(steps, (QStringList{"time", "attributes", "sync", "rename", "sync folder"}));

        // A folder sync that fails is shown: the files may not survive.
        fake.SetSyncFolderFails(true);
        ui_.answers = {MsgAnswer::Yes}; // replace TEN.BIN
        RestoreTen(*form, "R:\\out");
        QCOMPARE(ui_.messages.size(), size_t(2));
        QCOMPARE(ui_.messages[1].text,
                 QString("The files restored into R:\\out may be lost on a power failure: the "
                         "folder could not be written to the disk.\nInput/output error"));
    }

    // Folders the user lets the restore create are synced in their parents,
    // the deepest first, before anything is restored into them.
    void createdFoldersAreSyncedInTheirParents() {
        kw::test::TempDir dir;
        kw::test::FakeRemovableExtender fake('R', dir.path());
        drives_.Vfs().AddExtender(&fake);
        const auto unlink = qScopeGuard([this, &fake] { drives_.Vfs().RemoveExtender(&fake); });
        auto form = Start();
        ui_.answers = {MsgAnswer::Yes}; // create the folders
        RestoreTen(*form, "R:\\new\\deep");
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(fake.syncedFolders,
                 (std::vector<std::string>{"R:\\new", "R:\\", "R:\\new\\deep"}));
        QVERIFY(std::filesystem::is_regular_file(dir / "new/deep/TEN.BIN"));
    }

    // What an interrupted restore left in the folder (exactly its temporary
    // names, files only) is removed by the next restore into it, and the log
    // names each.
    void leftoversOfAnInterruptedRestoreAreRemoved() {
        namespace fs = std::filesystem;
        kw::test::TempDir dir;
        const std::set<std::string> kept = {"~TEN.BIN.kwpart",        "~X.0123ABCD.kwpart",
                                            "~X.0123abcd.kwpart.txt", ".0123abcd.kwpart",
                                            "~X.0123abc.kwpart",      "~X-0123abcd.kwpart"};
        for (const std::string& name : kept)
            dir.Write("out/" + name, "the user's");
        dir.Write("out/~TEN.BIN.0123abcd.kwpart", "left");
        dir.Write("out/~OLD REPORT.TXT.deadbeef.kwpart", "left");
        fs::create_directories(dir / "out/~D.01234567.kwpart");
        kw::test::FakeRemovableExtender fake('R', dir.path());
        drives_.Vfs().AddExtender(&fake);
        const auto unlink = qScopeGuard([this, &fake] { drives_.Vfs().RemoveExtender(&fake); });
        auto form = Start();
        RestoreTen(*form, "R:\\out");
        QVERIFY(ui_.messages.empty());
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "out"))
            names.insert(e.path().filename());
        std::set<std::string> expected = kept;
        expected.insert({"TEN.BIN", "~D.01234567.kwpart"});
        QCOMPARE(names, expected);
        ui_.logged.sort(); // in the folder's listing order
        QCOMPARE(
            ui_.logged,
            (QStringList{"Restore: removed R:\\out\\~OLD REPORT.TXT.deadbeef.kwpart, left by an "
                         "interrupted restore.",
                         "Restore: removed R:\\out\\~TEN.BIN.0123abcd.kwpart, left by an "
                         "interrupted restore."}));
    }

    // Unreadable files of a damaged image (their sizes outrun their
    // clusters): each failure offers Skip, Skip All and Cancel, and with more
    // than one the end lists every one; the files read whole are restored,
    // a failed one leaves nothing, and Cancel stops the restore there.
    void unreadableFilesAreSkippedOrStopTheRestore_data() {
        QTest::addColumn<QList<MsgAnswer>>("answers");
        QTest::addColumn<int>("boxes"); // asked about a failure
        QTest::addColumn<bool>("report");
        QTest::addColumn<bool>("lastRestored");
        QTest::newRow("skip each")
            << QList<MsgAnswer>{MsgAnswer::Skip, MsgAnswer::Skip, MsgAnswer::Skip} << 3 << true
            << true;
        QTest::newRow("skip all") << QList<MsgAnswer>{MsgAnswer::Skip, MsgAnswer::SkipAll} << 2
                                  << true << true;
        QTest::newRow("cancel") << QList<MsgAnswer>{MsgAnswer::Cancel} << 1 << false << false;
    }
    void unreadableFilesAreSkippedOrStopTheRestore() {
        QFETCH(QList<MsgAnswer>, answers);
        QFETCH(int, boxes);
        QFETCH(bool, report);
        QFETCH(bool, lastRestored);
        namespace fs = std::filesystem;
        const std::string raw = drives_.Dir() / "bad.raw";
        if (!fs::exists(raw)) {
            const std::string cmd = "mkfs.fat -C -F 12 " + raw + " 1024 >/dev/null && mmd -i " +
                                    raw + " ::/bad && for n in 1 2 3 4; do mcopy -i " + raw + " " +
                                    drives_.Dir().path() + "/small.bin ::/bad/B$n.BIN; done";
            QCOMPARE(std::system(cmd.c_str()), 0);
            std::string bytes = FileBytes(raw);
            for (const char* name : {"B1      BIN", "B2      BIN", "B3      BIN"}) {
                const size_t at = bytes.find(name);
                QVERIFY(at != std::string::npos);
                bytes.replace(at + 28, 4, std::string("\x00\x00\x01\x00", 4)); // 64 KiB
            }
            drives_.Dir().Write("bad.raw", bytes);
            QCOMPARE(StoreVolume(raw, drives_.Dir() / "imgs/unreadable.kwi", {}), 0);
        }
        fs::remove_all(drives_.Dir() / "skipped");
        fs::create_directories(drives_.Dir() / "skipped");
        auto form = Start();
        ui_.answers = std::deque<MsgAnswer>(answers.begin(), answers.end());
        RestoreTen(*form, "T:\\skipped", "bad", "unreadable.kwi");

        QStringList asked, shown;
        for (const auto& m : ui_.messages)
            (m.buttons == MsgButtons::SkipAllCancel ? asked : shown) << m.text;
        QCOMPARE(asked.size(), boxes);
        QVERIFY2(asked[0].startsWith("Unable to read the file \\Partition0\\bad\\B1.BIN out of "
                                     "the image.\n"),
                 qPrintable(asked[0]));
        QCOMPARE(shown.size(), report ? 1 : 0);
        if (report) {
            QVERIFY(shown[0].startsWith("Not restored (3); everything else was restored:\n"));
            for (const char* name : {"B1.BIN", "B2.BIN", "B3.BIN"})
                QVERIFY2(shown[0].contains(name), name);
            QVERIFY(!shown[0].contains("B4.BIN"));
        }
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(drives_.Dir() / "skipped/bad"))
            names.insert(e.path().filename());
        QCOMPARE(names, lastRestored ? std::set<std::string>{"B4.BIN"} : std::set<std::string>{});
    }

    // A folder that cannot be made is shown once, by name.
    void folderThatCannotBeMadeIsShownOnce() {
        kw::test::TempDir dir;
        dir.Write("out/keep", "");
        kw::test::FakeRemovableExtender fake('R', dir.path());
        drives_.Vfs().AddExtender(&fake);
        const auto unlink = qScopeGuard([this, &fake] { drives_.Vfs().RemoveExtender(&fake); });
        auto form = Start();
        fake.SetWriteProtected(true);
        RestoreTen(*form, "R:\\out", "top");
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Unable to create the directory R:\\out\\top."));
        QCOMPARE(ui_.messages[0].icon, MsgIcon::Error);
    }

    // A folder of the image that cannot be listed (its entry points at no
    // cluster) is shown once, by name, with the reason.
    void folderThatCannotBeListedIsShownOnce() {
        std::string raw = FileBytes(raw_);
        const std::string entry = std::string("TOP        ") + '\x10';
        const size_t at = raw.find(entry);
        QVERIFY(at != std::string::npos);
        raw.replace(at + 20, 2, 2, '\0'); // the first cluster, high and low
        raw.replace(at + 26, 2, 2, '\0');
        drives_.Dir().Write("broken.raw", raw);
        QCOMPARE(StoreVolume(drives_.Dir() / "broken.raw", drives_.Dir() / "imgs/broken.kwi", {}),
                 0);
        drives_.Dir().Write("unlisted/keep", "");
        auto form = Start();
        RestoreTen(*form, "T:\\unlisted", "top", "broken.kwi");
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Error"));
        QCOMPARE(ui_.messages[0].text, QString("Unable to restore the folder "
                                               "T:\\imgs\\broken.kwi\\E: (SYSTEM)\\top.\n"
                                               "Subdirectory is corrupted"));
    }

    void passwordIsAskedAndCancelStopsSilently() {
        auto form = Start();
        ui_.modal = [](QDialog&) { return int(QDialog::Rejected); };
        QTreeWidgetItem* image = ImageNode(*form, "locked.kwi");
        QCOMPARE(image->childCount(), 0);
        QVERIFY(ui_.messages.empty());

        int asked = 0;
        ui_.modal = [&asked](QDialog& d) {
            static_cast<TfrmPassword&>(d).edtPassword->setText(
                ++asked == 1 ? "wrong" : QString::fromUtf16(u"s\u00e9cret"));
            return int(QDialog::Accepted);
        };
        static_cast<VtfeItem*>(VtfeItem::OfNode(image))->Expand(false);
        QCOMPARE(asked, 2);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Invalid Password"));
        QCOMPARE(image->childCount(), 1);
        QCOMPARE(image->child(0)->text(0), QString("E: (SYSTEM)"));
    }

    // A damaged image's error is shown once, however often the trees and
    // the list ask for its contents afterwards.
    void damagedImageShowsItsError() {
        auto form = Start();
        QTreeWidgetItem* image = ImageNode(*form, "damaged.kwi");
        QCOMPARE(image->childCount(), 0);
        form->ExploreTree->setCurrentItem(image);
        image->setExpanded(false);
        image->setExpanded(true);
        VtfeItem::OfNode(image)->Expand(false);
        form->ExploreTree->setCurrentItem(image->parent());
        form->ExploreTree->setCurrentItem(image);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Image Access Creation Error"));
        QVERIFY(ui_.messages[0].text.startsWith("Error 18"));
        QVERIFY(ui_.messages[0].text.endsWith(": Image file could not be accessed."));
    }

    void verifyTellsValidAndDamagedImages() {
        auto form = Start();
        QTreeWidgetItem* imgs = Child(Child(form->MyComputerNode(), " (T:)"), "imgs");
        if (imgs == nullptr) {
            Child(form->MyComputerNode(), " (T:)")->setExpanded(true);
            imgs = Child(Child(form->MyComputerNode(), " (T:)"), "imgs");
        }
        imgs->setExpanded(true);
        form->ExploreTree->setCurrentItem(Child(imgs, "sample.kwi"));
        QVERIFY(form->VerifyImg->isEnabled());
        form->VerifyImg->trigger();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Image is valid."));
        QCOMPARE(ui_.messages[0].caption, QString("Image Validation"));

        form->ExploreTree->setCurrentItem(Child(imgs, "damaged.kwi"));
        ui_.messages.clear(); // selecting it tried to open it, once
        form->VerifyImg->trigger();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QVERIFY(ui_.messages[0].text.startsWith("Error 18"));
        QCOMPARE(ui_.messages[0].icon, MsgIcon::Error);
        form->ExploreTree->setCurrentItem(imgs);
        QVERIFY(!form->VerifyImg->isEnabled());
    }

    void unsafeNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "report 2024.txt" << true;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("slash") << "a/b" << false;
        QTest::newRow("colon") << "C:x" << false;
        QTest::newRow("control") << "a\tb" << false;
        QTest::newRow("empty") << "" << false;
    }
    void unsafeNamesAreRefused() {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QCOMPARE(SafeEntryName(name.toStdString()), safe);
    }
};

QTEST_MAIN(RestoreTest)
#include "restore_test.moc"

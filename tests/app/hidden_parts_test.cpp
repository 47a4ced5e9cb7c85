// "Hidden Partitions" in the editor, end to end: a KW_DISKS disk image with
// FAT16, FAT32 and NTFS partitions Linux has not mounted and a FAT one a
// faked loop device has mounted. The tree offers the two, browses them, and files restored out of
// an image onto the writable one pass fsck.fat and read back through mtools.
#include "app/dialogs/copy_to_image_dlg.h"
#include "app/dialogs/restore_dlg.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "platform/disk/host_mounts.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"
#include "tests/support/mbr_writer.h"
#include "tests/support/tool_run.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>

using namespace kw::app;
using kw::test::Child;
using kw::test::FileBytes;
using kw::test::Row;

namespace {

constexpr uint32_t kFat16 = 2048, kFat32 = kFat16 + 16384, kNtfs = kFat32 + 73728,
                   kMounted = kNtfs + 16384;
constexpr uint32_t kDiskSectors = kMounted + 16384;

void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

} // namespace

class HiddenPartsTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::string disk_;
    kw::plat::HostView view_;

    std::unique_ptr<TMainForm> Start() { return kw::test::StartMainForm(ui_, settings_, drives_); }

    static QTreeWidgetItem* HiddenRoot(TMainForm& form) {
        for (int i = 0; i < form.ExploreTree->topLevelItemCount(); ++i)
            if (form.ExploreTree->topLevelItem(i)->text(0) == "Hidden Partitions")
                return form.ExploreTree->topLevelItem(i);
        return nullptr;
    }
    std::string At(uint32_t sector) const {
        return "'" + disk_ + "@@" + std::to_string(uint64_t{sector} * 512) + "'";
    }
    bool Fsck(uint32_t start, uint32_t count) {
        const std::string copy = drives_.Dir() / "part.vol";
        const std::string cmd = "dd if='" + disk_ + "' of='" + copy +
                                "' bs=512 skip=" + std::to_string(start) +
                                " count=" + std::to_string(count) +
                                " 2>/dev/null && fsck.fat -n '" + copy + "' >/dev/null";
        return std::system(cmd.c_str()) == 0;
    }

private slots:
    void initTestCase() {
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        disk_ = drives_.Dir() / "disk.img";
        std::ofstream(disk_).seekp(uint64_t{kDiskSectors} * 512 - 1).put('\0');
        kwtest::MbrLayout layout;
        layout.primaries = {{0x06, kFat16, 16384},
                            {0x0C, kFat32, 73728},
                            {0x07, kNtfs, 16384},
                            {0x06, kMounted, 16384}};
        kwtest::WriteMbrLayout(disk_, layout);
        drives_.Dir().Write("hello.txt", "hello from a hidden partition\n");
        const std::string hello = drives_.Dir() / "hello.txt";
        auto mkfs = [this](uint32_t start, uint32_t count, const std::string& how) {
            return "mkfs.fat --offset " + std::to_string(start) + " " + how + " '" + disk_ + "' " +
                   std::to_string(count / 2) + " >/dev/null 2>&1";
        };
        const std::string cmd = mkfs(kFat16, 16384, "-F 16 -s 1 -n KWFAT16") + " && " +
                                mkfs(kFat32, 73728, "-F 32 -s 1 -n KWFAT32") + " && " +
                                mkfs(kMounted, 16384, "-F 16 -s 1 -n MOUNTED") + " && mmd -i " +
                                At(kFat16) + " ::/Sub && mcopy -i " + At(kFat16) + " " + hello +
                                " ::/HELLO.TXT";
        QCOMPARE(std::system(cmd.c_str()), 0);
        const std::string ntfs = drives_.Dir() / "ntfs.vol";
        const std::string made = "truncate -s " + std::to_string(16384 * 512) + " '" + ntfs +
                                 "' && mkntfs -F -Q -q -L KWNTFS -p " + std::to_string(kNtfs) +
                                 " -H 255 -S 63 '" + ntfs + "' 2>/dev/null && ntfscp -q '" + ntfs +
                                 "' " + hello + " hello.txt && dd if='" + ntfs + "' of='" + disk_ +
                                 "' bs=512 seek=" + std::to_string(kNtfs) +
                                 " conv=notrunc status=none";
        QCOMPARE(std::system(made.c_str()), 0);
        setenv("KW_DISKS", disk_.c_str(), 1);
        // Loop device 7:0 backs the disk file; its fourth partition is mounted.
        const std::filesystem::path loop = drives_.Dir() / "sys/block/loop0";
        WriteText(loop / "loop/backing_file", disk_ + "\n");
        WriteText(loop / "loop/offset", "0");
        WriteText(loop / "size", std::to_string(kDiskSectors));
        WriteText(loop / "dev", "7:0");
        WriteText(loop / "loop0p4/partition", "4");
        WriteText(loop / "loop0p4/start", std::to_string(kMounted));
        WriteText(loop / "loop0p4/size", "16384");
        WriteText(loop / "loop0p4/dev", "7:4");
        view_.sysRoot = drives_.Dir() / "sys";
        view_.devRoot = drives_.Dir() / "dev";
        view_.mountInfo = "36 22 7:4 / /mnt/stick rw - vfat /dev/loop0p4 rw\n";
        kw::plat::SetHostViewForTests([this] { return view_; });

        // An image of a FAT volume to restore from.
        const std::string raw = drives_.Dir() / "src.raw";
        drives_.Dir().Write("big.bin", std::string(300000, 'k'));
        const std::string m = " -i " + raw + " ";
        // The file is older than the test: a restore that gave it the time of
        // writing would show.
        const std::string img = "touch -d '2001-02-03 04:05:06' " + (drives_.Dir() / "big.bin") +
                                " && mkfs.fat -C -F 16 -n SRC " + raw +
                                " 16384 >/dev/null && mcopy -m" + m + (drives_.Dir() / "big.bin") +
                                " '::/Big File.bin' && mmd" + m + "::/docs && mcopy" + m + hello +
                                " ::/docs/note.txt";
        QCOMPARE(std::system(img.c_str()), 0);
        std::filesystem::create_directories(drives_.Dir() / "imgs");
        QCOMPARE(kw::test::StoreVolume(raw, drives_.Dir() / "imgs/src.kwi", {}), 0);
    }

    void cleanupTestCase() { kw::plat::SetHostViewForTests(nullptr); }

    // A partition under "Hidden Partitions" copied into a new image from the
    // window: the dialog lists it under that node, and every file restored
    // out of the new image reads as mtools reads it on the disk.
    void copiesAHiddenPartitionIntoANewImage() {
        auto form = Start();
        QTreeWidgetItem* root = HiddenRoot(*form);
        QVERIFY(root != nullptr);
        root->setExpanded(true);
        form->ExploreTree->setCurrentItem(root->child(0));
        QVERIFY(form->CopyToImg->isEnabled());
        QVERIFY(form->PopupMenu1Popup()); // offers Copy to Image alone
        QStringList offered;
        for (QAction* a : form->PopupMenu1->actions())
            if (a->isVisible() && !a->isSeparator())
                offered << a->objectName();
        QCOMPARE(offered, QStringList{"CopyToImgMnuItm1"});
        QStringList listed;
        kw::test::RunCopy(*form, ui_, [&listed](TCopyToImageDlg& dlg) {
            QTreeWidgetItem* top = dlg.PartitionTree->topLevelItem(0);
            listed << top->text(0) << top->child(0)->text(0);
            dlg.DestEd->setText("T:\\copies\\hidden.kwi");
            dlg.CopyBtnClick();
        });
        QCOMPARE(listed, (QStringList{"Hidden Partitions", "KWFAT16 (disk1.part1)"}));
        QVERIFY(ui_.messages.empty());
        QTreeWidgetItem* image = kw::test::ImageNode(*form, "copies", "hidden.kwi");
        QVERIFY(image != nullptr && image->childCount() == 1);
        form->ExploreTree->setCurrentItem(image->child(0));
        form->ContentsList->setCurrentItem(Row(form->ContentsList, "HELLO.TXT"));
        Row(form->ContentsList, "Sub")->setSelected(true);
        ui_.answers = {MsgAnswer::Yes}; // create the folder
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText("T:\\back");
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form->RestoreExecute();
        form.reset();
        const std::filesystem::path back = drives_.Dir() / "back";
        const std::string volume = disk_ + "@@" + std::to_string(uint64_t{kFat16} * 512);
        int files = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(back)) {
            if (!e.is_regular_file())
                continue;
            ++files;
            const std::string inVolume = std::filesystem::relative(e.path(), back).string();
            QVERIFY2(kw::test::McopyBytes(volume, inVolume, drives_.Dir() / "scratch.bin") ==
                         FileBytes(e.path()),
                     inVolume.c_str());
        }
        QVERIFY(files >= 1);
        QVERIFY(std::filesystem::exists(back / "HELLO.TXT"));
    }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    // A partition of an image may be pasted (copied into a new image) onto a
    // hidden partition of a writable disk; with the disk opened read-only
    // nothing may be pasted or dropped there, nor onto its folders.
    void writesAreGreyedOnAReadOnlyDisk() {
        for (const bool writable : {true, false}) {
            const std::string path = disk_;
            kw::plat::SetDiskProviderForTests([path, writable] {
                kw::plat::DiskScan scan;
                int err = 0;
                scan.disks.push_back(kw::plat::FileSectorSource::Open(
                    path, kw::plat::DiskFileKind::ImageFile, writable, &err));
                return scan;
            });
            auto form = Start();
            QTreeWidgetItem* image = kw::test::ImageNode(*form, "imgs", "src.kwi");
            QVERIFY(image != nullptr && image->childCount() == 1);
            form->ExploreTree->setCurrentItem(image->child(0));
            form->CopyExecute();
            QTreeWidgetItem* root = HiddenRoot(*form);
            root->setExpanded(true);
            QTreeWidgetItem* fat16 = root->child(0);
            form->ExploreTree->setCurrentItem(fat16);
            QCOMPARE(form->Paste->isEnabled(), writable);
            fat16->setExpanded(true);
            form->ExploreTree->setCurrentItem(Child(fat16, "Sub"));
            QCOMPARE(form->Paste->isEnabled(), writable);
            form.reset();
            kw::plat::SetDiskProviderForTests(nullptr);
        }
    }

    void listsTheUnmountedPartitionsAndBrowsesThem() {
        auto form = Start();
        QTreeWidgetItem* root = HiddenRoot(*form);
        QVERIFY(root != nullptr);
        root->setExpanded(true);
        QStringList captions;
        for (int i = 0; i < root->childCount(); ++i)
            captions << root->child(i)->text(0);
        QCOMPARE(captions, (QStringList{"KWFAT16 (disk1.part1)", "KWFAT32 (disk1.part2)",
                                        "KWNTFS (disk1.part3)"}));
        QTreeWidgetItem* fat16 = root->child(0);
        fat16->setExpanded(true);
        QVERIFY(Child(fat16, "Sub") != nullptr);
        form->ExploreTree->setCurrentItem(fat16);
        QVERIFY(Row(form->ContentsList, "Sub") != nullptr);
        kw::test::SaveShot(*form, "hidden.png");
    }

    void restoresOntoAWritableFatPartition() {
        auto form = Start();
        QTreeWidgetItem* image = kw::test::ImageNode(*form, "imgs", "src.kwi");
        QVERIFY(image != nullptr && image->childCount() == 1);
        QTreeWidgetItem* part = image->child(0);
        form->ExploreTree->setCurrentItem(part);
        QTreeWidgetItem* big = Row(form->ContentsList, "Big File.bin");
        QVERIFY(big != nullptr);
        form->ContentsList->setCurrentItem(big);
        Row(form->ContentsList, "docs")->setSelected(true);
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            dlg.DestEd->setText("\\\\.\\disk1.part1\\Sub");
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form->RestoreExecute();
        for (const auto& m : ui_.messages)
            qWarning("%s: %s", qPrintable(m.caption), qPrintable(m.text));
        form.reset(); // the engine stops
        QVERIFY(Fsck(kFat16, 16384));
        const std::filesystem::path scratch = drives_.Dir() / "back.bin";
        QVERIFY(kw::test::McopyBytes(disk_ + "@@" + std::to_string(uint64_t{kFat16} * 512),
                                     "Sub/Big File.bin",
                                     scratch) == FileBytes(drives_.Dir() / "big.bin"));
        QVERIFY(kw::test::McopyBytes(disk_ + "@@" + std::to_string(uint64_t{kFat16} * 512),
                                     "Sub/docs/note.txt",
                                     scratch) == FileBytes(drives_.Dir() / "hello.txt"));
        // The restored file keeps the image's time, as mdir shows it.
        const std::string listing = kwtest::Capture(
            "mdir -i '" + disk_ + "@@" + std::to_string(uint64_t{kFat16} * 512) + "' ::/Sub");
        QVERIFY2(listing.find("2001-02-03   4:05  Big File.bin") != std::string::npos,
                 listing.c_str());
    }
};

QTEST_MAIN(HiddenPartsTest)
#include "hidden_parts_test.moc"

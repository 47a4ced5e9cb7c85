// "Hidden Partitions" in the editor, end to end: a KW_DISKS disk image with
// two FAT partitions Linux has not mounted and one a faked loop device has
// mounted. The tree offers the two, browses them, and files restored out of
// an image onto the writable one pass fsck.fat and read back through mtools.
#include "app/dialogs/restore_dlg.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "platform/disk/host_mounts.h"
#include "tests/app/app_fixture.h"
#include "tests/app/form_fixture.h"
#include "tests/app/image_fixture.h"
#include "tests/support/mbr_writer.h"

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>

using namespace kw::app;
using kw::test::Child;
using kw::test::FileBytes;
using kw::test::Row;

namespace {

constexpr uint32_t kFat16 = 2048, kFat32 = kFat16 + 16384, kMounted = kFat32 + 73728;
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
        layout.primaries = {{0x06, kFat16, 16384}, {0x0C, kFat32, 73728}, {0x06, kMounted, 16384}};
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
        setenv("KW_DISKS", disk_.c_str(), 1);
        // Loop device 7:0 backs the disk file; its third partition is mounted.
        const std::filesystem::path loop = drives_.Dir() / "sys/block/loop0";
        WriteText(loop / "loop/backing_file", disk_ + "\n");
        WriteText(loop / "loop/offset", "0");
        WriteText(loop / "size", std::to_string(kDiskSectors));
        WriteText(loop / "dev", "7:0");
        WriteText(loop / "loop0p3/partition", "3");
        WriteText(loop / "loop0p3/start", std::to_string(kMounted));
        WriteText(loop / "loop0p3/size", "16384");
        WriteText(loop / "loop0p3/dev", "7:3");
        view_.sysRoot = drives_.Dir() / "sys";
        view_.devRoot = drives_.Dir() / "dev";
        view_.mountInfo = "36 22 7:3 / /mnt/stick rw - vfat /dev/loop0p3 rw\n";
        kw::plat::SetHostViewForTests([this] { return view_; });

        // An image of a FAT volume to restore from.
        const std::string raw = drives_.Dir() / "src.raw";
        drives_.Dir().Write("big.bin", std::string(300000, 'k'));
        const std::string m = " -i " + raw + " ";
        const std::string img = "mkfs.fat -C -F 16 -n SRC " + raw + " 16384 >/dev/null && mcopy" +
                                m + (drives_.Dir() / "big.bin") + " '::/Big File.bin' && mmd" + m +
                                "::/docs && mcopy" + m + hello + " ::/docs/note.txt";
        QCOMPARE(std::system(img.c_str()), 0);
        std::filesystem::create_directories(drives_.Dir() / "imgs");
        QCOMPARE(kw::test::StoreVolume(raw, drives_.Dir() / "imgs/src.kwi", {}), 0);
    }

    void cleanupTestCase() { kw::plat::SetHostViewForTests(nullptr); }

    void init() {
        ui_.messages.clear();
        ui_.answers.clear();
        ui_.modal = nullptr;
    }

    void listsTheUnmountedPartitionsAndBrowsesThem() {
        auto form = Start();
        QTreeWidgetItem* root = HiddenRoot(*form);
        QVERIFY(root != nullptr);
        root->setExpanded(true);
        QStringList captions;
        for (int i = 0; i < root->childCount(); ++i)
            captions << root->child(i)->text(0);
        QCOMPARE(captions, (QStringList{"KWFAT16 (disk1.part1)", "KWFAT32 (disk1.part2)"}));
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
    }
};

QTEST_MAIN(HiddenPartsTest)
#include "hidden_parts_test.moc"

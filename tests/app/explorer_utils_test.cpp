// The explorer's helpers: size and date texts, column specifications, image
// names, drive paths, the split-image delete, item order and the wait cursor.
#include "app/explorer/explorer_node.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/tree_images.h"
#include "app/explorer/vtfe_item.h"
#include "app/wait_cursor.h"
#include "tests/app/app_fixture.h"

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>

using namespace kw::app;

class ExplorerUtilsTest : public QObject {
    Q_OBJECT

private slots:
    // Every icon an item can ask for draws something, and the partition
    // families look different from one another.
    void treeImagesAreDrawn() {
        QList<QImage> partitions;
        for (int index :
             {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 22, 23, 24}) {
            const QIcon icon = TreeImage(index);
            QVERIFY2(!icon.isNull(), qPrintable(QString::number(index)));
            if (index >= 11 && index <= 18)
                partitions.append(icon.pixmap(32, 32).toImage());
        }
        for (qsizetype i = 0; i < partitions.size(); ++i)
            for (qsizetype j = i + 1; j < partitions.size(); ++j)
                QVERIFY(partitions[i] != partitions[j]);
    }

    void byteSizes_data() {
        QTest::addColumn<qulonglong>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0ULL << "0 bytes";
        QTest::newRow("1024") << 1024ULL << "1024 bytes";
        QTest::newRow("1025") << 1025ULL << "1 KB";
        QTest::newRow("under 1 MB") << 1048575ULL << "1023 KB";
        QTest::newRow("1 MB") << 1048576ULL << "1 MB";
        QTest::newRow("1 GB") << 1073741824ULL << "1.00 GB";
        QTest::newRow("1.5 GB") << 1610612736ULL << "1.50 GB";
        QTest::newRow("2 TB") << 2199023255552ULL << "2048.00 GB";
    }
    void byteSizes() {
        QFETCH(qulonglong, bytes);
        QFETCH(QString, text);
        QCOMPARE(FormatByteSize(bytes), text);
    }

    void fileTimes() {
        // 2001-02-03 04:05:06 UTC
        const uint64_t t = 116444736000000000ULL + 981173106ULL * 10000000ULL;
        QCOMPARE(FormatFileTime(t, false), QString("2/3/01 4:05 AM"));
        QCOMPARE(FormatFileTime(0, false), QString());
    }

    void textHelpers() {
        QCOMPARE(DigitsOnly("1,000,000 bytes"), QString("1000000"));
        QCOMPARE(StripTrailing("C:\\a\\", '\\'), QString("C:\\a"));
        QCOMPARE(StripTrailing("C:\\a", '\\'), QString("C:\\a"));
        QCOMPARE(SubPathAfter("Partition1", "\\Partition1\\dir\\sub\\f.txt"), QString("dir\\sub"));
        QCOMPARE(SubPathAfter("Partition1", "\\Partition1\\f.txt"), QString());
        QCOMPARE(SubPathAfter("nothere", "\\a\\b"), QString("\\a\\b"));
    }

    void columnSpecs() {
        QTreeWidget list;
        list.setColumnCount(5);
        list.setColumnWidth(1, 33);
        ApplyColumnSpecs(&list,
                         {"Name,COL_WIDTH_NAME,AL_LEFT", "A,B,C", "Size,COL_WIDTH_SIZE,AL_RIGHT",
                          "Total, used,COL_WIDTH_DATE,AL_CENTER"});
        QCOMPARE(list.columnCount(), 4);
        QCOMPARE(list.headerItem()->text(1), QString("A"));
        QCOMPARE(list.columnWidth(1), 33); // unknown ids leave the width
        QCOMPARE(list.headerItem()->text(2), QString("Size"));
        QCOMPARE(list.columnWidth(2), 90);
        QCOMPARE(list.headerItem()->textAlignment(2) & Qt::AlignHorizontal_Mask,
                 int(Qt::AlignRight));
        QCOMPARE(list.headerItem()->text(3), QString("Total, used"));
        QCOMPARE(list.columnWidth(3), 150);
        QCOMPARE(list.columnWidth(0), 175);
    }

    void imageNames() {
        std::vector<std::string> exts{".kwi", ".abc"};
        QVERIFY(IsImageFile("backup.KWI", exts));
        QVERIFY(IsImageFile("D:\\x\\y.Abc", exts));
        QVERIFY(!IsImageFile("backup", exts));
        QVERIFY(!IsImageFile("backup.kwi.txt", exts));
        QCOMPARE(ChangeFilePath("D:\\imgs\\sys.old.kwi"), QString("D:\\imgs\\sys.kwx"));
        QCOMPARE(ChangeFilePath("D:\\imgs\\sys"), QString("D:\\imgs\\sys.kwx"));
        QCOMPARE(ChangeFilePath(""), QString());
    }

    void drivePaths() {
        QCOMPARE(DrivePathFromText("DATA (C:)"), QString("C:"));
        QCOMPARE(DrivePathFromText(" (A:)"), QString("A:"));
        QCOMPARE(DrivePathFromText("DATA (disk2.part1)"), QString("\\\\.\\disk2.part1"));
        QCOMPARE(DrivePathFromText("nothing"), QString());
    }

    void deletesImageAndItsSegments() {
        kw::test::TestDrives drives;
        for (const char* f : {"x/img.kwi", "x/img.002", "x/img.003", "x/img.005", "x/other.002"})
            drives.Dir().Write(f, "s");
        QVERIFY(DeleteImageFiles(drives.Vfs(), "T:\\x\\img.kwi"));
        namespace fs = std::filesystem;
        QVERIFY(!fs::exists(drives.Dir() / "x/img.kwi"));
        QVERIFY(!fs::exists(drives.Dir() / "x/img.003"));
        QVERIFY(fs::exists(drives.Dir() / "x/img.005")); // the walk stops at the gap
        QVERIFY(fs::exists(drives.Dir() / "x/other.002"));
        QVERIFY(!DeleteImageFiles(drives.Vfs(), "T:\\x\\img.kwi"));

        // Segments follow the name without its last extension only.
        for (const char* f : {"x/sys.old.kwi", "x/sys.old.002", "x/sys.002"})
            drives.Dir().Write(f, "s");
        QVERIFY(DeleteImageFiles(drives.Vfs(), "T:\\x\\sys.old.kwi"));
        QVERIFY(!fs::exists(drives.Dir() / "x/sys.old.002"));
        QVERIFY(fs::exists(drives.Dir() / "x/sys.002"));
    }

    void createsMissingFolderOnlyWhenAllowed() {
        kw::test::TestDrives drives;
        kw::test::FakeUi ui;
        struct Host final : ExplorerHost {
            kw::test::FakeUi* ui;
            kw::vfs::VFS_NAMESPACE* vfs;
            std::vector<std::string> exts{".kwi"};
            UiServices& Ui() override { return *ui; }
            kw::vfs::VFS_NAMESPACE& Vfs() override { return *vfs; }
            const std::vector<std::string>& ImageExtensions() const override { return exts; }
            bool ShowsRecentPage() const override { return false; }
            bool CanTakeFocus() const override { return false; }
            void SetColumns(const QStringList&) override {}
            QIcon TreeIcon(int, int) const override { return {}; }
            QTreeWidgetItem* RecentRoot() const override { return nullptr; }
            void ItemGone(VtfeItem*) override {}
        } host;
        host.ui = &ui;
        host.vfs = &drives.Vfs();
        ui.answers = {MsgAnswer::No};
        QVERIFY(!EnsureDirectory(&host, "T:\\new\\deep"));
        QCOMPARE(ui.messages[0].caption, QString("Directory Not Found"));
        QCOMPARE(ui.messages[0].text, "The directory " + drives.Shown("T:\\new\\deep") +
                                          " does not exist.\nWould you like to create it?");
        QVERIFY(EnsureDirectory(&host, "T:\\new\\deep"));
        QVERIFY(std::filesystem::is_directory(drives.Dir() / "new/deep"));
    }

    void treeOrder() {
        QVERIFY(TreeCompare(KIND_FOLDER, "zeta", KIND_IMAGE, "alpha.kwi"));
        QVERIFY(TreeCompare(KIND_DRIVE, "ZZZ (C:)", KIND_DRIVE, "AAA (D:)"));
        QVERIFY(TreeCompare(KIND_FOLDER, "apple", KIND_FOLDER, "Banana"));
        QVERIFY(!TreeCompare(KIND_FOLDER, "Banana", KIND_FOLDER, "apple"));
    }

    void waitCursorsNestAndRestore() {
        QVERIFY(QApplication::overrideCursor() == nullptr);
        {
            TWaitCursor outer;
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
            {
                TWaitCursor inner;
                QApplication::changeOverrideCursor(Qt::CrossCursor); // set inside the block
            }
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        }
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
};

QTEST_MAIN(ExplorerUtilsTest)
#include "explorer_utils_test.moc"

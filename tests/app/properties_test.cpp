// The image and partition properties dialogs over images written by the
// image library: every value shown as the dialog shows it (en_US), checked
// against what the files on disk and the records hold.
#include "app/dialogs/image_properties_dlg.h"
#include "app/dialogs/partition_properties_dlg.h"
#include "app/explorer/explorer_utils.h"
#include "app/store_properties.h"
#include "tests/app/app_fixture.h"
#include "tests/app/image_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

using namespace kw::app;
using kw::test::FixtureImage;
using kw::test::FixturePart;

namespace {

struct StoreRelease {
    void operator()(PART_STORE* s) const { s->Release(); }
};
using StorePtr = std::unique_ptr<PART_STORE, StoreRelease>;

// The bytes of every file in the folder: the image and its segments.
qint64 FolderBytes(const QString& folder, int* files) {
    qint64 total = 0;
    const QFileInfoList list = QDir(folder).entryInfoList(QDir::Files);
    for (const QFileInfo& f : list)
        total += f.size();
    *files = int(list.size());
    return total;
}

// The values of the dialog's value labels, by object name.
QString Text(const QWidget& dlg, const char* name) {
    auto* label = dlg.findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString("<missing %1>").arg(name);
}

} // namespace

class PropertiesTest : public QObject {
    Q_OBJECT

    kw::test::FakeUi ui_;

    // Writes the image into a folder of its own and opens it.
    StorePtr Write(const kw::test::TempDir& dir, const FixtureImage& image) {
        const std::string path = dir / "image.kwi";
        if (kw::test::WriteFixtureImage(path, image) != 0)
            return nullptr;
        return StorePtr(kw::test::OpenFixtureImage(path, image.password));
    }

    // Shows the partition dialog for part `index` and keeps its texts.
    QMap<QString, QString> ShowPartition(PART_STORE& store, uint32_t index) {
        QMap<QString, QString> seen;
        ui_.modal = [&](QDialog& dlg) {
            for (const char* name : {"FilenameLbl", "DrvLtr", "PrtType", "PriLog", "PrtSize",
                                     "PrtUsedSpc", "PrtUnusedSpc", "PhysSize"})
                seen[name] = Text(dlg, name);
            seen["DisplayName"] = dlg.findChild<QLineEdit*>("DisplayName")->text();
            seen["DescrMemo"] = dlg.findChild<QPlainTextEdit*>("DescrMemo")->toPlainText();
            seen["readOnly"] = dlg.findChild<QLineEdit*>("DisplayName")->isReadOnly() &&
                                       dlg.findChild<QPlainTextEdit*>("DescrMemo")->isReadOnly()
                                   ? "yes"
                                   : "no";
            seen["apply"] = dlg.findChild<QPushButton*>("ApplyBtn")->isEnabled() ? "on" : "off";
            return int(QDialog::Accepted);
        };
        PartitionItemFacts item{"T:\\Images\\image.kwi\\E: (Data)", "FAT16B", {}};
        ShowPartitionProperties(nullptr, ui_, store, index, item);
        ui_.modal = nullptr;
        return seen;
    }

private slots:
    void init() { ui_.messages.clear(); }

    void imageValues_data() {
        QTest::addColumn<uint>("createFlags");
        QTest::addColumn<QString>("password");
        QTest::addColumn<uint>("volumeLimit");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("compression");
        QTest::addColumn<QString>("protectedText");
        QTest::addColumn<int>("files");
        QTest::newRow("one file, stored, no description")
            << 0u << QString() << 0u << QString() << "None"
            << "No" << 1;
        QTest::newRow("one file, low, described")
            << uint(KW_CREATE_LOW_COMPRESSION) << QString() << 0u << "Weekly backup\r\nof C:"
            << "Low"
            << "No" << 1;
        QTest::newRow("three files, high, password")
            << uint(KW_CREATE_HIGH_COMPRESSION) << "secret" << 60000u << "Set"
            << "High"
            << "Yes" << 3;
    }
    void imageValues() {
        QFETCH(uint, createFlags);
        QFETCH(QString, password);
        QFETCH(uint, volumeLimit);
        QFETCH(QString, description);
        QFETCH(QString, compression);
        QFETCH(QString, protectedText);
        QFETCH(int, files);
        kw::test::TempDir dir;
        FixtureImage image;
        image.createFlags = createFlags;
        image.password = password.toStdU16String();
        image.volumeLimit = volumeLimit;
        image.description = description.toStdString();
        // 72 blocks of 4 KiB that do not compress: three chunks of the
        // library, one to a volume when the volumes are small.
        image.parts = {FixturePart{"Data", "", 'E', 0, 0x06, 1, 8, 80, 72}};
        const QDate before = QDate::currentDate();
        StorePtr store = Write(dir, image);
        QVERIFY(store != nullptr);

        TImgPropDlg dlg;
        const QString path = "T:\\Images\\image.kwi";
        dlg.Fill(path, ReadImageProperties(*store));
        int fileCount = 0;
        const qint64 bytes = FolderBytes(QString::fromStdString(dir.path()), &fileCount);
        QCOMPARE(fileCount, files);
        QCOMPARE(dlg.FilenameLbl->text(), path);
        QCOMPARE(dlg.DescrMemo->toPlainText(), description.replace("\r\n", "\n"));
        QVERIFY(dlg.DescrMemo->isReadOnly());
        QCOMPARE(dlg.DosName->text(), QString("Unable to determine"));
        QCOMPARE(dlg.ImgSize->text(), FormatByteSize(uint64_t(bytes)));
        QCOMPARE(dlg.ImgComp->text(), compression);
        QCOMPARE(dlg.Password->text(), protectedText);
        QCOMPARE(dlg.Spanned->text(), QString(files > 1 ? "Yes" : "No"));
        QCOMPARE(dlg.FileCnt->isHidden(), files == 1);
        QCOMPARE(dlg.FileCntLbl->isHidden(), files == 1);
        if (files > 1)
            QCOMPARE(dlg.FileCnt->text(), QString::number(files));
        // Written just now: today's date (or yesterday's across midnight).
        const QString shown = dlg.ImgDateTime->text();
        QLocale en;
        QVERIFY2(shown.startsWith(en.toString(QDate::currentDate(), QLocale::ShortFormat) + " ") ||
                     shown.startsWith(en.toString(before, QLocale::ShortFormat) + " "),
                 qPrintable(shown));
        QVERIFY(dlg.CancelBtn->isHidden() && dlg.ApplyBtn->isHidden() && !dlg.OKBtn->isHidden());
    }

    void partitionValues() {
        kw::test::TempDir dir;
        FixtureImage image;
        image.parts = {
            FixturePart{"System", "", 'C', 0, 0x0C, 15, 8, 32, 32},
            FixturePart{"Data", "Projects and mail", 'E', 0x04, 0x06, 1, 8, 16, 8},
        };
        StorePtr store = Write(dir, image);
        QVERIFY(store != nullptr);

        QMap<QString, QString> data = ShowPartition(*store, 1);
        QCOMPARE(ui_.messages.size(), size_t(0));
        QCOMPARE(data["FilenameLbl"], QString("T:\\Images\\image.kwi\\E: (Data)"));
        QCOMPARE(data["DisplayName"], QString("Data"));
        QCOMPARE(data["DescrMemo"], QString("Projects and mail"));
        QCOMPARE(data["DrvLtr"], QString("E"));
        QCOMPARE(data["PrtType"], QString("FAT16B")); // the item's text
        QCOMPARE(data["PriLog"], QString("Logical"));
        QCOMPARE(data["PrtSize"], QString("64 KB"));      // 16 blocks of 4 KiB
        QCOMPARE(data["PrtUsedSpc"], QString("32 KB"));   // 8 of them used
        QCOMPARE(data["PrtUnusedSpc"], QString("32 KB")); // the other 8
        QCOMPARE(data["PhysSize"], QString("32 KB"));     // 32,768 data + 2 bitmap bytes
        QCOMPARE(data["readOnly"], QString("yes"));
        QCOMPARE(data["apply"], QString("off"));

        // Used blocks that cover the partition exactly leave nothing unused.
        QMap<QString, QString> full = ShowPartition(*store, 0);
        QCOMPARE(full["PriLog"], QString("Primary"));
        QCOMPARE(full["PrtSize"], QString("128 KB"));
        QCOMPARE(full["PrtUnusedSpc"], QString("0 bytes"));
        QCOMPARE(full["DescrMemo"], QString());

        // The part is closed again: the store selects another one as before.
        QCOMPARE(store->SelectPart(1), 0);
        QCOMPARE(store->ClosePart(), 0);
    }

    void recordClaimingMoreThanItsSizeIsADamagedPart() {
        // 2,000,000 used blocks in a partition of 16 blocks: the image lists
        // the part as damaged instead of showing sizes it cannot have.
        kw::test::TempDir dir;
        FixtureImage image;
        FixturePart part{"Odd", "", 'D', 0, 0x06, 1, 8, 16, 8};
        part.recordedUsed = 2000000;
        image.parts = {part};
        StorePtr store = Write(dir, image);
        QVERIFY(store != nullptr);
        QCOMPARE(store->GetPartCount(), 1u);
        QCOMPARE(ReadPartitionProperties(*store, 0).code, 1802);
    }

    void partThatCannotBeSelectedIsReportedAndShowsPlaceholders() {
        kw::test::TempDir dir;
        FixtureImage image;
        image.parts = {FixturePart{"Only", "", 'C', 0, 0x06, 1, 8, 16, 8}};
        StorePtr store = Write(dir, image);
        QVERIFY(store != nullptr);
        QMap<QString, QString> shown = ShowPartition(*store, 5);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Unable to open the partition."));
        QCOMPARE(ui_.messages[0].caption, QString("Error"));
        QCOMPARE(ui_.messages[0].icon, MsgIcon::Error);
        QCOMPARE(ui_.modalDialogs.last(), QString("TPrtPropDlg")); // still opens
        QCOMPARE(shown["PrtSize"], QString("%s"));
        QCOMPARE(shown["DrvLtr"], QString("%s"));
        QCOMPARE(shown["FilenameLbl"], QString("%s"));
    }

    void storedCalendarBecomesTheShownDateTime_data() {
        QTest::addColumn<QList<int>>("calendar");
        QTest::addColumn<QString>("text");
        QTest::newRow("afternoon") << QList<int>{2026, 12, 10, 14, 5, 59} << "12/10/26 2:05 PM";
        QTest::newRow("no date") << QList<int>{0, 0, 0, 0, 0, 0} << "";
        QTest::newRow("month 13") << QList<int>{2026, 13, 1, 0, 0, 0} << "";
    }
    void storedCalendarBecomesTheShownDateTime() {
        QFETCH(QList<int>, calendar);
        QFETCH(QString, text);
        ImageProperties p;
        p.modified = FileTimeOf(calendar[0], calendar[1], calendar[2], calendar[3], calendar[4],
                                calendar[5]);
        TImgPropDlg dlg;
        dlg.Fill("x", p);
        QCOMPARE(dlg.ImgDateTime->text().replace(QChar(0x202F), ' '), text);
    }
};

QTEST_MAIN(PropertiesTest)
#include "properties_test.moc"

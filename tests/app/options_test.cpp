// The options dialog: split-size and extension input, the list buttons, the
// refused value that keeps the dialog open, and the values kept in the
// settings file (and in memory when the file cannot be written).
#include "app/dialogs/options_dlg.h"
#include "app/editor_settings.h"
#include "app/settings_store.h"
#include "tests/app/app_fixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

using namespace kw::app;

namespace {

QStringList Rows(const QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0);
    return out;
}

void Select(QTreeWidget* list, std::initializer_list<int> rows) {
    list->clearSelection();
    for (int r : rows)
        list->topLevelItem(r)->setSelected(true);
}

} // namespace

class OptionsTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    SettingsKeys keys_ = BuildKeyPaths();

    std::unique_ptr<TOptionsDlg> Dialog(SettingsStore& store, EditorDefaults& defaults,
                                        std::vector<std::string> extensions = {".kwi"}) {
        auto dlg = std::make_unique<TOptionsDlg>(ui_, store, keys_, defaults, drives_.Table());
        dlg->SetExtensions(extensions);
        return dlg;
    }

private slots:
    void init() {
        ui_.messages.clear();
        ui_.modal = nullptr;
        ui_.folder.clear();
    }

    void splitSizeText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("bytes"); // -1: refused
        QTest::newRow("separators") << "1,000,000" << 1000000LL;
        QTest::newRow("lowest") << "10000" << 10000LL;
        QTest::newRow("highest") << "670,000,000" << 670000000LL;
        QTest::newRow("blanks") << " 20 000 " << 20000LL;
        QTest::newRow("empty is the default") << "" << 670000000LL;
        QTest::newRow("zero is the default") << "0" << 670000000LL;
        QTest::newRow("below") << "9999" << -1LL;
        QTest::newRow("above") << "670000001" << -1LL;
        QTest::newRow("wraps 32 bits to 10,000") << "4294977296" << -1LL;
        QTest::newRow("huge") << "99999999999999999999" << -1LL;
        QTest::newRow("letters") << "abc" << -1LL;
        QTest::newRow("digits and letters") << "1000000abc" << -1LL;
        QTest::newRow("negative") << "-20000" << -1LL;
    }
    void splitSizeText() {
        QFETCH(QString, text);
        QFETCH(qlonglong, bytes);
        std::optional<uint32_t> got = ParseSplitSize(text);
        QCOMPARE(got ? qlonglong(*got) : -1LL, bytes);
    }

    void typedExtension_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("ext");
        QTest::newRow("bare") << "kwi"
                              << ".kwi";
        QTest::newRow("file name") << "backup.img"
                                   << ".img";
        QTest::newRow("dotted") << ".abc"
                                << ".abc";
        QTest::newRow("two dots: what a file name test sees") << "x.tar.gz"
                                                              << ".gz";
        QTest::newRow("dot alone") << "."
                                   << "";
        QTest::newRow("separator") << "a/b"
                                   << "";
    }
    void typedExtension() {
        QFETCH(QString, typed);
        QFETCH(QString, ext);
        QCOMPARE(ExtensionOf(typed), ext);
    }

    void addingExtensions() {
        MemorySettingsStore store;
        EditorDefaults defaults;
        auto dlg = Dialog(store, defaults, {".kwi", ".abc"});
        dlg->ExtEd->setText("KWI"); // listed already, case aside
        dlg->AddBtnClick();
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi", ".abc"}));
        QCOMPARE(dlg->ExtEd->selectedText(), QString("KWI"));
        dlg->ExtEd->setText("backup.img");
        QTest::mouseClick(dlg->AddBtn, Qt::LeftButton);
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi", ".abc", ".img"}));
        QCOMPARE(dlg->ExtEd->selectedText(), QString("backup.img"));
        dlg->ExtEd->clear();
        dlg->AddBtnClick();
        QCOMPARE(dlg->ExtList->topLevelItemCount(), 3);
    }

    void enterInTheExtensionBoxAddsInsteadOfClosing() {
        MemorySettingsStore store;
        EditorDefaults defaults;
        auto dlg = Dialog(store, defaults);
        dlg->show();
        QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
        dlg->PageControl1->setCurrentWidget(dlg->ImageExtTab);
        dlg->ExtEd->setFocus();
        QTRY_VERIFY(dlg->AddBtn->isDefault());
        QVERIFY(!dlg->OKBtn->isDefault());
        QTest::keyClicks(dlg->ExtEd, "img");
        QTest::keyClick(dlg->ExtEd, Qt::Key_Return);
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi", ".img"}));
        QVERIFY(dlg->isVisible());
        dlg->ExtList->setFocus(); // leaving the box makes OK the default again
        QTRY_VERIFY(dlg->OKBtn->isDefault());
        QVERIFY(!dlg->AddBtn->isDefault());
    }

    void removeAndClearKeepTheFirstRow() {
        MemorySettingsStore store;
        EditorDefaults defaults;
        auto dlg = Dialog(store, defaults, {".kwi", ".a", ".b", ".c"});
        Select(dlg->ExtList, {});
        QVERIFY(!dlg->RemoveBtn->isEnabled());
        Select(dlg->ExtList, {0});
        QVERIFY(dlg->RemoveBtn->isEnabled());
        dlg->RemoveBtnClick();
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi", ".a", ".b", ".c"}));
        Select(dlg->ExtList, {0, 1, 3});
        dlg->RemoveBtnClick();
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi", ".b"}));
        dlg->SetExtensions({".kwi", ".a", ".b"});
        dlg->ClearBtnClick();
        QCOMPARE(Rows(dlg->ExtList), (QStringList{".kwi"}));
    }

    void activationShowsTheDefaultForZero() {
        MemorySettingsStore store;
        EditorDefaults defaults;
        auto dlg = Dialog(store, defaults, {".kwi", ".img"});
        dlg->PageControl1->setCurrentWidget(dlg->ImageExtTab);
        dlg->DefSplitSizeEd->setText("0");
        dlg->FormActivate();
        QCOMPARE(dlg->DefSplitSizeEd->text(), QString("670,000,000"));
        QCOMPARE(dlg->PageControl1->currentWidget(), dlg->GeneralTab);
        QCOMPARE(dlg->ExtList->currentItem(), dlg->ExtList->topLevelItem(0));
        QVERIFY(dlg->ExtList->topLevelItem(0)->isSelected());
    }

    void refusedSplitSizeKeepsTheDialogOpenAndSavesNothing() {
        MemorySettingsStore store;
        EditorDefaults defaults{"T:\\old", 1000000};
        auto dlg = Dialog(store, defaults);
        dlg->DefRestLocEd->setText("T:\\new");
        dlg->DefSplitSizeEd->setText("9999");
        dlg->PageControl1->setCurrentWidget(dlg->ImageExtTab);
        dlg->setResult(-1);
        dlg->OKBtnClick();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text,
                 QString("Split size must be a number between 10000 and 670000000"));
        QCOMPARE(ui_.messages[0].caption, QString("Out of Range"));
        QCOMPARE(ui_.messages[0].icon, MsgIcon::Warning);
        QCOMPARE(dlg->result(), -1); // neither accepted nor rejected
        QCOMPARE(dlg->PageControl1->currentWidget(), dlg->GeneralTab);
        QCOMPARE(defaults.restoreLocation, std::string("T:\\old"));
        QCOMPARE(defaults.splitSize, 1000000u);
        QVERIFY(store.File().Sections().size() <= 1); // nothing written
    }

    void browsingGivesADrivePathAndCancelKeepsTheText() {
        MemorySettingsStore store;
        EditorDefaults defaults;
        auto dlg = Dialog(store, defaults);
        dlg->DefRestLocEd->setText("T:\\before");
        dlg->BrowseBtnClick(); // cancelled: no folder
        QCOMPARE(dlg->DefRestLocEd->text(), QString("T:\\before"));
        drives_.Dir().Write("Restored/x", "");
        ui_.folder = QString::fromStdString(drives_.Dir() / "Restored");
        dlg->BrowseBtnClick();
        QCOMPARE(dlg->DefRestLocEd->text(), QString("T:\\Restored"));
    }

    void valuesRoundTripThroughTheSettingsFile() {
        kw::test::TempDir dir;
        const std::string file = dir / "settings.ini";
        EditorDefaults defaults;
        std::vector<std::string> extensions{".kwi"};
        {
            FileSettingsStore store(file);
            ui_.modal = [](QDialog& d) {
                auto& dlg = static_cast<TOptionsDlg&>(d);
                dlg.FormActivate();
                dlg.DefSplitSizeEd->setText("1,000,000");
                dlg.DefRestLocEd->setText("T:\\Restore here");
                dlg.ExtEd->setText("backup.img");
                dlg.AddBtnClick();
                QTest::mouseClick(dlg.OKBtn, Qt::LeftButton);
                return dlg.result();
            };
            QVERIFY(ShowOptions(nullptr, ui_, store, keys_, defaults, extensions, drives_.Table()));
        }
        QCOMPARE(extensions, (std::vector<std::string>{".kwi", ".img"}));
        FileSettingsStore reread(file);
        EditorDefaults stored = ReadDefaults(reread, keys_);
        QCOMPARE(stored.splitSize, 1000000u);
        QCOMPARE(stored.restoreLocation, std::string("T:\\Restore here"));
        QCOMPARE(ReadImageExtensions(reread, keys_), extensions);

        // An emptied location and split size: the value goes, the default is stored.
        QStringList offered;
        ui_.modal = [&offered](QDialog& d) {
            auto& dlg = static_cast<TOptionsDlg&>(d);
            offered << dlg.DefSplitSizeEd->text() << dlg.DefRestLocEd->text();
            dlg.DefSplitSizeEd->clear();
            dlg.DefRestLocEd->clear();
            dlg.OKBtnClick();
            return dlg.result();
        };
        QVERIFY(ShowOptions(nullptr, ui_, reread, keys_, defaults, extensions, drives_.Table()));
        QCOMPARE(offered, (QStringList{"1,000,000", "T:\\Restore here"}));
        FileSettingsStore third(file);
        QVERIFY(!third.Values().GetString(keys_.settings, "DefRstrLoc").has_value());
        QCOMPARE(third.Values().GetInt(keys_.settings, "DefSplit"),
                 std::optional<int64_t>(670000000));
    }

    void cancelChangesNothing() {
        MemorySettingsStore store;
        EditorDefaults defaults{"T:\\keep", 20000};
        std::vector<std::string> extensions{".kwi", ".img"};
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TOptionsDlg&>(d);
            dlg.DefSplitSizeEd->setText("30000");
            dlg.ClearBtnClick();
            QTest::mouseClick(dlg.CancelBtn, Qt::LeftButton);
            return dlg.result();
        };
        QVERIFY(!ShowOptions(nullptr, ui_, store, keys_, defaults, extensions, drives_.Table()));
        QCOMPARE(defaults.splitSize, 20000u);
        QCOMPARE(extensions, (std::vector<std::string>{".kwi", ".img"}));
        QVERIFY(store.File().Sections().size() <= 1);
    }

    void valuesAreKeptInMemoryWhenTheFileCannotBeWritten() {
        kw::test::TempDir dir;
        dir.Write("blocker", "a file where a folder would be");
        FileSettingsStore store(dir / "blocker/settings.ini");
        EditorDefaults defaults;
        std::vector<std::string> extensions{".kwi"};
        ui_.modal = [](QDialog& d) {
            auto& dlg = static_cast<TOptionsDlg&>(d);
            dlg.DefSplitSizeEd->setText("50000");
            dlg.DefRestLocEd->setText("T:\\x");
            dlg.ExtEd->setText("img");
            dlg.AddBtnClick();
            dlg.OKBtnClick();
            return dlg.result();
        };
        QVERIFY(ShowOptions(nullptr, ui_, store, keys_, defaults, extensions, drives_.Table()));
        QCOMPARE(defaults.splitSize, 50000u);
        QCOMPARE(defaults.restoreLocation, std::string("T:\\x"));
        QCOMPARE(extensions, (std::vector<std::string>{".kwi", ".img"}));
        QCOMPARE(ReadDefaults(store, keys_).splitSize, 50000u);
        QCOMPARE(ReadImageExtensions(store, keys_), extensions);
    }
};

QTEST_MAIN(OptionsTest)
#include "options_test.moc"

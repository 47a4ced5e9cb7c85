// The main window over a test drive and a disk-image fixture: start-up,
// the trees and list, settings kept across a restart, the command-line
// image, and the order of shutting down.
#include "app/dialogs/options_dlg.h"
#include "app/editor_settings.h"
#include "app/engine_facade.h"
#include "app/explorer/explorer_node.h"
#include "app/explorer/tree_images.h"
#include "app/explorer/vtfe_item.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "tests/app/app_fixture.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QRect>
#include <QScopeGuard>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>

using namespace kw::app;
using kw::test::Child;

namespace {

// The real engine, with a record of what was asked of it and of the trees
// when it was stopped.
class RecordingEngine final : public EngineFacade {
public:
    RecordingEngine(std::vector<std::string>* log, TMainForm** form)
        : real_(MakeEngineFacade()), log_(log), form_(form) {}
    kwRet Open(uint32_t a, uint32_t b) override {
        log_->push_back("open");
        return real_->Open(a, b);
    }
    kwRet Start(const std::vector<std::string>& args) override {
        log_->push_back("start");
        startArgs = args;
        startResult = real_->Start(args);
        return startResult;
    }
    kwRet Stop() override {
        bool itemsLeft = *form_ && (*form_)->ExploreTree->topLevelItemCount() > 0;
        log_->push_back(itemsLeft ? "stop with items" : "stop");
        return real_->Stop();
    }
    bool Started() const override { return real_->Started(); }

    static inline std::vector<std::string> startArgs;
    static inline kwRet startResult = 0;

private:
    std::unique_ptr<EngineFacade> real_;
    std::vector<std::string>* log_;
    TMainForm** form_;
};

QStringList Headers(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->columnCount(); ++i)
        out << list->headerItem()->text(i);
    return out;
}

QStringList RowTexts(QTreeWidget* list, int row) {
    QStringList out;
    for (int i = 0; i < list->columnCount(); ++i)
        out << list->topLevelItem(row)->text(i);
    return out;
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;
    std::vector<std::string> engineLog_;
    TMainForm* current_ = nullptr;

    // /NDBG: no debug file from the engine during tests.
    std::unique_ptr<TMainForm> Start(QStringList args = {"KwVtFe32", "/NDBG"}) {
        auto form =
            std::make_unique<TMainForm>(std::make_unique<RecordingEngine>(&engineLog_, &current_),
                                        ui_, settings_, drives_.Vfs(), args);
        current_ = form.get();
        form->splashDelay = -1;
        form->exploreChangeDelay = 0;
        form->recentChangeDelay = 0;
        form->FormCreate();
        return form;
    }

private slots:
    void initTestCase() {
        drives_.Dir().Write("Images/backup.kwi", "x");
        drives_.Dir().Write("Images/notes.txt", "n");
        drives_.Dir().Write("Plain/readme.txt", "r");
        drives_.Dir().Write(".hidden/a.kwi", "h");
        drives_.Dir().Write("Root.KWI", std::string(2048, 'k'));
        std::ofstream(drives_.Dir() / "disk.img").seekp((1 << 20) - 1).put('\0');
        setenv("KW_DISKS", (drives_.Dir() / "disk.img").c_str(), 1);
    }
    void init() {
        engineLog_.clear();
        ui_.messages.clear();
    }

    void startShowsTreesListAndEngine() {
        auto form = Start();
        QCOMPARE(form->windowTitle(), QString("Veltrane File Editor"));
        QCOMPARE(engineLog_, (std::vector<std::string>{"open", "start"}));
        QCOMPARE(RecordingEngine::startResult, kwRet(KW_OK)); // started on the fixture disk
        QCOMPARE(RecordingEngine::startArgs, (std::vector<std::string>{"KwVtFe32", "/NDBG"}));
        QTreeWidgetItem* computer = form->MyComputerNode();
        QVERIFY(computer != nullptr);
        QCOMPARE(computer->text(0), QString("My Computer"));
        QVERIFY(computer->isExpanded());
        QCOMPARE(computer->childCount(), 2);
        QCOMPARE(computer->child(0)->text(0), QString(" (C:)")); // sorted by letter
        QCOMPARE(computer->child(1)->text(0), QString(" (T:)"));
        QCOMPARE(form->RecentImgsTree->topLevelItem(0)->text(0), QString("My Recent Images"));
        QCOMPARE(form->PageControl->tabText(0), QString("Locate"));
        QCOMPARE(form->PageControl->tabText(1), QString("Recent"));
        QCOMPARE(Headers(form->ContentsList),
                 (QStringList{"Name", "Type", "Total Size", "Unused Space"}));
        QCOMPARE(form->ContentsList->topLevelItemCount(), 2);
        QCOMPARE(RowTexts(form->ContentsList, 1).mid(0, 2), (QStringList{" (T:)", "Local Disk"}));
        QCOMPARE(form->ContentsList->columnWidth(1), 125);
        QCOMPARE(form->ContentsDescrPnl->text(), QString(" Folders/Images for 'My Computer'"));
        QVERIFY(!form->ContentsList->topLevelItem(1)->text(2).isEmpty()); // total size
        QVERIFY(!form->ContentsList->topLevelItem(0)->icon(0).isNull());
    }

    void expandDriveAndFolderWithImage() {
        auto form = Start();
        QTreeWidgetItem* t = Child(form->MyComputerNode(), " (T:)");
        QVERIFY(t != nullptr);
        t->setExpanded(true);
        QStringList names;
        for (int i = 0; i < t->childCount(); ++i)
            names << t->child(i)->text(0);
        // Folders before image files; dot folders and plain files stay out.
        QCOMPARE(names, (QStringList{"Images", "Plain", "Root.KWI"}));
        QTreeWidgetItem* plain = Child(t, "Plain");
        QCOMPARE(plain->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
        QTreeWidgetItem* images = Child(t, "Images");
        QCOMPARE(images->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        images->setExpanded(true);
        QTreeWidgetItem* image = Child(images, "backup.kwi");
        QVERIFY(image != nullptr);
        VtfeItem* item = VtfeItem::OfNode(image);
        QCOMPARE(item->Kind(), KIND_IMAGE);
        QCOMPARE(item->Path(), QString("T:\\Images\\backup.kwi"));
        QCOMPARE(image->childCount(), 0); // images do not open yet

        form->ExploreTree->setCurrentItem(t);
        QCOMPARE(Headers(form->ContentsList), (QStringList{"Name", "Size", "Type", "Modified"}));
        QCOMPARE(form->ContentsList->topLevelItemCount(), 3);
        QCOMPARE(RowTexts(form->ContentsList, 0).mid(0, 3),
                 (QStringList{"Images", "", "File Folder"}));
        QCOMPARE(RowTexts(form->ContentsList, 2).mid(0, 3),
                 (QStringList{"Root.KWI", "2 KB", "KWI File"}));
        QCOMPARE(form->ContentsDescrPnl->text(), QString(" Folders/Images for 'T:'"));
    }

    void deletedItemLeavesNoRowsOrSelection() {
        auto form = Start();
        QTreeWidgetItem* t = Child(form->MyComputerNode(), " (T:)");
        t->setExpanded(true);
        form->ExploreTree->setCurrentItem(t);
        form->ContentsList->setCurrentItem(form->ContentsList->topLevelItem(2));
        VtfeItem* image = form->SelectedItem();
        QCOMPARE(image->Name(), QString("Root.KWI"));
        image->DeleteNode();
        QVERIFY(form->SelectedItem() == nullptr);
        QCOMPARE(form->ContentsList->topLevelItemCount(), 2);
    }

    void layoutAndRecentImagesSurviveRestart() {
        {
            auto form = Start();
            form->resize(780, 560); // within the offscreen screen (800x600)
            form->Splitter->setSizes({180, 520});
            form->TextLabelsMnuItm->trigger();
            form->StatusBarMnuItm->trigger();
            form->AddRecentImage("T:\\Images\\backup.kwi");
            form->AddRecentImage("t:\\Images\\backup.kwi"); // listed already
            form->FormClose();
            QCOMPARE(engineLog_.back(), std::string("stop"));
        }
        const SettingsKeys keys = BuildKeyPaths();
        QCOMPARE(ReadRecentImages(settings_, keys),
                 (std::vector<std::string>{"T:\\Images\\backup.kwi"}));
        LayoutValues v = ReadLayout(settings_, keys);
        QCOMPARE(*v.width, 780);
        QCOMPARE(*v.textLabels, false);
        QCOMPARE(*v.statusBar, false);
        QCOMPARE(*v.toolbar, true);
        QCOMPARE(ReadDefaults(settings_, keys).splitSize, kDefaultSplitSize);

        auto form = Start();
        QCOMPARE(form->width(), 780);
        QCOMPARE(form->TopPnl->height(), 33);
        QVERIFY(!form->KWBanner2->isHidden());
        QVERIFY(form->KWBanner1->isHidden());
        QVERIFY(!form->TextLabelsMnuItm->isChecked());
        QVERIFY(form->StatusBar->isHidden());
        QTreeWidgetItem* recent = form->RecentRoot();
        QCOMPARE(recent->childCount(), 1);
        QCOMPARE(recent->child(0)->text(0), drives_.Shown("T:\\Images\\backup.kwi"));
        settings_.File() = {};
    }

    // A window saved on a larger screen is brought within this one's
    // available area on start: cut to its size and moved onto it.
    void savedWindowIsClampedToTheScreen_data() {
        QTest::addColumn<QRect>("saved");
        QTest::addColumn<QRect>("shown");
        const QRect screen(0, 0, 1024, 740); // 1024x768 less a panel
        QTest::newRow("fits") << QRect(10, 20, 800, 600) << QRect(10, 20, 800, 600);
        QTest::newRow("too wide and high") << QRect(300, 200, 1600, 1000) << QRect(0, 0, 1024, 740);
        QTest::newRow("off the right and bottom")
            << QRect(700, 500, 884, 695) << QRect(140, 45, 884, 695);
        QTest::newRow("off the left and top")
            << QRect(-300, -50, 884, 695) << QRect(0, 0, 884, 695);
    }
    void savedWindowIsClampedToTheScreen() {
        QFETCH(QRect, saved);
        QFETCH(QRect, shown);
        QCOMPARE(ClampedToScreen(saved, QRect(0, 0, 1024, 740)), shown);
    }

    void startClampsTheSavedWindow() {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        {
            auto form = Start();
            form->move(available.right() - 100, available.bottom() - 100);
            form->resize(available.width() + 400, available.height() + 300);
            form->FormClose();
        }
        auto form = Start();
        QVERIFY2(available.contains(form->geometry()), qPrintable(QString("%1,%2 %3x%4")
                                                                      .arg(form->x())
                                                                      .arg(form->y())
                                                                      .arg(form->width())
                                                                      .arg(form->height())));
        settings_.File() = {};
    }

    // Recent entries are kept across refreshes and restarts: one whose file
    // is there always, one whose file has gone until the user agrees to
    // remove it; the list's root is no folder (one named like its caption
    // adds nothing).
    void recentEntriesAreKeptUntilTheUserRemovesThem() {
        settings_.File() = {};
        drives_.Dir().Write("Images/huge.kwi", "x");
        drives_.Dir().Write("Images/gone.kwi", "x");
        drives_.Dir().Write("My Recent Images/stray.kwi", "x");
        std::string oldCurrent;
        QVERIFY(drives_.Vfs().GetCurrentDirectory(&oldCurrent));
        QVERIFY(drives_.Vfs().SetCurrentDirectory("T:\\"));
        const auto restore = qScopeGuard([&] {
            drives_.Vfs().SetCurrentDirectory(oldCurrent);
            settings_.File() = {};
        });
        {
            auto form = Start();
            form->AddRecentImage("T:\\Images\\huge.kwi");
            form->AddRecentImage("T:\\Images\\gone.kwi");
            form->FormClose();
        }
        std::filesystem::remove(drives_.Dir() / "Images/gone.kwi");
        for (int run = 0; run < 2; ++run) {
            auto form = Start();
            VtfeItem* root = VtfeItem::OfNode(form->RecentRoot());
            root->Expand(true);
            root->ShowContents(false);
            form->RefreshExecute();
            QStringList paths;
            for (VtfeItem* item : VtfeItem::ChildItems(form->RecentRoot()))
                paths << item->Path();
            QCOMPARE(paths, (QStringList{"T:\\Images\\gone.kwi", "T:\\Images\\huge.kwi"}));
            QVERIFY(ui_.messages.empty());
            form->FormClose();
        }
    }

    void commandLineImageOpensOnRecentTabOnce() {
        auto form = Start({"KwVtFe32", "T:\\Images\\backup.kwi", "/NDBG"});
        QCOMPARE(RecordingEngine::startArgs, (std::vector<std::string>{"KwVtFe32", "/NDBG"}));
        form->FormActivate();
        form->FormActivate();
        QCOMPARE(form->PageControl->currentWidget(), form->RecentImgsTab);
        QCOMPARE(form->CurrentTree(), form->RecentImgsTree);
        QCOMPARE(form->RecentRoot()->childCount(), 1);
        QCOMPARE(form->RecentImgsTree->currentItem(), form->RecentRoot()->child(0));
        QCOMPARE(form->TreeDescrPanel->text(), QString(" Recent Images"));
        form.reset();
        settings_.File() = {};

        auto other = Start({"KwVtFe32", "T:\\Images\\missing.kwi", "/NDBG"});
        other->FormActivate();
        QCOMPARE(other->PageControl->currentWidget(), other->ExploreTab);
        QCOMPARE(other->RecentRoot()->childCount(), 0);
        other.reset();
        settings_.File() = {};

        // A host path, as a shell gives it, is listed by its drive path.
        auto host =
            Start({"KwVtFe32", QString::fromStdString(drives_.Dir() / "Images/backup.kwi")});
        QCOMPARE(RecordingEngine::startArgs, (std::vector<std::string>{"KwVtFe32"}));
        host->FormActivate();
        QCOMPARE(host->RecentRoot()->childCount(), 1);
        QCOMPARE(host->RecentRoot()->child(0)->text(0), drives_.Shown("T:\\Images\\backup.kwi"));
    }

    void closeReleasesItemsBeforeStoppingEngine() {
        auto form = Start();
        form->FormClose();
        QCOMPARE(engineLog_, (std::vector<std::string>{"open", "start", "stop"}));
        form->FormClose(); // a second close does nothing
        QCOMPARE(engineLog_.size(), size_t(3));
        settings_.File() = {};
    }

    void namesCaptionsAndShortcuts() {
        auto form = Start();
        QCOMPARE(form->CopyToImg->text(), QString("&Copy to Image..."));
        QCOMPARE(form->CopyToImg->shortcut(), QKeySequence("Ctrl+Alt+C"));
        QCOMPARE(form->VerifyImg->statusTip(),
                 QString("Verifiy that the selected image file is valid."));
        QCOMPARE(form->Refresh->shortcut(), QKeySequence("F5"));
        QCOMPARE(form->AddEntry->toolTip(), QString("Add Entry"));
        QCOMPARE(form->ClearList->text(), QString("C&lear Recent Images List"));
        for (const char* name : {"UpLevelToolBtn", "RefreshToolBtn", "RestoreToolBtn",
                                 "AddEntryToolBtn", "PropToolBtn", "HelpToolBtn", "ExploreTree",
                                 "RecentImgsTree", "ContentsList", "PopupMenu1", "StatusBar",
                                 "ExitMnuItm", "miSupportWeb", "KWBanner1", "TreeDescrPanel"})
            QVERIFY2(form->findChild<QObject*>(name) != nullptr, name);
        QCOMPARE(form->findChild<QObject*>("ExploreTree")->property("HelpContext").toInt(), 16);
        QCOMPARE(form->UpLevelToolBtn->toolTip(), QString("Up one level"));
        QVERIFY(form->AddEntry->isEnabled());
        QVERIFY(!form->DeleteImg->isEnabled());
        form->FormClose();
        settings_.File() = {};
    }

    void addEntryListsChosenImagesAndRemembersTheFolder() {
        auto form = Start();
        QCOMPARE(form->BuildImageFilter(),
                 QString("Veltrane files (*.kwi)|*.kwi|All files (*.*)|*.*"));
        ui_.filesToOpen = {QString::fromStdString(drives_.Dir() / "Images/backup.kwi"),
                           QString::fromStdString(drives_.Dir() / "Images/notes.txt")};
        form->AddEntryExecute();
        QCOMPARE(form->PageControl->currentWidget(), form->RecentImgsTab);
        QCOMPARE(ui_.openFilter, QString("Veltrane files (*.kwi);;All files (*.*)"));
        QCOMPARE(form->RecentRoot()->childCount(), 1); // the text file is not an image
        QCOMPARE(form->RecentRoot()->child(0)->text(0), drives_.Shown("T:\\Images\\backup.kwi"));
        QCOMPARE(QString::fromStdString(GetOpenDlgDir(settings_, form->Keys())),
                 QString("T:\\Images"));
        form->AddEntryExecute(); // the same image again: selected, not added
        QCOMPARE(form->RecentRoot()->childCount(), 1);
        QCOMPARE(ui_.openStart, QString::fromStdString(drives_.Dir() / "Images"));
        form->ClearListExecute();
        QCOMPARE(form->RecentRoot()->childCount(), 0);
        QCOMPARE(form->ContentsList->topLevelItemCount(), 0);
        form->FormClose();
        QVERIFY(ReadRecentImages(settings_, form->Keys()).empty());
        settings_.File() = {};
        ui_.filesToOpen.clear();
    }

    // Host file names differ by case (the drive letter does not); a removed
    // entry stays removed after a restart.
    void recentImagesAreKeptAndEdited() {
        const SettingsKeys keys = BuildKeyPaths();
        WriteRecentImages(settings_, keys,
                          {"T:\\Images\\backup.kwi", "T:\\Images\\BACKUP.kwi",
                           "t:\\Images\\backup.kwi", "T:\\Root.KWI"});
        WriteImageExtensions(settings_, keys, {".kwi", ".abc"});
        {
            auto form = Start();
            QCOMPARE(form->BuildImageFilter(), QString("Veltrane files (*.kwi)|*.kwi|ABC Files "
                                                       "(*.abc)|*.abc|All files (*.*)|*.*"));
            QTreeWidgetItem* root = form->RecentRoot();
            QCOMPARE(root->childCount(), 3);
            QCOMPARE(form->RecentImgsTree->currentItem(), root->child(0));
            form->PageControl->setCurrentWidget(form->RecentImgsTab);
            form->RecentImgsTree->setCurrentItem(
                Child(root, drives_.Shown("T:\\Images\\BACKUP.kwi")));
            QVERIFY(form->RemoveEntry->isEnabled());
            form->RemoveEntry->trigger();
            QCOMPARE(root->childCount(), 2);
            form->AddRecentImage("T:\\Root.KWI"); // listed: selected, not added
            QCOMPARE(root->childCount(), 2);
            QCOMPARE(form->RecentImgsTree->currentItem(),
                     Child(root, drives_.Shown("T:\\Root.KWI")));
            form->FormClose();
        }
        QCOMPARE(ReadRecentImages(settings_, keys),
                 (std::vector<std::string>{"T:\\Images\\backup.kwi", "T:\\Root.KWI"}));
        auto form = Start();
        QCOMPARE(form->RecentRoot()->childCount(), 2);
        form->PageControl->setCurrentWidget(form->RecentImgsTab);
        QVERIFY(form->RemoveEntry->isEnabled());
        form->ClearListExecute();
        QVERIFY(!form->RemoveEntry->isEnabled());
        form->FormClose();
        QVERIFY(ReadRecentImages(settings_, keys).empty());
        settings_.File() = {};
    }

    void missingHelpFileIsReported() {
        auto form = Start();
        form->HelpExecute();
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].caption, QString("Error"));
        QVERIFY(ui_.messages[0].text.startsWith("Unable to find the help file "));
        form->FormClose();
        settings_.File() = {};
    }

    // Rows leave room for the marks over capitals (their whole line and
    // more), and every icon the items ask for exists (partition folders and
    // files had none).
    void rowsShowWholeCapitalsAndEveryItemHasAnIcon() {
        auto form = Start();
        auto* row =
            new QTreeWidgetItem(form->ContentsList, QStringList{QString::fromUtf8("ÜBER Å.TXT")});
        form->show();
        const QFontMetrics metrics(form->ContentsList->font());
        const int height = form->ContentsList->visualItemRect(row).height();
        QVERIFY2(height >= metrics.lineSpacing() + 2 &&
                     height >= metrics.boundingRect(QString::fromUtf8("ÜÅ")).height() + 2,
                 qPrintable(QString::number(height)));
        for (int index = 0; index <= 24; ++index)
            QVERIFY2(!TreeImage(index).isNull(), qPrintable(QString::number(index)));
        form->FormClose();
        settings_.File() = {};
    }

    // Without a viewer for the help, the user is told where the help file is.
    void helpWithoutAViewerSaysWhereTheFileIs() {
        auto form = Start();
        const QString help = form->HelpFile();
        const bool made = !QFileInfo::exists(help);
        if (made)
            QFile(help).open(QIODevice::WriteOnly);
        const auto cleanup = qScopeGuard([&] {
            if (made)
                QFile::remove(help);
            ui_.documentsOpen = true;
        });
        ui_.documentsOpen = false;
        form->HelpExecute();
        QCOMPARE(ui_.opened.last(), help);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QVERIFY(ui_.messages[0].text.contains(help));
        form->FormClose();
        settings_.File() = {};
    }

    void optionsCommandKeepsWhatTheDialogConfirms() {
        {
            auto form = Start();
            ui_.modal = [](QDialog& d) {
                auto* dlg = qobject_cast<TOptionsDlg*>(&d);
                if (dlg == nullptr)
                    return int(QDialog::Rejected);
                dlg->DefSplitSizeEd->setText("2,000,000");
                dlg->DefRestLocEd->setText("T:\\Restored");
                dlg->ExtEd->setText("abc");
                dlg->AddBtnClick();
                dlg->OKBtnClick();
                return dlg->result();
            };
            form->OptionsMnuItm->trigger();
            ui_.modal = nullptr;
            QCOMPARE(ui_.modalDialogs.last(), QString("TOptionsDlg"));
            QCOMPARE(form->Defaults().splitSize, 2000000u);
            QCOMPARE(form->ImageExtensions(), (std::vector<std::string>{".kwi", ".abc"}));
            form->FormClose();
        }
        auto form = Start(); // read back at the next start
        QCOMPARE(form->Defaults().splitSize, 2000000u);
        QCOMPARE(form->Defaults().restoreLocation, std::string("T:\\Restored"));
        QCOMPARE(form->ImageExtensions(), (std::vector<std::string>{".kwi", ".abc"}));
        form->FormClose();
        settings_.File() = {};
    }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"

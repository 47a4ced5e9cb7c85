// Moving around the main window and dragging items between its views, over
// a test drive with host folders and two images (one holds a FAT volume made
// by mkfs.fat and mtools). Drags go through synthetic drag events sent to
// the views' viewports; the drag timers' slots are called directly.
#include "app/dialogs/restore_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/vtfe_item.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "tests/app/app_fixture.h"
#include "tests/app/image_fixture.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace kw::app;
using kw::test::Child;
using kw::test::Row;

namespace {

constexpr char kImage[] = "imgs/sample.kwi";
constexpr char kPart[] = "imgs/sample.kwi/E: (SYSTEM)";
constexpr char kPartTop[] = "imgs/sample.kwi/E: (SYSTEM)/top";
constexpr char kSmall[] = "the bytes of a small file in a folder of the image\n";

std::string Bytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

QStringList RowNames(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0);
    return out;
}

// The centre of a node or row in its view's viewport, scrolled into view.
QPoint At(QTreeWidget* view, QTreeWidgetItem* item) {
    view->scrollToItem(item);
    return view->visualItemRect(item).center();
}

// A drag entering a widget and moving to a point; whether the move is taken.
bool DragTo(QWidget* widget, const QMimeData* data, QPoint at) {
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
    return move.isAccepted();
}

bool DropAt(QWidget* widget, const QMimeData* data, QPoint at) {
    QDropEvent drop(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);
    return drop.isAccepted();
}

} // namespace

class NavigationTest : public QObject {
    Q_OBJECT

    kw::test::TestDrives drives_;
    kw::test::FakeUi ui_;
    MemorySettingsStore settings_;

    std::unique_ptr<TMainForm> Start() {
        auto form = kw::test::StartMainForm(ui_, settings_, drives_);
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("the window was not shown");
        return form;
    }

    // The node at a "/"-separated path below T:, every node on the way expanded.
    static QTreeWidgetItem* Node(TMainForm& form, const QString& path) {
        QTreeWidgetItem* node = Child(form.MyComputerNode(), " (T:)");
        for (const QString& name : path.split('/', Qt::SkipEmptyParts)) {
            if (node == nullptr)
                return nullptr;
            node->setExpanded(true);
            node = Child(node, name);
        }
        return node;
    }

    // Shows the contents of the node at path in the list.
    static void Show(TMainForm& form, const QString& path) {
        QTreeWidgetItem* node = Node(form, path);
        QVERIFY2(node != nullptr, qPrintable(path));
        form.ExploreTree->setCurrentItem(node);
    }

    // Starts a drag of the given list row, or of the tree's selected node
    // when row is empty.
    static std::unique_ptr<QMimeData> StartDrag(TMainForm& form, const QString& row) {
        if (row.isEmpty())
            return form.BeginDrag(form.ExploreTree);
        if (QTreeWidgetItem* r = Row(form.ContentsList, row))
            form.ContentsList->setCurrentItem(r);
        return form.BeginDrag(form.ContentsList);
    }

private slots:
    void initTestCase() {
        for (const char* folder : {"out", "deep/sub1", "deep/sub2", "imgs/sub"})
            std::filesystem::create_directories(drives_.Dir() / folder);
        for (int i = 0; i < 60; ++i)
            std::filesystem::create_directories(drives_.Dir() / ("many/f" + std::to_string(i)));
        std::ofstream(drives_.Dir() / "disk.img").seekp((1 << 20) - 1).put('\0');
        setenv("KW_DISKS", (drives_.Dir() / "disk.img").c_str(), 1);

        const std::string raw = drives_.Dir() / "fat.raw";
        drives_.Dir().Write("small.bin", kSmall);
        const std::string m = " -i " + raw + " ", small = drives_.Dir() / "small.bin";
        const std::string cmd = "mkfs.fat -C -F 16 -n SYSTEM " + raw + " 16384 >/dev/null && mmd" +
                                m + "::/top ::/Zdir ::/adir && mcopy" + m + small +
                                " ::/top/a.bin && mcopy" + m + small + " ::/zeta.bin && mcopy" + m +
                                small + " ::/Alpha.bin && mcopy" + m + small + " ::/beta.BIN";
        QCOMPARE(std::system(cmd.c_str()), 0);
        QCOMPARE(kw::test::StoreVolume(raw, drives_.Dir() / "imgs/sample.kwi", {}), 0);
        kw::test::FixturePart part; // blocks of mixed bytes, no file system
        part.name = "DATA";
        part.driveLetter = 'F';
        kw::test::FixtureImage image;
        image.parts = {part};
        QCOMPARE(kw::test::WriteFixtureImage(drives_.Dir() / "imgs/other.kwi", image), 0);
    }

    void init() {
        ui_.messages.clear();
        ui_.modalDialogs.clear();
        ui_.modal = nullptr;
    }

    // Up one level, a double click and Enter on a row, Backspace in the list.
    void listRowsOpenFoldersAndBackspaceGoesUp() {
        auto form = Start();
        Show(*form, "");
        QTreeWidget* list = form->ContentsList;
        QTreeWidgetItem* imgs = Row(list, "imgs");
        QVERIFY(imgs != nullptr);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, At(list, imgs));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, At(list, imgs));
        QCOMPARE(form->ExploreTree->currentItem(), Node(*form, "imgs"));
        QVERIFY(Node(*form, "imgs")->isExpanded());
        QVERIFY(Row(list, "sample.kwi") != nullptr);

        QTest::keyClick(list, Qt::Key_Backspace);
        QCOMPARE(form->ExploreTree->currentItem(), Node(*form, ""));
        list->setCurrentItem(Row(list, "deep"));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(form->ExploreTree->currentItem(), Node(*form, "deep"));
        QCOMPARE(RowNames(list), (QStringList{"sub1", "sub2"}));

        form->UpOneLevelExecute();
        form->UpOneLevelExecute();
        form->UpOneLevelExecute();
        QCOMPARE(form->ExploreTree->currentItem(), form->MyComputerNode());
        form->UpOneLevelExecute(); // the root has no parent
        QCOMPARE(form->ExploreTree->currentItem(), form->MyComputerNode());
        QVERIFY(!form->UpOneLevel->isEnabled());
    }

    // Folders before files, each in upper-cased order; the list takes its
    // first row as focused, not selected, when it gets the focus.
    void partitionContentsAreSortedAndFocusMarksFirstRow() {
        auto form = Start();
        Show(*form, kPart);
        QTreeWidget* list = form->ContentsList;
        QCOMPARE(RowNames(list),
                 (QStringList{"adir", "top", "Zdir", "Alpha.bin", "beta.BIN", "zeta.bin"}));
        list->setCurrentItem(nullptr);
        list->clearSelection();
        QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
        QApplication::sendEvent(list, &focus);
        QCOMPARE(list->currentItem(), list->topLevelItem(0));
        QVERIFY(list->selectedItems().isEmpty());
    }

    // A right click selects the clicked row alone (or the clicked node) and
    // the context menu acts on it.
    void rightClickSelectsWhatTheMenuActsOn() {
        auto form = Start();
        Show(*form, "imgs");
        QTreeWidget* list = form->ContentsList;
        Row(list, "sub")->setSelected(true);
        Row(list, "other.kwi")->setSelected(true);
        emit list->customContextMenuRequested(At(list, Row(list, "sample.kwi")));
        QCOMPARE(list->selectedItems(), (QList<QTreeWidgetItem*>{Row(list, "sample.kwi")}));
        QCOMPARE(form->SelectedItem()->Name(), QString("sample.kwi"));
        QVERIFY(form->PopupMenu1->isVisible());
        form->PopupMenu1->hide();

        QTreeWidgetItem* other = Node(*form, "imgs/other.kwi");
        emit form->ExploreTree->customContextMenuRequested(At(form->ExploreTree, other));
        QCOMPARE(form->ExploreTree->currentItem(), other);
        QCOMPARE(form->SelectedItem(), VtfeItem::OfNode(other));
        QVERIFY(form->PopupMenu1->isVisible());
        form->PopupMenu1->hide();
    }

    // Where a drag may drop: onto host folders for an image's folders and
    // files; onto host folders and images for images and partitions; in the
    // list only images onto folders and drives. A refused drop does nothing.
    void dropTargets_data() {
        QTest::addColumn<QString>("shown");      // the tree node whose contents are listed
        QTest::addColumn<QString>("dragRow");    // the dragged row; empty: the tree node
        QTest::addColumn<QString>("targetNode"); // a tree node ("." for T:), or
        QTest::addColumn<QString>("targetRow");  // a list row
        QTest::addColumn<bool>("taken");
        struct Case {
            const char *name, *shown, *dragRow, *targetNode, *targetRow;
            bool taken;
        };
        static const Case kCases[] = {
            {"folder onto folder", kPart, "top", "out", "", true},
            {"file onto drive", kPart, "zeta.bin", ".", "", true},
            {"folder onto image", kPart, "top", "imgs/other.kwi", "", false},
            {"folder onto partition", kPart, "top", kPart, "", false},
            {"folder onto its own node", kPart, "top", kPartTop, "", false},
            {"folder onto folder row", kPart, "top", "", "Zdir", false},
            {"partition onto image", kImage, "E: (SYSTEM)", "imgs/other.kwi", "", true},
            {"partition onto folder", kImage, "E: (SYSTEM)", "out", "", true},
            {"host folder onto folder", "", "deep", "out", "", false},
            {"image row onto folder row", "imgs", "other.kwi", "", "sub", true},
            {"image row onto image row", "imgs", "other.kwi", "", "sample.kwi", false},
            {"image onto partition row", kImage, "", "", "E: (SYSTEM)", false},
        };
        for (const Case& c : kCases)
            QTest::newRow(c.name) << QString(c.shown) << QString(c.dragRow) << QString(c.targetNode)
                                  << QString(c.targetRow) << c.taken;
    }
    void dropTargets() {
        QFETCH(QString, shown);
        QFETCH(QString, dragRow);
        QFETCH(QString, targetNode);
        QFETCH(QString, targetRow);
        QFETCH(bool, taken);
        auto form = Start();
        Show(*form, shown);
        std::unique_ptr<QMimeData> data = StartDrag(*form, dragRow);
        QVERIFY(data != nullptr && form->Dragging());
        QTreeWidget* view = targetRow.isEmpty() ? form->ExploreTree : form->ContentsList;
        QTreeWidgetItem* target = targetRow.isEmpty()
                                      ? Node(*form, targetNode == "." ? "" : targetNode)
                                      : Row(form->ContentsList, targetRow);
        QVERIFY(target != nullptr);
        const QPoint at = At(view, target);
        QCOMPARE(DragTo(view->viewport(), data.get(), at), taken);
        if (!taken) {
            QVERIFY(!DropAt(view->viewport(), data.get(), at));
            form->EndDrag();
            QVERIFY(ui_.modalDialogs.isEmpty() && ui_.messages.empty());
        }
        form->EndDrag();
        QVERIFY(!form->Dragging());
        // A drag from elsewhere (files of another program) is refused.
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(QString::fromStdString(drives_.Dir() / "small.bin"))});
        QVERIFY(!DragTo(view->viewport(), &files, at));
    }

    // A folder of an image dropped onto a host folder is restored there
    // when the drag is over.
    void droppedFolderIsRestoredIntoTheTarget() {
        auto form = Start();
        Show(*form, kPart);
        std::unique_ptr<QMimeData> data = StartDrag(*form, "top");
        QTreeWidgetItem* out = Node(*form, "out");
        QVERIFY(DragTo(form->ExploreTree->viewport(), data.get(), At(form->ExploreTree, out)));
        QVERIFY(DropAt(form->ExploreTree->viewport(), data.get(), At(form->ExploreTree, out)));
        QVERIFY(ui_.modalDialogs.isEmpty()); // not inside the drag's own events
        QString offered;
        ui_.modal = [&offered](QDialog& d) {
            auto& dlg = static_cast<TRestoreDlg&>(d);
            offered = dlg.DestEd->text();
            dlg.RestoreBtnClick();
            return dlg.result();
        };
        form->EndDrag();
        QCOMPARE(ui_.modalDialogs, QStringList{"TRestoreDlg"});
        QCOMPARE(offered, drives_.Shown("T:\\out"));
        QCOMPARE(Bytes(drives_.Dir() / "out/top/a.bin"), std::string(kSmall));
        QVERIFY(!form->Dragging());
    }

    // An image dropped on a folder row of the list, or a partition dropped on
    // another image, opens the copy dialog for that destination; the source
    // image itself is no destination.
    void droppedImagesOpenTheCopyDialog() {
        auto form = Start();
        QTreeWidget* list = form->ContentsList;
        QStringList offered;
        ui_.modal = [&offered](QDialog& d) {
            if (auto* edit = d.findChild<QLineEdit*>("DestEd"))
                offered << edit->text();
            return int(QDialog::Rejected);
        };
        Show(*form, "imgs");
        std::unique_ptr<QMimeData> data = StartDrag(*form, "other.kwi");
        QVERIFY(DragTo(list->viewport(), data.get(), At(list, Row(list, "sub"))));
        QVERIFY(DropAt(list->viewport(), data.get(), At(list, Row(list, "sub"))));
        form->EndDrag();
        QCOMPARE(ui_.modalDialogs, QStringList{"TCopyToImageDlg"});

        Show(*form, kImage);
        data = StartDrag(*form, "E: (SYSTEM)");
        QTreeWidget* tree = form->ExploreTree;
        QTreeWidgetItem* other = Node(*form, "imgs/other.kwi");
        QVERIFY(DragTo(tree->viewport(), data.get(), At(tree, other)));
        QVERIFY(DropAt(tree->viewport(), data.get(), At(tree, other)));
        form->EndDrag();
        QCOMPARE(ui_.modalDialogs.size(), 2);
        QCOMPARE(offered.size(), 2);
        QCOMPARE(offered[1], drives_.Shown("T:\\imgs\\other.kwi"));

        data = StartDrag(*form, "E: (SYSTEM)");
        const QPoint own = At(tree, Node(*form, kImage));
        QVERIFY(DragTo(tree->viewport(), data.get(), own));
        QVERIFY(DropAt(tree->viewport(), data.get(), own));
        form->EndDrag();
        QCOMPARE(ui_.modalDialogs.size(), 2);
        QCOMPARE(ui_.messages.size(), size_t(1));
        QCOMPARE(ui_.messages[0].text, QString("Source and destination cannot be the same file."));
    }

    // Resting on a node that takes the drop opens it; resting on one that
    // does not, or moving to the status bar, opens nothing.
    void restingDragExpandsDropTargets() {
        auto form = Start();
        Show(*form, kPart);
        std::unique_ptr<QMimeData> data = StartDrag(*form, "top");
        QTreeWidget* tree = form->ExploreTree;
        QTreeWidgetItem* deep = Node(*form, "deep");
        QTreeWidgetItem* other = Node(*form, "imgs/other.kwi");
        QVERIFY(!deep->isExpanded() && !other->isExpanded());

        QVERIFY(!DragTo(tree->viewport(), data.get(), At(tree, other)));
        QVERIFY(form->ExpandNodeTimer->isActive());
        QCOMPARE(form->ExpandNodeTimer->interval(), 1500);
        form->ExpandNodeTimerTimer();
        QVERIFY(!other->isExpanded());

        QVERIFY(DragTo(tree->viewport(), data.get(), At(tree, deep)));
        DragTo(form->StatusBar, data.get(), QPoint(5, 5));
        QVERIFY(!form->ExpandNodeTimer->isActive());
        QVERIFY(DragTo(tree->viewport(), data.get(), At(tree, Node(*form, "out"))));
        QVERIFY(DragTo(tree->viewport(), data.get(), At(tree, deep)));
        QVERIFY(form->ExpandNodeTimer->isActive());
        form->ExpandNodeTimerTimer();
        QVERIFY(deep->isExpanded());
        QVERIFY(Child(deep, "sub1") != nullptr);
        QVERIFY(!form->ExpandNodeTimer->isActive());
        form->EndDrag();

        // A partition rests on a collapsed image: the image opens.
        Show(*form, kImage);
        data = StartDrag(*form, "E: (SYSTEM)");
        QVERIFY(DragTo(tree->viewport(), data.get(), At(tree, other)));
        form->ExpandNodeTimerTimer();
        QVERIFY(other->isExpanded());
        QCOMPARE(other->childCount(), 1);
        form->EndDrag();
    }

    // Near the bottom edge the tree scrolls one node per tick until its last
    // node shows; near the top back to the first; in between it stops.
    void dragNearEdgeScrollsTheTree() {
        auto form = Start();
        Node(*form, "many")->setExpanded(true);
        Show(*form, "");
        QTreeWidget* tree = form->ExploreTree;
        tree->scrollToItem(form->MyComputerNode());
        std::unique_ptr<QMimeData> data = StartDrag(*form, "deep");
        const int height = tree->viewport()->height();
        DragTo(tree->viewport(), data.get(), QPoint(10, height - 5));
        QVERIFY(form->TreeScrollTimer->isActive());
        QCOMPARE(form->TreeScrollTimer->interval(), 300);
        QTreeWidgetItem* top = tree->itemAt(5, 1);
        form->TreeScrollTimerTimer();
        QCOMPARE(tree->itemAt(5, 1), tree->itemBelow(top));
        for (int i = 0; i < 200 && form->TreeScrollTimer->isActive(); ++i)
            form->TreeScrollTimerTimer();
        QVERIFY(!form->TreeScrollTimer->isActive());
        QTreeWidgetItem* last = tree->itemAt(5, 1);
        while (tree->itemBelow(last) != nullptr)
            last = tree->itemBelow(last);
        QVERIFY(tree->viewport()->rect().contains(tree->visualItemRect(last)));

        DragTo(tree->viewport(), data.get(), QPoint(10, 5));
        for (int i = 0; i < 200 && form->TreeScrollTimer->isActive(); ++i)
            form->TreeScrollTimerTimer();
        QCOMPARE(tree->itemAt(5, 1), form->MyComputerNode());
        DragTo(tree->viewport(), data.get(), QPoint(10, height / 2));
        QVERIFY(!form->TreeScrollTimer->isActive());
        form->EndDrag();
    }

    // Resting on the other page's tab shows it with its tree; the drag's end
    // shows the page it started from.
    void restingOnTheOtherTabSwitchesPages() {
        auto form = Start();
        Show(*form, "imgs");
        std::unique_ptr<QMimeData> data = StartDrag(*form, "other.kwi");
        QTabBar* tabs = form->PageControl->tabBar();
        DragTo(tabs, data.get(), tabs->tabRect(0).center());
        QVERIFY(!form->TabChangeTimer->isActive());
        DragTo(tabs, data.get(), tabs->tabRect(1).center());
        QVERIFY(form->TabChangeTimer->isActive());
        form->TabChangeTimerTimer();
        QVERIFY(!form->TabChangeTimer->isActive());
        QCOMPARE(form->PageControl->currentWidget(), form->RecentImgsTab);
        QCOMPARE(form->CurrentTree(), form->RecentImgsTree);
        // Nothing goes onto the recent-images root, which names no folder.
        QVERIFY(!DragTo(form->RecentImgsTree->viewport(), data.get(),
                        At(form->RecentImgsTree, form->RecentRoot())));
        form->EndDrag();
        QCOMPARE(form->PageControl->currentWidget(), form->ExploreTab);
        QCOMPARE(form->CurrentTree(), form->ExploreTree);
    }
};

QTEST_MAIN(NavigationTest)
#include "navigation_test.moc"

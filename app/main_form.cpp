#include "app/main_form.h"

#include "app/app_info.h"
#include "app/dialogs/art.h"
#include "app/dialogs/progress_dlg.h"
#include "app/dialogs/splash_screen.h"
#include "app/explorer/explorer_node.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/tree_images.h"
#include "app/explorer/vtfe_folder.h"
#include "app/ui_services.h"
#include "app/wait_cursor.h"
#include "platform/vfs/vfs.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>

namespace kw::app {

TMainForm::TMainForm(std::unique_ptr<EngineFacade> engine, UiServices& ui, SettingsStore& settings,
                     vfs::VFS_NAMESPACE& vfs, QStringList args, QWidget* owner)
    : TlngFormOf<QMainWindow>(owner), engine_(std::move(engine)), ui_(ui), settings_(settings),
      vfs_(vfs), args_(std::move(args)) {
    setObjectName("MainForm");
    setWindowTitle(kAppTitle);
    // The program's folder comes from where the program really is.
    programDir_ = QCoreApplication::applicationDirPath();
    // The second argument names an image to list, unless it is one of the
    // engine's switches ("/DBG"): a host path of the image may begin with
    // "/" too, so a "/" argument counts as the image only when it exists.
    if (args_.size() > 1 && (!args_[1].startsWith('/') || QFileInfo::exists(args_[1]))) {
        commandLineImage_ = args_[1];
        args_.removeAt(1); // the engine gets only its switches
    }
    productName_ = kProductName;
    versionNumber_ = kVersionNumber;
    aboutPicture_ = AboutPixmap();
    resize(884, 695);
    setMinimumSize(500, 400);

    BuildActions();
    BuildLayout();
    BuildMenus();
    currentTree_ = ExploreTree;

    TabChangeTimer = new QTimer(this);
    TabChangeTimer->setObjectName("TabChangeTimer");
    ExpandNodeTimer = new QTimer(this);
    ExpandNodeTimer->setObjectName("ExpandNodeTimer");
    ExpandNodeTimer->setInterval(1500);
    TreeScrollTimer = new QTimer(this);
    TreeScrollTimer->setObjectName("TreeScrollTimer");
    TreeScrollTimer->setInterval(300);
    selectionTimer_ = new QTimer(this);
    selectionTimer_->setSingleShot(true);
    connect(selectionTimer_, &QTimer::timeout, this, &TMainForm::ShowSelectedContents);

    for (QTreeWidget* tree : {ExploreTree, RecentImgsTree}) {
        connect(tree, &QTreeWidget::currentItemChanged, this,
                [this, tree] { TreeSelectionChanged(tree); });
        connect(tree, &QTreeWidget::itemExpanded, this, &TMainForm::NodeExpanded);
    }
    connect(ExploreTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* node) {
        if (VtfeItem* item = VtfeItem::OfNode(node))
            item->ShowContents(false);
    });
    connect(ContentsList, &QTreeWidget::itemSelectionChanged, this,
            &TMainForm::ListSelectionChanged);
    connect(PageControl, &QTabWidget::currentChanged, this, &TMainForm::PageControlChange);
    focusWatch_ = connect(qApp, &QApplication::focusChanged, this,
                          [this](QWidget*, QWidget* now) { FocusMoved(now); });
    SetupNavigation();
    SetupDragDrop();
    SetProgressMainWindow(this);
    FormSetup();
}

TMainForm::~TMainForm() {
    disconnect(focusWatch_);
    if (created_ && !closed_)
        FormClose();
    ReleaseItems();
    SetProgressMainWindow(nullptr);
}

// The start: settings, help file, splash, engine, trees, layout.
void TMainForm::FormCreate() {
    keys_ = BuildKeyPaths();
    helpFile_ = programDir_ + "/" + kHelpFileName;
    if (splashDelay >= 0) {
        splash_ = new TSplashScreen(nullptr);
        splash_->ShowNow();
        if (splashDelay > 0) {
            QEventLoop wait;
            QTimer::singleShot(splashDelay, &wait, &QEventLoop::quit);
            wait.exec(QEventLoop::ExcludeUserInputEvents);
        }
    }
    std::vector<std::string> engineArgs;
    for (const QString& a : args_)
        engineArgs.push_back(a.toStdString());
    if (engine_ && engine_->Open(2, 2) == KW_OK) {
        engine_->Start(engineArgs);
        engine_->ServeHiddenPartitions(vfs_);
    }
    AssignHelpContexts();
    imageExtensions_ = ReadImageExtensions(settings_, keys_);
    defaults_ = ReadDefaults(settings_, keys_);
    PageControl->setTabIcon(0, TreeImage(0));
    BuildRoots();
    LoadRecentImages();
    PageControl->setTabIcon(1, TreeImage(10));
    ReadLayoutSettings();
    PageControl->setCurrentWidget(ExploreTab);
    currentTree_ = ExploreTree;
    myComputerNode_->setExpanded(true);
    ExploreTree->setCurrentItem(myComputerNode_);
    created_ = true;
    ready_ = true;
    ShowSelectedContents();
}

void TMainForm::BuildRoots() {
    auto* computer = CreateItem<VtfeRoot>(nullptr, this, ExploreTree, ContentsList,
                                          QStringLiteral("My Computer"));
    myComputerNode_ = computer->Node();
    BuildDriveItems(this, ExploreTree, ContentsList, myComputerNode_);
    // Partitions without drive letters get their root only when the path
    // namespace names any.
    std::string name;
    bool hidden = false;
    for (uint32_t i = 0; !hidden && vfs_.GetVolumeName(i, &name); ++i)
        hidden = name.find("\\\\.\\disk") != std::string::npos;
    if (hidden) {
        auto* root = CreateItem<VtfeRoot>(nullptr, this, ExploreTree, ContentsList,
                                          QStringLiteral("Hidden Partitions"));
        hiddenNode_ = root->Node();
        BuildHiddenPartitionItems(this, ExploreTree, ContentsList, hiddenNode_);
    }
}

void TMainForm::FormActivate() {
    if (splash_ != nullptr) {
        splash_->hide();
        splash_->deleteLater();
        splash_ = nullptr;
    }
    TreeDescrPanel->setText(currentTree_ == RecentImgsTree ? " Recent Images"
                                                           : " Locate Folders/Images");
    FormResize();
    if (!activatedOnce_) {
        activatedOnce_ = true;
        if (!commandLineImage_.isEmpty()) {
            // A host path ("/srv/x.kwi", "x.kwi") or a drive path ("D:\\x.kwi").
            std::string path;
            if (!vfs_.Root().Table().FromHost(commandLineImage_.toStdString(), &path) &&
                !vfs_.GetFullPath(commandLineImage_.toStdString(), &path))
                path.clear();
            if (!path.empty() && vfs_.FileExists(path)) {
                AddRecentImage(QString::fromStdString(path));
                PageControl->setCurrentWidget(RecentImgsTab);
                currentTree_ = RecentImgsTree;
            }
        }
        currentTree_->setFocus();
    }
}

// The end: settings saved, items (and what they hold open) released before
// the engine stops, the lists last.
void TMainForm::FormClose() {
    if (closed_)
        return;
    closed_ = true;
    ready_ = false;
    for (QTimer* t : {TabChangeTimer, ExpandNodeTimer, TreeScrollTimer, selectionTimer_})
        t->stop();
    if (created_) {
        SaveRecentImages();
        WriteLayoutSettings();
    }
    ReleaseItems();
    if (engine_)
        engine_->Stop();
    copiedItems_.clear();
    imageExtensions_.clear();
}

void TMainForm::ReleaseItems() {
    selectedItem_ = nullptr;
    destItem_ = nullptr;
    copiedItems_.clear();
    ContentsList->clear();
    ExploreTree->clear();
    RecentImgsTree->clear();
    myComputerNode_ = hiddenNode_ = recentRoot_ = nullptr;
}

bool TMainForm::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return TlngFormOf<QMainWindow>::event(e);
}

void TMainForm::closeEvent(QCloseEvent* e) {
    if (ProgressWindowUp()) { // an operation is running
        e->ignore();
        return;
    }
    FormClose();
    e->accept();
}

void TMainForm::resizeEvent(QResizeEvent* e) {
    TlngFormOf<QMainWindow>::resizeEvent(e);
    FormResize();
}

// ---- explorer host

bool TMainForm::ShowsRecentPage() const {
    return PageControl->currentWidget() == RecentImgsTab;
}

bool TMainForm::CanTakeFocus() const {
    return isVisible() && isEnabled();
}

void TMainForm::SetColumns(const QStringList& specs) {
    ApplyColumnSpecs(ContentsList, specs);
}

QIcon TMainForm::TreeIcon(int index, int selectedIndex) const {
    QIcon icon = TreeImage(index);
    if (selectedIndex != index)
        for (const QSize& size : icon.availableSizes())
            icon.addPixmap(TreeImage(selectedIndex).pixmap(size), QIcon::Selected);
    return icon;
}

VtfeItem* TMainForm::ImageTwin(const VtfeItem* image) {
    QTreeWidget* other = image->Tree() == RecentImgsTree ? ExploreTree : RecentImgsTree;
    for (QTreeWidgetItemIterator it(other); *it; ++it) {
        VtfeItem* item = VtfeItem::OfNode(*it);
        if (item != nullptr && item != image && item->Kind() == KIND_IMAGE &&
            item->Path() == image->Path())
            return item;
    }
    return nullptr;
}

void TMainForm::ItemGone(VtfeItem* item) {
    std::erase(copiedItems_, item);
    ForgetDragItem(item);
    if (selectedItem_ == item)
        selectedItem_ = nullptr;
    if (destItem_ == item)
        destItem_ = nullptr;
    // Rows of the contents list that show the item go with it.
    for (int i = ContentsList->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* row = ContentsList->topLevelItem(i);
        if (VtfeItem::OfRow(row) == item)
            delete row;
    }
}

// ---- trees and list

void TMainForm::TreeSelectionChanged(QTreeWidget* tree) {
    if (!ready_ || dragging_ || tree != currentTree_)
        return;
    int delay = tree == ExploreTree ? exploreChangeDelay : recentChangeDelay;
    if (delay <= 0)
        ShowSelectedContents();
    else
        selectionTimer_->start(delay);
}

void TMainForm::ShowSelectedContents() {
    VtfeItem* item = VtfeItem::OfNode(currentTree_->currentItem());
    if (item == nullptr || item->Busy())
        return;
    selectedItem_ = item;
    listSelected_ = false;
    {
        TWaitCursor wait;
        item->ShowContents(false);
    }
    UpdateContentsCaption();
    UpdateMenuStates();
}

void TMainForm::UpdateContentsCaption() {
    if (selectedItem_ == nullptr) {
        ContentsDescrPnl->setText(" Contents of");
        return;
    }
    bool folders = selectedItem_->Kind() < KIND_IMAGE && !ShowsRecentPage();
    ContentsDescrPnl->setText(" " + (folders ? QStringLiteral("Folders/Images for '%1'")
                                             : QStringLiteral("Contents of '%1'"))
                                        .arg(selectedItem_->Path()));
}

void TMainForm::NodeExpanded(QTreeWidgetItem* node) {
    VtfeItem* item = VtfeItem::OfNode(node);
    if (item == nullptr || node->parent() == nullptr || item->Populated())
        return;
    TWaitCursor wait;
    item->Expand(false);
    if (node->childCount() == 0)
        node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

void TMainForm::ListSelectionChanged() {
    QList<QTreeWidgetItem*> rows = ContentsList->selectedItems();
    if (rows.isEmpty() || dragging_)
        return;
    if (VtfeItem* item = VtfeItem::OfRow(ContentsList->currentItem())) {
        selectedItem_ = item;
        destItem_ = item;
        listSelected_ = true;
    }
    UpdateMenuStates();
}

void TMainForm::ContentsListDblClick(QTreeWidgetItem* row) {
    QTreeWidgetItem* node = currentTree_->currentItem();
    if (row == nullptr || node == nullptr)
        return;
    for (int i = 0; i < node->childCount(); ++i) {
        QTreeWidgetItem* child = node->child(i);
        if (child->text(0).compare(row->text(0), Qt::CaseInsensitive) == 0) {
            child->setExpanded(true);
            currentTree_->setCurrentItem(child);
            return;
        }
    }
}

void TMainForm::PageControlChange() {
    bool recent = ShowsRecentPage();
    currentTree_ = recent ? RecentImgsTree : ExploreTree;
    TreeDescrPanel->setText(recent ? " Recent Images" : " Locate Folders/Images");
    if (!ready_)
        return;
    VtfeItem* item = VtfeItem::OfNode(currentTree_->currentItem());
    if (recent && item != nullptr && item->Kind() == KIND_IMAGE &&
        !vfs_.FileExists(item->Path().toStdString())) {
        if (ui_.Message("The selected image file no longer exists. Do you want to remove it "
                        "from the list?",
                        "File Not Found", MsgIcon::Question, MsgButtons::YesNo) == MsgAnswer::Yes)
            item->DeleteNode();
    }
    ShowSelectedContents();
}

void TMainForm::UpOneLevelExecute() {
    QTreeWidgetItem* node = currentTree_->currentItem();
    if (node != nullptr && node->parent() != nullptr)
        currentTree_->setCurrentItem(node->parent());
}

void TMainForm::SelectAllExecute() {
    ContentsList->selectAll();
}

void TMainForm::RefreshExecute() {
    if (!ready_)
        return;
    TWaitCursor wait;
    QTreeWidgetItem* selected = currentTree_->currentItem();
    std::vector<QTreeWidgetItem*> expanded;
    for (QTreeWidgetItemIterator it(currentTree_); *it; ++it)
        if ((*it)->isExpanded() && *it != selected && (*it)->parent() != nullptr)
            expanded.push_back(*it);
    // Re-populating may delete nodes; each is looked up again before use.
    for (QTreeWidgetItem* node : expanded) {
        bool alive = false;
        for (QTreeWidgetItemIterator it(currentTree_); *it && !alive; ++it)
            alive = *it == node;
        if (alive)
            if (VtfeItem* item = VtfeItem::OfNode(node))
                item->Expand(true);
    }
    if (myComputerNode_ != nullptr)
        if (VtfeItem* computer = VtfeItem::OfNode(myComputerNode_))
            computer->Expand(true);
    if (VtfeItem* item = VtfeItem::OfNode(currentTree_->currentItem())) {
        selectedItem_ = item;
        item->ShowContents(false);
    }
    UpdateContentsCaption();
    UpdateMenuStates();
}

} // namespace kw::app

// The main window's settings: layout at start and close, and the list of
// recent images.
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_folder.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/main_form.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QAction>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

#include <algorithm>

namespace kw::app {

QRect ClampedToScreen(const QRect& wanted, const QRect& available) {
    QRect r = wanted;
    r.setWidth(std::min(r.width(), available.width()));
    r.setHeight(std::min(r.height(), available.height()));
    r.moveLeft(std::clamp(r.left(), available.left(), available.right() - r.width() + 1));
    r.moveTop(std::clamp(r.top(), available.top(), available.bottom() - r.height() + 1));
    return r;
}

void TMainForm::ReadLayoutSettings() {
    LayoutValues v = ReadLayout(settings_, keys_);
    QRect g = geometry();
    if (v.left)
        g.moveLeft(*v.left);
    if (v.top)
        g.moveTop(*v.top);
    if (v.width && *v.width > 0)
        g.setWidth(*v.width);
    if (v.height && *v.height > 0)
        g.setHeight(*v.height);
    g.setSize(g.size().expandedTo(minimumSize()));
    // A size and place saved on a larger screen are brought onto this one.
    const QScreen* shown = QGuiApplication::screenAt(g.center());
    if (shown == nullptr)
        shown = QGuiApplication::primaryScreen();
    if (shown != nullptr)
        g = ClampedToScreen(g, shown->availableGeometry());
    if (v.left || v.top || g.topLeft() != geometry().topLeft())
        move(g.topLeft());
    resize(g.size());
    if (v.treeWidth && *v.treeWidth > 0) {
        int total = std::max(Splitter->width(), width());
        Splitter->setSizes({*v.treeWidth, std::max(1, total - *v.treeWidth)});
    }
    if (v.textLabels)
        ApplyTextLabels(*v.textLabels);
    if (v.statusBar)
        ShowStatusBar(*v.statusBar);
    if (v.toolbar)
        ShowToolbar(*v.toolbar);
    if (!productName_.isEmpty())
        setWindowTitle(productName_);
}

void TMainForm::WriteLayoutSettings() {
    LayoutState s;
    QRect frame = geometry();
    s.top = frame.top();
    s.left = frame.left();
    s.width = frame.width();
    s.height = frame.height();
    s.treeWidth = Splitter->sizes().value(0, LeftPnl->width());
    s.textLabels = textLabels_;
    s.statusBar = StatusBarMnuItm->isChecked();
    s.toolbar = ToolbarMnuItm->isChecked();
    WriteSettings(settings_, keys_, s, defaults_);
}

void TMainForm::LoadRecentImages() {
    auto* root = CreateItem<VtfeFolder>(nullptr, this, RecentImgsTree, ContentsList,
                                        QStringLiteral("My Recent Images"));
    recentRoot_ = root->Node();
    for (const std::string& path : ReadRecentImages(settings_, keys_)) {
        QString p = QString::fromStdString(path);
        bool listed = false;
        for (int i = 0; i < recentRoot_->childCount() && !listed; ++i)
            listed = SameHostPath(RecentPathAt(i), p);
        if (!listed)
            CreateItem<VtfeKWI>(recentRoot_, this, RecentImgsTree, ContentsList, p);
    }
    recentRoot_->setExpanded(true);
    RecentImgsTree->sortItems(0, Qt::AscendingOrder);
    QTreeWidgetItem* first = recentRoot_->childCount() > 0 ? recentRoot_->child(0) : recentRoot_;
    RecentImgsTree->setCurrentItem(first);
}

QString TMainForm::RecentPathAt(int row) const {
    const VtfeItem* item = VtfeItem::OfNode(recentRoot_->child(row));
    return item != nullptr ? item->Path() : QString();
}

void TMainForm::SaveRecentImages() {
    std::vector<std::string> paths;
    if (recentRoot_ != nullptr)
        for (VtfeItem* item : VtfeItem::ChildItems(recentRoot_))
            paths.push_back(item->Path().toStdString());
    WriteRecentImages(settings_, keys_, paths);
}

void TMainForm::AddRecentImage(const QString& path) {
    if (recentRoot_ == nullptr)
        return;
    for (int i = 0; i < recentRoot_->childCount(); ++i) {
        if (SameHostPath(RecentPathAt(i), path)) {
            RecentImgsTree->setCurrentItem(recentRoot_->child(i));
            return;
        }
    }
    auto* item = CreateItem<VtfeKWI>(recentRoot_, this, RecentImgsTree, ContentsList, path);
    recentRoot_->setExpanded(true);
    RecentImgsTree->sortItems(0, Qt::AscendingOrder);
    if (item->Node() != nullptr)
        RecentImgsTree->setCurrentItem(item->Node());
}

QString TMainForm::BuildImageFilter() const {
    QString filter = "Veltrane files (*.kwi)|*.kwi|";
    for (size_t i = 1; i < imageExtensions_.size(); ++i) {
        QString ext = QString::fromStdString(imageExtensions_[i]);
        filter += ext.mid(1).toUpper() + " Files (*" + ext + ")|*" + ext + "|";
    }
    return filter + "All files (*.*)|*.*";
}

void TMainForm::AddEntryExecute() {
    PageControl->setCurrentWidget(RecentImgsTab);
    QString start;
    std::string dir = GetOpenDlgDir(settings_, keys_);
    std::string host;
    if (!dir.empty() && vfs_.Root().ToHost(dir, &host))
        start = QString::fromStdString(host);
    QStringList files =
        ui_.OpenFiles(this, "Open an Image File", start, QtFileFilter(BuildImageFilter()));
    if (files.isEmpty())
        return;
    std::string folder;
    if (vfs_.Root().Table().FromHost(QFileInfo(files[0]).absolutePath().toStdString(), &folder))
        SetOpenDlgDir(settings_, keys_, folder);
    for (const QString& file : files) {
        std::string path;
        if (vfs_.Root().Table().FromHost(file.toStdString(), &path) &&
            IsImageFile(QString::fromStdString(path), imageExtensions_))
            AddRecentImage(QString::fromStdString(path));
    }
}

void TMainForm::RemoveEntryExecute() {
    if (selectedItem_ == nullptr || selectedItem_->Kind() != KIND_IMAGE ||
        selectedItem_->Tree() != RecentImgsTree)
        return;
    selectedItem_->DeleteNode();
    if (RecentImgsTree->currentItem() == recentRoot_)
        ShowSelectedContents();
    UpdateMenuStates();
}

void TMainForm::ClearListExecute() {
    if (recentRoot_ == nullptr)
        return;
    for (QTreeWidgetItem* child : recentRoot_->takeChildren())
        delete child;
    ContentsList->clear();
    UpdateMenuStates();
}

} // namespace kw::app

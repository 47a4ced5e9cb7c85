// The editor's main window: the toolbar, the two trees ("Locate" with
// "My Computer", "Recent" with "My Recent Images"), the contents list, the
// menus and the status bar. It owns the engine (through its facade) from
// FormCreate to FormClose, reads the settings at start and writes them at
// close, and is the explorer items' host.
#pragma once

#include "app/dialogs/copy_context.h"
#include "app/editor_settings.h"
#include "app/engine_facade.h"
#include "app/explorer/vtfe_item.h"
#include "app/lng_form.h"

#include <QFontMetrics>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <vector>

class QAction;
class QFrame;
class QMimeData;
class QLabel;
class QMenu;
class QMenuBar;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

class SettingsStore;
class TSplashScreen;
class UiServices;
struct RestoreContext;

// The rectangle moved and cut to lie within the screen's available area
// (a saved window of a larger screen).
QRect ClampedToScreen(const QRect& wanted, const QRect& available);
// The height of the trees' and the list's rows for a font: its whole line
// spacing and room above, so marks over capitals are never cut.
int RowHeightFor(const QFontMetrics& metrics);
void UseFullLineRows(QTreeWidget* view);

class TMainForm final : public TlngFormOf<QMainWindow>, public ExplorerHost {
    Q_OBJECT
public:
    // args: the program's arguments (the second names an image to list).
    TMainForm(std::unique_ptr<EngineFacade> engine, UiServices& ui, SettingsStore& settings,
              vfs::VFS_NAMESPACE& vfs, QStringList args, QWidget* owner = nullptr);
    ~TMainForm() override;
    // What the copy dialog gets of this window; and what it asks back after
    // a new image was made in the folder item dest (shown and selected).
    CopyContext MakeCopyContext();
    void ShowNewImage(VtfeItem* dest, const QString& image);

    void FormCreate();
    void FormActivate();
    void FormClose();
    void FormResize();

    void ToolbarMnuItmClick();
    void StatusBarMnuItmClick();
    void TextLabelsMnuItmClick();
    void ExitMnuItmClick() { close(); }
    void HelpExecute();
    void miContactInfoClick();
    void miSupportWebClick();
    void AboutMnuItmClick();
    void OptionsMnuItmClick();
    void RefreshExecute();
    void UpOneLevelExecute();
    void SelectAllExecute();
    void AddEntryExecute();
    void RemoveEntryExecute();
    void ClearListExecute();
    void PageControlChange();
    void ContentsListDblClick(QTreeWidgetItem* row);
    void UpdateMenuStates();
    void RestoreExecute();
    void VerifyImgExecute();
    // main_form_commands.cpp
    void CopyExecute();
    void PasteExecute();
    // Runs a paste onto the destination item (the drop target).
    void DropItemExecute();
    void PropertiesExecute();
    // Fits the context menu to the selection before it opens; false when
    // nothing of it is left to show.
    bool PopupMenu1Popup();

    // main_form_copy.cpp: copying partitions into an image.
    void CopyToImgExecute();
    // The "&Copy to Image..." menu items: from the selection, not from what
    // was copied before.
    void CopyToImgMnuItmClick();
    // Closes the image items of path in both trees, so nothing holds it open.
    void CloseImageItems(const QString& path);
    // The host file a drive path names (case-sensitive, as host names are).
    std::string HostPathOf(const QString& path) const;
    const std::vector<VtfeItem*>& CopiedItems() const { return copiedItems_; }
    SettingsStore& Settings() { return settings_; }
    // main_form_delete.cpp: deleting images with every file of their sets.
    void DeleteImgExecute();
    // False when the user cancelled or the file could not be deleted (told).
    bool DeleteImageFile(VtfeItem* item);

    // Adds an image to the recent list, or selects it when listed.
    void AddRecentImage(const QString& path);
    QString BuildImageFilter() const;

    // ExplorerHost
    UiServices& Ui() override { return ui_; }
    vfs::VFS_NAMESPACE& Vfs() override { return vfs_; }
    const std::vector<std::string>& ImageExtensions() const override { return imageExtensions_; }
    bool ShowsRecentPage() const override;
    bool CanTakeFocus() const override;
    void SetColumns(const QStringList& specs) override;
    QIcon TreeIcon(int index, int selectedIndex) const override;
    QTreeWidgetItem* RecentRoot() const override { return recentRoot_; }
    void ItemGone(VtfeItem* item) override;
    VtfeItem* ImageTwin(const VtfeItem* image) override;
    QTreeWidgetItem* ComputerRoot() const override { return myComputerNode_; }

    // Navigation and drag and drop (main_form_nav.cpp, main_form_dnd.cpp).
    // A right click in a view: what it hits is selected, then the context menu.
    void ViewContextMenu(QTreeWidget* view, const QPoint& at);
    // The start of a drag out of a view: the dragged items become the copied
    // items; null when nothing can be dragged.
    std::unique_ptr<QMimeData> BeginDrag(QTreeWidget* source);
    // The end of a drag: a drop that was accepted runs now, then the tab of
    // the start is shown again.
    void EndDrag();
    // A drag at a point of a view's viewport; true when a drop there is taken.
    bool ViewDragOver(QTreeWidget* view, const QPoint& at);
    bool ViewDrop(QTreeWidget* view, const QPoint& at);
    void ViewDragLeave(QTreeWidget* view);
    // A drag over the page tabs (tab bar coordinates).
    void PageControlDragOver(const QPoint& at);
    void TabChangeTimerTimer();
    void ExpandNodeTimerTimer();
    void TreeScrollTimerTimer();
    bool Dragging() const { return dragging_; }

    VtfeItem* SelectedItem() const { return selectedItem_; }
    // Whether the selection was last made in the contents list.
    bool ListHasSelection() const { return listSelected_; }
    QTreeWidget* CurrentTree() const { return currentTree_; }
    QTreeWidgetItem* MyComputerNode() const { return myComputerNode_; }
    const EditorDefaults& Defaults() const { return defaults_; }
    bool Ready() const { return ready_; }
    const SettingsKeys& Keys() const { return keys_; }
    QString HelpFile() const { return helpFile_; }

    // The splash's wait, the trees' selection-change delays and the pause
    // that shows a copy happened (ms).
    int splashDelay = 1000;
    int copyPause = 200;
    int exploreChangeDelay = 500;
    int recentChangeDelay = 50;

    // Components, by their names.
    QFrame* TopPnl = nullptr;
    QToolBar* ToolBar = nullptr;
    QToolButton* UpLevelToolBtn = nullptr;
    QToolButton* RefreshToolBtn = nullptr;
    QToolButton* RestoreToolBtn = nullptr;
    QToolButton* AddEntryToolBtn = nullptr;
    QToolButton* PropToolBtn = nullptr;
    QToolButton* HelpToolBtn = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* KWBanner1 = nullptr;
    QLabel* KWBanner2 = nullptr;
    QFrame* LeftPnl = nullptr;
    QLabel* TreeDescrPanel = nullptr;
    QTabWidget* PageControl = nullptr;
    QWidget* ExploreTab = nullptr;
    QWidget* RecentImgsTab = nullptr;
    QTreeWidget* ExploreTree = nullptr;
    QTreeWidget* RecentImgsTree = nullptr;
    QSplitter* Splitter = nullptr;
    QFrame* RightPnl = nullptr;
    QLabel* ContentsDescrPnl = nullptr;
    QTreeWidget* ContentsList = nullptr;
    QStatusBar* StatusBar = nullptr;
    QMenuBar* MainMenu = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QTimer* TabChangeTimer = nullptr;
    QTimer* ExpandNodeTimer = nullptr;
    QTimer* TreeScrollTimer = nullptr;

    // Actions.
    QAction* CopyToImg = nullptr;
    QAction* Restore = nullptr;
    QAction* Properties = nullptr;
    QAction* Copy = nullptr;
    QAction* Paste = nullptr;
    QAction* DeleteImg = nullptr;
    QAction* VerifyImg = nullptr;
    QAction* Refresh = nullptr;
    QAction* Help = nullptr;
    QAction* UpOneLevel = nullptr;
    QAction* DropItem = nullptr;
    QAction* SelectAll = nullptr;
    QAction* AddEntry = nullptr;
    QAction* RemoveEntry = nullptr;
    QAction* ClearList = nullptr;
    QAction* ToolbarMnuItm = nullptr;
    QAction* TextLabelsMnuItm = nullptr;
    QAction* StatusBarMnuItm = nullptr;
    QAction* ExitMnuItm = nullptr;
    QAction* OptionsMnuItm = nullptr;
    QAction* AboutMnuItm = nullptr;
    QAction* miContactInfo = nullptr;
    QAction* miSupportWeb = nullptr;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // main_form_layout.cpp
    void BuildLayout();
    QTreeWidget* MakeTree(const char* name);
    void BuildToolBar();
    void ApplyTextLabels(bool on);
    void ShowToolbar(bool on);
    void ShowStatusBar(bool on);
    // main_form_menus.cpp
    void BuildActions();
    void BuildMenus();
    void AssignHelpContexts();
    void OpenHelp(const QString& fragment);
    // main_form_settings.cpp
    void ReadLayoutSettings();
    void WriteLayoutSettings();
    void LoadRecentImages();
    void SaveRecentImages();
    // The image path of the recent list's row.
    QString RecentPathAt(int row) const;
    // main_form.cpp
    void BuildRoots();
    void TreeSelectionChanged(QTreeWidget* tree);
    void ShowSelectedContents();
    void NodeExpanded(QTreeWidgetItem* node);
    void ListSelectionChanged();
    void UpdateContentsCaption();
    void ReleaseItems();
    // main_form_commands.cpp
    bool CanPasteOnto(const VtfeItem* destination) const;
    void PasteOrDrop();
    void FocusMoved(QWidget* now);
    // main_form_nav.cpp, main_form_dnd.cpp
    QTreeWidget* NewView(QWidget* parent);
    void SetupNavigation();
    void SetupDragDrop();
    bool DropAllowed(QTreeWidget* view, VtfeItem* target) const;
    void ScrollNearEdge(QTreeWidget* tree, int y);
    void ForgetDragItem(VtfeItem* item);
    // main_form_delete.cpp
    void DeleteListedImages();
    // main_form_restore.cpp
    void FillCopiedFromSelection();
    kwRet RestoreItems(const QString& destination);
    void CountRestore(RestoreContext& ctx, const std::vector<VtfeItem*>& items);
    QString DeleteQuestion(VtfeItem* image) const;

    std::unique_ptr<EngineFacade> engine_;
    UiServices& ui_;
    SettingsStore& settings_;
    vfs::VFS_NAMESPACE& vfs_;
    QStringList args_;
    QString programDir_;
    QString commandLineImage_;
    QString helpFile_;
    QString productName_;
    QString versionNumber_;
    SettingsKeys keys_;
    EditorDefaults defaults_;
    std::vector<std::string> imageExtensions_;
    std::vector<VtfeItem*> copiedItems_; // not owned
    VtfeItem* selectedItem_ = nullptr;
    VtfeItem* destItem_ = nullptr;
    QTreeWidget* currentTree_ = nullptr;
    QTreeWidgetItem* myComputerNode_ = nullptr;
    QTreeWidgetItem* hiddenNode_ = nullptr;
    QTreeWidgetItem* recentRoot_ = nullptr;
    TSplashScreen* splash_ = nullptr;
    QTimer* selectionTimer_ = nullptr;
    QPixmap aboutPicture_;
    bool ready_ = false;
    bool created_ = false;
    bool closed_ = false;
    bool activatedOnce_ = false;
    bool textLabels_ = true;
    bool listSelected_ = false;
    bool restoreFromTree_ = true; // cleared while a paste or drop runs a restore
    bool pasting_ = false;        // set while a paste or drop runs a copy to image
    QMetaObject::Connection focusWatch_;
    // A running drag: the node under the mouse and the accepted drop target
    // (both items of the tree it is over), the edge scroll's direction, the
    // tab the drag rests on and the tab it started from.
    bool dragging_ = false;
    bool dropPending_ = false;
    bool scrollUp_ = false;
    VtfeItem* hoverItem_ = nullptr;
    VtfeItem* dropTarget_ = nullptr;
    int pendingTab_ = -1;
    int savedTab_ = -1;
};

} // namespace kw::app

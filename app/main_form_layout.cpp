// The main window's panes, toolbar and view toggles.
#include "app/dialogs/art.h"
#include "app/main_form.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kw::app {
namespace {

constexpr int kTopHeightCaptions = 49;
constexpr int kTopHeightPlain = 33;
constexpr int kDescrHeight = 22;

QLabel* MakeCaptionPanel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFixedHeight(kDescrHeight);
    label->setFrameShape(QFrame::StyledPanel);
    label->setFrameShadow(QFrame::Sunken);
    label->setAutoFillBackground(true);
    label->setBackgroundRole(QPalette::Mid);
    label->setForegroundRole(QPalette::Light);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

// A button that runs the action; with a hint of its own it does not take
// the action's.
QToolButton* MakeToolButton(QToolBar* bar, const char* name, QAction* action,
                            const QString& hint = {}) {
    auto* button = new QToolButton(bar);
    button->setObjectName(name);
    if (hint.isEmpty()) {
        button->setDefaultAction(action);
    } else {
        button->setText(action->iconText());
        button->setIcon(action->icon());
        button->setToolTip(hint);
        QObject::connect(button, &QToolButton::clicked, action, &QAction::trigger);
        QObject::connect(action, &QAction::changed, button,
                         [button, action] { button->setEnabled(action->isEnabled()); });
    }
    button->setAutoRaise(true);
    bar->addWidget(button);
    return button;
}

// Rows as high as the font's whole line and a little more, so that the marks
// above capitals (Ü, Å) are never cut, whatever the style makes of the icon.
class FullLineRows final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), RowHeightFor(option.fontMetrics)));
        return size;
    }
};

} // namespace

int RowHeightFor(const QFontMetrics& metrics) {
    return metrics.lineSpacing() + 4;
}

void UseFullLineRows(QTreeWidget* view) {
    view->setItemDelegate(new FullLineRows(view));
}

QTreeWidget* TMainForm::MakeTree(const char* name) {
    QTreeWidget* tree = NewView(nullptr);
    tree->setObjectName(name);
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree->setSortingEnabled(true);
    tree->sortByColumn(0, Qt::AscendingOrder);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setIconSize(QSize(16, 16));
    UseFullLineRows(tree);
    return tree;
}

void TMainForm::BuildLayout() {
    auto* central = new QWidget(this);
    central->setObjectName("ClientArea");
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Bevel1 = new QFrame(central);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setFixedHeight(2);
    column->addWidget(Bevel1);

    TopPnl = new QFrame(central);
    TopPnl->setObjectName("TopPnl");
    TopPnl->setFixedHeight(kTopHeightCaptions);
    auto* top = new QHBoxLayout(TopPnl);
    top->setContentsMargins(2, 0, 4, 0);
    BuildToolBar();
    top->addWidget(ToolBar, 0, Qt::AlignLeft | Qt::AlignVCenter);
    top->addStretch(1);
    KWBanner1 = new QLabel(TopPnl);
    KWBanner1->setObjectName("KWBanner1");
    KWBanner1->setPixmap(BannerPixmap(true));
    KWBanner2 = new QLabel(TopPnl);
    KWBanner2->setObjectName("KWBanner2");
    KWBanner2->setPixmap(BannerPixmap(false));
    KWBanner2->hide();
    top->addWidget(KWBanner2, 0, Qt::AlignRight | Qt::AlignVCenter);
    top->addWidget(KWBanner1, 0, Qt::AlignRight | Qt::AlignVCenter);
    column->addWidget(TopPnl);

    LeftPnl = new QFrame;
    LeftPnl->setObjectName("LeftPnl");
    LeftPnl->setMinimumWidth(100);
    auto* left = new QVBoxLayout(LeftPnl);
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(2);
    TreeDescrPanel = MakeCaptionPanel(LeftPnl, "TreeDescrPanel", " Locate Folders/Images");
    left->addWidget(TreeDescrPanel);
    PageControl = new QTabWidget(LeftPnl);
    PageControl->setObjectName("PageControl");
    PageControl->setDocumentMode(true);
    PageControl->setTabPosition(QTabWidget::South);
    ExploreTree = MakeTree("ExploreTree");
    RecentImgsTree = MakeTree("RecentImgsTree");
    ExploreTab = ExploreTree;
    RecentImgsTab = RecentImgsTree;
    PageControl->addTab(ExploreTab, "Locate");
    PageControl->addTab(RecentImgsTab, "Recent");
    ExploreTab->setProperty("TabName", "ExploreTab");
    RecentImgsTab->setProperty("TabName", "RecentImgsTab");
    left->addWidget(PageControl, 1);

    RightPnl = new QFrame;
    RightPnl->setObjectName("RightPnl");
    auto* right = new QVBoxLayout(RightPnl);
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(2);
    ContentsDescrPnl = MakeCaptionPanel(RightPnl, "ContentsDescrPnl", " Contents of");
    right->addWidget(ContentsDescrPnl);
    ContentsList = NewView(RightPnl);
    ContentsList->setObjectName("ContentsList");
    ContentsList->setRootIsDecorated(false);
    ContentsList->setItemsExpandable(false);
    ContentsList->setUniformRowHeights(true);
    UseFullLineRows(ContentsList);
    ContentsList->setAllColumnsShowFocus(true);
    ContentsList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ContentsList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ContentsList->setContextMenuPolicy(Qt::CustomContextMenu);
    ContentsList->header()->setSectionsClickable(false);
    ContentsList->header()->setStretchLastSection(false);
    ContentsList->setColumnCount(1);
    ContentsList->setColumnWidth(0, 500);
    ContentsList->setHeaderLabels({"Name"});
    right->addWidget(ContentsList, 1);

    Splitter = new QSplitter(Qt::Horizontal, central);
    Splitter->setObjectName("Splitter");
    Splitter->setHandleWidth(3);
    Splitter->setChildrenCollapsible(false);
    Splitter->addWidget(LeftPnl);
    Splitter->addWidget(RightPnl);
    Splitter->setStretchFactor(1, 1);
    Splitter->setSizes({214, 884 - 214});
    column->addWidget(Splitter, 1);
    setCentralWidget(central);

    StatusBar = statusBar();
    StatusBar->setObjectName("StatusBar");
    ApplyTextLabels(true);
}

void TMainForm::BuildToolBar() {
    ToolBar = new QToolBar(TopPnl);
    ToolBar->setObjectName("ToolBar");
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setIconSize(QSize(16, 16));
    UpLevelToolBtn = MakeToolButton(ToolBar, "UpLevelToolBtn", UpOneLevel, "Up one level");
    RefreshToolBtn = MakeToolButton(ToolBar, "RefreshToolBtn", Refresh);
    ToolBar->addSeparator()->setObjectName("Sep1ToolBtn");
    RestoreToolBtn = MakeToolButton(ToolBar, "RestoreToolBtn", Restore);
    AddEntryToolBtn = MakeToolButton(ToolBar, "AddEntryToolBtn", AddEntry);
    ToolBar->addSeparator()->setObjectName("Sep2ToolBtn");
    PropToolBtn = MakeToolButton(ToolBar, "PropToolBtn", Properties);
    HelpToolBtn = MakeToolButton(ToolBar, "HelpToolBtn", Help);
}

void TMainForm::ApplyTextLabels(bool on) {
    textLabels_ = on;
    for (QToolButton* b : {UpLevelToolBtn, RefreshToolBtn, RestoreToolBtn, AddEntryToolBtn,
                           PropToolBtn, HelpToolBtn}) {
        if (b == nullptr)
            continue;
        b->setToolButtonStyle(on ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
        b->setFixedSize(on ? QSize(103, 36) : QSize(23, 23));
    }
    if (TextLabelsMnuItm != nullptr)
        TextLabelsMnuItm->setChecked(on);
    if (TopPnl == nullptr)
        return;
    TopPnl->setFixedHeight(on ? kTopHeightCaptions : kTopHeightPlain);
    KWBanner1->setVisible(on);
    KWBanner2->setVisible(!on);
    FormResize();
}

// The toolbar takes the width its buttons need; the window may not get
// narrower than the toolbar and a little room.
void TMainForm::FormResize() {
    if (ToolBar == nullptr)
        return;
    ToolBar->adjustSize();
    setMinimumWidth(std::max(500, ToolBar->sizeHint().width() + 120));
}

void TMainForm::ShowToolbar(bool on) {
    ToolbarMnuItm->setChecked(on);
    TopPnl->setVisible(on);
    TextLabelsMnuItm->setEnabled(on);
}

void TMainForm::ShowStatusBar(bool on) {
    StatusBarMnuItm->setChecked(on);
    StatusBar->setVisible(on);
}

void TMainForm::ToolbarMnuItmClick() {
    ShowToolbar(TopPnl->isHidden());
}

void TMainForm::StatusBarMnuItmClick() {
    ShowStatusBar(StatusBar->isHidden());
}

void TMainForm::TextLabelsMnuItmClick() {
    ApplyTextLabels(!textLabels_);
}

} // namespace kw::app

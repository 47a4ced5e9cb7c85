// The main window's actions, menus, help contexts and help commands.
#include "app/app_info.h"
#include "app/dialogs/about_box.h"
#include "app/dialogs/options_dlg.h"
#include "app/main_form.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QUrl>

namespace kw::app {
namespace {

// One action: caption, hint ("short|long"), shortcut.
QAction* MakeAction(QObject* owner, const char* name, const QString& caption, const QString& hint,
                    const QKeySequence& shortcut,
                    QStyle::StandardPixmap icon = QStyle::SP_CustomBase) {
    auto* action = new QAction(caption, owner);
    action->setObjectName(name);
    if (!hint.isEmpty()) {
        qsizetype bar = hint.indexOf('|');
        action->setToolTip(bar < 0 ? hint : hint.left(bar));
        action->setStatusTip(bar < 0 ? hint : hint.mid(bar + 1));
    }
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    if (icon != QStyle::SP_CustomBase)
        action->setIcon(QApplication::style()->standardIcon(icon));
    return action;
}

QAction* MenuItem(QMenu* menu, const char* name, QAction* action) {
    // A menu item of its own that runs the action, so that each has its name.
    auto* item = new QAction(action->icon(), action->text(), menu);
    item->setObjectName(name);
    item->setShortcut(action->shortcut());
    item->setStatusTip(action->statusTip());
    item->setEnabled(action->isEnabled());
    QObject::connect(item, &QAction::triggered, action, &QAction::trigger);
    QObject::connect(action, &QAction::changed, item,
                     [item, action] { item->setEnabled(action->isEnabled()); });
    item->setShortcutContext(Qt::WidgetShortcut); // the action owns the key
    menu->addAction(item);
    return item;
}

QAction* PlainItem(QMenu* menu, const char* name, const QString& caption) {
    QAction* item = menu->addAction(caption);
    item->setObjectName(name);
    return item;
}

} // namespace

void TMainForm::BuildActions() {
    using QS = QStyle;
    CopyToImg = MakeAction(this, "CopyToImg", "&Copy to Image...",
                           "Copy to Image|Copy/append partitions to an image file.",
                           QKeySequence("Ctrl+Alt+C"), QS::SP_DialogSaveButton);
    Restore = MakeAction(this, "Restore", "&Restore...",
                         "Restore Files|Restores selected files from an image.",
                         QKeySequence("Ctrl+R"), QS::SP_DialogOpenButton);
    Properties = MakeAction(this, "Properties", "Pr&operties",
                            "Properties|Properties of selected image or partition.", {},
                            QS::SP_FileDialogInfoView);
    Copy = MakeAction(this, "Copy", "&Copy", "Copy|Copy selected items to the clipboard.",
                      QKeySequence("Ctrl+C"));
    Paste = MakeAction(this, "Paste", "&Paste",
                       "Paste|Pastes copied items to the selected destination.",
                       QKeySequence("Ctrl+V"));
    DeleteImg =
        MakeAction(this, "DeleteImg", "&Delete Image", "Delete Image|Delete selected image file.",
                   QKeySequence("Del"), QS::SP_TrashIcon);
    VerifyImg = MakeAction(this, "VerifyImg", "&Verify Image...",
                           "Verify Image|Verifiy that the selected image file is valid.",
                           QKeySequence("Ctrl+Alt+V"), QS::SP_DialogApplyButton);
    Refresh = MakeAction(this, "Refresh", "Refresh", "Refresh|Refresh contents of the main window.",
                         QKeySequence("F5"), QS::SP_BrowserReload);
    Help = MakeAction(this, "Help", "Contents", "Help Contents|Display the help file.",
                      QKeySequence("F1"), QS::SP_DialogHelpButton);
    UpOneLevel = MakeAction(this, "UpOneLevel", "Up",
                            "Up One Level|Change the current tree selection to its parent.", {},
                            QS::SP_FileDialogToParent);
    DropItem = MakeAction(this, "DropItem", "DropItem", {}, {});
    SelectAll = MakeAction(this, "SelectAll", "&Select All",
                           "Select All|Select all items in the list view.", QKeySequence("Ctrl+A"));
    AddEntry = MakeAction(this, "AddEntry", "&Add Entry...",
                          "Add Entry|Add an image to the Recent Images list.", {},
                          QS::SP_FileDialogNewFolder);
    RemoveEntry =
        MakeAction(this, "RemoveEntry", "R&emove Entry",
                   "Remove Entry|Remove the selected image file from the Recent Images list.", {});
    ClearList = MakeAction(this, "ClearList", "C&lear Recent Images List",
                           "Clear|Clear all image files from the Recent Images list.", {});
    for (QAction* a : {CopyToImg, Restore, Properties, Copy, Paste, DeleteImg, VerifyImg, Refresh,
                       Help, UpOneLevel, SelectAll, AddEntry, RemoveEntry, ClearList})
        addAction(a); // shortcuts work wherever the focus is in the window

    connect(CopyToImg, &QAction::triggered, this, &TMainForm::CopyToImgExecute);
    connect(DeleteImg, &QAction::triggered, this, &TMainForm::DeleteImgExecute);
    connect(Refresh, &QAction::triggered, this, &TMainForm::RefreshExecute);
    connect(Restore, &QAction::triggered, this, &TMainForm::RestoreExecute);
    connect(VerifyImg, &QAction::triggered, this, &TMainForm::VerifyImgExecute);
    connect(Help, &QAction::triggered, this, &TMainForm::HelpExecute);
    connect(UpOneLevel, &QAction::triggered, this, &TMainForm::UpOneLevelExecute);
    connect(SelectAll, &QAction::triggered, this, &TMainForm::SelectAllExecute);
    connect(AddEntry, &QAction::triggered, this, &TMainForm::AddEntryExecute);
    connect(RemoveEntry, &QAction::triggered, this, &TMainForm::RemoveEntryExecute);
    connect(ClearList, &QAction::triggered, this, &TMainForm::ClearListExecute);
    connect(Copy, &QAction::triggered, this, &TMainForm::CopyExecute);
    connect(Paste, &QAction::triggered, this, &TMainForm::PasteExecute);
    connect(DropItem, &QAction::triggered, this, &TMainForm::DropItemExecute);
    connect(Properties, &QAction::triggered, this, &TMainForm::PropertiesExecute);
}

void TMainForm::BuildMenus() {
    MainMenu = menuBar();
    MainMenu->setObjectName("MainMenu");
    QMenu* file = MainMenu->addMenu("&File");
    file->setObjectName("FileMnu");
    MenuItem(file, "CopyToImgMnuItm", CopyToImg);
    MenuItem(file, "DeleteImgMnuItm", DeleteImg);
    MenuItem(file, "VerifyImgMnuItm", VerifyImg);
    MenuItem(file, "RestoreMnuItm", Restore);
    MenuItem(file, "PropMnuItm", Properties);
    file->addSeparator();
    ExitMnuItm = PlainItem(file, "ExitMnuItm", "E&xit");
    connect(ExitMnuItm, &QAction::triggered, this, &TMainForm::ExitMnuItmClick);

    QMenu* edit = MainMenu->addMenu("&Edit");
    edit->setObjectName("EditMnu");
    MenuItem(edit, "CopyMnuItm", Copy);
    MenuItem(edit, "PasteMnuItm", Paste);
    edit->addSeparator();
    MenuItem(edit, "SelectAllMnuItm", SelectAll);

    QMenu* view = MainMenu->addMenu("&View");
    view->setObjectName("ViewMnu");
    ToolbarMnuItm = PlainItem(view, "ToolbarMnuItm", "&Toolbar");
    TextLabelsMnuItm = PlainItem(view, "TextLabelsMnuItm", "T&ext Labels");
    StatusBarMnuItm = PlainItem(view, "StatusBarMnuItm", "&Status Bar");
    for (QAction* a : {ToolbarMnuItm, TextLabelsMnuItm, StatusBarMnuItm}) {
        a->setCheckable(true);
        a->setChecked(true);
    }
    connect(ToolbarMnuItm, &QAction::triggered, this, &TMainForm::ToolbarMnuItmClick);
    connect(TextLabelsMnuItm, &QAction::triggered, this, &TMainForm::TextLabelsMnuItmClick);
    connect(StatusBarMnuItm, &QAction::triggered, this, &TMainForm::StatusBarMnuItmClick);
    view->addSeparator();
    MenuItem(view, "RefreshMnuItm", Refresh);

    QMenu* recent = MainMenu->addMenu("&Recent");
    recent->setObjectName("RecentMnu");
    MenuItem(recent, "AddEntryMnuItem", AddEntry);
    MenuItem(recent, "RemoveEntryMnuItm", RemoveEntry);
    MenuItem(recent, "ClearRecentMnuItm", ClearList);

    QMenu* tools = MainMenu->addMenu("&Tools");
    tools->setObjectName("ToolsMnu");
    OptionsMnuItm = PlainItem(tools, "OptionsMnuItm", "&Options...");
    connect(OptionsMnuItm, &QAction::triggered, this, &TMainForm::OptionsMnuItmClick);

    QMenu* help = MainMenu->addMenu("&Help");
    help->setObjectName("HelpMnu");
    MenuItem(help, "ContentsMnuItm", Help);
    QMenu* support = help->addMenu("&Technical Support");
    support->setObjectName("TechnicalSupport1");
    miContactInfo = PlainItem(support, "miContactInfo", "&Contact Information");
    miSupportWeb = PlainItem(support, "miSupportWeb", "&Support Website");
    help->addSeparator();
    AboutMnuItm = PlainItem(help, "AboutMnuItm", "&About...");
    connect(miContactInfo, &QAction::triggered, this, &TMainForm::miContactInfoClick);
    connect(miSupportWeb, &QAction::triggered, this, &TMainForm::miSupportWebClick);
    connect(AboutMnuItm, &QAction::triggered, this, &TMainForm::AboutMnuItmClick);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    MenuItem(PopupMenu1, "CopyToImgMnuItm1", CopyToImg);
    MenuItem(PopupMenu1, "DeleteImg2MnuItm", DeleteImg);
    MenuItem(PopupMenu1, "VerifyImg2MnuItm", VerifyImg);
    MenuItem(PopupMenu1, "Restore2MnuItm", Restore);
    MenuItem(PopupMenu1, "Prop2MnuItm", Properties);
    PopupMenu1->addSeparator()->setObjectName("PopupMenuSep1");
    MenuItem(PopupMenu1, "AddEntryMnuItm", AddEntry);
    MenuItem(PopupMenu1, "RemoveMnuItm", RemoveEntry);
    MenuItem(PopupMenu1, "ClearListMnuItm", ClearList);
    PopupMenu1->addSeparator()->setObjectName("PopupMenuSep2");
    MenuItem(PopupMenu1, "SelectAll2MnuItm", SelectAll);

    // The "Copy to Image..." items start from the selection.
    for (const char* name : {"CopyToImgMnuItm", "CopyToImgMnuItm1"}) {
        QAction* item = findChild<QAction*>(name);
        disconnect(item, &QAction::triggered, CopyToImg, &QAction::trigger);
        connect(item, &QAction::triggered, this, &TMainForm::CopyToImgMnuItmClick);
    }
}

void TMainForm::AssignHelpContexts() {
    static const std::pair<const char*, int> kContexts[] = {
        {"CopyToImgMnuItm", 2},    {"DeleteImgMnuItm", 3},   {"VerifyImgMnuItm", 4},
        {"RestoreMnuItm", 5},      {"PropMnuItm", 6},        {"ExitMnuItm", 7},
        {"CopyMnuItm", 8},         {"PasteMnuItm", 8},       {"SelectAllMnuItm", 9},
        {"ToolbarMnuItm", 10},     {"TextLabelsMnuItm", 10}, {"StatusBarMnuItm", 10},
        {"RefreshMnuItm", 20},     {"AddEntryMnuItem", 11},  {"RemoveEntryMnuItm", 12},
        {"ClearRecentMnuItm", 13}, {"OptionsMnuItm", 14},    {"ContentsMnuItm", 15},
        {"TechnicalSupport1", 22}, {"miContactInfo", 22},    {"miSupportWeb", 22},
        {"AboutMnuItm", 1},        {"CopyToImgMnuItm1", 2},  {"DeleteImg2MnuItm", 3},
        {"VerifyImg2MnuItm", 4},   {"Restore2MnuItm", 5},    {"Prop2MnuItm", 6},
        {"AddEntryMnuItm", 11},    {"RemoveMnuItm", 12},     {"ClearListMnuItm", 13},
        {"SelectAll2MnuItm", 9},   {"ExploreTree", 16},      {"RecentImgsTree", 40},
        {"ContentsList", 39},      {"TopPnl", 35},           {"StatusBar", 37},
    };
    setProperty("HelpContext", 1);
    for (const auto& [name, context] : kContexts)
        if (QObject* o = findChild<QObject*>(name))
            o->setProperty("HelpContext", context);
}

void TMainForm::OpenHelp(const QString& fragment) {
    if (!QFileInfo::exists(helpFile_)) {
        ui_.Message(QStringLiteral("Unable to find the help file %1.").arg(helpFile_), "Error",
                    MsgIcon::Warning, MsgButtons::Ok);
        return;
    }
    QUrl url = QUrl::fromLocalFile(helpFile_);
    url.setFragment(fragment);
    if (!ui_.OpenDocument(fragment.isEmpty() ? helpFile_ : url.toString()))
        ui_.Message(QStringLiteral("No program to show the help is set up on this machine. The "
                                   "help file is %1; open it with a web browser.")
                        .arg(helpFile_),
                    "Help", MsgIcon::Information, MsgButtons::Ok);
}

void TMainForm::HelpExecute() {
    OpenHelp({});
}

void TMainForm::miContactInfoClick() {
    OpenHelp("context-22");
}

void TMainForm::miSupportWebClick() {
    ui_.OpenDocument(kSupportUrl);
}

void TMainForm::AboutMnuItmClick() {
    TAboutBox box(ui_, nullptr);
    box.Fill(productName_, versionNumber_, aboutPicture_);
    ui_.ShowModal(box);
}

void TMainForm::OptionsMnuItmClick() {
    ShowOptions(this, ui_, settings_, keys_, defaults_, imageExtensions_, vfs_.Root().Table());
}

} // namespace kw::app

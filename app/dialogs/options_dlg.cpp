#include "app/dialogs/options_dlg.h"

#include "app/dialogs/dialog_parts.h"
#include "app/explorer/explorer_utils.h"
#include "app/settings_store.h"
#include "app/ui_services.h"
#include "platform/drives/drive_table.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kw::app {
namespace {

QLabel* Caption(QWidget* parent, const char* name, const QString& text, QWidget* buddy) {
    QLabel* label = NamedLabel(parent, name, text);
    label->setBuddy(buddy);
    return label;
}

// Characters a number may carry between its digits: thousands separators
// of any common locale, and blanks.
bool IsSeparator(QChar c) {
    return c == ',' || c == '.' || c == '\'' || c == ' ' || c == QChar(0x00A0) ||
           c == QChar(0x202F) || c == QLocale().groupSeparator().front();
}

QString SplitSizeText(uint32_t bytes) {
    return QLocale().toString(static_cast<qulonglong>(bytes));
}

} // namespace

std::optional<uint32_t> ParseSplitSize(const QString& text) {
    for (QChar c : text)
        if ((c < '0' || c > '9') && !IsSeparator(c))
            return std::nullopt;
    QString digits = DigitsOnly(text);
    while (digits.startsWith('0'))
        digits.remove(0, 1);
    if (digits.isEmpty())
        return kMaxSplitSize; // 0 or nothing: the default
    if (digits.size() > 9)
        return std::nullopt;
    uint32_t value = digits.toUInt();
    if (value < kMinSplitSize || value > kMaxSplitSize)
        return std::nullopt;
    return value;
}

QString ExtensionOf(const QString& typed) {
    QString text = typed.trimmed();
    qsizetype dot = text.lastIndexOf('.');
    QString ext = dot < 0 ? "." + text : text.mid(dot);
    for (QChar c : ext)
        if (c.category() == QChar::Other_Control || c == '\\' || c == '/' || c == ':' || c == '*' ||
            c == '?')
            return {};
    return ext.size() > 1 ? ext : QString();
}

TOptionsDlg::TOptionsDlg(UiServices& ui, SettingsStore& settings, const SettingsKeys& keys,
                         EditorDefaults& defaults, const drives::DriveTable& drives, QWidget* owner)
    : TlngForm(owner), ui_(ui), settings_(settings), keys_(keys), defaults_(defaults),
      drives_(drives) {
    setObjectName("TOptionsDlg");
    setWindowTitle("Options");
    setProperty("HelpContext", 14);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    BuildGeneralTab();
    BuildExtensionsTab();

    DialogButtons buttons = AddDialogButtons(this, PageControl1, false, false);
    OKBtn = buttons.ok;
    CancelBtn = buttons.cancel;
    connect(OKBtn, &QPushButton::clicked, this, &TOptionsDlg::OKBtnClick);
    setMinimumSize(400, 320);
    FormSetup();
}

void TOptionsDlg::BuildGeneralTab() {
    GeneralTab = AddPage(PageControl1, "GeneralTab", "General");
    DefSplitSizeEd = new QLineEdit(GeneralTab);
    DefSplitSizeEd->setObjectName("DefSplitSizeEd");
    DefSplitSizeLbl =
        Caption(GeneralTab, "DefSplitSizeLbl", "Default &split size: (in bytes)", DefSplitSizeEd);
    DefRestLocEd = new QLineEdit(GeneralTab);
    DefRestLocEd->setObjectName("DefRestLocEd");
    DefRestLocLbl =
        Caption(GeneralTab, "DefRestLocLbl", "Default &restore location:", DefRestLocEd);
    BrowseBtn = NamedButton(GeneralTab, "BrowseBtn", "...");
    BrowseBtn->setAutoDefault(false);
    BrowseBtn->setFixedWidth(BrowseBtn->fontMetrics().horizontalAdvance("...") + 24);

    auto* grid = new QGridLayout(GeneralTab);
    grid->addWidget(DefSplitSizeLbl, 0, 0, 1, 2);
    grid->addWidget(DefSplitSizeEd, 1, 0);
    grid->addWidget(DefRestLocLbl, 2, 0, 1, 2);
    grid->addWidget(DefRestLocEd, 3, 0);
    grid->addWidget(BrowseBtn, 3, 1);
    grid->setRowStretch(4, 1);
    connect(BrowseBtn, &QPushButton::clicked, this, &TOptionsDlg::BrowseBtnClick);
}

void TOptionsDlg::BuildExtensionsTab() {
    ImageExtTab = AddPage(PageControl1, "ImageExtTab", "Image Extensions");
    ImgExtInfoLbl = Caption(ImageExtTab, "ImgExtInfoLbl",
                            "View the following extensions as image files:", nullptr);
    ExtList = new QTreeWidget(ImageExtTab);
    ExtList->setObjectName("ExtList");
    ExtList->setHeaderHidden(true);
    ExtList->setRootIsDecorated(false);
    ExtList->setColumnCount(1);
    ExtList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    RemoveBtn = NamedButton(ImageExtTab, "RemoveBtn", "&Remove");
    RemoveBtn->setEnabled(false);
    ClearBtn = NamedButton(ImageExtTab, "ClearBtn", "&Clear");
    ExtEd = new QLineEdit(ImageExtTab);
    ExtEd->setObjectName("ExtEd");
    ExtEd->installEventFilter(this);
    ExtLbl = Caption(ImageExtTab, "ExtLbl", "&Extension:", ExtEd);
    AddBtn = NamedButton(ImageExtTab, "AddBtn", "&Add");
    for (QPushButton* b : {RemoveBtn, ClearBtn, AddBtn})
        b->setAutoDefault(false);

    auto* grid = new QGridLayout(ImageExtTab);
    grid->addWidget(ImgExtInfoLbl, 0, 0, 1, 3);
    grid->addWidget(ExtList, 1, 0, 3, 2);
    grid->addWidget(RemoveBtn, 1, 2);
    grid->addWidget(ClearBtn, 2, 2);
    grid->setRowStretch(3, 1);
    grid->addWidget(ExtLbl, 4, 0);
    grid->addWidget(ExtEd, 4, 1);
    grid->addWidget(AddBtn, 4, 2);
    connect(AddBtn, &QPushButton::clicked, this, &TOptionsDlg::AddBtnClick);
    connect(RemoveBtn, &QPushButton::clicked, this, &TOptionsDlg::RemoveBtnClick);
    connect(ClearBtn, &QPushButton::clicked, this, &TOptionsDlg::ClearBtnClick);
    connect(ExtList, &QTreeWidget::itemSelectionChanged, this, &TOptionsDlg::ExtListChange);
}

void TOptionsDlg::SetExtensions(const std::vector<std::string>& extensions) {
    ExtList->clear();
    for (const std::string& ext : extensions)
        new QTreeWidgetItem(ExtList, QStringList{QString::fromStdString(ext)});
}

std::vector<std::string> TOptionsDlg::Extensions() const {
    std::vector<std::string> out;
    for (int i = 0; i < ExtList->topLevelItemCount(); ++i)
        out.push_back(ExtList->topLevelItem(i)->text(0).toStdString());
    return out;
}

void TOptionsDlg::showEvent(QShowEvent* event) {
    TlngForm::showEvent(event);
    FormActivate();
}

bool TOptionsDlg::eventFilter(QObject* watched, QEvent* event) {
    // While the extension box has the focus, Enter adds what it holds.
    if (watched == ExtEd &&
        (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        bool inBox = event->type() == QEvent::FocusIn;
        OKBtn->setDefault(!inBox);
        AddBtn->setDefault(inBox);
    }
    return TlngForm::eventFilter(watched, event);
}

void TOptionsDlg::FormActivate() {
    PageControl1->setCurrentWidget(GeneralTab);
    DefSplitSizeEd->setFocus();
    if (DefSplitSizeEd->text() == "0")
        DefSplitSizeEd->setText(SplitSizeText(kMaxSplitSize));
    if (ExtList->topLevelItemCount() > 0 && ExtList->selectedItems().isEmpty()) {
        ExtList->setCurrentItem(ExtList->topLevelItem(0));
        ExtList->topLevelItem(0)->setSelected(true);
    }
}

void TOptionsDlg::BrowseBtnClick() {
    QString host = ui_.BrowseForFolder(this, "Select a Folder");
    if (!host.isEmpty()) { // a cancelled browse keeps what the box holds
        std::string path;
        DefRestLocEd->setText(
            drives_.FromHost(host.toStdString(), &path) ? QString::fromStdString(path) : host);
    }
    OKBtn->setFocus();
}

void TOptionsDlg::AddBtnClick() {
    if (ExtEd->text().isEmpty())
        return;
    QString ext = ExtensionOf(ExtEd->text());
    bool listed = ext.isEmpty();
    for (int i = 0; i < ExtList->topLevelItemCount() && !listed; ++i)
        listed = ExtList->topLevelItem(i)->text(0).compare(ext, Qt::CaseInsensitive) == 0;
    if (!listed)
        new QTreeWidgetItem(ExtList, QStringList{ext});
    ExtEd->selectAll();
}

void TOptionsDlg::ExtListChange() {
    RemoveBtn->setEnabled(!ExtList->selectedItems().isEmpty());
}

void TOptionsDlg::RemoveBtnClick() {
    for (int i = ExtList->topLevelItemCount() - 1; i >= 1; --i)
        if (ExtList->topLevelItem(i)->isSelected())
            delete ExtList->takeTopLevelItem(i);
    ExtListChange();
}

void TOptionsDlg::ClearBtnClick() {
    while (ExtList->topLevelItemCount() > 1)
        delete ExtList->takeTopLevelItem(ExtList->topLevelItemCount() - 1);
    ExtListChange();
}

void TOptionsDlg::OKBtnClick() {
    std::optional<uint32_t> split = ParseSplitSize(DefSplitSizeEd->text());
    if (!split) {
        ui_.Message("Split size must be a number between 10000 and 670000000", "Out of Range",
                    MsgIcon::Warning, MsgButtons::Ok);
        PageControl1->setCurrentWidget(GeneralTab);
        DefSplitSizeEd->setFocus();
        return; // the dialog stays open
    }
    // Kept in memory even when the settings file cannot be written.
    defaults_.restoreLocation = DefRestLocEd->text().toStdString();
    defaults_.splitSize = *split;
    WriteDefaults(settings_, keys_, defaults_);
    accept();
}

bool ShowOptions(QWidget* parent, UiServices& ui, SettingsStore& settings, const SettingsKeys& keys,
                 EditorDefaults& defaults, std::vector<std::string>& extensions,
                 const drives::DriveTable& drives) {
    TOptionsDlg dlg(ui, settings, keys, defaults, drives, parent);
    dlg.DefRestLocEd->setText(QString::fromStdString(defaults.restoreLocation));
    dlg.DefSplitSizeEd->setText(SplitSizeText(defaults.splitSize));
    dlg.SetExtensions(extensions);
    if (ui.ShowModal(dlg) != QDialog::Accepted)
        return false;
    extensions = dlg.Extensions();
    WriteImageExtensions(settings, keys, extensions);
    return true;
}

} // namespace kw::app

#include "app/dialogs/partition_properties_dlg.h"

#include "app/dialogs/dialog_parts.h"
#include "app/explorer/explorer_utils.h"
#include "app/store_properties.h"
#include "app/ui_services.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace kw::app {
namespace {

// The stored drive letter as one character; nothing for a value that is
// no printable character.
QString LetterText(uint32_t letter) {
    return letter > 0x20 && letter < 0x7f ? QString(QChar(char16_t(letter))) : QString();
}

} // namespace

TPrtPropDlg::TPrtPropDlg(QWidget* owner) : TlngForm(owner) {
    setObjectName("TPrtPropDlg");
    setWindowTitle("Partition Properties");
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    GeneralTab = AddPage(PageControl1, "GeneralTab", "General");
    QWidget* tab = GeneralTab;

    Image = NamedLabel(tab, "Image");
    FilenameLbl = NamedLabel(tab, "FilenameLbl", "%s");
    FilenameLbl->setWordWrap(true);
    DisplayNameLbl = NamedLabel(tab, "DisplayNameLbl", "Display name:");
    DisplayName = new QLineEdit(tab);
    DisplayName->setObjectName("DisplayName");
    DescrLbl = NamedLabel(tab, "DescrLbl", "&Description:");
    DescrMemo = new QPlainTextEdit(tab);
    DescrMemo->setObjectName("DescrMemo");
    DescrMemo->setFixedHeight(56);
    DescrLbl->setBuddy(DescrMemo);
    // Read-only: the editor changes neither name nor description.
    ShowAsReadOnlyField(DisplayName);
    ShowAsReadOnlyField(DescrMemo);
    DisplayName->setReadOnly(true);
    DescrMemo->setReadOnly(true);

    auto* names = new QGridLayout;
    names->setColumnStretch(1, 1);
    names->addWidget(DisplayNameLbl, 0, 0);
    names->addWidget(DisplayName, 0, 1);
    names->addWidget(DescrLbl, 1, 0, Qt::AlignTop);
    names->addWidget(DescrMemo, 1, 1);

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    DrvLtrLbl = NamedLabel(tab, "DrvLtrLbl", "Drive letter:");
    DrvLtr = AddValueRow(grid, DrvLtrLbl, "DrvLtr", "%s");
    PrtTypeLbl = NamedLabel(tab, "PrtTypeLbl", "Type:");
    PrtType = AddValueRow(grid, PrtTypeLbl, "PrtType", "%s");
    PriLogLbl = NamedLabel(tab, "PriLogLbl", "Primary/Logical:");
    PriLog = AddValueRow(grid, PriLogLbl, "PriLog", "%s");
    PrtSizeLbl = NamedLabel(tab, "PrtSizeLbl", "Partition size:");
    PrtSize = AddValueRow(grid, PrtSizeLbl, "PrtSize", "%s");
    PrtUsedSpcLbl = NamedLabel(tab, "PrtUsedSpcLbl", "Used space in partition:");
    PrtUsedSpc = AddValueRow(grid, PrtUsedSpcLbl, "PrtUsedSpc", "%s");
    PrtUnusedSpcLbl = NamedLabel(tab, "PrtUnusedSpcLbl", "Unused space in partition");
    PrtUnusedSpc = AddValueRow(grid, PrtUnusedSpcLbl, "PrtUnusedSpc", "%s");
    PhysSizeLbl = NamedLabel(tab, "PhysSizeLbl", "Physical size in image:");
    PhysSize = AddValueRow(grid, PhysSizeLbl, "PhysSize", "%s");

    auto* head = new QHBoxLayout;
    head->addWidget(Image);
    head->addWidget(FilenameLbl, 1);
    auto* page = new QVBoxLayout(tab);
    page->addLayout(head);
    page->addWidget(Bevel(tab, "Bevel1"));
    page->addLayout(names);
    page->addWidget(Bevel(tab, "Bevel2"));
    page->addLayout(grid);
    page->addStretch();

    DialogButtons buttons = AddDialogButtons(this, PageControl1, true, false);
    OKBtn = buttons.ok;
    CancelBtn = buttons.cancel;
    ApplyBtn = buttons.apply;
    ApplyBtn->setEnabled(false);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ApplyBtn, &QPushButton::clicked, this, &TPrtPropDlg::ApplyBtnClick);
    setMinimumWidth(380);
    FormSetup();
}

void TPrtPropDlg::ApplyBtnClick() {
    ApplyBtn->setEnabled(false); // nothing is stored
}

void TPrtPropDlg::Fill(const PartitionItemFacts& item, const PartitionProperties& p) {
    if (p.code != 0)
        return;
    FilenameLbl->setText(item.path);
    DisplayName->setText(QString::fromUtf8(p.name));
    DescrMemo->setPlainText(QString::fromUtf8(p.description));
    DrvLtr->setText(LetterText(p.driveLetter));
    PrtType->setText(item.fileSystem);
    Image->setPixmap(item.icon.pixmap(32, 32));
    PriLog->setText(p.flags & PART_FLAG_LOGICAL ? "Logical" : "Primary");
    PrtSize->setText(FormatByteSize(p.partitionBytes));
    PrtUsedSpc->setText(FormatByteSize(p.usedBytes));
    PrtUnusedSpc->setText(FormatByteSize(p.unusedBytes));
    PhysSize->setText(FormatByteSize(p.physicalBytes));
    ApplyBtn->setEnabled(false);
}

int ShowPartitionProperties(QWidget* parent, UiServices& ui, PART_STORE& store, uint32_t partIndex,
                            const PartitionItemFacts& item) {
    PartitionProperties p = ReadPartitionProperties(store, partIndex);
    TPrtPropDlg dlg(parent);
    if (p.code != 0)
        ui.Message("Unable to open the partition.", "Error", MsgIcon::Error, MsgButtons::Ok);
    dlg.Fill(item, p);
    return ui.ShowModal(dlg);
}

} // namespace kw::app

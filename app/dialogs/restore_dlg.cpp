#include "app/dialogs/restore_dlg.h"

#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_item.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTreeWidget>

namespace kw::app {

TRestoreDlg::TRestoreDlg(ExplorerHost* host, QWidget* owner) : TlngForm(owner), host_(host) {
    setObjectName("TRestoreDlg");
    setWindowTitle("Restore");
    DestEd = new QLineEdit(this);
    DestEd->setObjectName("DestEd");
    BrowseBtn = new QPushButton("...", this);
    BrowseBtn->setObjectName("BrowseBtn");
    RestoreBtn = new QPushButton("&Restore", this);
    RestoreBtn->setObjectName("RestoreBtn");
    RestoreBtn->setDefault(true);
    RestoreBtn->setEnabled(false);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    OrigDestLbl = new QLabel(this);
    OrigDestLbl->setObjectName("OrigDestLbl");
    RestoreListLbl = new QLabel("Restore:", this);
    RestoreList = new QTreeWidget(this);
    RestoreList->setObjectName("RestoreList");
    RestoreList->setHeaderHidden(true);
    RestoreList->setRootIsDecorated(false);
    RestoreList->setColumnWidth(0, 250);
    ImageLbl = new QLabel("Image:", this);
    PartitionLbl = new QLabel("Partition:", this);
    ImageName = new QLabel(this);
    ImageName->setObjectName("ImageName");
    PartitionName = new QLabel(this);
    PartitionName->setObjectName("PartitionName");
    UserDestRBtn = new QRadioButton("To this &destination:", this);
    UserDestRBtn->setObjectName("UserDestRBtn");
    UserDestRBtn->setChecked(true);
    OrigDestRBtn = new QRadioButton("Restore to &original path", this);
    OrigDestRBtn->setObjectName("OrigDestRBtn");

    auto* grid = new QGridLayout(this);
    grid->addWidget(ImageLbl, 0, 0);
    grid->addWidget(ImageName, 0, 1, 1, 2);
    grid->addWidget(PartitionLbl, 1, 0);
    grid->addWidget(PartitionName, 1, 1, 1, 2);
    auto* bevel = new QFrame(this);
    bevel->setFrameShape(QFrame::HLine);
    grid->addWidget(bevel, 2, 0, 1, 3);
    grid->addWidget(RestoreListLbl, 3, 0, 1, 3);
    grid->addWidget(RestoreList, 4, 0, 1, 3);
    grid->addWidget(UserDestRBtn, 5, 0, 1, 3);
    grid->addWidget(DestEd, 6, 0, 1, 2);
    grid->addWidget(BrowseBtn, 6, 2);
    grid->addWidget(OrigDestRBtn, 7, 0, 1, 3);
    grid->addWidget(OrigDestLbl, 8, 0, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(RestoreBtn);
    buttons->addWidget(CancelBtn);
    grid->addLayout(buttons, 9, 0, 1, 3);
    setMinimumWidth(420);

    connect(DestEd, &QLineEdit::textChanged, this, &TRestoreDlg::DestEdChange);
    connect(BrowseBtn, &QPushButton::clicked, this, &TRestoreDlg::BrowseBtnClick);
    connect(UserDestRBtn, &QRadioButton::clicked, this, &TRestoreDlg::UserDestRBtnClick);
    connect(OrigDestRBtn, &QRadioButton::clicked, this, &TRestoreDlg::OrigDestRBtnClick);
    connect(RestoreBtn, &QPushButton::clicked, this, &TRestoreDlg::RestoreBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    FormSetup();
}

void TRestoreDlg::showEvent(QShowEvent* event) {
    TlngForm::showEvent(event);
    FormActivate();
}

void TRestoreDlg::AddRestoreRow(const QString& name, bool folder) {
    auto* row = new QTreeWidgetItem(RestoreList);
    row->setText(0, name);
    row->setIcon(
        0, QApplication::style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
}

void TRestoreDlg::FormActivate() {
    const bool original = !OrigDestLbl->text().isEmpty();
    OrigDestRBtn->setEnabled(original);
    OrigDestLbl->setEnabled(original);
    DestEd->setFocus();
}

void TRestoreDlg::DestEdChange() {
    RestoreBtn->setEnabled(!DestEd->text().isEmpty());
}

void TRestoreDlg::BrowseBtnClick() {
    const QString folder = host_->Ui().BrowseForFolder(this, "Select a Folder");
    if (folder.isEmpty())
        return;
    DestEd->setText(folder);
    RestoreBtn->setFocus();
}

void TRestoreDlg::SetDestEnabled(bool on) {
    DestEd->setEnabled(on);
}

void TRestoreDlg::UserDestRBtnClick() {
    if (!UserDestRBtn->isChecked()) {
        SetDestEnabled(false);
        return;
    }
    SetDestEnabled(true);
    OrigDestRBtn->setChecked(false);
    RestoreBtn->setEnabled(!DestEd->text().isEmpty());
}

void TRestoreDlg::OrigDestRBtnClick() {
    if (!OrigDestRBtn->isChecked()) {
        SetDestEnabled(true);
        RestoreBtn->setEnabled(!DestEd->text().isEmpty());
        return;
    }
    SetDestEnabled(false);
    RestoreBtn->setEnabled(true);
    const QString original = OrigDestLbl->text();
    const bool noLetter = original.startsWith('*');
    uint32_t attributes = 0;
    if (!noLetter && host_->Vfs().GetAttributes(original.toStdString(), &attributes) &&
        (attributes & vfs::ATTR_DIRECTORY) != 0)
        return;
    if (noLetter)
        host_->Ui().Message("Original drive letter is not available. Please enter\na different "
                            "drive letter.",
                            "No Drive Letter", MsgIcon::Information, MsgButtons::Ok);
    else
        host_->Ui().Message("The original path does not exist on this machine. Please\nenter a "
                            "different path.",
                            "Path Not Found", MsgIcon::Information, MsgButtons::Ok);
    UserDestRBtn->setChecked(true);
    UserDestRBtnClick();
    DestEd->setText(original);
    DestEd->setFocus();
    if (noLetter)
        DestEd->setSelection(0, 1);
    else
        DestEd->selectAll();
}

void TRestoreDlg::RestoreBtnClick() {
    if (UserDestRBtn->isChecked()) {
        QString problem;
        const QString folder = TypedToDrivePath(host_->Vfs(), DestEd->text(), &problem);
        if (folder.isEmpty())
            host_->Ui().Message(problem, "Restore", MsgIcon::Warning, MsgButtons::Ok);
        if (folder.isEmpty() || !EnsureDirectory(host_, folder)) {
            DestEd->setFocus();
            DestEd->selectAll();
            return;
        }
        destination_ = folder;
    } else {
        destination_ = OrigDestLbl->text();
    }
    result_ = 1;
    accept();
}

} // namespace kw::app

#include "app/dialogs/image_properties_dlg.h"

#include "app/dialogs/art.h"
#include "app/dialogs/dialog_parts.h"
#include "app/explorer/explorer_utils.h"
#include "app/store_properties.h"
#include "app/ui_services.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace kw::app {
namespace {

// The text shown where a short (8.3) name would be: the host has none.
const char* const kNoShortName = "Unable to determine";

} // namespace

TImgPropDlg::TImgPropDlg(QWidget* owner) : TlngForm(owner) {
    setObjectName("TImgPropDlg");
    setWindowTitle("Image Properties");
    setProperty("HelpContext", 6);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    GeneralTab = AddPage(PageControl1, "GeneralTab", "General");
    QWidget* tab = GeneralTab;

    Image = NamedLabel(tab, "Image");
    Image->setPixmap(ImageFilePixmap(32));
    FilenameLbl = NamedLabel(tab, "FilenameLbl");
    FilenameLbl->setWordWrap(true);
    FilenameLbl->setTextInteractionFlags(Qt::TextSelectableByMouse);
    CommentLbl = NamedLabel(tab, "CommentLbl", "&Description:");
    DescrMemo = new QPlainTextEdit(tab);
    DescrMemo->setObjectName("DescrMemo");
    DescrMemo->setReadOnly(true);
    ShowAsReadOnlyField(DescrMemo);
    DescrMemo->setFixedHeight(64);
    CommentLbl->setBuddy(DescrMemo);

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    DosNameLbl = NamedLabel(tab, "DosNameLbl", "MS-DOS name:");
    DosName = AddValueRow(grid, DosNameLbl, "DosName");
    ImgSizeLbl = NamedLabel(tab, "ImgSizeLbl", "Image size:");
    ImgSize = AddValueRow(grid, ImgSizeLbl, "ImgSize");
    ImgDateTimeLbl = NamedLabel(tab, "ImgDateTimeLbl", "Image date/time:");
    ImgDateTime = AddValueRow(grid, ImgDateTimeLbl, "ImgDateTime");
    ImgCompLbl = NamedLabel(tab, "ImgCompLbl", "Compression:");
    ImgComp = AddValueRow(grid, ImgCompLbl, "ImgComp");
    PasswordLbl = NamedLabel(tab, "PasswordLbl", "Password protected:");
    Password = AddValueRow(grid, PasswordLbl, "Password");
    SpannedLbl = NamedLabel(tab, "SpannedLbl", "Spanned:");
    Spanned = AddValueRow(grid, SpannedLbl, "Spanned");
    FileCntLbl = NamedLabel(tab, "FileCntLbl", "File Count:");
    FileCnt = AddValueRow(grid, FileCntLbl, "FileCnt");
    ReadOnlyChk = new QCheckBox("Read-only", tab);
    ReadOnlyChk->setObjectName("ReadOnlyChk");
    ReadOnlyChk->setEnabled(false); // the editor never changes an image's flag

    auto* head = new QHBoxLayout;
    head->addWidget(Image);
    head->addWidget(FilenameLbl, 1);
    auto* page = new QVBoxLayout(tab);
    page->addLayout(head);
    page->addWidget(Bevel(tab));
    page->addWidget(CommentLbl);
    page->addWidget(DescrMemo);
    page->addWidget(Bevel(tab));
    page->addLayout(grid);
    page->addWidget(Bevel(tab));
    page->addWidget(ReadOnlyChk);
    page->addStretch();

    DialogButtons buttons = AddDialogButtons(this, PageControl1, true, true);
    OKBtn = buttons.ok;
    CancelBtn = buttons.cancel;
    ApplyBtn = buttons.apply;
    // Nothing is written back: only OK is offered, in the middle.
    CancelBtn->hide();
    ApplyBtn->hide();
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(380);
    FormSetup();
}

void TImgPropDlg::Fill(const QString& path, const ImageProperties& p) {
    FilenameLbl->setText(path);
    FilenameLbl->setToolTip(path);
    DescrMemo->setPlainText(QString::fromUtf8(p.description));
    DosName->setText(kNoShortName);
    ImgSize->setText(FormatByteSize(p.imageBytes));
    ImgDateTime->setText(FormatFileTime(p.modified, false));
    const bool spanned = p.volumeCount >= 2;
    Spanned->setText(spanned ? "Yes" : "No");
    FileCntLbl->setVisible(spanned);
    FileCnt->setVisible(spanned);
    FileCnt->setText(spanned ? QString::number(p.volumeCount) : QString());
    ImgComp->setText(p.flags & IMAGE_FLAG_LOW_COMPRESSION    ? "Low"
                     : p.flags & IMAGE_FLAG_HIGH_COMPRESSION ? "High"
                                                             : "None");
    Password->setText(p.flags & IMAGE_FLAG_PASSWORD ? "Yes" : "No");
}

int ShowImageProperties(QWidget* parent, UiServices& ui, PART_STORE& store,
                        const QString& imagePath) {
    TImgPropDlg dlg(parent);
    dlg.Fill(imagePath, ReadImageProperties(store));
    return ui.ShowModal(dlg);
}

} // namespace kw::app

#include "app/dialogs/copy_to_image_dlg.h"

#include "app/editor_settings.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_item.h"
#include "app/explorer/vtfe_prt.h"
#include "app/image_sets.h"
#include "app/ui_callback.h"
#include "app/ui_services.h"
#include "kwvaults.h"
#include "platform/vfs/vfs.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <limits>

namespace kw::app {
namespace {

constexpr int kItemRole = Qt::UserRole;
constexpr uint32_t kDescriptionSize = 1024;

template <class W> W* Named(W* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

QLabel* Buddy(QLabel* label, QWidget* buddy) {
    label->setBuddy(buddy);
    return label;
}

QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, QTreeWidget* tree, const QString& text,
                         VtfeItem* item, const QIcon& icon) {
    auto* node = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
    node->setText(0, text);
    node->setIcon(0, icon);
    node->setData(0, kItemRole, QVariant::fromValue(static_cast<void*>(item)));
    return node;
}

// The partitions in the image's own order (the trees sort them by name).
std::vector<VtfeItem*> InImageOrder(std::vector<VtfeItem*> items) {
    std::erase_if(items, [](VtfeItem* i) { return i == nullptr || i->Kind() != KIND_PARTITION; });
    std::stable_sort(items.begin(), items.end(), [](VtfeItem* a, VtfeItem* b) {
        return static_cast<VtfePrt*>(a)->PartitionIndex() <
               static_cast<VtfePrt*>(b)->PartitionIndex();
    });
    return items;
}

} // namespace

TCopyToImageDlg::TCopyToImageDlg(CopyContext context, QWidget* owner)
    : TlngForm(owner), main_(std::move(context)),
      callback_(std::make_unique<VTFE_UI_CALLBACK>(main_.ui)) {
    setObjectName("TCopyToImageDlg");
    setWindowTitle("Copy to Image");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setProperty("HelpContext", 2);
    BuildLayout();
    connect(DestEd, &QLineEdit::textChanged, this, &TCopyToImageDlg::DestEdChange);
    connect(BrowseBtn, &QPushButton::clicked, this, &TCopyToImageDlg::BrowseBtnClick);
    connect(AppendChk, &QCheckBox::clicked, this, &TCopyToImageDlg::AppendChkClick);
    connect(SplitImgChk, &QCheckBox::clicked, this, &TCopyToImageDlg::SplitImgChkClick);
    connect(SetPwdRBtn, &QRadioButton::clicked, this, &TCopyToImageDlg::SetPwdRBtnClick);
    connect(NoPwdRBtn, &QRadioButton::clicked, this, &TCopyToImageDlg::NoPwdRBtnClick);
    connect(CopyBtn, &QPushButton::clicked, this, &TCopyToImageDlg::CopyBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TCopyToImageDlg::reject);
    SetPwdRBtnClick();
    SplitImgChkClick();
    FormSetup();
}

TCopyToImageDlg::~TCopyToImageDlg() {
    CommitAndRelease(destStore_);
}

void TCopyToImageDlg::BuildLayout() {
    PartitionListLbl =
        Named(new QLabel("Copy the following partitions:", this), "PartitionListLbl");
    PartitionTree = Named(new QTreeWidget(this), "PartitionTree");
    PartitionTree->setHeaderHidden(true);
    PartitionTree->setRootIsDecorated(false);
    PartitionTree->setItemsExpandable(false);
    PartitionTree->setSelectionMode(QAbstractItemView::NoSelection);
    DestEd = Named(new QLineEdit(this), "DestEd");
    DestImgLbl = Buddy(Named(new QLabel("&Destination image:", this), "DestImgLbl"), DestEd);
    BrowseBtn = Named(new QPushButton("...", this), "BrowseBtn");
    BrowseBtn->setFixedWidth(32);
    AppendChk = Named(new QCheckBox("&Append partitions to image", this), "AppendChk");
    CopyBtn = Named(new QPushButton("&Copy", this), "CopyBtn");
    CopyBtn->setDefault(true);
    CopyBtn->setEnabled(false);
    CancelBtn = Named(new QPushButton("Cancel", this), "CancelBtn");

    DestImgGrp = Named(new QGroupBox("Destination image information", this), "DestImgGrp");
    DescrMemo = Named(new QPlainTextEdit(DestImgGrp), "DescrMemo");
    DescrLbl = Buddy(Named(new QLabel("D&escription:", DestImgGrp), "DescrLbl"), DescrMemo);
    DescrMemo->setFixedHeight(60);
    CoverlockGrp = Named(new QGroupBox("Coverlock", DestImgGrp), "CoverlockGrp");
    NoPwdRBtn = Named(new QRadioButton("N&o password protection ", CoverlockGrp), "NoPwdRBtn");
    NoPwdRBtn->setChecked(true);
    SetPwdRBtn = Named(new QRadioButton("Se&t password", CoverlockGrp), "SetPwdRBtn");
    PasswordEd = Named(new QLineEdit(CoverlockGrp), "PasswordEd");
    PasswordLbl = Buddy(Named(new QLabel("Pass&word:", CoverlockGrp), "PasswordLbl"), PasswordEd);
    ConfirmPwdEd = Named(new QLineEdit(CoverlockGrp), "ConfirmPwdEd");
    ConfPwdLbl =
        Buddy(Named(new QLabel("Conf&irm password:", CoverlockGrp), "ConfPwdLbl"), ConfirmPwdEd);
    for (QLineEdit* e : {PasswordEd, ConfirmPwdEd})
        e->setEchoMode(QLineEdit::Password);
    SplitImgGrp = Named(new QGroupBox(DestImgGrp), "SplitImgGrp");
    SplitImgChk = Named(new QCheckBox("&Split image into segments", SplitImgGrp), "SplitImgChk");
    FileSizeEd = Named(new QLineEdit(SplitImgGrp), "FileSizeEd");
    FileSizeLbl =
        Buddy(Named(new QLabel("&File size (bytes):", SplitImgGrp), "FileSizeLbl"), FileSizeEd);
    CompLevelGrp = Named(new QGroupBox("Compression Level", DestImgGrp), "CompLevelGrp");
    NoCompRBtn = Named(new QRadioButton("&None", CompLevelGrp), "NoCompRBtn");
    NoCompRBtn->setChecked(true);
    LowCompRBtn = Named(new QRadioButton("&Low", CompLevelGrp), "LowCompRBtn");
    HighCompRBtn = Named(new QRadioButton("&High", CompLevelGrp), "HighCompRBtn");

    auto* pwd = new QGridLayout(CoverlockGrp);
    pwd->addWidget(NoPwdRBtn, 0, 0, 1, 2);
    pwd->addWidget(SetPwdRBtn, 1, 0, 1, 2);
    pwd->addWidget(PasswordLbl, 2, 0);
    pwd->addWidget(PasswordEd, 2, 1);
    pwd->addWidget(ConfPwdLbl, 3, 0);
    pwd->addWidget(ConfirmPwdEd, 3, 1);
    auto* split = new QGridLayout(SplitImgGrp);
    split->addWidget(SplitImgChk, 0, 0, 1, 2);
    split->addWidget(FileSizeLbl, 1, 0);
    split->addWidget(FileSizeEd, 1, 1);
    auto* comp = new QHBoxLayout(CompLevelGrp);
    for (QRadioButton* b : {NoCompRBtn, LowCompRBtn, HighCompRBtn})
        comp->addWidget(b);
    auto* info = new QGridLayout(DestImgGrp);
    info->addWidget(DescrLbl, 0, 0, 1, 2);
    info->addWidget(DescrMemo, 1, 0, 1, 2);
    info->addWidget(CoverlockGrp, 2, 0, 2, 1);
    info->addWidget(SplitImgGrp, 2, 1);
    info->addWidget(CompLevelGrp, 3, 1);

    auto* grid = new QGridLayout(this);
    grid->addWidget(PartitionListLbl, 0, 0, 1, 2);
    grid->addWidget(PartitionTree, 1, 0, 4, 1);
    grid->addWidget(CopyBtn, 1, 1);
    grid->addWidget(CancelBtn, 2, 1);
    grid->addWidget(DestImgLbl, 5, 0, 1, 2);
    auto* dest = new QHBoxLayout;
    dest->addWidget(DestEd);
    dest->addWidget(BrowseBtn);
    grid->addLayout(dest, 6, 0);
    grid->addWidget(AppendChk, 7, 0);
    grid->addWidget(DestImgGrp, 8, 0, 1, 2);
    PartitionTree->setMinimumHeight(110);
    setMinimumWidth(520);
}

// ---- showing

void TCopyToImageDlg::showEvent(QShowEvent* event) {
    TlngForm::showEvent(event);
    if (!shown_)
        FormShow();
}

void TCopyToImageDlg::FormShow() {
    shown_ = true;
    FillPartitionList();
    if (dest_ == nullptr) {
        AppendChk->setEnabled(false);
        return;
    }
    if (dest_->Kind() != KIND_IMAGE)
        ProposeDestination();
    DestEd->setFocus();
}

// The image as root and the partitions copied from it below, in the
// image's order, which the copy keeps.
void TCopyToImageDlg::FillPartitionList() {
    PartitionTree->clear();
    if (source_ == nullptr)
        return;
    QTreeWidgetItem* root = nullptr;
    const QIcon imageIcon = main_.imageIcon;
    if (source_->Kind() == KIND_PARTITION) {
        QTreeWidgetItem* imageNode =
            source_->Node() != nullptr ? source_->Node()->parent() : nullptr;
        root =
            AddNode(nullptr, PartitionTree, imageNode != nullptr ? imageNode->text(0) : QString(),
                    VtfeItem::OfNode(imageNode), imageIcon);
        for (VtfeItem* item : InImageOrder(main_.copied))
            AddNode(root, nullptr, item->Name(), item,
                    item->Node() != nullptr ? item->Node()->icon(0) : QIcon());
    } else if (IsHiddenPartitionItem(source_)) {
        // Under the "Hidden Partitions" node, as in the explorer.
        QTreeWidgetItem* parent = source_->Node() != nullptr ? source_->Node()->parent() : nullptr;
        root = AddNode(nullptr, PartitionTree, parent != nullptr ? parent->text(0) : QString(),
                       nullptr, parent != nullptr ? parent->icon(0) : QIcon());
        AddNode(root, nullptr, source_->Name(), source_,
                source_->Node() != nullptr ? source_->Node()->icon(0) : QIcon());
    } else if (source_->Kind() == KIND_IMAGE) {
        if (!source_->Populated())
            source_->Expand(false);
        root = AddNode(nullptr, PartitionTree, source_->Name(), source_, imageIcon);
        for (VtfeItem* item : InImageOrder(VtfeItem::ChildItems(source_->Node())))
            AddNode(root, nullptr, item->Node()->text(0), item, item->Node()->icon(0));
    }
    if (root != nullptr)
        root->setExpanded(true);
}

// Into a folder: the source image's own name when it lies elsewhere, else
// the first free "New", "New1", ... name.
void TCopyToImageDlg::ProposeDestination() {
    const QString folder = StripTrailing(dest_->Path(), '\\');
    if (source_ != nullptr && source_->Kind() == KIND_IMAGE) {
        const QString path = source_->Path();
        if (!SameFile(path.left(path.lastIndexOf('\\')), folder))
            DestEd->setText(Shown(folder + "\\" + source_->Name()));
    }
    if (!DestEd->text().isEmpty())
        return;
    vfs::VFS_NAMESPACE& vfs = main_.vfs;
    QString name = folder + "\\New.kwi";
    for (int n = 1; vfs.FileExists(name.toStdString()); ++n)
        name = QString("%1\\%2%3.kwi").arg(folder, "New").arg(n);
    DestEd->setText(Shown(name));
}

// ---- the destination

VtfeItem* TCopyToImageDlg::ItemOf(QTreeWidgetItem* node) {
    return node == nullptr ? nullptr
                           : static_cast<VtfeItem*>(node->data(0, kItemRole).value<void*>());
}

std::string TCopyToImageDlg::HostPath(const QString& path) const {
    return ToHostPath(main_.vfs, path);
}

QString TCopyToImageDlg::Shown(const QString& path) const {
    return ShownPath(main_.vfs, path);
}

// Host paths are told apart by case, as the host's file system does.
bool TCopyToImageDlg::SameFile(const QString& a, const QString& b) const {
    return HostPath(a) == HostPath(b);
}

int32_t TCopyToImageDlg::SetDestination(const QString& path) {
    if (!examined_.isEmpty() && path == examined_)
        return 0;
    int32_t rc = OpenForAppend(path);
    if (rc == int32_t(ERR_USER_CANCEL))
        return rc;
    const bool appendable = rc == 0;
    examined_ = path; // before the text changes, so the change examines nothing
    DestEd->setText(Shown(path));
    ShowDestinationInfo(appendable);
    CopyBtn->setEnabled(true);
    return 0;
}

int32_t TCopyToImageDlg::OpenForAppend(const QString& path) {
    if (!examined_.isEmpty() && path == examined_)
        return 0;
    CommitAndRelease(destStore_);
    main_.closeImage(path); // the file must not be held open by the explorer
    // Only the image's own remembered password is tried: the item dropped
    // on is that image only when the path is its path.
    const bool destIsImage =
        dest_ != nullptr && dest_->Kind() == KIND_IMAGE && SameFile(dest_->Path(), path);
    callback_->SetItem(destIsImage ? dest_ : nullptr);
    int32_t error = 0;
    destStore_ = OpenImageForAppend(HostPath(path), callback_.get(), &error);
    callback_->SetItem(nullptr);
    return destStore_ != nullptr ? 0 : error;
}

void TCopyToImageDlg::ShowDestinationInfo(bool appendable) {
    DescrMemo->clear();
    if (destStore_ == nullptr || !appendable) {
        AppendChk->setChecked(false);
        AppendChk->setEnabled(false);
        AppendChkClick();
        return;
    }
    const uint32_t flags = destStore_->GetImageFlags();
    char text[kDescriptionSize] = {};
    destStore_->GetDescription(text, sizeof text);
    if (text[0] != '\0')
        DescrMemo->appendPlainText(QString::fromLatin1(text));
    AppendChk->setEnabled(true);
    AppendChk->setChecked(true);
    AppendChkClick();
    QRadioButton* level = (flags & KW_IMAGE_LOW_COMPRESSION) != 0    ? LowCompRBtn
                          : (flags & KW_IMAGE_HIGH_COMPRESSION) != 0 ? HighCompRBtn
                                                                     : NoCompRBtn;
    level->setChecked(true);
    SplitImgChk->setChecked(false);
    SetFieldEnabled(FileSizeEd, true);
    FileSizeLbl->setEnabled(true);
}

// ---- control logic

void TCopyToImageDlg::SetFieldEnabled(QWidget* field, bool on) {
    field->setEnabled(on);
    QPalette p = field->palette();
    p.setColor(QPalette::Base, palette().color(on ? QPalette::Base : QPalette::Button));
    field->setPalette(p);
}

void TCopyToImageDlg::AppendChkClick() {
    const bool append = AppendChk->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{NoCompRBtn, LowCompRBtn, HighCompRBtn,
                                                      NoPwdRBtn, SetPwdRBtn})
        w->setEnabled(!append);
    if (append)
        NoPwdRBtn->setChecked(true);
    SetPwdRBtnClick();
    CopyBtn->setText(append ? "A&ppend" : "&Copy");
}

void TCopyToImageDlg::SplitImgChkClick() {
    const bool on = SplitImgChk->isChecked();
    FileSizeLbl->setEnabled(on);
    SetFieldEnabled(FileSizeEd, on);
    FileSizeEd->setReadOnly(!on);
}

void TCopyToImageDlg::SetPwdRBtnClick() {
    const bool on = SetPwdRBtn->isChecked();
    PasswordLbl->setEnabled(on);
    ConfPwdLbl->setEnabled(on);
    SetFieldEnabled(PasswordEd, on);
    SetFieldEnabled(ConfirmPwdEd, on);
}

void TCopyToImageDlg::NoPwdRBtnClick() {
    SetPwdRBtnClick();
}

void TCopyToImageDlg::DestEdChange() {
    const QString text = DestEd->text();
    CopyBtn->setEnabled(!text.isEmpty());
    const QString path = text.isEmpty() ? text : TypedToDrivePath(main_.vfs, text);
    if (!path.isEmpty() && main_.vfs.FileExists(path.toStdString())) {
        if (SameFile(path, SourceImagePath(source_))) {
            main_.ui.Message("Source and destination cannot be the same file.", "Error",
                             MsgIcon::Warning, MsgButtons::Ok);
            CopyBtn->setEnabled(false);
            DestEd->selectAll();
            return;
        }
        SetDestination(path);
        return;
    }
    examined_.clear();
    AppendChk->setChecked(false);
    AppendChk->setEnabled(false);
    AppendChkClick();
}

void TCopyToImageDlg::BrowseBtnClick() {
    SettingsStore& settings = main_.settings;
    std::string start;
    if (!main_.vfs.Root().Table().ToHost(GetOpenDlgDir(settings, main_.keys), &start))
        start.clear();
    const QString chosen = main_.ui.ChooseFileToWrite(
        this, "Open an Image File", QString::fromStdString(start), QtFileFilter(main_.imageFilter));
    std::string path, folder;
    if (chosen.isEmpty() || !main_.vfs.Root().Table().FromHost(chosen.toStdString(), &path))
        return;
    const QString file = QString::fromStdString(path);
    if (SameFile(file, SourceImagePath(source_))) {
        main_.ui.Message("Source and destination cannot be the same file.", "Error",
                         MsgIcon::Warning, MsgButtons::Ok);
        DestEd->setFocus();
        return;
    }
    if (main_.vfs.Root().Table().FromHost(QFileInfo(chosen).absolutePath().toStdString(), &folder))
        SetOpenDlgDir(settings, main_.keys, folder);
    if (main_.vfs.FileExists(path)) {
        examined_.clear();
        SetDestination(file);
        return;
    }
    AppendChk->setChecked(false);
    AppendChk->setEnabled(false);
    AppendChkClick();
    DestEd->setText(chosen);
}

void TCopyToImageDlg::CancelBtnClick() {
    retry_ = false;
}

void TCopyToImageDlg::reject() {
    if (copying_) {
        if (progress_ != nullptr)
            progress_->Cancel();
        return;
    }
    CancelBtnClick();
    TlngForm::reject();
}

// The close box does not end a dialog whose copy was cancelled: Cancel does.
void TCopyToImageDlg::closeEvent(QCloseEvent* event) {
    if (retry_ || copying_) {
        event->ignore();
        return;
    }
    TlngForm::closeEvent(event);
}

void TCopyToImageDlg::done(int result) {
    if (copying_ || (retry_ && result == QDialog::Accepted))
        return;
    CommitAndRelease(destStore_);
    TlngForm::done(result);
}

// ---- what the library gets

std::u16string TCopyToImageDlg::PasswordText() const {
    return SetPwdRBtn->isChecked() ? PasswordUnits(PasswordEd->text()) : std::u16string();
}

uint32_t TCopyToImageDlg::SplitSize() const {
    if (!SplitImgChk->isChecked())
        return 0;
    const qulonglong size = DigitsOnly(FileSizeEd->text()).toULongLong();
    return uint32_t(std::min<qulonglong>(size, std::numeric_limits<uint32_t>::max()));
}

uint32_t TCopyToImageDlg::CreateFlags() const {
    if (LowCompRBtn->isChecked())
        return CREATE_LOW_COMPRESSION;
    return HighCompRBtn->isChecked() ? CREATE_HIGH_COMPRESSION : 0;
}

QString TCopyToImageDlg::FullDestination(QString* problem) const {
    QString path = TypedToDrivePath(main_.vfs, DestEd->text(), problem);
    if (path.isEmpty())
        return path;
    if (!path.mid(path.lastIndexOf('\\') + 1).contains('.'))
        path += ".kwi";
    return path;
}

bool TCopyToImageDlg::PasswordsAgree() {
    if (!SetPwdRBtn->isChecked())
        return true;
    const char* problem = nullptr;
    if (PasswordEd->text().isEmpty())
        problem = "Type a password, or choose no password protection.";
    else if (PasswordEd->text() != ConfirmPwdEd->text())
        problem = "The password and its confirmation differ. Type the same password in both "
                  "fields.";
    if (problem == nullptr)
        return true;
    main_.ui.Message(problem, "Password", MsgIcon::Warning, MsgButtons::Ok);
    PasswordEd->setFocus();
    PasswordEd->selectAll();
    return false;
}

} // namespace kw::app

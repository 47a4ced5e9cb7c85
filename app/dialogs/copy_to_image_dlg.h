// The copy-to-image dialog: the partitions of an open image copied into a new
// image file (description, password, split size, compression) or appended
// to an existing one, one partition after the other under a progress window.
// It owns the destination store while one is open (committed before it is
// let go) and the callback object the library asks through, which outlives
// that store.
#pragma once

#include "app/dialogs/copy_context.h"
#include "app/lng_form.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class PART_STORE;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace kw::app {

class VTFE_UI_CALLBACK;
class VtfeItem;

class TCopyToImageDlg final : public TlngForm {
    Q_OBJECT
public:
    explicit TCopyToImageDlg(CopyContext context, QWidget* owner = nullptr);
    ~TCopyToImageDlg() override;

    // Set before the dialog is shown: the image or partition copied from
    // and the folder or image dropped or pasted on (may be none).
    void SetSourceItem(VtfeItem* item) { source_ = item; }
    void SetDestItem(VtfeItem* item) { dest_ = item; }

    void FormShow();
    // Examines an existing file as a place to append to; 7 when the user
    // cancelled a prompt, else 0.
    int32_t SetDestination(const QString& path);
    int32_t OpenForAppend(const QString& path);
    void ShowDestinationInfo(bool appendable);
    void CopyBtnClick();
    void AppendChkClick();
    void SplitImgChkClick();
    void SetPwdRBtnClick();
    void NoPwdRBtnClick();
    void DestEdChange();
    void BrowseBtnClick();
    void CancelBtnClick();
    // Cancel and Esc: the retry flag is cleared first. An open destination
    // is committed and let go whenever the dialog ends.
    void reject() override;
    void done(int result) override;

    // The image written, as the namespace names it; set once a copy succeeded.
    const QString& Destination() const { return written_; }
    // Whether the last copy appended to an existing image.
    bool Appended() const { return appended_; }
    // Whether a cancelled copy keeps the dialog open.
    bool Retry() const { return retry_; }

    QLabel* PartitionListLbl = nullptr;
    QTreeWidget* PartitionTree = nullptr;
    QLabel* DestImgLbl = nullptr;
    QLineEdit* DestEd = nullptr;
    QPushButton* BrowseBtn = nullptr;
    QCheckBox* AppendChk = nullptr;
    QPushButton* CopyBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QGroupBox* DestImgGrp = nullptr;
    QLabel* DescrLbl = nullptr;
    QPlainTextEdit* DescrMemo = nullptr;
    QGroupBox* CoverlockGrp = nullptr;
    QRadioButton* NoPwdRBtn = nullptr;
    QRadioButton* SetPwdRBtn = nullptr;
    QLabel* PasswordLbl = nullptr;
    QLineEdit* PasswordEd = nullptr;
    QLabel* ConfPwdLbl = nullptr;
    QLineEdit* ConfirmPwdEd = nullptr;
    QGroupBox* SplitImgGrp = nullptr;
    QCheckBox* SplitImgChk = nullptr;
    QLabel* FileSizeLbl = nullptr;
    QLineEdit* FileSizeEd = nullptr;
    QGroupBox* CompLevelGrp = nullptr;
    QRadioButton* NoCompRBtn = nullptr;
    QRadioButton* LowCompRBtn = nullptr;
    QRadioButton* HighCompRBtn = nullptr;

    // What CopyPartitions hands the library, as the controls now read.
    std::u16string PasswordText() const;
    uint32_t SplitSize() const;
    uint32_t CreateFlags() const;
    // The destination text made a full file name in drive form (a host path
    // as it is, a relative one in the current folder), ".kwi" after a file
    // name without a "."; empty, with *problem set, for a path that cannot be.
    QString FullDestination(QString* problem = nullptr) const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildLayout();
    void FillPartitionList();
    void ProposeDestination();
    // The item a node of the partition tree stands for.
    static VtfeItem* ItemOf(QTreeWidgetItem* node);
    bool SameFile(const QString& a, const QString& b) const;
    bool PasswordsAgree();
    void SetFieldEnabled(QWidget* field, bool on);
    // copy_to_image_run.cpp
    bool ConfirmAndCopy(const QString& path);
    bool CopyPartitions(bool append, const QString& path);
    bool StartNewImage(const QString& path);
    bool CopyEach(bool append, PART_STORE* source, const QString& path);
    bool CopyFailed(int32_t error, bool append, const QString& path,
                    const QStringList& appended = {});
    void TellAppended(const QString& path, const QStringList& names, bool kept);
    std::string HostPath(const QString& path) const;
    // A drive path as the user is shown it (its host path).
    QString Shown(const QString& path) const;

    CopyContext main_;           // named for the editor around the dialog
    VtfeItem* source_ = nullptr; // not owned
    VtfeItem* dest_ = nullptr;   // not owned
    // Declared before the store: the store is let go first.
    std::unique_ptr<VTFE_UI_CALLBACK> callback_;
    PART_STORE* destStore_ = nullptr; // one reference while open
    QString examined_;                // the path SetDestination examined last
    QString written_;
    bool retry_ = false;
    bool appended_ = false;
    bool shown_ = false;
    bool copying_ = false;             // a copy runs: the dialog does not end
    ProgressView* progress_ = nullptr; // the running copy's, owned by ConfirmAndCopy
};

} // namespace kw::app

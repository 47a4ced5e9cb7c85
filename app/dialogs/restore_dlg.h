// The restore dialog: where the selected files and folders of an image go,
// a folder the user names or their original path. It only chooses and
// checks the destination; the main window copies.
#pragma once

#include "app/lng_form.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace kw::app {

class ExplorerHost;

class TRestoreDlg final : public TlngForm {
    Q_OBJECT
public:
    // host: for its message boxes, folder check and folder browser.
    explicit TRestoreDlg(ExplorerHost* host, QWidget* owner = nullptr);

    void FormActivate();
    void DestEdChange();
    void BrowseBtnClick();
    void UserDestRBtnClick();
    void OrigDestRBtnClick();
    void RestoreBtnClick();

    // Adds a row to the list of what is restored (folder: the folder icon).
    void AddRestoreRow(const QString& name, bool folder);

    // The chosen folder; valid when Result() is 1.
    const QString& Destination() const { return destination_; }
    // 1 when a destination was confirmed, else 2.
    int Result() const { return result_; }

    QLineEdit* DestEd = nullptr;
    QPushButton* BrowseBtn = nullptr;
    QPushButton* RestoreBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QLabel* OrigDestLbl = nullptr;
    QLabel* RestoreListLbl = nullptr;
    QTreeWidget* RestoreList = nullptr;
    QLabel* ImageLbl = nullptr;
    QLabel* PartitionLbl = nullptr;
    QLabel* ImageName = nullptr;
    QLabel* PartitionName = nullptr;
    QRadioButton* UserDestRBtn = nullptr;
    QRadioButton* OrigDestRBtn = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void SetDestEnabled(bool on);

    ExplorerHost* host_;
    QString destination_;
    int result_ = 2;
};

} // namespace kw::app

// The properties of one partition stored in an image: its name and
// description, drive letter, file system, primary or logical, its size, the
// used and unused space and the space it takes in the image. The dialog only
// shows them.
#pragma once

#include "app/lng_form.h"

class PART_STORE;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace kw::app {

struct PartitionProperties;
class UiServices;

// What the partition's explorer item knows of it.
struct PartitionItemFacts {
    QString path;       // the item's path
    QString fileSystem; // the item's file-system text
    QIcon icon;         // the item's icon
};

class TPrtPropDlg final : public TlngForm {
    Q_OBJECT
public:
    explicit TPrtPropDlg(QWidget* owner = nullptr);
    // Fills the fields from the item and the stored record. A record that
    // could not be read leaves the value fields as they are.
    void Fill(const PartitionItemFacts& item, const PartitionProperties& properties);
    void ApplyBtnClick();

    QTabWidget* PageControl1 = nullptr;
    QWidget* GeneralTab = nullptr;
    QLabel* Image = nullptr;
    QLabel* FilenameLbl = nullptr;
    QLabel* DisplayNameLbl = nullptr;
    QLineEdit* DisplayName = nullptr;
    QLabel* DescrLbl = nullptr;
    QPlainTextEdit* DescrMemo = nullptr;
    QLabel* DrvLtrLbl = nullptr;
    QLabel* DrvLtr = nullptr;
    QLabel* PrtTypeLbl = nullptr;
    QLabel* PrtType = nullptr;
    QLabel* PriLogLbl = nullptr;
    QLabel* PriLog = nullptr;
    QLabel* PrtSizeLbl = nullptr;
    QLabel* PrtSize = nullptr;
    QLabel* PrtUsedSpcLbl = nullptr;
    QLabel* PrtUsedSpc = nullptr;
    QLabel* PrtUnusedSpcLbl = nullptr;
    QLabel* PrtUnusedSpc = nullptr;
    QLabel* PhysSizeLbl = nullptr;
    QLabel* PhysSize = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* ApplyBtn = nullptr;
};

// Shows the properties of part partIndex of the image's part store (held,
// not owned); a part that cannot be selected is reported and the dialog still
// opens. The dialog's result.
int ShowPartitionProperties(QWidget* parent, UiServices& ui, PART_STORE& store, uint32_t partIndex,
                            const PartitionItemFacts& item);

} // namespace kw::app

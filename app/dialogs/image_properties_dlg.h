// The properties of one image file: its path, description, size, date,
// compression, password protection and the number of files it spans. The
// dialog only shows them; it writes nothing back.
#pragma once

#include "app/lng_form.h"

class PART_STORE;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace kw::app {

struct ImageProperties;

class TImgPropDlg final : public TlngForm {
    Q_OBJECT
public:
    explicit TImgPropDlg(QWidget* owner = nullptr);
    // Fills every field; path is the image item's path.
    void Fill(const QString& path, const ImageProperties& properties);

    QTabWidget* PageControl1 = nullptr;
    QWidget* GeneralTab = nullptr;
    QLabel* Image = nullptr;
    QLabel* FilenameLbl = nullptr;
    QLabel* CommentLbl = nullptr;
    QPlainTextEdit* DescrMemo = nullptr;
    QLabel* DosNameLbl = nullptr;
    QLabel* DosName = nullptr;
    QLabel* ImgSizeLbl = nullptr;
    QLabel* ImgSize = nullptr;
    QLabel* ImgDateTimeLbl = nullptr;
    QLabel* ImgDateTime = nullptr;
    QLabel* ImgCompLbl = nullptr;
    QLabel* ImgComp = nullptr;
    QLabel* PasswordLbl = nullptr;
    QLabel* Password = nullptr;
    QLabel* SpannedLbl = nullptr;
    QLabel* Spanned = nullptr;
    QLabel* FileCntLbl = nullptr;
    QLabel* FileCnt = nullptr;
    QCheckBox* ReadOnlyChk = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* ApplyBtn = nullptr;
};

class UiServices;

// Shows the properties of the image whose part store is given (held, not
// owned); imagePath is the path the explorer shows for it. The dialog's
// result.
int ShowImageProperties(QWidget* parent, UiServices& ui, PART_STORE& store,
                        const QString& imagePath);

} // namespace kw::app

// The about box: product, version and the credits behind "More Info...".
#pragma once

#include "app/lng_form.h"

class QLabel;
class QPushButton;
class QFrame;

namespace kw::app {

class UiServices;

class TAboutBox final : public TlngForm {
    Q_OBJECT
public:
    TAboutBox(UiServices& ui, QWidget* owner = nullptr);
    // Fills caption and labels from a product name and version number.
    void Fill(const QString& product, const QString& version, const QPixmap& picture);
    void btnMoreClick();

    QFrame* Panel1 = nullptr;
    QLabel* imgAboutBmp = nullptr;
    QLabel* lblProduct = nullptr;
    QLabel* lblVersion = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnMore = nullptr;

private:
    UiServices& ui_;
};

} // namespace kw::app

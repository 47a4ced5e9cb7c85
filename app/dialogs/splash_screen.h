// The picture shown while the main window starts.
#pragma once

#include "app/lng_form.h"

class QLabel;

namespace kw::app {

class TSplashScreen final : public TlngForm {
    Q_OBJECT
public:
    explicit TSplashScreen(QWidget* owner = nullptr);
    // Makes the picture visible, shows the window and paints it at once.
    void ShowNow();

    QLabel* SplashImage = nullptr;
    QLabel* LoadingLbl = nullptr;
};

} // namespace kw::app

#include "app/dialogs/splash_screen.h"

#include "app/app_info.h"
#include "app/dialogs/art.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>

namespace kw::app {

TSplashScreen::TSplashScreen(QWidget* owner)
    : TlngForm(owner, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("TSplashScreen");
    setWindowTitle(kAppTitle);
    QPixmap picture = SplashPixmap();
    SplashImage = new QLabel(this);
    SplashImage->setObjectName("SplashImage");
    SplashImage->setPixmap(picture);
    SplashImage->setGeometry(picture.rect());
    SplashImage->hide();
    LoadingLbl = new QLabel("Loading. Please wait...", this);
    LoadingLbl->setObjectName("LoadingLbl");
    LoadingLbl->setStyleSheet("color: white; background: transparent;");
    LoadingLbl->setGeometry(140, picture.height() - 40, picture.width() - 150, 20);
    setFixedSize(picture.size());
    FormSetup();
}

void TSplashScreen::ShowNow() {
    SplashImage->show();
    if (QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    repaint();
    QApplication::processEvents();
}

} // namespace kw::app

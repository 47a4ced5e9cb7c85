// Shows each of the editor's small windows and saves a picture of it:
// dialog_gallery <folder>. Used by the screenshot script under Xvfb.
#include "app/dialogs/about_box.h"
#include "app/dialogs/art.h"
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/dialogs/splash_screen.h"
#include "app/ui_services.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QThread>

namespace {

void Save(QWidget& w, const QString& dir, const char* name) {
    w.show();
    w.raise();
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    w.grab().save(QDir(dir).filePath(QString(name) + ".png"));
    w.hide();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    kw::app::QtUiServices ui;

    kw::app::TVtfeProgDlg progress;
    progress.SetMessage("Restoring...");
    progress.SetItemText("C:\\Documents\\Projects\\2024\\Reports\\summary-final.doc");
    progress.SetDone(42, 100);
    Save(progress, dir, "progress");

    kw::app::TfrmPassword password;
    Save(password, dir, "password");

    kw::app::TSplashScreen splash;
    splash.SplashImage->show();
    Save(splash, dir, "splash");

    kw::app::TAboutBox about(ui);
    about.Fill("Veltrane File Editor", "4.0", kw::app::AboutPixmap());
    Save(about, dir, "about");
    return 0;
}

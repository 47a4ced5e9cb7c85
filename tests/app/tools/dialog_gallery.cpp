// Shows each of the editor's small windows and saves a picture of it:
// dialog_gallery <folder>. Used by the screenshot script under Xvfb.
#include "app/dialogs/about_box.h"
#include "app/dialogs/art.h"
#include "app/dialogs/image_properties_dlg.h"
#include "app/dialogs/options_dlg.h"
#include "app/dialogs/partition_properties_dlg.h"
#include "app/dialogs/password_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/dialogs/splash_screen.h"
#include "app/explorer/tree_images.h"
#include "app/missing_volumes.h"
#include "app/settings_store.h"
#include "app/store_properties.h"
#include "app/ui_services.h"
#include "platform/drives/drive_table.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <functional>

namespace {

// afterShow runs once the window is up (a dialog sets itself up on show).
void Save(QWidget& w, const QString& dir, const char* name,
          const std::function<void()>& afterShow = {}) {
    w.show();
    w.raise();
    if (afterShow)
        afterShow();
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

    kw::app::ImageProperties image;
    image.flags = kw::app::IMAGE_FLAG_HIGH_COMPRESSION | kw::app::IMAGE_FLAG_PASSWORD;
    image.description = "Weekly backup of the office machine";
    image.imageBytes = 1610612736;
    image.modified = kw::app::FileTimeOf(2026, 12, 10, 14, 5, 0);
    image.volumeCount = 3;
    kw::app::TImgPropDlg imageDlg;
    imageDlg.Fill("C:\\Backups\\office-2026-12-10.kwi", image);
    Save(imageDlg, dir, "image_properties");

    kw::app::PartitionProperties part;
    part.name = "DATA";
    part.description = "Projects and mail";
    part.driveLetter = 'E';
    part.flags = kw::app::PART_FLAG_LOGICAL;
    part.partitionBytes = 8589934592ULL;
    part.usedBytes = 3221225472ULL;
    part.unusedBytes = part.partitionBytes - part.usedBytes;
    part.physicalBytes = 2147483648ULL;
    kw::app::TPrtPropDlg partDlg;
    partDlg.Fill(
        {"C:\\Backups\\office-2026-12-10.kwi\\E: (DATA)", "FAT32X", kw::app::TreeImage(10)}, part);
    Save(partDlg, dir, "partition_properties");

    kw::app::MemorySettingsStore settings;
    kw::app::SettingsKeys keys = kw::app::BuildKeyPaths();
    kw::app::EditorDefaults defaults{"C:\\Restored", 650000000};
    kw::app::TOptionsDlg options(ui, settings, keys, defaults, kw::drives::DriveTable::Process());
    options.DefSplitSizeEd->setText("650,000,000");
    options.DefRestLocEd->setText("C:\\Restored");
    options.SetExtensions({".kwi", ".img", ".bak"});
    Save(options, dir, "options_general");
    Save(options, dir, "options_extensions", [&] {
        options.PageControl1->setCurrentWidget(options.ImageExtTab);
        options.ExtEd->setText("backup.old");
    });

    // The prompt for a missing volume of a split image, as the user meets
    // it (the whole screen, so that its place shows); closed as Cancel.
    QTimer::singleShot(500, [&dir] {
        QGuiApplication::primaryScreen()->grabWindow(0).save(
            QDir(dir).filePath("missing_volume.png"));
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    kw::app::WithMissingVolumes(ui, "/srv/images/weekly.kwi", [] { return int32_t(1831); });
    return 0;
}

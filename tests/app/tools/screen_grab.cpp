// Saves a picture of the whole screen after a delay: screen_grab <out.png> [ms].
// Used by the screenshot script under Xvfb.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: screen_grab <out.png> [delay-ms]\n");
        return 2;
    }
    int delay = argc > 2 ? std::atoi(argv[2]) : 0;
    QString out = QString::fromLocal8Bit(argv[1]);
    QTimer::singleShot(delay, [out] {
        QScreen* screen = QGuiApplication::primaryScreen();
        bool ok = screen != nullptr && screen->grabWindow(0).save(out);
        QCoreApplication::exit(ok ? 0 : 1);
    });
    return QGuiApplication::exec();
}

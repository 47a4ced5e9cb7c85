// KwVtFe32: the editor's entry point.
#include "app/app_info.h"
#include "app/engine_dialogs.h"
#include "app/engine_facade.h"
#include "app/main_form.h"
#include "app/settings_store.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Qt's own message for a missing display is a plugin error; say plainly
// what is needed instead.
bool DisplayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0 &&
        std::strncmp(platform, "wayland", 7) != 0)
        return true; // offscreen, vnc and the like need no display
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

// SIGTERM ends the editor as closing its window does: the handler only
// writes to a pipe, and the event loop quits when it reads from it, so the
// engine stops and closes its logs.
int gTermPipe[2] = {-1, -1};

void OnTerminate(int) {
    char byte = 1;
    ssize_t n = write(gTermPipe[1], &byte, 1);
    (void)n;
}

void QuitOnTerminate(QApplication& app) {
    if (pipe2(gTermPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gTermPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}

int Run(int argc, char** argv) {
    QApplication app(argc, argv);
    QuitOnTerminate(app);
    QApplication::setApplicationName(kw::app::kAppTitle);
    QApplication::setApplicationDisplayName(kw::app::kAppTitle);
    kw::vfs::vfsInstance().SetOptions(kw::vfs::VFS_OPTIONS::Program());
    kw::app::InstallEngineDialogs();
    kw::app::QtUiServices ui;
    kw::app::FileSettingsStore settings;
    kw::app::TMainForm form(kw::app::MakeEngineFacade(), ui, settings, kw::vfs::vfsInstance(),
                            QApplication::arguments());
    form.FormCreate();
    form.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    if (!DisplayAvailable()) {
        std::fprintf(stderr, "KwVtFe32: no display (DISPLAY is not set); run it in a desktop "
                             "session or under xvfb-run (xvfb-run make run)\n");
        return 1;
    }
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KwVtFe32: %s\n", e.what());
        QMessageBox::critical(nullptr, kw::app::kAppTitle, QString::fromLocal8Bit(e.what()));
    }
    return 1;
}

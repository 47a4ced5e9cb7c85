#include "app/missing_volumes.h"

#include "app/ui_services.h"
#include "app/window_thread.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::app {
namespace {

// Code of a volume or chunk of a set that is not found.
constexpr int32_t kVolumeNotFound = 1831;
constexpr int32_t kCancelled = 7;
// Volumes a set may have; and the most a user is asked for in one call.
constexpr unsigned kMaxVolumes = 999;
constexpr int kMaxAsks = 64;

bool HostEntryExists(const std::string& host) {
    struct stat st;
    return ::lstat(host.c_str(), &st) == 0;
}

// Asks for the missing volume; the file chosen, empty when cancelled.
QString AskForVolume(UiServices& ui, const QString& missing, const QString& image) {
    const MsgAnswer a = ui.Message(
        QString("The volume %1 of the image %2 was not found.\n\nBrowse to it, or Cancel.")
            .arg(missing, image),
        "Volume Not Found", MsgIcon::Warning, MsgButtons::BrowseCancel);
    if (a != MsgAnswer::Browse)
        return {};
    const QFileInfo info(missing);
    const QStringList chosen =
        ui.OpenFiles(nullptr, "Find " + info.fileName(), info.absolutePath(),
                     info.fileName() + " (*." + info.suffix() + ");;All files (*)");
    return chosen.isEmpty() ? QString() : chosen.front();
}

} // namespace

std::string FirstMissingVolume(const std::string& imageHostPath) {
    const size_t slash = imageHostPath.rfind('/');
    const size_t dot = imageHostPath.rfind('.');
    const std::string stem = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                 ? imageHostPath
                                 : imageHostPath.substr(0, dot);
    for (unsigned n = 2; n <= kMaxVolumes; ++n) {
        char ext[8];
        std::snprintf(ext, sizeof ext, ".%03u", n);
        if (!HostEntryExists(stem + ext))
            return stem + ext;
    }
    return {};
}

int VolumeFilesOf(const std::string& imageHostPath) {
    const std::string first = FirstMissingVolume(imageHostPath);
    if (first.size() < 3)
        return 1;
    return std::atoi(first.substr(first.size() - 3).c_str()) - 1; // "set.004": three files
}

int32_t WithMissingVolumes(UiServices& ui, const std::string& imageHostPath,
                           const std::function<int32_t()>& call) {
    int32_t rc = call();
    for (int asked = 0; rc == kVolumeNotFound && asked < kMaxAsks; ++asked) {
        const std::string missing = FirstMissingVolume(imageHostPath);
        if (missing.empty())
            return rc;
        const QString chosen = InWindowThread([&] {
            return AskForVolume(ui, QString::fromStdString(missing),
                                QString::fromStdString(imageHostPath));
        });
        if (chosen.isEmpty())
            return kCancelled;
        const std::string target = QFileInfo(chosen).absoluteFilePath().toStdString();
        if (::symlink(target.c_str(), missing.c_str()) != 0) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            InWindowThread([&] {
                ui.Message(QString("Unable to use %1 as %2.\n%3")
                               .arg(chosen, QString::fromStdString(missing), reason),
                           "Volume Not Found", MsgIcon::Error, MsgButtons::Ok);
            });
            return kCancelled;
        }
        InWindowThread([&] {
            ui.Log(QString("Image volume %1 is read from %2 (a link made at the user's choice).")
                       .arg(QString::fromStdString(missing), chosen));
        });
        rc = call();
    }
    return rc;
}

} // namespace kw::app

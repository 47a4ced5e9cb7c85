// What the copy-to-image dialog needs of the editor around it: the path
// namespace, the user interface, the settings, the partitions copied, the
// progress window of the copy, and two services of the explorer (letting go
// of an image file, showing a new image). The main window fills it; a test
// may fill it without one.
#pragma once

#include "app/progress_view.h"

#include <QIcon>
#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

class SettingsStore;
class UiServices;
class VtfeItem;
struct SettingsKeys;

struct CopyContext {
    vfs::VFS_NAMESPACE& vfs;
    UiServices& ui;
    SettingsStore& settings;
    const SettingsKeys& keys;
    QString imageFilter;           // of the image file dialogs ("Name (*.x)|*.x|...")
    std::vector<VtfeItem*> copied; // the items copied (a partition source lists these)
    QIcon imageIcon;
    // Closes every explorer item that holds the image file open.
    std::function<void(const QString& path)> closeImage;
    // After a new image was made in the folder item dest: the explorer
    // shows it and selects it. dest is not used after the call.
    std::function<void(VtfeItem* dest, const QString& image)> showNewImage;
    // The progress window of a copy, owned by the dialog.
    ProgressFactory progress;
};

} // namespace kw::app

#include "app/explorer/explorer_utils.h"

#include "app/engine_facade.h"
#include "app/explorer/vtfe_drive.h"
#include "app/explorer/vtfe_item.h"
#include "app/ui_services.h"
#include "include/filetime.h"
#include "platform/drives/drive_table.h"
#include "platform/drives/host_path.h"
#include "platform/vfs/vfs.h"

#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QLocale>
#include <QTreeWidget>

#include <cstdio>
#include <pwd.h>

namespace kw::app {
namespace {

std::string U8(const QString& s) {
    return s.toStdString();
}

bool HasChildWithText(QTreeWidgetItem* node, const QString& text) {
    for (int i = 0; i < node->childCount(); ++i)
        if (node->child(i)->text(0) == text)
            return true;
    return false;
}

// The label part of a drive caption: the share of a network drive, else the
// volume label of a drive that is not removable.
QString DriveLabel(vfs::VFS_NAMESPACE& vfs, const std::string& path, uint32_t flags) {
    std::string text;
    if (vfs.GetNetworkName(path, &text) && !text.empty())
        return QString::fromStdString(text);
    text.clear();
    if ((flags & vfs::DRIVE_REMOVABLE) == 0)
        vfs.GetVolumeLabel(path + "\\", &text);
    return QString::fromStdString(text);
}

} // namespace

DriveType DriveTypeFromFlags(uint32_t flags) {
    if (flags & vfs::DRIVE_REMOTE)
        return DRIVETYPE_REMOTE;
    if ((flags & vfs::DRIVE_CDROM) == vfs::DRIVE_CDROM)
        return DRIVETYPE_CDROM;
    if (flags & vfs::DRIVE_REMOVABLE)
        return DRIVETYPE_REMOVABLE;
    return DRIVETYPE_FIXED;
}

QString FormatByteSize(uint64_t bytes) {
    constexpr uint64_t kGiB = 1ULL << 30, kMiB = 1ULL << 20;
    if (bytes >= kGiB) {
        float gb = static_cast<float>(bytes) * (1.0f / static_cast<float>(kGiB));
        QString text = QString::number(static_cast<double>(gb), 'f', 2);
        text.replace('.', QLocale().decimalPoint());
        return text + " GB";
    }
    if (bytes >= kMiB)
        return QString::number(bytes / kMiB) + " MB";
    if (bytes > 1024)
        return QString::number(bytes / 1024) + " KB";
    return QString::number(bytes) + " bytes";
}

QString FormatFileTime(uint64_t filetime, bool toLocal) {
    if (filetime < kwtime::kUnixEpoch)
        return {};
    int64_t seconds = 0;
    long nanoseconds = 0;
    kwtime::ToUnix(filetime, &seconds, &nanoseconds);
    qint64 ms = seconds * 1000 + nanoseconds / 1000000;
    QDateTime t = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    if (!t.isValid())
        return {};
    if (toLocal)
        t = t.toLocalTime();
    QLocale locale;
    return locale.toString(t.date(), QLocale::ShortFormat) + " " +
           locale.toString(t.time(), QLocale::ShortFormat);
}

QString DigitsOnly(const QString& text) {
    QString out;
    for (QChar c : text)
        if (c >= '0' && c <= '9')
            out += c;
    return out;
}

QString StripTrailing(const QString& text, QChar suffix) {
    return text.endsWith(suffix) ? text.left(text.size() - 1) : text;
}

QString SubPathAfter(const QString& base, const QString& path) {
    qsizetype at = path.indexOf(base);
    if (at < 0)
        return path;
    QString rest = path.mid(at);
    qsizetype slash = rest.indexOf('\\');
    if (slash < 0)
        return path;
    rest = rest.mid(slash + 1);
    qsizetype last = rest.lastIndexOf('\\');
    return last < 0 ? QString() : rest.left(last);
}

int ColumnWidthOf(const QString& id) {
    static const std::pair<const char*, int> kWidths[] = {
        {"COL_WIDTH_NAME", 175},   {"COL_WIDTH_TYPE", 125},  {"COL_WIDTH_SIZE", 90},
        {"COL_WIDTH_DATE", 150},   {"COL_WIDTH_DRVLTR", 75}, {"COL_WIDTH_FILESYS", 100},
        {"COL_WIDTH_PRILOG", 100}, {"COL_WIDTH_ATTRIB", 75},
    };
    for (const auto& [name, px] : kWidths)
        if (id == QLatin1String(name))
            return px;
    return -1;
}

void ApplyColumnSpecs(QTreeWidget* list, const QStringList& specs) {
    list->setUpdatesEnabled(false);
    list->setColumnCount(static_cast<int>(specs.size()));
    QTreeWidgetItem* header = list->headerItem();
    for (int i = 0; i < specs.size(); ++i) {
        QString spec = specs[i];
        qsizetype comma = spec.lastIndexOf(',');
        if (comma >= 0) {
            QString align = spec.mid(comma + 1);
            bool known = true;
            Qt::Alignment flag = Qt::AlignLeft;
            if (align == "AL_CENTER")
                flag = Qt::AlignHCenter;
            else if (align == "AL_RIGHT")
                flag = Qt::AlignRight;
            else if (align != "AL_LEFT")
                known = false;
            // The first column of a report list always reads from the left.
            if (known && i > 0) {
                header->setTextAlignment(i, flag | Qt::AlignVCenter);
                for (int r = 0; r < list->topLevelItemCount(); ++r)
                    list->topLevelItem(r)->setTextAlignment(i, flag | Qt::AlignVCenter);
            }
            spec.truncate(comma);
        }
        comma = spec.lastIndexOf(',');
        if (comma >= 0) {
            int width = ColumnWidthOf(spec.mid(comma + 1));
            if (width >= 0)
                list->setColumnWidth(i, width);
            spec.truncate(comma);
        }
        header->setText(i, spec);
    }
    list->setUpdatesEnabled(true);
}

bool IsImageFile(const QString& path, const std::vector<std::string>& extensions) {
    qsizetype dot = path.lastIndexOf('.');
    QString ext = dot < 0 ? path : path.mid(dot);
    for (const std::string& e : extensions)
        if (ext.compare(QString::fromStdString(e), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool SameHostPath(const QString& a, const QString& b) {
    const auto hasDrive = [](const QString& p) { return p.size() >= 2 && p[1] == ':'; };
    if (a.size() != b.size())
        return false;
    if (hasDrive(a) && hasDrive(b))
        return a.left(1).compare(b.left(1), Qt::CaseInsensitive) == 0 && a.mid(1) == b.mid(1);
    return a == b;
}

std::string ToHostPath(vfs::VFS_NAMESPACE& vfs, const QString& path) {
    std::string host;
    return vfs.Root().Table().ToHost(U8(path), &host) ? host : U8(path);
}

QString TypedToDrivePath(const drives::DriveTable& table, const QString& typed, const QString& base,
                         QString* problem) {
    QString host = typed;
    if (typed.startsWith('~')) {
        const qsizetype slash = typed.indexOf('/');
        const QString user = typed.mid(1, slash < 0 ? -1 : slash - 1);
        const passwd* entry = user.isEmpty() ? nullptr : ::getpwnam(U8(user).c_str());
        host = (user.isEmpty()     ? QDir::homePath()
                : entry != nullptr ? QString::fromLocal8Bit(entry->pw_dir)
                                   : typed.left(slash < 0 ? typed.size() : slash)) +
               (slash < 0 ? QString() : typed.mid(slash));
    }
    if (!host.startsWith('/')) {
        if (typed.size() >= 2 && (typed[1] == ':' || typed.startsWith("\\\\")))
            return typed;
        QString rest = typed;
        rest.replace('/', '\\');
        return StripTrailing(base, '\\') + '\\' + rest;
    }
    for (const QString& name : host.split('/', Qt::SkipEmptyParts)) {
        if (!name.contains('\\'))
            continue;
        if (problem != nullptr)
            *problem = QStringLiteral("The name \"%1\" in %2 contains \"\\\", which no file or "
                                      "folder name on this machine may hold.")
                           .arg(name, typed);
        return {};
    }
    std::string drive;
    if (table.FromHost(drives::LexicalNormal(U8(host)), &drive))
        return QString::fromStdString(drive);
    if (problem != nullptr)
        *problem = QStringLiteral("The path %1 lies on no drive of this machine.").arg(typed);
    return {};
}

QString TypedToDrivePath(vfs::VFS_NAMESPACE& vfs, const QString& typed, QString* problem) {
    std::string current;
    if (!vfs.GetCurrentDirectory(&current))
        current = "C:\\";
    return TypedToDrivePath(vfs.Root().Table(), typed, QString::fromStdString(current), problem);
}

QString ShownPath(vfs::VFS_NAMESPACE& vfs, const QString& path) {
    return ShownPath(vfs.Root().Table(), path);
}

QString ShownPath(const drives::DriveTable& table, const QString& path) {
    std::string host;
    if (path.startsWith('/') || !table.ToHost(U8(path), &host))
        return path;
    return QString::fromStdString(host);
}

QString SourceImagePath(const VtfeItem* item) {
    if (item != nullptr && item->Kind() == KIND_IMAGE)
        return item->Path();
    if (item == nullptr || item->Kind() != KIND_PARTITION || item->Node() == nullptr)
        return {};
    const VtfeItem* image = VtfeItem::OfNode(item->Node()->parent());
    return image != nullptr ? image->Path() : QString();
}

bool IsHiddenPartitionItem(const VtfeItem* item) {
    return item != nullptr && item->Kind() == KIND_DRIVE && item->Path().startsWith("\\\\.\\");
}

bool OnReadOnlyHiddenPartition(const VtfeItem* item) {
    return item != nullptr && item->Path().startsWith("\\\\.\\") &&
           !HiddenPartitionWritable(U8(item->Path()));
}

QString ChangeFilePath(const QString& imagePath) {
    if (imagePath.isEmpty())
        return {};
    qsizetype slash = imagePath.lastIndexOf('\\');
    QString dir = imagePath.left(slash + 1);
    QString file = imagePath.mid(slash + 1);
    qsizetype dot = file.indexOf('.');
    return dir + (dot < 0 ? file + ".kwx" : file.left(dot + 1) + "kwx");
}

bool DeleteImageFiles(vfs::VFS_NAMESPACE& vfs, const QString& imagePath) {
    if (!vfs.DeleteFile(U8(imagePath)))
        return false;
    qsizetype slash = imagePath.lastIndexOf('\\');
    QString dir = imagePath.left(slash + 1);
    QString base = imagePath.mid(slash + 1);
    // The name without its last extension: "sys.old.kwi" has "sys.old.002".
    base.truncate(base.lastIndexOf('.') < 0 ? base.size() : base.lastIndexOf('.'));
    // A set written across removable media begins with a ".KWU" volume.
    const std::string first = U8(dir + base) + ".KWU";
    if (vfs.FileExists(first) && !vfs.DeleteFile(first))
        return false;
    for (int n = 2; n <= 998; ++n) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03d", n);
        std::string segment = U8(dir + base) + suffix;
        if (!vfs.FileExists(segment))
            return true;
        if (!vfs.DeleteFile(segment))
            return false;
    }
    return true;
}

QString QtFileFilter(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i].section(" (", 0, 0) + " (" + parts[i + 1] + ")";
    return filters.join(";;");
}

QString DrivePathFromText(const QString& caption) {
    qsizetype at = caption.indexOf(":)");
    if (at >= 1)
        return caption.mid(at - 1, 2);
    at = caption.indexOf("(disk");
    if (at >= 0 && caption.size() > at + 2)
        return "\\\\.\\" + caption.mid(at + 1, caption.size() - at - 2);
    return {};
}

int BuildDriveItems(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list,
                    QTreeWidgetItem* myComputer) {
    vfs::VFS_NAMESPACE& vfs = host->Vfs();
    int added = 0;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::string path{letter, ':'};
        uint32_t flags = 0;
        if (!vfs.GetDriveFlags(path, &flags))
            continue;
        QString caption = QStringLiteral("%1 (%2)").arg(DriveLabel(vfs, path, flags),
                                                        QString::fromStdString(path));
        if (HasChildWithText(myComputer, caption))
            continue;
        CreateItem<VtfeDrive>(myComputer, host, tree, list, caption, DriveTypeFromFlags(flags));
        ++added;
    }
    return added;
}

int BuildHiddenPartitionItems(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list,
                              QTreeWidgetItem* hiddenRoot) {
    vfs::VFS_NAMESPACE& vfs = host->Vfs();
    int added = 0;
    std::string name;
    for (uint32_t i = 0; vfs.GetVolumeName(i, &name); ++i) {
        size_t at = name.find("\\\\.\\disk");
        if (at == std::string::npos)
            continue;
        std::string label;
        vfs.GetVolumeLabel(name, &label);
        QString caption = QStringLiteral("%1 (%2)").arg(
            QString::fromStdString(label), QString::fromStdString(name.substr(at + 4)));
        if (HasChildWithText(hiddenRoot, caption))
            continue;
        CreateItem<VtfeDrive>(hiddenRoot, host, tree, list, caption, DRIVETYPE_NO_ROOT);
        ++added;
    }
    return added;
}

QStringList MissingFolders(vfs::VFS_NAMESPACE& vfs, QString dir) {
    QStringList missing;
    while (dir.endsWith('\\'))
        dir.chop(1);
    while (!dir.isEmpty() && !dir.endsWith(':') && !vfs.FileExists(U8(dir))) {
        missing << dir;
        const qsizetype slash = dir.lastIndexOf('\\');
        if (slash <= 0)
            break;
        dir.truncate(slash);
    }
    return missing;
}

bool CreateDirectoryPath(vfs::VFS_NAMESPACE& vfs, const QString& path) {
    std::string p = U8(path);
    if (p.rfind("\\\\.\\", 0) == 0) {
        for (size_t i = 4; i < p.size(); ++i) {
            if (p[i] != '\\')
                continue;
            std::string level = p.substr(0, i);
            if (!vfs.FileExists(level) && !vfs.CreateDirectory(level))
                return false;
        }
        return true;
    }
    const QStringList made = MissingFolders(vfs, path);
    vfs.CreateDirectoryTree(p);
    if (!vfs.FileExists(p))
        return false;
    // Each new folder's entry is on the disk before the folder is used: its
    // parent is synced, the deepest first.
    for (const QString& folder : made) {
        QString parent = folder.left(folder.lastIndexOf('\\'));
        if (parent.endsWith(':'))
            parent += '\\';
        if (!vfs.SyncFolder(U8(parent)))
            return false;
    }
    return true;
}

bool EnsureDirectory(ExplorerHost* host, const QString& path) {
    if (host->Vfs().FileExists(U8(path)))
        return true;
    const QString shown = ShownPath(host->Vfs(), path);
    MsgAnswer answer = host->Ui().Message(
        QStringLiteral("The directory %1 does not exist.\nWould you like to create it?").arg(shown),
        QStringLiteral("Directory Not Found"), MsgIcon::Question, MsgButtons::YesNo);
    if (answer != MsgAnswer::Yes)
        return false;
    if (CreateDirectoryPath(host->Vfs(), path))
        return true;
    host->Ui().Message(QStringLiteral("Unable to create the directory %1.").arg(shown),
                       QStringLiteral("Directory Creation Error"), MsgIcon::Warning,
                       MsgButtons::Ok);
    return false;
}

} // namespace kw::app

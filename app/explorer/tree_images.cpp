#include "app/explorer/tree_images.h"

#include "app/dialogs/art.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace kw::app {
namespace {

QIcon Std(QStyle::StandardPixmap which) {
    return QApplication::style()->standardIcon(which);
}

// A standard icon with a small amber corner mark (restored items).
QIcon Marked(QStyle::StandardPixmap which) {
    QPixmap pm = Std(which).pixmap(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(242, 170, 40));
    p.drawEllipse(QRectF(9, 9, 7, 7));
    return QIcon(pm);
}

QIcon Image() {
    QIcon icon;
    icon.addPixmap(ImageFilePixmap(16));
    icon.addPixmap(ImageFilePixmap(32));
    return icon;
}

// A partition: the hard-disk glyph with a coloured band naming its family
// (FAT, FAT32, NTFS, HPFS, Linux, swap, raw, other).
QIcon Partition(const QColor& band, const char* label) {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.drawPixmap(0, 0, Std(QStyle::SP_DriveHDIcon).pixmap(size, size));
        const QRectF stripe(0, size * 0.58, size, size * 0.42);
        p.setPen(Qt::NoPen);
        p.setBrush(band);
        p.drawRoundedRect(stripe, size / 8.0, size / 8.0);
        if (size >= 32) {
            QFont font = p.font();
            font.setPixelSize(int(stripe.height() * 0.8));
            font.setBold(true);
            p.setFont(font);
            p.setPen(Qt::white);
            p.drawText(stripe, Qt::AlignCenter, QString::fromLatin1(label));
        }
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

} // namespace

QIcon TreeImage(int index) {
    switch (index) {
    case 0:
        return Std(QStyle::SP_FileDialogContentsView);
    case 1:
        return Std(QStyle::SP_ComputerIcon);
    case 2:
        return Std(QStyle::SP_DriveHDIcon);
    case 3:
        return Std(QStyle::SP_DriveFDIcon);
    case 4:
    case 5:
        return Std(QStyle::SP_DriveHDIcon);
    case 6:
        return Std(QStyle::SP_DriveCDIcon);
    case 7:
        return Std(QStyle::SP_DriveNetIcon);
    case 8:
        return Std(QStyle::SP_DirClosedIcon);
    case 9:
        return Std(QStyle::SP_DirOpenIcon);
    case 10:
        return Image();
    case 11:
        return Partition(QColor(40, 120, 200), "FAT");
    case 12:
        return Partition(QColor(20, 80, 160), "F32");
    case 13:
        return Partition(QColor(200, 60, 50), "NTFS");
    case 14:
        return Partition(QColor(120, 70, 170), "HPFS");
    case 15:
        return Partition(QColor(40, 150, 70), "EXT");
    case 16:
        return Partition(QColor(110, 110, 110), "SWP");
    case 17:
        return Partition(QColor(150, 110, 40), "RAW");
    case 18:
        return Partition(QColor(90, 90, 90), "?");
    case 19: // a folder inside a partition
        return Std(QStyle::SP_DirClosedIcon);
    case 20:
        return Std(QStyle::SP_DirOpenIcon);
    case 21: // a file inside a partition
        return Std(QStyle::SP_FileIcon);
    case 22:
        return Marked(QStyle::SP_DirClosedIcon);
    case 23:
        return Marked(QStyle::SP_DirOpenIcon);
    case 24:
        return Marked(QStyle::SP_FileIcon);
    default:
        return {};
    }
}

} // namespace kw::app

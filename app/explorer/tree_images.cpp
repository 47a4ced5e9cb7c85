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

#include "app/dialogs/art.h"

#include "app/app_info.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kw::app {
namespace {

const QColor kDeep(18, 52, 96);
const QColor kSky(64, 140, 210);
const QColor kAmber(242, 170, 40);

// Three stacked platters, the product's mark, in the rectangle r.
void PaintMark(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    qreal h = r.height() / 4.2, w = r.width();
    for (int i = 2; i >= 0; --i) {
        QRectF disc(r.left(), r.top() + i * h * 1.05 + h * 0.4, w, h * 1.6);
        QLinearGradient g(disc.topLeft(), disc.bottomLeft());
        g.setColorAt(0, i == 0 ? kAmber.lighter(130) : kSky.lighter(140));
        g.setColorAt(1, i == 0 ? kAmber.darker(120) : kSky.darker(130));
        p.setPen(QPen(kDeep, std::max<qreal>(1.0, w / 24)));
        p.setBrush(g);
        p.drawEllipse(disc);
    }
    p.restore();
}

QPixmap Canvas(int w, int h) {
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    return pm;
}

void PaintBackdrop(QPainter& p, const QRect& r) {
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, kDeep);
    g.setColorAt(1, kSky.darker(110));
    p.fillRect(r, g);
}

} // namespace

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pm = Canvas(size, size);
        QPainter p(&pm);
        PaintMark(p, QRectF(1, 0, size - 2, size - 1));
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QPixmap ImageFilePixmap(int size) {
    QPixmap pm = Canvas(size, size);
    QPainter p(&pm);
    PaintMark(p, QRectF(1, 1, size - 2, size - 2));
    return pm;
}

QPixmap BannerPixmap(bool large) {
    QPixmap pm = Canvas(large ? 96 : 69, 45);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    PaintMark(p, QRectF(2, 8, 26, 29));
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(large ? 12 : 12);
    p.setFont(f);
    p.setPen(kDeep);
    if (large) {
        p.drawText(QRect(31, 6, 65, 18), Qt::AlignLeft | Qt::AlignVCenter, "Veltrane");
        f.setBold(false);
        f.setPixelSize(10);
        p.setFont(f);
        p.drawText(QRect(31, 22, 65, 16), Qt::AlignLeft | Qt::AlignVCenter, "File Editor");
    } else {
        p.drawText(QRect(30, 6, 39, 33), Qt::AlignCenter, "VFE");
    }
    return pm;
}

QPixmap SplashPixmap() {
    QPixmap pm(420, 240);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    PaintBackdrop(p, pm.rect());
    PaintMark(p, QRectF(30, 40, 90, 100));
    QFont f = p.font();
    f.setPixelSize(30);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(140, 50, 270, 40), Qt::AlignLeft | Qt::AlignVCenter, "Veltrane");
    f.setPixelSize(20);
    f.setBold(false);
    p.setFont(f);
    p.drawText(QRect(140, 92, 270, 30), Qt::AlignLeft | Qt::AlignVCenter, "File Editor");
    f.setPixelSize(12);
    p.setFont(f);
    p.setPen(kAmber);
    p.drawText(QRect(140, 124, 270, 20), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version %1").arg(kVersionNumber));
    return pm;
}

QPixmap AboutPixmap() {
    QPixmap pm(120, 150);
    QPainter p(&pm);
    PaintBackdrop(p, pm.rect());
    PaintMark(p, QRectF(20, 30, 80, 90));
    return pm;
}

} // namespace kw::app

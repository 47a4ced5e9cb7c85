// The editor's pictures, painted at run time: the program icon, the image
// file icon, the two banners of the toolbar, the splash and about pictures.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace kw::app {

QIcon ProgramIcon();
// A stacked-platter symbol for image files (size x size pixels).
QPixmap ImageFilePixmap(int size);
// The product banner: 96 x 45 with the product's name, 69 x 45 the mark alone.
QPixmap BannerPixmap(bool large);
QPixmap SplashPixmap();
QPixmap AboutPixmap();

} // namespace kw::app

// The explorer's image list: the icons of the tree nodes, list rows and tabs
// by their index.
#pragma once

#include <QIcon>

namespace kw::app {

// 0 the "Locate" tab, 1 "My Computer", 2 "Hidden Partitions", 3 floppy,
// 4 removable, 5 fixed, 6 CD-ROM, 7 network drive, 8/9 folder closed/open,
// 10 image file (and the "Recent" tab), 22/23 restored folder, 24 restored
// file. Other indexes give an empty icon.
QIcon TreeImage(int index);

} // namespace kw::app

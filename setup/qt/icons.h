// The folder list's images, drawn in code: the 16 by 16 row icons by their
// image keys, and the two 8 by 7 sort arrows of the column headers
// (image 0 ascending, image 1 descending).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QStringList>

namespace korvane::setup::qt {

// Every key of the row image list, in the list's order.
const QStringList& folderImageKeys();

// The 16 by 16 image of a key; an unknown key gives a null icon.
QIcon folderIcon(const QString& key);

// Image 0: ascending, image 1: descending; other indexes give a null pixmap.
QPixmap sortArrow(int image);

} // namespace korvane::setup::qt

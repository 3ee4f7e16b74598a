#pragma once
// The program's pictures, drawn from the SVG files embedded as resources, at
// the size the screen needs (sharp on high-density screens too).

#include <string>

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace ebbmark {

// The resource path of a picture role the windows name ("connected",
// "battery", "save", "program" ...); empty for an unknown role.
QString PicturePath(const std::string& role);

// The picture of a role at `logical` size for a screen with the given
// device pixel ratio; a null pixmap for an unknown role.
QPixmap PicturePixmap(const std::string& role, QSize logical, qreal device_pixel_ratio);

// The picture of the status bar's image list entry (1-based index); a null
// pixmap for an index without a picture.
QPixmap StatusPixmap(int image, QSize logical, qreal device_pixel_ratio);

// The application icon in the sizes a desktop asks for.
QIcon ProgramIcon();

}  // namespace ebbmark

#include "config/qt/pictures.h"

#include <cmath>

#include <QPainter>
#include <QSvgRenderer>

#include "config/model/pictures.h"

// The pictures live in this static library; its resources are registered
// by hand, once, before the first picture is drawn.
static void RegisterPictures() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(ebbmark);
    return true;
  }();
  (void)registered;
}

namespace ebbmark {

namespace {

// The embedded resource of a drawing; empty for none.
QString DrawingPath(const char* drawing) {
  if (drawing == nullptr) return {};
  RegisterPictures();
  return QStringLiteral(":/images/%1.svg").arg(QLatin1String(drawing));
}

QPixmap DrawingPixmap(const QString& path, QSize logical, qreal device_pixel_ratio) {
  if (path.isEmpty() || logical.isEmpty()) return {};
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  const QSize device(static_cast<int>(std::lround(logical.width() * device_pixel_ratio)),
                     static_cast<int>(std::lround(logical.height() * device_pixel_ratio)));
  QPixmap pixmap(device);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(device_pixel_ratio);
  return pixmap;
}

}  // namespace

QString PicturePath(const std::string& role) {
  return DrawingPath(PictureDrawing(role));
}

QPixmap PicturePixmap(const std::string& role, QSize logical, qreal device_pixel_ratio) {
  return DrawingPixmap(PicturePath(role), logical, device_pixel_ratio);
}

QPixmap StatusPixmap(int image, QSize logical, qreal device_pixel_ratio) {
  return DrawingPixmap(DrawingPath(StatusPictureDrawing(image)), logical, device_pixel_ratio);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(PicturePixmap("program", QSize(size, size), 1.0));
  return icon;
}

}  // namespace ebbmark

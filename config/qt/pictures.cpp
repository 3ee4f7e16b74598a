#include "config/qt/pictures.h"

#include <cmath>
#include <map>

#include <QPainter>
#include <QSvgRenderer>

#include "config/model/frm_ebbmark.h"

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

QString PicturePath(const std::string& role) {
  RegisterPictures();
  // The roles the model's images and toolbar buttons name. The "yes" and
  // "no" indicators share the connected and not-connected pictures.
  static const std::map<std::string, const char*> kFiles = {
      {"connected", "ok"},
      {"yes", "ok"},
      {"not_connected", "fail"},
      {"no", "fail"},
      {"battery", "battery"},
      {"shutdown_active", "power_red"},
      {"hibernate_active", "power_orange"},
      {"shutdown", "shutdown"},
      {"question", "question"},
      {"save", "tb_save"},
      {"service", "tb_service"},
      {"email", "tb_email"},
      {"trellan", "tb_trellan"},
      {"program", "ebbmark"},
      {"status_running", "status_running"},
      {"status_stopped", "status_stopped"},
      {"status_not_installed", "status_not_installed"},
  };
  const auto it = kFiles.find(role);
  if (it == kFiles.end()) return {};
  return QStringLiteral(":/images/%1.svg").arg(QLatin1String(it->second));
}

QPixmap PicturePixmap(const std::string& role, QSize logical, qreal device_pixel_ratio) {
  const QString path = PicturePath(role);
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

QPixmap StatusPixmap(int image, QSize logical, qreal device_pixel_ratio) {
  switch (image) {
    case FrmEbbmark::kImageRunning:
      return PicturePixmap("status_running", logical, device_pixel_ratio);
    case FrmEbbmark::kImageStopped:
      return PicturePixmap("status_stopped", logical, device_pixel_ratio);
    case FrmEbbmark::kImageNotInstalled:
      return PicturePixmap("status_not_installed", logical, device_pixel_ratio);
    default:
      return {};
  }
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(PicturePixmap("program", QSize(size, size), 1.0));
  return icon;
}

}  // namespace ebbmark

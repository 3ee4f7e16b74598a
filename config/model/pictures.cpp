#include "config/model/pictures.h"

#include <array>
#include <utility>

#include "config/model/frm_ebbmark.h"

namespace ebbmark {

const char* PictureDrawing(std::string_view role) {
  // The "yes" and "no" indicators share the link's tick and cross.
  static constexpr std::array<std::pair<std::string_view, const char*>, 15> kDrawings = {{
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
      {"network", "tb_network"},
      {"program", "ebbmark"},
  }};
  for (const auto& [name, drawing] : kDrawings)
    if (name == role) return drawing;
  return nullptr;
}

const char* StatusPictureDrawing(int image) {
  switch (image) {
    case FrmEbbmark::kImageRunning:
      return "status_running";
    case FrmEbbmark::kImageStopped:
      return "status_stopped";
    case FrmEbbmark::kImageNotInstalled:
      return "status_not_installed";
    default:
      return nullptr;
  }
}

}  // namespace ebbmark

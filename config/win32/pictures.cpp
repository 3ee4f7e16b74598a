#include "config/win32/pictures.h"

#include <string_view>

#include "config/model/pictures.h"
#include "config/win32/view_resources.h"

namespace ebbmark::win32view {

namespace {

// The icon resource rendered from each drawing (see ebbmark.rc.in).
int DrawingResource(const char* drawing) {
  if (drawing == nullptr) return 0;
  static const std::map<std::string_view, int> kResources = {
      {"ebbmark", IDI_EBBMARK},
      {"ok", IDI_PIC_OK},
      {"fail", IDI_PIC_FAIL},
      {"battery", IDI_PIC_BATTERY},
      {"power_red", IDI_PIC_POWER_RED},
      {"power_orange", IDI_PIC_POWER_ORANGE},
      {"shutdown", IDI_PIC_SHUTDOWN},
      {"question", IDI_PIC_QUESTION},
      {"status_running", IDI_STATUS_RUNNING},
      {"status_stopped", IDI_STATUS_STOPPED},
      {"status_not_installed", IDI_STATUS_NOT_INSTALLED},
      {"tb_save", IDI_TB_SAVE},
      {"tb_service", IDI_TB_SERVICE},
      {"tb_email", IDI_TB_EMAIL},
      {"tb_trellan", IDI_TB_TRELLAN},
      {"tb_network", IDI_TB_NETWORK},
  };
  const auto it = kResources.find(drawing);
  return it == kResources.end() ? 0 : it->second;
}

}  // namespace

int PictureResource(const std::string& role) {
  return DrawingResource(PictureDrawing(role));
}

int StatusPictureResource(int image) {
  return DrawingResource(StatusPictureDrawing(image));
}

IconCache::~IconCache() {
  for (auto& [key, icon] : icons_)
    if (icon != nullptr) ::DestroyIcon(icon);
}

HICON IconCache::Get(int resource, int pixels) {
  if (resource == 0 || pixels <= 0) return nullptr;
  const auto key = std::make_pair(resource, pixels);
  const auto it = icons_.find(key);
  if (it != icons_.end()) return it->second;
  HICON icon =
      static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource),
                                      IMAGE_ICON, pixels, pixels, LR_DEFAULTCOLOR));
  icons_.emplace(key, icon);
  return icon;
}

}  // namespace ebbmark::win32view

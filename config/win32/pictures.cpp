#include "config/win32/pictures.h"

#include "config/win32/view_resources.h"

namespace ebbmark::win32view {

int PictureResource(const std::string& role) {
  static const std::map<std::string, int> kRoles = {
      {"connected", IDI_PIC_OK},
      {"yes", IDI_PIC_OK},
      {"not_connected", IDI_PIC_FAIL},
      {"no", IDI_PIC_FAIL},
      {"battery", IDI_PIC_BATTERY},
      {"shutdown_active", IDI_PIC_POWER_RED},
      {"hibernate_active", IDI_PIC_POWER_ORANGE},
      {"shutdown", IDI_PIC_SHUTDOWN},
      {"question", IDI_PIC_QUESTION},
      {"program", IDI_EBBMARK},
      {"save", IDI_TB_SAVE},
      {"service", IDI_TB_SERVICE},
      {"email", IDI_TB_EMAIL},
      {"trellan", IDI_TB_TRELLAN},
  };
  const auto it = kRoles.find(role);
  return it == kRoles.end() ? 0 : it->second;
}

int StatusPictureResource(int image) {
  switch (image) {
    case 3:
      return IDI_STATUS_RUNNING;
    case 13:
      return IDI_STATUS_STOPPED;
    case 4:
      return IDI_STATUS_NOT_INSTALLED;
    default:
      return 0;
  }
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

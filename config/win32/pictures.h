#pragma once
// Which icon resource shows which picture role of the window models, and a
// cache of the icons loaded at the pixel sizes the screen needs.

#include <windows.h>

#include <map>
#include <string>
#include <utility>

namespace ebbmark::win32view {

// The icon resource for a picture role of an Image control or a toolbar
// button ("connected", "save", ...); 0 for a role without a picture.
int PictureResource(const std::string& role);

// The icon resource for a picture number of the status bar's image list
// (3 running, 13 stopped, 4 not installed); 0 for none.
int StatusPictureResource(int image);

// Icons loaded from the program's resources, each drawn at the requested
// size from the nearest rendered size. Owns them for its lifetime.
class IconCache {
 public:
  IconCache() = default;
  ~IconCache();
  IconCache(const IconCache&) = delete;
  IconCache& operator=(const IconCache&) = delete;

  // Null when the resource does not exist.
  HICON Get(int resource, int pixels);

 private:
  std::map<std::pair<int, int>, HICON> icons_;
};

}  // namespace ebbmark::win32view

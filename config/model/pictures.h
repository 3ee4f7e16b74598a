#pragma once
// Which drawing shows each picture the windows name. The drawings are the
// SVG files of config/images (<name>.svg); each view renders them its own
// way, but the choice of picture is the same on every screen.

#include <string_view>

namespace ebbmark {

// The drawing for a picture role of an Image control or a toolbar button
// ("connected", "battery", "save", "program" ...); null for an unknown role.
const char* PictureDrawing(std::string_view role);

// The drawing for a picture of the status bar's image list
// (FrmEbbmark::kImageRunning, kImageStopped, kImageNotInstalled); null for
// any other number.
const char* StatusPictureDrawing(int image);

}  // namespace ebbmark

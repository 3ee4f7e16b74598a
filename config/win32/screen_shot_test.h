#pragma once
// Tests only: pictures of windows for a person to look at, taken when
// EBBMARK_SCREENSHOT_DIR names a folder.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ebbmark::win32view {

// The 24-bit picture of the screen under `window`, as a BMP file.
inline void SaveShot(HWND window, const std::string& path) {
  RECT r{};
  ::GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(mem, bmp);
  ::BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ::GdiFlush();
  const DWORD row = ((w * 3 + 3) / 4) * 4;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + row * h;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    std::fwrite(bits, row, h, f);
    std::fclose(f);
  }
  ::SelectObject(mem, old);
  ::DeleteObject(bmp);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
}

// SaveShot into EBBMARK_SCREENSHOT_DIR as NAME.bmp, when it is set.
inline void MaybeShoot(HWND window, const std::string& name) {
  const char* folder = std::getenv("EBBMARK_SCREENSHOT_DIR");
  if (folder == nullptr || *folder == '\0') return;
  ::UpdateWindow(window);
  SaveShot(window, std::string(folder) + "/" + name + ".bmp");
}

}  // namespace ebbmark::win32view

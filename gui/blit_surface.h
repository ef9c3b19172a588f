// The Qt windows the blit back-end draws into.
//
// BlitSurface is the drawing area: frames go straight from the image's rows
// into the window's 32-bit backing store (converted, mirrored and scaled in
// one pass by image/screen_blit.h), without an intermediate copy of the frame.
// Qt keeps the backing store, so what was drawn is shown again when the
// window is exposed. When Qt asks for a part to be painted again (the window
// was resized), the last frame is drawn again from its image if the owner
// says that image still lives (ImageCheck); a drawing made while the window is
// not on the screen yet (just shown, not mapped) is kept as a copy of its own
// and painted once the window appears.
//
// MainWindowSurface and FullscreenSurface are the two BlitWindows of the
// back-end: the main window's picture area, and a window of its own that
// covers the screen.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "display/blit_display.h"
#include "image/dib_section.h"
#include "image/screen_blit.h"

namespace dioptrix::gui {

class BlitSurface : public QWidget {
 public:
  explicit BlitSurface(QWidget* parent = nullptr);

  void ClearPicture();
  void DrawBlit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h, int32_t sx,
                int32_t sy);
  void DrawStretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                   int32_t sx, int32_t sy, int32_t sw, int32_t sh, StretchMode mode);
  // Where key presses, mouse buttons and focus loss go; null: nowhere.
  void SetEvents(DisplayEvents* events) { events_ = events; }
  // Tells whether an image drawn earlier still exists (and may be read to
  // paint it again). Without one, only kept copies are painted again.
  using ImageCheck = std::function<bool(const cDIBSection* image)>;
  void SetImageCheck(ImageCheck check) { imageAlive_ = std::move(check); }

  // Paint counts: straight into the backing store, or through a scratch
  // image when the backing store is not a plain 32-bit image.
  int64_t DirectPaints() const { return directPaints_; }
  int64_t ScratchPaints() const { return scratchPaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  // One drawing: a black fill of the whole area, a blit or a stretch.
  struct Op {
    enum Kind { Clear, Blit, Stretch } kind = Clear;
    const cDIBSection* image = nullptr;  // borrowed, or owned below
    DibPtr owned;
    int32_t dx = 0, dy = 0, dw = 0, dh = 0, sx = 0, sy = 0, sw = 0, sh = 0;
    StretchMode mode = kHalftone;
    uint64_t order = 0;  // drawings are painted in the order they were made

    // The area the drawing may touch, and the area it surely paints over.
    QRect Area(const QRect& all) const;
    QRect Covered(const QRect& all) const;
  };

  void Draw(Op op);
  bool OnScreen() const;
  // A view of the backing store covering `area` (widget coordinates), when
  // the painter draws into a plain 32-bit image at its own scale.
  bool DirectView(QPainter& painter, const QRect& area, ScreenImage& view) const;
  static void PaintOp(const ScreenImage& view, const QPoint& origin, const Op& op);

  std::vector<Op> kept_;  // drawings to paint again, images owned
  Op last_;               // the last drawing painted at once, image borrowed
  bool haveLast_ = false;
  const Op* current_ = nullptr;  // the drawing being made now, image borrowed
  uint64_t drawings_ = 0;
  ImageCheck imageAlive_;
  bool currentPainted_ = false;
  DisplayEvents* events_ = nullptr;
  int64_t directPaints_ = 0;
  int64_t scratchPaints_ = 0;
};

// Drawing calls of the blit back-end, passed to a BlitSurface.
class SurfaceWindow : public BlitWindow {
 public:
  void Clear() override;
  void SetPersistent(bool persistent) override { persistent_ = persistent; }
  void Blit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h, int32_t sx,
            int32_t sy) override;
  void Stretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw, int32_t dh, int32_t sx,
               int32_t sy, int32_t sw, int32_t sh, StretchMode mode) override;
  // Drawings reach the screen as they are made (Qt's backing store keeps
  // them either way), so there is nothing left to show here.
  void Refresh() override {}
  void SetEvents(DisplayEvents* events) override;
  void SetImageCheck(BlitSurface::ImageCheck check);

  BlitSurface* Surface() const { return surface_.data(); }

 protected:
  explicit SurfaceWindow(BlitSurface* surface) : surface_(surface) {}
  QPointer<BlitSurface> surface_;
  bool persistent_ = false;
};

// The main window's picture area. Place moves the main window (its frame's
// corner) and makes its inner area width x height; the picture area is that
// less the menu bar. Unload leaves the main window as it is.
class MainWindowSurface final : public SurfaceWindow {
 public:
  MainWindowSurface(QWidget* mainWindow, BlitSurface* area);
  void Place(int32_t left, int32_t top, int32_t width, int32_t height) override;
  void Show() override;
  void Unload() override {}

 private:
  QPointer<QWidget> mainWindow_;
};

// A frameless black window of the back-end's own on the screen of a
// reference window (the main window), with the pointer hidden. Unloading it
// closes it; it is deleted once its events have run.
class FullscreenSurface final : public SurfaceWindow {
 public:
  explicit FullscreenSurface(QWidget* reference);
  ~FullscreenSurface() override;
  void Place(int32_t left, int32_t top, int32_t width, int32_t height) override;
  void Show() override;
  void Unload() override;

 private:
  QPointer<QWidget> reference_;
};

// Hands a key press, a mouse press or a loss of the focus on a display window
// to the display callbacks; nothing when events is null. A focus taken by a
// popup is not a loss.
void SendKey(DisplayEvents* events, const QKeyEvent& event);
void SendButton(DisplayEvents* events, const QMouseEvent& event);
void SendFocusLoss(DisplayEvents* events, const QFocusEvent& event);

// The top-left corner of the screen a window is on (the primary screen when
// it has none), in desktop coordinates.
QPoint ScreenOrigin(const QWidget* window);

// Makes a top-level widget a frameless black window "Dioptrix" with the
// pointer hidden, as the fullscreen displays are.
void MakeFullscreenWindow(QWidget* window);

// Virtual-key code, shift state and button code of Qt's events, as the
// display callbacks take them.
int16_t VirtualKeyCode(int qtKey);
int16_t ShiftState(Qt::KeyboardModifiers modifiers);
int16_t ButtonCode(Qt::MouseButton button);

}  // namespace dioptrix::gui

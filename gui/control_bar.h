// The control bar (GUI, "Toolbar"): a small tool window docked under the main
// window with the position of playback on a progress bar and a picture of
// buttons (open, play, stop, fullscreen, and a handle at each end that docks
// the bar again). Clicking the progress bar picks the frame the next Play
// starts from. The caption shows the position and the length as times.
//
// The bar reports what the user does through Actions; the application acts.
#pragma once

#include <QProgressBar>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dioptrix::gui {

// h:m:s of frame n at fps frames per second, each a plain number without
// leading zeros (frame 1625 at 25 fps is "0:1:5"); the seconds are rounded to
// the nearest whole one, halves to even. Empty when fps is zero.
std::string TimeText(float frame, float fps);

// Inside a rectangle strictly: left < x < left + width, top < y < top + height.
bool StrictlyInside(const QRect& shape, int x, int y);

// The progress bar: a value in frames (single precision) over a maximum, and
// a click that picks a position.
class ProgressBar1 : public QProgressBar {
 public:
  explicit ProgressBar1(QWidget* parent);
  float Value() const { return value_; }
  float Maximum() const { return maximum_; }
  void SetValue(float value);
  void SetMaximum(float maximum);
  // Runs on a press of the mouse at x (pixels from the bar's left edge).
  std::function<void(int x)> onPress;

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void Show();
  float value_ = 0;
  float maximum_ = 1;
};

// The picture of buttons; a mouse release at (x, y) goes to onRelease.
class ButtonPicture : public QWidget {
 public:
  explicit ButtonPicture(QWidget* parent);
  std::function<void(int x, int y)> onRelease;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class GUI : public QWidget {
 public:
  // What the bar's buttons and its frame ask of the application.
  struct Actions {
    std::function<void()> track;   // dock under the main window
    std::function<void()> play;    // CTRL_Play
    std::function<void()> stop;    // CTRL_Stop
    std::function<void()> full;    // CTRL_Full
    std::function<void()> open;    // open a file, asking for its name
    std::function<void()> hidden;  // the user closed the bar (it hides)
  };
  // What the bar reads: the open video's frame count and rate, and the
  // frame playback is at.
  struct Source {
    std::function<int32_t()> frameCount;
    std::function<float()> framesPerSecond;
    std::function<int32_t()> currentFrame;
  };

  GUI(QWidget* owner, Actions actions, Source source);

  // The button rectangles over the picture, in picture coordinates, in the
  // order they are tested.
  enum Shape { ShapeMove1, ShapeMove2, ShapePlay, ShapeStop, ShapeFull, ShapeOpen, kShapes };
  static const std::array<QRect, kShapes>& Shapes();
  // The tests of a mouse release at (x, y) on the picture: every rectangle
  // that holds the point runs its action, in the order above.
  void PictureReleased(int x, int y);
  // A press on the progress bar at x pixels from its left edge.
  void ProgressPressed(int x);

  // The caption: "Toolbar", or "Toolbar (position / length)" with a video.
  void Update_GUI();
  // Progress value = the frame playback is at.
  void Vid_State_Change();
  // A new video: value 0, maximum its frame count (1 without frames).
  void Reset(int32_t frameCount);

  ProgressBar1& Progress() { return *progress_; }
  ButtonPicture& Picture() { return *picture_; }
  QTimer& Progress_Timer() { return timer_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Actions actions_;
  Source source_;
  ProgressBar1* progress_;
  ButtonPicture* picture_;
  QTimer timer_;
};

}  // namespace dioptrix::gui

// The statistics window (Profiler, "Statistics"): the frame rate of the 2D to
// 3D conversion and the mean time of each playback stage of the last
// playback, and what the playback noted (a film without sound, ...).
#pragma once

#include <QDialog>
#include <array>
#include <string>
#include <vector>

class QPlainTextEdit;

namespace dioptrix::gui {

class Profiler : public QDialog {
 public:
  explicit Profiler(QWidget* owner);
  // Clears the window and writes one line each: "FPS: " + 1 / meanFrameTime
  // (left out when meanFrameTime is zero), then "Get Frame: ", "Decode: ",
  // "Encode: ", "Put: " with the four stage times in seconds, then the notes.
  void LoadProfile(float meanFrameTime, const std::array<float, 4>& stageTimes,
                   const std::vector<std::string>& notes = {});
  std::vector<std::string> Lines() const;

 private:
  QPlainTextEdit* text_;
};

// Plain decimal text of a number: the shortest that reads back as the same
// single-precision value, never in exponent form.
std::string PlainNumber(float value);

}  // namespace dioptrix::gui

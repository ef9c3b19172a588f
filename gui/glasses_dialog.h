// The glasses dialog (File > Settings): the user's 3D glasses and the screen
// mode of fullscreen playback. Choosing an entry applies it to the program's
// Settings at once; OK saves the lists' texts to the settings store, Cancel
// puts everything back as it was when the dialog was shown.
//
// One dialog lives for the whole run: start-up applies the stored settings
// through its controls (LoadSettings), as if the user had chosen them.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "gui/settings_store.h"
#include "platform/settings.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace dioptrix::gui {

// The glasses list in list order: entry n (from 1) is glasses code n.
inline constexpr const char* kGlassesEntries[] = {
    "eDimensional Glasses", "Eye3D Shutter Glasses", "I-Glasses Shutter Glasses",
    "Generic OpenGL",       "Anaglyph (Red/Green)",  "Anaglyph (Blue/Yellow)",
    "NVidia Stereo"};

// Shown on OK when the glasses are shutter glasses (codes 1 to 3).
inline constexpr const char* kShutterOffsetNote =
    "When viewing fullscreen with your selected glasses, you may find that the left and right eyes "
    "don't align vertically. To adjust this use the vertical offset adjustment.";

// The vertical offset factor the scroll bar offers.
inline constexpr int kVertFactorMin = 1;
inline constexpr int kVertFactorMax = 100;

class GlassesSet : public QDialog {
 public:
  GlassesSet(Settings& settings, SettingsStore& store, QWidget* owner);

  // Start-up: applies the stored settings through the controls. Texts that
  // are no list entry, and numbers out of range, leave the value as it is.
  void LoadSettings();
  // Shows the dialog modally over its owner until OK or Cancel.
  void ShowModal();

  // What the OK and Cancel buttons do.
  void Ok();
  void Cancel();

  // The controls, for tests (each also has an objectName).
  QComboBox& GlassesList() { return *glasses_; }
  QComboBox& ResolutionList() { return *resolution_; }
  QComboBox& DepthList() { return *depth_; }
  QComboBox& RefreshList() { return *refresh_; }
  QScrollBar& VertFactorBar() { return *vertBar_; }
  QLineEdit& VertFactorText() { return *vertText_; }
  QLabel& MegapixelLabel() { return *megapixels_; }

 protected:
  void done(int result) override;

 private:
  // The Settings values and control states the dialog can change.
  struct State {
    int16_t glassesType;
    int32_t screenWidth, screenHeight, colourDepth, refreshRate, vertFactor;
    int resolution, depth, refresh, vertBar;
  };
  State Snapshot() const;
  void Restore(const State& state);

  void ResolutionChosen();
  void DepthChosen();
  void RefreshChosen();
  void VertFactorMoved(int value);
  // Selects entry text of list (when it is one) and applies it as a choice.
  void Choose(QComboBox& list, const std::string& text, void (GlassesSet::*chosen)());
  void SetVertFactor(int value);

  Settings& settings_;
  SettingsStore& store_;
  QComboBox* glasses_;
  QComboBox* resolution_;
  QLabel* megapixels_;
  QComboBox* depth_;
  QComboBox* refresh_;
  QScrollBar* vertBar_;
  QLineEdit* vertText_;
  QPushButton* ok_;
  QPushButton* cancel_;
  // While shown: whether OK has done its work, and how the dialog ended.
  bool okDone_ = false;
  std::optional<int> ended_;
};

}  // namespace dioptrix::gui

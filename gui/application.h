// The application: the program context, the main window and the display
// back-ends of one run of dioptrix, with the steps the main window offers:
// start-up, opening a file (its layout detected), and playing it for the
// user's glasses.
//
// The command line (app/) drives it today; the menus, dialogs and control
// bar drive the same steps.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "gui/glasses_dialog.h"
#include "gui/main_window.h"
#include "gui/settings_store.h"
#include "playback/program.h"

namespace dioptrix::gui {

// Shown when Play is asked for without an open file.
inline constexpr const char* kSelectFileFirst =
    "Please select a video file to play first. (File>Open)";

class Application {
 public:
  struct Options {
    std::string libraryDir;    // where libblocks.so is looked for first
    std::string settingsFile;  // settings file instead of the per-user one
  };
  explicit Application(Options options = {});
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Start-up: fullscreen interlacing through OpenGL, the settings loaded,
  // the main window shown.
  void Start();

  // Opens a video: a wrapper script when the file needs one, then its frame
  // count, rate and detected layout. False (with the message shown) when it
  // cannot be read; no file is open then.
  bool OpenFile(const std::string& path);
  const std::string& CurrentFile() const { return currentFile_; }
  int32_t FrameCount() const { return frameCount_; }
  // The detected layout: 3 plain 2D, 5 side by side, 1 above/below.
  int16_t DetectedLayout() const { return detectedLayout_; }

  // The layout frames are played as. Opening a file sets it from the
  // detection (2D is converted to 3D); any input layout code may be set.
  int16_t InputLayout() const { return inputLayout_; }
  void SetInputLayout(int16_t layout) { inputLayout_ = layout; }
  // An output method that replaces the one the glasses give; nothing: the
  // glasses decide.
  void SetOutputMethod(std::optional<int16_t> method) { methodOverride_ = method; }
  // The output method the next Play uses.
  int16_t OutputMethodFor(bool fullscreen);

  // Plays the open file from the start frame until it ends or is stopped.
  void Play(bool fullscreen);
  bool Playing() const { return playing_; }
  // Ends a running playback after its current frame.
  void Stop();

  // Error messages shown so far.
  int32_t ErrorsShown() const { return errorsShown_; }
  // True once the user has closed the main window.
  bool Closed() const { return closed_; }

  ProgramContext& Context() { return *ctx_; }
  FrmMain& MainWindow() { return *main_; }
  GlassesSet& GlassesDialog() { return *glasses_; }

 private:
  std::unique_ptr<FrmMain> main_;  // outlives the back-ends that draw into it
  std::unique_ptr<ProgramContext> ctx_;
  SettingsStore store_;
  std::unique_ptr<GlassesSet> glasses_;  // over the main window, for the whole run

  std::string currentFile_;
  std::string openPath_;  // the wrapper script, or the file itself
  int32_t frameCount_ = 0;
  int16_t detectedLayout_ = 3;
  int16_t inputLayout_ = 4;
  int16_t outputMethod_ = 3;
  std::optional<int16_t> methodOverride_;
  int32_t startFrame_ = 0;
  bool playing_ = false;
  bool closed_ = false;
  int32_t errorsShown_ = 0;
};

// The input layout the main window plays a detected layout as: plain 2D is
// converted to 3D; side by side and above/below keep theirs.
int16_t PlayLayoutFor(int16_t detected);

}  // namespace dioptrix::gui

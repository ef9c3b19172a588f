// The application: the program context, the windows (main window, control
// bar, glasses dialog, statistics) and the display back-ends of one run of
// dioptrix, with the steps the menus, the control bar and the command line
// drive: start-up, opening a file (its layout detected), playing it for the
// user's glasses, stopping, exit.
//
// Never two playbacks at once: a playback pumps window events, so Play,
// Fullscreen, Open, a drop or Exit asked for while one runs stop it, and the
// new step runs once the running playback has returned (posted to the event
// loop).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gui/control_bar.h"
#include "gui/glasses_dialog.h"
#include "gui/main_window.h"
#include "gui/settings_store.h"
#include "gui/statistics_window.h"
#include "platform/screen_modes.h"
#include "playback/program.h"

namespace dioptrix::gui {

// Shown when Play is asked for without an open file.
inline constexpr const char* kSelectFileFirst =
    "Please select a video file to play first. (File>Open)";

// The open dialog's filter in its classic form ("Name|patterns|..."), and in
// Qt's form with an "All video files" entry first for what FFmpeg opens.
extern const char* const kOpenFilter;
QString QtFileFilter(const std::string& classic);

// "This video appears to be <name>. If this is incorrect ..." for a detected
// layout (3 2D, 5 Parallel, 1 Above/Below).
std::string LayoutMessage(int16_t detectedLayout);

// The HTML user guide: beside the program, or in the installed documents.
std::string UserGuidePath();

class Application {
 public:
  struct Options {
    std::string libraryDir;    // where libblocks.so is looked for first
    std::string settingsFile;  // settings file instead of the per-user one
    std::string userGuide;     // the user guide instead of UserGuidePath()
  };
  explicit Application(Options options = {});
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Start-up: fullscreen interlacing through OpenGL, the settings loaded
  // (the glasses and the improved depth), the main window shown, then the
  // control bar docked under it.
  void Start();
  // Exit: the OpenGL and DirectX back-ends unloaded, the dialogs and windows
  // closed, onExit run. While a playback runs it is stopped first.
  void Exit();
  std::function<void()> onExit;
  bool Closed() const { return closed_; }

  // Opens a video: asks for its name when path is empty, then a wrapper
  // script when the file needs one, its frame count, rate and detected
  // layout; the Format menu is checked for that layout. announce: the
  // detected layout is shown in a message (the menu and drops), else not
  // (the command line prints it). False when nothing was opened; then no
  // file is open.
  bool Open_File(const std::string& path, bool announce = true);
  const std::string& CurrentFile() const { return currentFile_; }
  int32_t FrameCount() const { return frameCount_; }
  // The detected layout: 3 plain 2D, 5 side by side, 1 above/below.
  int16_t DetectedLayout() const { return detectedLayout_; }

  // The layout frames are played as: the Format menu's (2D converted to 3D
  // 4, Parallel 5, Above/Below 1), unless one was set here (any input layout
  // code; the next choice in the Format menu replaces it).
  int16_t InputLayout() const;
  void SetInputLayout(int16_t layout) { layoutOverride_ = layout; }
  // An output method that replaces the one the glasses give; nothing: the
  // glasses decide.
  void SetOutputMethod(std::optional<int16_t> method) { methodOverride_ = method; }
  // The output method the next Play uses.
  int16_t OutputMethodFor(bool fullscreen);

  // Improved depth for 2D converted to 3D (the conversion setting), from the
  // next converted frame on, a running playback included; the Format menu's
  // entry is checked to match. Start applies the stored choice; the entry
  // applies the user's and stores it for later runs. This call stores
  // nothing: the command line's --depth holds for its run only.
  void SetImprovedDepth(bool on);
  bool ImprovedDepth() const { return ctx_->conversion.ImprovedDepth; }

  // Plays the open file from the control bar's position until it ends or is
  // stopped. onPlaybackEnded runs after each playback.
  void Video_Play(bool fullscreen);
  std::function<void()> onPlaybackEnded;
  bool Playing() const { return playing_; }
  // The control bar's buttons (and the Play and View menus).
  void CTRL_Play();
  void CTRL_Stop();
  void CTRL_Full();
  // A file dropped on the background picture.
  void DropFile(const std::string& path);
  // Docks the control bar under the main window.
  void GUI_Track();

  // Help > About and Help > Contents.
  void ShowAbout();
  void ShowHelp();
  // View > Statistics.
  void ShowStatistics();

  // Error messages shown so far.
  int32_t ErrorsShown() const { return errorsShown_; }
  // Set by Stop and by a drop; never cleared.
  int16_t StopPressed() const { return stopPressed_; }

  ProgramContext& Context() { return *ctx_; }
  FrmMain& MainWindow() { return *main_; }
  GUI& ControlBar() { return *bar_; }
  Profiler& Statistics() { return *profiler_; }
  GlassesSet& GlassesDialog() { return *glasses_; }

 private:
  // Runs action now, or, while a playback runs, stops it and runs action
  // once it has returned (the latest such action wins).
  void WhenStopped(std::function<void()> action);
  void ConnectMenus();

  std::unique_ptr<FrmMain> main_;  // outlives the back-ends that draw into it
  // The screen modes of fullscreen OpenGL playback, made on first use; it
  // outlives the back-ends, which put the desktop's mode back through it.
  std::unique_ptr<ScreenModes> screenModes_;
  std::unique_ptr<ProgramContext> ctx_;
  Options options_;
  SettingsStore store_;
  std::unique_ptr<GUI> bar_;
  std::unique_ptr<Profiler> profiler_;
  std::unique_ptr<GlassesSet> glasses_;  // over the main window, for the whole run

  std::string currentFile_;
  std::string openPath_;  // the wrapper script, or the file itself
  int32_t frameCount_ = 0;
  int16_t detectedLayout_ = 3;
  std::optional<int16_t> layoutOverride_;
  int16_t outputMethod_ = 3;
  std::optional<int16_t> methodOverride_;
  int16_t stopPressed_ = 0;
  bool playing_ = false;
  std::function<void()> afterPlayback_;
  bool closed_ = false;
  int32_t errorsShown_ = 0;
};

}  // namespace dioptrix::gui

// The application shell on real windows: the main window's menus, opening,
// dropping, the rule that playbacks never nest, the control bar, the
// statistics and the help, with every dialog answered by a hook.
#include "gui/application.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QSettings>
#include <fstream>
#include <string>
#include <vector>

#include "gui/dialogs.h"
#include "gui/message_boxes.h"
#include "tests/common/sample_clips.h"
#include "tests/gui/gui_support.h"

namespace dioptrix {
namespace {

using gui::GUI;

std::string Clip(const std::string& kind, int32_t frames) {
  test::ClipRequest clip;
  clip.kind = kind;
  clip.frames = frames;
  clip.rate = 25;
  clip.audio = false;
  return test::MakeClip(clip);
}

// A fresh application with its own settings; messages, file choosers,
// modal dialogs and the viewer are answered here.
struct Shell {
  test::TempDir dir;
  gui::Application app{gui::Application::Options{{}, dir / "settings.ini", dir / "guide.html"}};
  std::vector<std::string> messages;
  std::string chosenFile;  // what the open dialog answers
  QString filterAsked;
  std::vector<QUrl> opened;
  int exits = 0;

  Shell() {
    gui::MessageBoxes::SetHandler(
        [this](QWidget*, const std::string& text, MessageStyle) { messages.push_back(text); });
    gui::Dialogs::SetFileHook([this](QWidget*, const QString&, const QString& filter) {
      filterAsked = filter;
      return chosenFile;
    });
    gui::Dialogs::SetUrlHook([this](const QUrl& url) {
      opened.push_back(url);
      return true;
    });
    app.onExit = [this] { ++exits; };
    app.Start();
  }
  ~Shell() {
    gui::MessageBoxes::SetHandler(nullptr);
    gui::Dialogs::SetFileHook(nullptr);
    gui::Dialogs::SetUrlHook(nullptr);
    gui::Dialogs::SetModalHook(nullptr);
  }

  void Trigger(const char* action) { app.MainWindow().Action(action)->trigger(); }

  // Runs `step` once, inside the playback, when it reaches frame `at`;
  // returns the deepest nesting of the event pumping seen (1 when no
  // playback ran inside another).
  int PlayWith(bool fullscreen, int32_t at, const std::function<void()>& step) {
    Host& host = app.Context().host;
    auto pump = host.onPumpEvents;
    bool done = false;
    int depth = 0, deepest = 0;
    host.onPumpEvents = [&] {
      ++depth;
      deepest = std::max(deepest, depth);
      if (!done && app.Playing() && app.Context().CurrentFrame >= at) {
        done = true;
        step();
      }
      pump();
      --depth;
    };
    app.Video_Play(fullscreen);
    // What was asked for during the playback runs after it.
    test::RunEventsFor(300);
    test::RunEventsUntil([&] { return !app.Playing(); }, 20000);
    host.onPumpEvents = pump;
    EXPECT_TRUE(done);
    return deepest;
  }
};

// A drag entering target and dropped there, as the window system delivers it.
void Drop(QWidget& target, const std::string& path) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                        Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                  Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &drop);
}

void Click(QWidget& target, QEvent::Type type, int x, int y) {
  QMouseEvent event(type, QPointF(x, y), target.mapToGlobal(QPointF(x, y)), Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &event);
}

TEST(MainWindow, OpeningFromTheMenuDetectsTheLayoutAndChecksTheFormat) {
  Shell shell;
  gui::Application& app = shell.app;
  EXPECT_TRUE(app.MainWindow().Action("mnu2D")->isChecked());
  EXPECT_EQ(app.ControlBar().windowTitle().toStdString(), "Toolbar");

  shell.chosenFile = Clip("sbs", 30);
  ASSERT_FALSE(shell.chosenFile.empty());
  shell.Trigger("MenuFileOpen");
  EXPECT_EQ(app.CurrentFile(), shell.chosenFile);
  EXPECT_EQ(shell.messages, std::vector<std::string>{gui::LayoutMessage(kDetectedSideBySide)});
  EXPECT_NE(shell.messages[0].find("appears to be Parallel."), std::string::npos);
  EXPECT_TRUE(app.MainWindow().Action("mnuParallel")->isChecked());
  EXPECT_FALSE(app.MainWindow().Action("mnu2D")->isChecked());
  EXPECT_EQ(app.InputLayout(), kLayoutSideBySide);
  EXPECT_EQ(app.MainWindow().windowTitle().toStdString(), "Dioptrix - " + shell.chosenFile);
  EXPECT_EQ(app.ControlBar().windowTitle().toStdString(), "Toolbar (0:0:0 / 0:0:1)");
  // The chooser offers every video FFmpeg reads first, then the classic entries.
  EXPECT_TRUE(shell.filterAsked.startsWith(QStringLiteral("All video files (*.avi *.mp4")));
  EXPECT_TRUE(shell.filterAsked.contains(
      QStringLiteral(";;Other Video Files (AviSynth) (*.mpg *.mpeg *.asf *.wmv *.dat *.mov "
                     "*.vob);;AviSynth Files (*.avs);;VirtualDub Frameserver (*.vdr)")));

  // The user's choice in the Format menu is what plays.
  shell.Trigger("mnuAbove");
  EXPECT_FALSE(app.MainWindow().Action("mnuParallel")->isChecked());
  EXPECT_EQ(app.InputLayout(), kLayoutAboveBelow);
  shell.Trigger("mnu2D");
  EXPECT_EQ(app.InputLayout(), kLayout2DTo3D);

  // Cancelling the chooser keeps the open file; a file that is no video
  // leaves none, without a word about its layout.
  shell.chosenFile.clear();
  shell.Trigger("MenuFileOpen");
  EXPECT_FALSE(app.CurrentFile().empty());
  shell.messages.clear();
  shell.chosenFile = shell.dir / "not-a-video.mp4";
  std::ofstream(shell.chosenFile) << "not a video";
  shell.Trigger("MenuFileOpen");
  EXPECT_EQ(app.CurrentFile(), "");
  EXPECT_EQ(app.FrameCount(), 0);
  EXPECT_EQ(app.MainWindow().windowTitle().toStdString(), "Dioptrix");
  EXPECT_EQ(app.ControlBar().windowTitle().toStdString(), "Toolbar");
  for (const std::string& m : shell.messages) EXPECT_EQ(m.find("appears to be"), std::string::npos);
  shell.messages.clear();
  shell.Trigger("mnuPlayStart");
  EXPECT_EQ(shell.messages, std::vector<std::string>{gui::kSelectFileFirst});
}

TEST(MainWindow, TheGlassesAndFullscreenPickTheOutputMethod) {
  Shell shell;
  gui::Application& app = shell.app;
  // glasses code -> windowed, fullscreen
  const int16_t table[8][2] = {{0, 0}, {5, 7}, {5, 7}, {5, 7}, {8, 8}, {3, 3}, {4, 4}, {5, 6}};
  for (int16_t glasses = 1; glasses <= 7; ++glasses) {
    app.Context().settings.GlassesType = glasses;
    EXPECT_EQ(app.OutputMethodFor(false), table[glasses][0]) << glasses;
    EXPECT_EQ(app.OutputMethodFor(true), table[glasses][1]) << glasses;
  }
  // A code outside the table keeps the method of the last playback.
  app.Context().settings.GlassesType = 9;
  EXPECT_EQ(app.OutputMethodFor(false), 6);
}

TEST(MainWindow, TheBackgroundKeepsHalfAnInchFreeAndTheBarDocksUnderTheWindow) {
  Shell shell;
  gui::FrmMain& main = shell.app.MainWindow();
  ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(main); }));
  const int halfInch = main.logicalDpiY() / 2;
  main.resize(500, 400);
  test::RunEventsUntil([&] { return main.width() == 500; });
  const QWidget* inner = main.centralWidget();
  EXPECT_EQ(main.Background().geometry(), QRect(0, 0, inner->width(), inner->height() - halfInch));
  const QRect frame = main.frameGeometry();
  EXPECT_EQ(shell.app.ControlBar().pos(), QPoint(frame.left(), frame.top() + frame.height()));
  // Too low for the background: 700 twips high.
  main.resize(500, 1);
  test::RunEventsFor(100);
  if (inner->height() - halfInch < 1) {
    EXPECT_EQ(main.Background().height(), main.logicalDpiY() * 700 / 1440);
  }
}

TEST(MainWindow, PlaybacksNeverNestAndWhatWasAskedForRunsAfterwards) {
  const std::string clip = Clip("2d", 40);
  ASSERT_FALSE(clip.empty());
  {  // Play during playback: stopped, then played again from where it stopped.
    Shell shell;
    ASSERT_TRUE(shell.app.Open_File(clip, false));
    int ended = 0;
    shell.app.onPlaybackEnded = [&] { ++ended; };
    EXPECT_EQ(shell.PlayWith(false, 5, [&] { shell.Trigger("mnuPlayStart"); }), 1);
    EXPECT_EQ(ended, 1);  // the second one ran to the end
    EXPECT_EQ(shell.app.Context().CurrentFrame, 39);
    EXPECT_TRUE(shell.messages.empty());
  }
  {  // A drop during playback stops it before the new file opens.
    const std::string other = Clip("ab", 12);
    Shell shell;
    ASSERT_TRUE(shell.app.Open_File(clip, false));
    EXPECT_EQ(shell.app.StopPressed(), 0);
    int32_t frameAtDrop = -1;
    shell.PlayWith(false, 5, [&] {
      frameAtDrop = shell.app.Context().CurrentFrame;
      // It lands on the picture area's parent.
      Drop(*shell.app.MainWindow().centralWidget(), other);
    });
    EXPECT_LE(shell.app.Context().CurrentFrame, frameAtDrop + 1);
    EXPECT_EQ(shell.app.CurrentFile(), other);
    EXPECT_TRUE(shell.app.MainWindow().Action("mnuAbove")->isChecked());
    EXPECT_EQ(shell.app.StopPressed(), 1);
    // Between playbacks the background takes the drop.
    Drop(shell.app.MainWindow().Background(), clip);
    EXPECT_EQ(shell.app.CurrentFile(), clip);
    // Stop while stopped only sets the flags again.
    shell.messages.clear();
    shell.Trigger("MnuPlayStop");
    shell.Trigger("MnuPlayStop");
    EXPECT_EQ(shell.app.StopPressed(), 1);
    EXPECT_TRUE(shell.messages.empty());
  }
  {  // Exit during playback: stopped first, then the windows close.
    Shell shell;
    ASSERT_TRUE(shell.app.Open_File(clip, false));
    shell.PlayWith(false, 5, [&] { shell.Trigger("MenuFileExit"); });
    EXPECT_EQ(shell.exits, 1);
    EXPECT_TRUE(shell.app.Closed());
    EXPECT_FALSE(shell.app.MainWindow().isVisible());
    EXPECT_LT(shell.app.Context().CurrentFrame, 39);
  }
}

// Format > Improved depth: the conversion takes it from the next frame on,
// during a playback too, and it is stored for the next run on its own key,
// which the glasses settings leave alone. A run's own choice (the command
// line's --depth) stores nothing.
TEST(MainWindow, ImprovedDepthHoldsAtOnceAndIsStoredForTheNextRun) {
  Shell shell;
  const std::string settings = shell.dir / "settings.ini";
  QAction* entry = shell.app.MainWindow().Action("mnuImprovedDepth");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->text().toStdString(), "Improved depth");
  EXPECT_TRUE(entry->isCheckable());
  EXPECT_TRUE(shell.app.MainWindow().findChild<QMenu*>("MnuFormat")->actions().contains(entry));
  // First run: off.
  EXPECT_FALSE(entry->isChecked());
  EXPECT_FALSE(shell.app.Context().conversion.ImprovedDepth);

  shell.Trigger("mnuImprovedDepth");
  EXPECT_TRUE(entry->isChecked());
  EXPECT_TRUE(shell.app.Context().conversion.ImprovedDepth);
  EXPECT_EQ(QSettings(QString::fromStdString(settings), QSettings::IniFormat)
                .value("Options/ImprovedDepth")
                .toString(),
            "1");
  // It is no layout: choosing one leaves it on, and it leaves the layout.
  shell.Trigger("mnuParallel");
  EXPECT_TRUE(entry->isChecked());
  EXPECT_TRUE(shell.app.MainWindow().Action("mnuParallel")->isChecked());
  shell.Trigger("mnu2D");
  // Saving the glasses settings keeps it.
  std::string error;
  ASSERT_TRUE(gui::SettingsStore(settings).Save({}, &error)) << error;

  {  // The next run starts with it; its own choice holds for it alone.
    gui::Application next{gui::Application::Options{{}, settings, {}}};
    next.Start();
    EXPECT_TRUE(next.MainWindow().Action("mnuImprovedDepth")->isChecked());
    EXPECT_TRUE(next.ImprovedDepth());
    EXPECT_TRUE(next.Context().conversion.ImprovedDepth);
    next.SetImprovedDepth(false);
    EXPECT_FALSE(next.MainWindow().Action("mnuImprovedDepth")->isChecked());
    EXPECT_FALSE(next.Context().conversion.ImprovedDepth);
    EXPECT_TRUE(gui::SettingsStore(settings).LoadImprovedDepth());
  }

  // Switched during a playback of 2D converted to 3D: the next frame is
  // converted with it and the playback goes on cleanly.
  ASSERT_TRUE(shell.app.Open_File(Clip("2d", 20), false));
  bool onWhilePlaying = true;
  shell.PlayWith(false, 5, [&] {
    shell.Trigger("mnuImprovedDepth");
    onWhilePlaying = shell.app.Context().conversion.ImprovedDepth;
  });
  EXPECT_FALSE(onWhilePlaying);
  EXPECT_EQ(shell.app.Context().CurrentFrame, 19);
  EXPECT_TRUE(shell.messages.empty()) << shell.messages.front();
  EXPECT_FALSE(gui::SettingsStore(settings).LoadImprovedDepth());

  // Anything stored but "1" is off; a store that cannot be written says so
  // and the choice still holds for the run.
  for (const char* stored : {"0", "yes", "true", "", "11"}) {
    std::ofstream(settings) << "[Options]\nImprovedDepth=" << stored << "\n";
    EXPECT_FALSE(gui::SettingsStore(settings).LoadImprovedDepth()) << stored;
  }
  const std::string blocked = shell.dir / "a file";
  std::ofstream(blocked) << "not a folder";
  gui::Application unstored{gui::Application::Options{{}, blocked + "/settings.ini", {}}};
  unstored.Start();
  shell.messages.clear();
  unstored.MainWindow().Action("mnuImprovedDepth")->trigger();
  EXPECT_TRUE(unstored.Context().conversion.ImprovedDepth);
  EXPECT_EQ(shell.messages,
            std::vector<std::string>{"The settings could not be saved to " + blocked +
                                     "/settings.ini: its folder could not be "
                                     "created."});
}

TEST(ControlBar, CaptionSeekingAndTheStrictButtonRectangles) {
  EXPECT_EQ(gui::TimeText(1625, 25), "0:1:5");
  EXPECT_EQ(gui::TimeText(90000, 25), "1:0:0");
  EXPECT_EQ(gui::TimeText(5, 2), "0:0:2");  // 2.5 s: halves go to even
  EXPECT_EQ(gui::TimeText(7, 2), "0:0:4");
  EXPECT_EQ(gui::TimeText(100, 0), "");

  int32_t frames = 0, current = 0;
  std::vector<std::string> ran;
  GUI::Actions actions;
  for (auto [slot, name] : {std::pair{&actions.track, "track"}, std::pair{&actions.play, "play"},
                            std::pair{&actions.stop, "stop"}, std::pair{&actions.full, "full"},
                            std::pair{&actions.open, "open"}})
    *slot = [&ran, name = name] { ran.push_back(name); };
  GUI bar(nullptr, actions,
          {[&] { return frames; }, [] { return 25.0f; }, [&] { return current; }});
  bar.show();
  ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(bar); }));

  // No video: the caption is plain and a click on the bar picks nothing.
  bar.Update_GUI();
  EXPECT_EQ(bar.windowTitle().toStdString(), "Toolbar");
  gui::ProgressBar1& progress = bar.Progress();
  Click(progress, QEvent::MouseButtonPress, progress.width() / 2, 3);
  EXPECT_EQ(progress.Value(), 0);

  frames = 90000;
  bar.Reset(frames);
  Click(progress, QEvent::MouseButtonPress, progress.width() / 2, 3);
  EXPECT_FLOAT_EQ(progress.Value(), 90000.0f * (progress.width() / 2) / progress.width());
  current = 1625;
  bar.Progress_Timer().start();  // its ticks follow playback
  EXPECT_TRUE(test::RunEventsUntil([&] { return progress.Value() == 1625; }));
  bar.Progress_Timer().stop();
  EXPECT_EQ(bar.windowTitle().toStdString(), "Toolbar (0:1:5 / 1:0:0)");

  // Each rectangle answers strictly inside only.
  const char* names[] = {"track", "track", "play", "stop", "full", "open"};
  for (int s = 0; s < GUI::kShapes; ++s) {
    const QRect r = GUI::Shapes()[s];
    ran.clear();
    for (QPoint edge :
         {QPoint(r.left(), r.center().y()), QPoint(r.left() + r.width(), r.center().y()),
          QPoint(r.center().x(), r.top()), QPoint(r.center().x(), r.top() + r.height())})
      Click(bar.Picture(), QEvent::MouseButtonRelease, edge.x(), edge.y());
    EXPECT_TRUE(ran.empty()) << names[s];
    Click(bar.Picture(), QEvent::MouseButtonRelease, r.left() + 1, r.top() + 1);
    EXPECT_EQ(ran, std::vector<std::string>{names[s]});
  }
}

TEST(ControlBar, ClosingHidesItAndTheViewMenuBringsItBack) {
  Shell shell;
  GUI& bar = shell.app.ControlBar();
  QAction* entry = shell.app.MainWindow().Action("mnuViewControlBar");
  ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(bar); }));
  bar.close();
  EXPECT_FALSE(bar.isVisible());
  EXPECT_FALSE(entry->isChecked());
  entry->trigger();
  EXPECT_TRUE(bar.isVisible());
  EXPECT_TRUE(entry->isChecked());
}

TEST(Statistics, LinesOfTheLastPlaybackAndTheHelpMenu) {
  Shell shell;
  gui::Profiler& profiler = shell.app.Statistics();
  profiler.LoadProfile(0.04f, {0.0028f, 0.0171f, 0.25f, 2.0f});
  EXPECT_EQ(profiler.Lines(),
            (std::vector<std::string>{"FPS: 25", "Get Frame: 0.0028", "Decode: 0.0171",
                                      "Encode: 0.25", "Put: 2"}));
  profiler.LoadProfile(0, {1e-7f, 0, 0, 0}, {"No sound"});
  EXPECT_EQ(profiler.Lines(), (std::vector<std::string>{"Get Frame: 0.0000001", "Decode: 0",
                                                        "Encode: 0", "Put: 0", "No sound"}));

  // View > Statistics shows the timings of the last playback.
  const std::string clip = Clip("sbs", 10);
  ASSERT_TRUE(shell.app.Open_File(clip, false));
  shell.app.CTRL_Play();
  std::vector<std::string> shown;
  gui::Dialogs::SetModalHook([&](QDialog& dialog) {
    shown = static_cast<gui::Profiler&>(dialog).Lines();
    return int{QDialog::Rejected};
  });
  shell.Trigger("mnuViewStatistics");
  ASSERT_GE(shown.size(), 4u);
  EXPECT_EQ(shown[0].rfind("Get Frame: ", 0), 0u) << shown[0];  // no conversion: no FPS line
  EXPECT_EQ(shown[3].rfind("Put: ", 0), 0u) << shown[3];

  // File > Settings shows the glasses dialog over the main window.
  QString settingsShown;
  gui::Dialogs::SetModalHook([&](QDialog& dialog) {
    settingsShown = dialog.windowTitle();
    return int{QDialog::Rejected};
  });
  shell.Trigger("MenuFileSettings");
  EXPECT_EQ(settingsShown, QStringLiteral("3D Glasses Settings"));

  // Help: the guide in the viewer, or a message when it is missing.
  shell.messages.clear();
  shell.Trigger("mnuHelpContents");
  EXPECT_TRUE(shell.opened.empty());
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_NE(shell.messages[0].find("guide.html"), std::string::npos);
  std::ofstream(shell.dir / "guide.html") << "<html></html>";
  shell.Trigger("mnuHelpContents");
  ASSERT_EQ(shell.opened.size(), 1u);
  EXPECT_EQ(shell.opened[0].toLocalFile().toStdString(), shell.dir / "guide.html");
  shell.Trigger("mnuHelpAbout");
  EXPECT_NE(shell.messages.back().find(std::string("Version ") + DIOPTRIX_VERSION),
            std::string::npos);
}

}  // namespace
}  // namespace dioptrix

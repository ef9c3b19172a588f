// The glasses dialog over the settings store: what choosing an entry sets,
// what OK saves for the next run, what Cancel leaves alone, and stores that
// cannot be written or hold garbage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gui/dialogs.h"
#include "gui/glasses_dialog.h"
#include "gui/message_boxes.h"
#include "tests/common/sample_clips.h"

namespace dioptrix {
namespace {

using gui::GlassesSet;
using namespace std::string_literals;
using Shown = std::pair<std::string, MessageStyle>;

std::string FreshStoreFile() {
  static int n = 0;
  return test::TempFolder() + "/glasses-" + std::to_string(++n) + ".ini";
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

auto Values(const Settings& s) {
  return std::tuple(s.GlassesType, s.ScreenWidth, s.ScreenHeight, s.ColourDepth, s.RefreshRate,
                    s.VertFactor);
}

// The stored texts: glasses, refresh, depth, resolution, offset factor.
auto Texts(const gui::StoredSettings& s) {
  return std::tuple(s.glasses, s.refresh, s.depth, s.res, s.vertFactor);
}

// One run of the program: its settings and the dialog over a store file.
struct ProgramRun {
  explicit ProgramRun(const std::string& file) : store(file), dialog(settings, store, nullptr) {}
  Settings settings;
  gui::SettingsStore store;
  GlassesSet dialog;

  std::string Text(const char* name) const {
    if (auto* list = dialog.findChild<QComboBox*>(name)) return list->currentText().toStdString();
    if (auto* label = dialog.findChild<QLabel*>(name)) return label->text().toStdString();
    return dialog.findChild<QLineEdit*>(name)->text().toStdString();
  }
};

// Chooses an entry as the user does.
void Pick(GlassesSet& dialog, const char* list, const char* entry) {
  auto* box = dialog.findChild<QComboBox*>(list);
  ASSERT_NE(box->findText(entry), -1) << entry;
  box->setCurrentIndex(box->findText(entry));
}

// Answers the dialog's modal run and the message boxes; both hooks are reset
// at the end.
struct Answers {
  std::vector<Shown> messages;
  Answers() {
    gui::MessageBoxes::SetHandler([this](QWidget*, const std::string& text, MessageStyle style) {
      messages.emplace_back(text, style);
    });
  }
  ~Answers() {
    gui::MessageBoxes::SetHandler(nullptr);
    gui::Dialogs::SetModalHook(nullptr);
  }
  void Modal(std::function<int(GlassesSet&)> work) {
    gui::Dialogs::SetModalHook(
        [work](QDialog& dialog) { return work(static_cast<GlassesSet&>(dialog)); });
  }
};

int ClickOk(GlassesSet& dialog) {
  dialog.findChild<QPushButton*>("okButton")->click();
  return QDialog::Accepted;
}

TEST(Glasses, FirstRunGivesTheDefaults) {
  ProgramRun run(FreshStoreFile());
  run.dialog.LoadSettings();
  EXPECT_EQ(Values(run.settings), std::tuple(5, 640, 480, 32, -1, 10));
  EXPECT_EQ(run.Text("megapixelLabel"), "0.3 Megapixel(s)");
  EXPECT_EQ(run.Text("resolutionList"), "640 x480");
  EXPECT_EQ(run.Text("depthList"), "32 bit");
  EXPECT_EQ(run.Text("refreshList"), "Default");
  EXPECT_EQ(run.Text("vertFactorText"), "10");
  EXPECT_EQ(run.dialog.windowTitle().toStdString(), "3D Glasses Settings");
}

TEST(Glasses, ChoosingAnEntryAppliesItAtOnce) {
  ProgramRun run(FreshStoreFile());
  for (auto [entry, width, height, label] :
       {std::tuple("1280x1024 ", 1280, 1024, "1.3 Megapixel(s)"),
        std::tuple("1800x1440", 1800, 1440, "2.6 Megapixel(s)"),
        std::tuple("1024x768", 1024, 768, "0.8 Megapixel(s)")}) {
    Pick(run.dialog, "resolutionList", entry);
    EXPECT_EQ(std::pair(run.settings.ScreenWidth, run.settings.ScreenHeight),
              std::pair(width, height));
    EXPECT_EQ(run.Text("megapixelLabel"), label);
  }
  Pick(run.dialog, "refreshList", "170");
  EXPECT_EQ(run.settings.RefreshRate, 170);
  Pick(run.dialog, "refreshList", "Default");
  EXPECT_EQ(run.settings.RefreshRate, -1);
  Pick(run.dialog, "depthList", "16 bit");
  EXPECT_EQ(run.settings.ColourDepth, 16);
  run.dialog.VertFactorBar().setValue(1);
  EXPECT_EQ(run.settings.VertFactor, 1);
  EXPECT_EQ(run.Text("vertFactorText"), "1");
}

TEST(Glasses, OkSavesForTheNextRunAndCancelOrClosingChangesNothing) {
  const std::string file = FreshStoreFile();
  Answers answers;
  ProgramRun run(file);
  run.dialog.LoadSettings();
  answers.Modal([](GlassesSet& dialog) {
    Pick(dialog, "glassesList", "Anaglyph (Blue/Yellow)");
    Pick(dialog, "resolutionList", "1152x864 ");
    Pick(dialog, "depthList", "16 bit");
    Pick(dialog, "refreshList", "120");
    dialog.VertFactorBar().setValue(25);
    return ClickOk(dialog);
  });
  run.dialog.ShowModal();
  EXPECT_TRUE(answers.messages.empty());
  EXPECT_FALSE(run.dialog.isVisible());
  EXPECT_EQ(Values(run.settings), std::tuple(6, 1152, 864, 16, 120, 25));

  // The display may halve the refresh rate while playing; the store keeps
  // the list's entry.
  run.settings.RefreshRate = 60;
  answers.Modal([](GlassesSet&) { return QDialog::Accepted; });
  run.dialog.ShowModal();
  EXPECT_EQ(Texts(run.store.Load()), Texts({"6", "120", "16 bit", "1152x864 ", "25"}));

  ProgramRun next(file);
  next.dialog.LoadSettings();
  EXPECT_EQ(Values(next.settings), std::tuple(6, 1152, 864, 16, 120, 25));
  EXPECT_EQ(next.Text("resolutionList"), "1152x864 ");
  EXPECT_EQ(next.Text("vertFactorText"), "25");

  const std::string saved = FileBytes(file);
  const auto before = Values(next.settings);
  for (auto leave : std::vector<std::function<void(GlassesSet&)>>{
           [](GlassesSet& d) { d.findChild<QPushButton*>("cancelButton")->click(); },
           [](GlassesSet& d) { d.close(); }}) {
    answers.Modal([leave](GlassesSet& dialog) {
      Pick(dialog, "glassesList", "Eye3D Shutter Glasses");
      Pick(dialog, "resolutionList", "1600x1200 ");
      Pick(dialog, "depthList", "24 bit");
      Pick(dialog, "refreshList", "Default");
      dialog.VertFactorBar().setValue(3);
      leave(dialog);
      return QDialog::Rejected;
    });
    next.dialog.ShowModal();
    EXPECT_EQ(FileBytes(file), saved);
    EXPECT_EQ(Values(next.settings), before);
    EXPECT_EQ(next.Text("resolutionList"), "1152x864 ");
    EXPECT_EQ(next.Text("refreshList"), "120");
    EXPECT_EQ(next.Text("vertFactorText"), "25");
    EXPECT_EQ(next.Text("megapixelLabel"), "1.0 Megapixel(s)");
  }
  EXPECT_TRUE(answers.messages.empty());
}

TEST(Glasses, ShutterGlassesGetTheOffsetNoteOnOk) {
  Answers answers;
  ProgramRun run(FreshStoreFile());
  for (int code : {1, 2, 3, 4, 5, 6, 7}) {
    answers.messages.clear();
    answers.Modal([code](GlassesSet& dialog) {
      Pick(dialog, "glassesList", gui::kGlassesEntries[code - 1]);
      return ClickOk(dialog);
    });
    run.dialog.ShowModal();
    EXPECT_EQ(run.settings.GlassesType, code);
    EXPECT_EQ(run.store.Load().glasses, std::to_string(code));
    if (code <= 3) {
      EXPECT_EQ(answers.messages,
                std::vector{Shown(gui::kShutterOffsetNote, MessageStyle::Information)});
    } else {
      EXPECT_TRUE(answers.messages.empty()) << code;
    }
  }
}

TEST(Glasses, StoredGlassesOutsideTheListShowAsTheFirstEntry) {
  const std::string file = FreshStoreFile();
  WriteFile(file, "[3D]\nGlasses=9\n");
  Answers answers;
  ProgramRun run(file);
  run.dialog.LoadSettings();
  EXPECT_EQ(run.settings.GlassesType, 9);
  std::string shown;
  int16_t code = 0;
  answers.Modal([&](GlassesSet& dialog) {
    shown = dialog.GlassesList().currentText().toStdString();
    code = run.settings.GlassesType;
    return QDialog::Accepted;
  });
  run.dialog.ShowModal();
  EXPECT_EQ(shown, "eDimensional Glasses");
  EXPECT_EQ(code, 1);
  EXPECT_EQ(run.store.Load().glasses, "1");
}

// Makes a file read-only even for a user who may write anything (root):
// through the immutable flag where permissions are not enough.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(std::string path) : path_(std::move(path)) {
    chmod(path_.c_str(), 0444);
    if (access(path_.c_str(), W_OK) != 0) return;
    immutable_ = SetImmutable(true);
  }
  ~ReadOnlyFile() {
    if (immutable_) SetImmutable(false);
    chmod(path_.c_str(), 0644);
  }
  bool Holds() const { return access(path_.c_str(), W_OK) != 0; }

 private:
  bool SetImmutable(bool on) {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
  }
  std::string path_;
  bool immutable_ = false;
};

TEST(Settings, AStoreThatCannotBeWrittenIsReportedAndLeftAsItWas) {
  const std::string file = FreshStoreFile();
  // With lines QSettings cannot parse: their FormatError must not hide the failure.
  WriteFile(file, "[3D]\nGlasses=4\n[DX7]\nDepth=24 bit\nno setting\n[broken\n");
  const std::string stored = FileBytes(file);
  {
    ReadOnlyFile readOnly(file);
    if (!readOnly.Holds()) GTEST_SKIP() << "this user can write any file";
    Answers answers;
    ProgramRun run(file);
    answers.Modal([](GlassesSet& dialog) {
      Pick(dialog, "glassesList", "NVidia Stereo");
      Pick(dialog, "depthList", "16 bit");
      return ClickOk(dialog);
    });
    run.dialog.ShowModal();
    EXPECT_FALSE(run.dialog.isVisible());
    EXPECT_EQ(answers.messages, std::vector{Shown("The settings could not be saved to " + file +
                                                      ": the file is read-only.",
                                                  MessageStyle::Error)});
    EXPECT_EQ(FileBytes(file), stored);
    // Nothing unsaved is read back later in the run either.
    EXPECT_EQ(gui::SettingsStore(file).Load().depth, "24 bit");
  }
  // A folder that cannot be made: the store path goes through a file.
  std::string error;
  EXPECT_FALSE(gui::SettingsStore(file + "/Dioptrix/Dioptrix.ini").Save({}, &error));
  EXPECT_EQ(error, "The settings could not be saved to " + file +
                       "/Dioptrix/Dioptrix.ini: its folder could not be created.");
  EXPECT_EQ(FileBytes(file), stored);
}

TEST(Settings, GarbageInTheStoreGivesFirstRunOrKeptValuesAndIsReplacedOnSave) {
  std::string binary;
  uint32_t seed = 12345;
  for (int i = 0; i < 8192; ++i)
    binary += static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  const std::string longLine(1 << 20, 'x');
  // A missing key gives its first-run value; a key holding garbage keeps the
  // value there is.
  const std::pair<std::string, bool> stores[] = {
      {binary, false},
      {"[3D]\nGlasses=99999999999999999999\n[DX7]\nRes=640 x480\0junk\nDepth=\0\0\0\n"
       "Refresh=-5\n[Options]\nVertFactor=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\xffjunk)\n"s,
       true},
      {"[3D]\nGlasses=abc\n[DX7]\nRes=@Rect(1 2 3 4)\nDepth=24, bit\nRefresh=@Size(1 2)\n"
       "[Options]\nVertFactor=-3\n",
       true},
      // A section never closed, and lines of a megabyte.
      {"[broken\nGlasses=7\n" + longLine + "\n[3D]\nGlasses=" + longLine +
           "\n[DX7]\nRes=" + longLine + "\nDepth=" + longLine + "\nRefresh=" + longLine +
           "\n[Options]\nVertFactor=0\n",
       true},
  };
  const auto firstRun = std::tuple(5, 640, 480, 32, -1, 10);
  const auto chosen = std::tuple(4, 1024, 768, 16, 150, 30);
  const auto chosenTexts = Texts({"4", "150", "16 bit", "1024x768", "30"});
  for (const auto& [bytes, keysPresent] : stores) {
    SCOPED_TRACE(bytes.substr(0, 40));
    const std::string file = FreshStoreFile();
    WriteFile(file, bytes);
    ProgramRun run(file);
    run.dialog.LoadSettings();
    EXPECT_EQ(Values(run.settings), firstRun);

    WriteFile(file,
              "[3D]\nGlasses=4\n[DX7]\nRes=1024x768\nDepth=16 bit\nRefresh=150\n"
              "[Options]\nVertFactor=30\n");
    run.dialog.LoadSettings();
    ASSERT_EQ(Values(run.settings), chosen);
    WriteFile(file, bytes);
    run.dialog.LoadSettings();
    EXPECT_EQ(Values(run.settings), keysPresent ? chosen : firstRun);

    Answers answers;
    answers.Modal(ClickOk);
    run.dialog.ShowModal();
    EXPECT_TRUE(answers.messages.empty());
    EXPECT_EQ(Texts(gui::SettingsStore(file).Load()), keysPresent ? chosenTexts : Texts({}));
  }
  // A factor beyond the scroll bar's range takes its end.
  const std::string file = FreshStoreFile();
  WriteFile(file, "[Options]\nVertFactor=5000\n");
  ProgramRun run(file);
  run.dialog.LoadSettings();
  EXPECT_EQ(run.settings.VertFactor, gui::kVertFactorMax);
  EXPECT_EQ(run.Text("vertFactorText"), std::to_string(gui::kVertFactorMax));
}

}  // namespace
}  // namespace dioptrix

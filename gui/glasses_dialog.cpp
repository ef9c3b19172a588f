#include "gui/glasses_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "gui/dialogs.h"
#include "gui/message_boxes.h"

namespace dioptrix::gui {

namespace {

// The glasses codes OK recognises, by list text.
struct GlassesCode {
  const char* text;
  int16_t code;
};
constexpr GlassesCode kGlassesCodes[] = {
    {"eDimensional Glasses", 1},  {"Eye3D Shutter Glasses", 2}, {"I-Glasses Shutter Glasses", 3},
    {"NVidia Stereo", 7},         {"Generic OpenGL", 4},        {"Anaglyph (Red/Green)", 5},
    {"Anaglyph (Blue/Yellow)", 6}};

constexpr QSize kPictureSize(48, 24);

// A pair of glasses seen from the front, with lenses of the given colours.
QIcon GlassesPicture(const QColor& left, const QColor& right) {
  QPixmap pixmap(kPictureSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPen frame(QColor(45, 45, 50), 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  const QRectF lenses[] = {{4, 6, 16, 12}, {28, 6, 16, 12}};
  const QColor colours[] = {left, right};
  for (int i = 0; i < 2; ++i) {
    painter.setPen(frame);
    painter.setBrush(colours[i]);
    painter.drawRoundedRect(lenses[i], 4, 4);
    // A glint on each lens.
    painter.setPen(QPen(QColor(255, 255, 255, 120), 1.5, Qt::SolidLine, Qt::RoundCap));
    const QPointF corner = lenses[i].topLeft();
    painter.drawLine(corner + QPointF(4, 3.5), corner + QPointF(8, 3.5));
  }
  painter.setPen(frame);
  painter.setBrush(Qt::NoBrush);
  painter.drawArc(QRectF(19, 7, 10, 7), 0, 180 * 16);  // bridge
  painter.drawLine(QPointF(4, 9), QPointF(1, 6));      // temples
  painter.drawLine(QPointF(44, 9), QPointF(47, 6));
  return QIcon(pixmap);
}

QIcon ShutterGlasses() { return GlassesPicture(QColor(35, 35, 45), QColor(35, 35, 45)); }
QIcon RedGreenGlasses() { return GlassesPicture(QColor(215, 35, 35), QColor(40, 175, 65)); }
QIcon BlueYellowGlasses() { return GlassesPicture(QColor(40, 85, 215), QColor(240, 205, 35)); }

template <size_t N>
QComboBox* MakeList(QWidget* parent, const char* name, const char* const (&entries)[N]) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::fromLatin1(name));
  for (const char* entry : entries) list->addItem(QString::fromLatin1(entry));
  return list;
}

// The first entry of the list that chooses what settings hold, else 0.
template <size_t N>
int EntryMatching(const char* const (&entries)[N], const Settings& settings,
                  bool (*choose)(Settings&, const std::string&),
                  bool (*same)(const Settings&, const Settings&)) {
  for (size_t i = 0; i < N; ++i) {
    Settings chosen = settings;
    if (choose(chosen, entries[i]) && same(chosen, settings)) return static_cast<int>(i);
  }
  return 0;
}

QString MegapixelText(const Settings& settings) {
  const double megapixels = static_cast<double>(settings.ScreenWidth) * settings.ScreenHeight / 1e6;
  return QString::number(megapixels, 'f', 1) + QStringLiteral(" Megapixel(s)");
}

}  // namespace

GlassesSet::GlassesSet(Settings& settings, SettingsStore& store, QWidget* owner)
    : QDialog(owner), settings_(settings), store_(store) {
  setObjectName(QStringLiteral("glassesSet"));
  setWindowTitle(QStringLiteral("3D Glasses Settings"));

  glasses_ = new QComboBox(this);
  glasses_->setObjectName(QStringLiteral("glassesList"));
  glasses_->setIconSize(kPictureSize);
  for (int16_t code = 1; code <= static_cast<int16_t>(std::size(kGlassesEntries)); ++code) {
    const QIcon picture = code == 5   ? RedGreenGlasses()
                          : code == 6 ? BlueYellowGlasses()
                                      : ShutterGlasses();
    glasses_->addItem(picture, QString::fromLatin1(kGlassesEntries[code - 1]));
  }
  auto* prompt = new QLabel(QStringLiteral("Please select the type of 3D Glasses you own:"), this);
  prompt->setObjectName(QStringLiteral("glassesPrompt"));

  auto* fullscreen = new QGroupBox(QStringLiteral("Fullscreen Settings"), this);
  fullscreen->setObjectName(QStringLiteral("fullscreenGroup"));
  resolution_ = MakeList(fullscreen, "resolutionList", kResolutionEntries);
  megapixels_ = new QLabel(fullscreen);
  megapixels_->setObjectName(QStringLiteral("megapixelLabel"));
  depth_ = MakeList(fullscreen, "depthList", kColourDepthEntries);
  refresh_ = MakeList(fullscreen, "refreshList", kRefreshEntries);
  vertBar_ = new QScrollBar(Qt::Horizontal, fullscreen);
  vertBar_->setObjectName(QStringLiteral("vertFactorBar"));
  vertBar_->setRange(kVertFactorMin, kVertFactorMax);
  vertBar_->setPageStep(10);
  vertText_ = new QLineEdit(fullscreen);
  vertText_->setObjectName(QStringLiteral("vertFactorText"));
  vertText_->setReadOnly(true);
  vertText_->setMaximumWidth(vertText_->fontMetrics().horizontalAdvance(QStringLiteral("00000")));

  auto* grid = new QGridLayout(fullscreen);
  grid->addWidget(new QLabel(QStringLiteral("Resolution:"), fullscreen), 0, 0);
  grid->addWidget(resolution_, 0, 1);
  grid->addWidget(megapixels_, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("Colour Depth:"), fullscreen), 1, 0);
  grid->addWidget(depth_, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("Refresh Rate:"), fullscreen), 2, 0);
  grid->addWidget(refresh_, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("Sync-doubled vertical offset factor:"), fullscreen), 3,
                  0, 1, 3);
  grid->addWidget(vertBar_, 4, 0, 1, 2);
  grid->addWidget(vertText_, 4, 2);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(QStringLiteral("okButton"));
  ok_->setDefault(true);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancel_->setObjectName(QStringLiteral("cancelButton"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);

  auto* layout = new QVBoxLayout(this);
  // The prompt reads before the list it asks about.
  layout->addWidget(prompt);
  layout->addWidget(glasses_);
  layout->addWidget(fullscreen);
  layout->addLayout(buttons);

  // The lists start at the entries that stand for the settings' values,
  // without changing them.
  resolution_->setCurrentIndex(EntryMatching(
      kResolutionEntries, settings_, ChooseResolution, [](const Settings& a, const Settings& b) {
        return a.ScreenWidth == b.ScreenWidth && a.ScreenHeight == b.ScreenHeight;
      }));
  depth_->setCurrentIndex(EntryMatching(
      kColourDepthEntries, settings_, ChooseColourDepth,
      [](const Settings& a, const Settings& b) { return a.ColourDepth == b.ColourDepth; }));
  refresh_->setCurrentIndex(EntryMatching(
      kRefreshEntries, settings_, ChooseRefreshRate,
      [](const Settings& a, const Settings& b) { return a.RefreshRate == b.RefreshRate; }));
  vertBar_->setValue(settings_.VertFactor);
  vertText_->setText(QString::number(vertBar_->value()));
  megapixels_->setText(MegapixelText(settings_));

  connect(resolution_, &QComboBox::currentIndexChanged, this, &GlassesSet::ResolutionChosen);
  connect(depth_, &QComboBox::currentIndexChanged, this, &GlassesSet::DepthChosen);
  connect(refresh_, &QComboBox::currentIndexChanged, this, &GlassesSet::RefreshChosen);
  connect(vertBar_, &QScrollBar::valueChanged, this, &GlassesSet::VertFactorMoved);
  connect(ok_, &QPushButton::clicked, this, &GlassesSet::Ok);
  connect(cancel_, &QPushButton::clicked, this, &GlassesSet::Cancel);
}

void GlassesSet::ResolutionChosen() {
  ChooseResolution(settings_, resolution_->currentText().toStdString());
  megapixels_->setText(MegapixelText(settings_));
}

void GlassesSet::DepthChosen() {
  ChooseColourDepth(settings_, depth_->currentText().toStdString());
}

void GlassesSet::RefreshChosen() {
  ChooseRefreshRate(settings_, refresh_->currentText().toStdString());
}

void GlassesSet::VertFactorMoved(int value) {
  settings_.VertFactor = value;
  vertText_->setText(QString::number(value));
}

void GlassesSet::Choose(QComboBox& list, const std::string& text, void (GlassesSet::*chosen)()) {
  const int index = list.findText(QString::fromStdString(text));
  if (index < 0) return;
  {
    const QSignalBlocker quiet(list);
    list.setCurrentIndex(index);
  }
  (this->*chosen)();
}

void GlassesSet::SetVertFactor(int value) {
  {
    const QSignalBlocker quiet(vertBar_);
    vertBar_->setValue(value);  // kept within the bar's range
  }
  VertFactorMoved(vertBar_->value());
}

void GlassesSet::LoadSettings() {
  const StoredSettings stored = store_.Load();
  if (const auto code = LeadingNumber(stored.glasses);
      code && *code >= INT16_MIN && *code <= INT16_MAX) {
    settings_.GlassesType = static_cast<int16_t>(*code);
  }
  Choose(*refresh_, stored.refresh, &GlassesSet::RefreshChosen);
  Choose(*depth_, stored.depth, &GlassesSet::DepthChosen);
  Choose(*resolution_, stored.res, &GlassesSet::ResolutionChosen);
  // The offset factor divides the screen height: only values from 1 up.
  if (const auto factor = LeadingNumber(stored.vertFactor); factor && *factor >= kVertFactorMin)
    SetVertFactor(std::min(*factor, kVertFactorMax));
}

GlassesSet::State GlassesSet::Snapshot() const {
  return {settings_.GlassesType,       settings_.ScreenWidth,
          settings_.ScreenHeight,      settings_.ColourDepth,
          settings_.RefreshRate,       settings_.VertFactor,
          resolution_->currentIndex(), depth_->currentIndex(),
          refresh_->currentIndex(),    vertBar_->value()};
}

void GlassesSet::Restore(const State& state) {
  for (auto [list, index] : {std::pair{resolution_, state.resolution},
                             std::pair{depth_, state.depth}, std::pair{refresh_, state.refresh}}) {
    const QSignalBlocker quiet(list);
    list->setCurrentIndex(index);
  }
  {
    const QSignalBlocker quiet(vertBar_);
    vertBar_->setValue(state.vertBar);
  }
  settings_.GlassesType = state.glassesType;
  settings_.ScreenWidth = state.screenWidth;
  settings_.ScreenHeight = state.screenHeight;
  settings_.ColourDepth = state.colourDepth;
  settings_.RefreshRate = state.refreshRate;
  settings_.VertFactor = state.vertFactor;
  vertText_->setText(QString::number(state.vertBar));
  megapixels_->setText(MegapixelText(settings_));
}

void GlassesSet::ShowModal() {
  // Glasses outside the list are shown, and taken, as the first entry.
  if (settings_.GlassesType < 1 ||
      settings_.GlassesType > static_cast<int16_t>(std::size(kGlassesEntries))) {
    settings_.GlassesType = 1;
  }
  glasses_->setCurrentIndex(settings_.GlassesType - 1);
  const State shown = Snapshot();
  okDone_ = false;
  ended_.reset();
  const int result = Dialogs::RunModal(*this);
  // OK or Cancel, when pressed, decide; else what the dialog run returned.
  if (ended_.value_or(result) == QDialog::Accepted) {
    if (!okDone_) Ok();
  } else {
    Restore(shown);
  }
}

void GlassesSet::Ok() {
  okDone_ = true;
  const std::string chosen = glasses_->currentText().toStdString();
  for (const GlassesCode& entry : kGlassesCodes) {
    if (chosen == entry.text) {
      settings_.GlassesType = entry.code;
      break;
    }
  }
  StoredSettings values;
  values.glasses = std::to_string(settings_.GlassesType);
  values.refresh = refresh_->currentText().toStdString();
  values.depth = depth_->currentText().toStdString();
  values.res = resolution_->currentText().toStdString();
  values.vertFactor = std::to_string(vertBar_->value());
  if (std::string error; !store_.Save(values, &error))
    MessageBoxes::Show(this, error, MessageStyle::Error);
  if (settings_.GlassesType >= 1 && settings_.GlassesType <= 3)
    MessageBoxes::Show(this, kShutterOffsetNote, MessageStyle::Information);
  accept();
}

void GlassesSet::Cancel() { reject(); }

void GlassesSet::done(int result) {
  ended_ = result;
  QDialog::done(result);
}

}  // namespace dioptrix::gui

#include "gui/statistics_window.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <charconv>
#include <cmath>

namespace dioptrix::gui {

std::string PlainNumber(float value) {
  if (!std::isfinite(value)) return value != value ? "nan" : (value < 0 ? "-inf" : "inf");
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  return std::string(text, end);
}

Profiler::Profiler(QWidget* owner) : QDialog(owner), text_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("Profiler"));
  setWindowTitle(QStringLiteral("Statistics"));
  text_->setObjectName(QStringLiteral("StatisticsText"));
  text_->setReadOnly(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("CloseButton"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addWidget(buttons);
  resize(320, 220);
}

void Profiler::LoadProfile(float meanFrameTime, const std::array<float, 4>& stageTimes,
                           const std::vector<std::string>& notes) {
  text_->clear();
  if (meanFrameTime != 0)
    text_->appendPlainText(QString::fromStdString("FPS: " + PlainNumber(1.0f / meanFrameTime)));
  const char* names[] = {"Get Frame: ", "Decode: ", "Encode: ", "Put: "};
  for (size_t i = 0; i < stageTimes.size(); ++i)
    text_->appendPlainText(QString::fromStdString(names[i] + PlainNumber(stageTimes[i])));
  for (const std::string& note : notes) text_->appendPlainText(QString::fromStdString(note));
}

std::vector<std::string> Profiler::Lines() const {
  std::vector<std::string> lines;
  const QStringList all = text_->toPlainText().split(QLatin1Char('\n'));
  for (const QString& line : all) {
    if (!line.isEmpty()) lines.push_back(line.toStdString());
  }
  return lines;
}

}  // namespace dioptrix::gui

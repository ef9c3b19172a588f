#include "gui/settings_store.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

namespace dioptrix::gui {

namespace {

template <size_t N>
bool IsEntry(const char* const (&entries)[N], const std::string& text) {
  return std::find_if(std::begin(entries), std::end(entries),
                      [&](const char* e) { return text == e; }) != std::end(entries);
}

std::unique_ptr<QSettings> OpenStore(const std::string& file) {
  if (!file.empty())
    return std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("Dioptrix"), QStringLiteral("Dioptrix"));
}

// Why the store file could not be written, as far as the file system tells.
std::string WhyNotWritten(const QString& path) {
  const QFileInfo file(path);
  if (file.exists() && !file.isWritable()) return "the file is read-only";
  const QFileInfo folder(file.absolutePath());
  if (!folder.isDir()) return "its folder could not be created";
  if (!folder.isWritable()) return "its folder is read-only";
  return "the file could not be written (the disk may be full)";
}

// Which file a path names: replacing it gives a new inode, writing it a new
// modification time.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  int64_t modified = 0;  // nanoseconds
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const QString& path) {
  struct stat info {};
  if (stat(QFile::encodeName(path).constData(), &info) != 0) return {};
  return {true, info.st_dev, info.st_ino,
          int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec};
}

// The text stored under key; fallback when the key is missing. A value
// QSettings reads as something else (@Rect(...), a damaged @Variant(...)) is
// no text: an empty one, which matches nothing.
std::string ReadText(const QSettings& store, const char* key, const std::string& fallback) {
  const QString name = QString::fromLatin1(key);
  if (!store.contains(name)) return fallback;
  const QVariant value = store.value(name);
  if (!value.isValid() || !value.canConvert<QString>()) return std::string();
  return value.toString().toStdString();
}

// A text to store and the key it goes under.
struct KeyText {
  const char* name;
  const std::string& text;
};

// Writes the texts under their keys (the file's other keys stay as they
// are), replacing the file as a whole. False, with a message for the user in
// *error, when the file could not be written; the file is unchanged then.
bool WriteTexts(const std::string& file, std::initializer_list<KeyText> texts, std::string* error) {
  const auto store = OpenStore(file);
  const QString path = store->fileName();
  const FileIdentity before = IdentityOf(path);
  // What the file held under each key, to put back on failure.
  std::vector<QVariant> stored;
  for (const KeyText& key : texts) {
    stored.push_back(store->value(QString::fromLatin1(key.name)));
    store->setValue(QString::fromLatin1(key.name), QString::fromStdString(key.text));
  }
  // QSettings writes the file through a temporary one that replaces it only
  // once complete, so the file is either the new one or untouched.
  store->sync();
  bool written = store->status() == QSettings::NoError;
  if (store->status() == QSettings::FormatError) {
    // A file QSettings could not parse reports FormatError, which hides
    // whether the write failed; a written file is a new one.
    written = IdentityOf(path) != before;
  }
  if (written) return true;

  // QSettings keeps unwritten values in a cache of the file shared by the
  // whole process; put back what the file holds so that a later read does
  // not see values that were never saved.
  auto was = stored.begin();
  for (const KeyText& key : texts) {
    const QVariant& value = *was++;
    if (value.isValid()) {
      store->setValue(QString::fromLatin1(key.name), value);
    } else {
      store->remove(QString::fromLatin1(key.name));
    }
  }
  if (error) {
    *error = "The settings could not be saved to " + path.toStdString() + ": " +
             WhyNotWritten(path) + ".";
  }
  return false;
}

}  // namespace

std::optional<int32_t> LeadingNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

bool ChooseResolution(Settings& settings, const std::string& entry) {
  if (!IsEntry(kResolutionEntries, entry)) return false;
  settings.ScreenWidth = LeadingNumber(std::string_view(entry).substr(0, 4)).value_or(0);
  settings.ScreenHeight = LeadingNumber(std::string_view(entry).substr(5)).value_or(0);
  return true;
}

bool ChooseColourDepth(Settings& settings, const std::string& entry) {
  if (!IsEntry(kColourDepthEntries, entry)) return false;
  settings.ColourDepth = LeadingNumber(std::string_view(entry).substr(0, 2)).value_or(0);
  return true;
}

bool ChooseRefreshRate(Settings& settings, const std::string& entry) {
  if (!IsEntry(kRefreshEntries, entry)) return false;
  settings.RefreshRate = entry == "Default" ? -1 : LeadingNumber(entry).value_or(-1);
  return true;
}

SettingsStore::SettingsStore(std::string file) : file_(std::move(file)) {}

std::string SettingsStore::FilePath() const { return OpenStore(file_)->fileName().toStdString(); }

StoredSettings SettingsStore::Load() const {
  const auto store = OpenStore(file_);
  const StoredSettings first;
  StoredSettings values;
  values.glasses = ReadText(*store, "3D/Glasses", first.glasses);
  values.refresh = ReadText(*store, "DX7/Refresh", first.refresh);
  values.depth = ReadText(*store, "DX7/Depth", first.depth);
  values.res = ReadText(*store, "DX7/Res", first.res);
  values.vertFactor = ReadText(*store, "Options/VertFactor", first.vertFactor);
  return values;
}

bool SettingsStore::Save(const StoredSettings& values, std::string* error) const {
  return WriteTexts(file_,
                    {{"3D/Glasses", values.glasses},
                     {"DX7/Refresh", values.refresh},
                     {"DX7/Depth", values.depth},
                     {"DX7/Res", values.res},
                     {"Options/VertFactor", values.vertFactor}},
                    error);
}

bool SettingsStore::LoadImprovedDepth() const {
  return ReadText(*OpenStore(file_), kImprovedDepthKey, "0") == "1";
}

bool SettingsStore::SaveImprovedDepth(bool on, std::string* error) const {
  const std::string text = on ? "1" : "0";
  return WriteTexts(file_, {{kImprovedDepthKey, text}}, error);
}

}  // namespace dioptrix::gui

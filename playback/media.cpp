#include "playback/media.h"

#include <charconv>
#include <string>
#include <vector>

#include "playback/program.h"

namespace dioptrix {

namespace {

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const size_t start = at;
    while (at < text.size() && text[at] != ' ') ++at;
    if (at > start) words.push_back(text.substr(start, at - start));
  }
  return words;
}

std::optional<uint32_t> Number(std::string_view text) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

MciDevices::Device* MciDevices::Find(std::string_view alias) {
  for (auto& [name, device] : devices_) {
    if (SameWord(name, alias)) return &device;
  }
  return nullptr;
}

MciDevices::Device* MciDevices::Find(uint32_t id) {
  for (auto& [name, device] : devices_) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

// open "<path>" alias <name>, or open <path> alias <name>. The path is
// everything up to the last " alias ", so names holding quotes or spaces
// open whole.
uint32_t MciDevices::Open(std::string_view rest) {
  constexpr std::string_view kAlias = " alias ";
  size_t cut = std::string_view::npos;
  for (size_t at = rest.find(kAlias); at != std::string_view::npos;
       at = rest.find(kAlias, at + 1)) {
    cut = at;
  }
  if (cut == std::string_view::npos) return kMciMissingParameter;
  std::string_view path = rest.substr(0, cut);
  const std::string_view alias = rest.substr(cut + kAlias.size());
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
    path = path.substr(1, path.size() - 2);
  if (path.empty() || alias.empty() || alias.find(' ') != std::string_view::npos)
    return kMciMissingParameter;
  if (Find(alias)) return kMciDuplicateAlias;
  if (!make_) {
    lastError_ = "no media service";
    return kMciHardware;
  }
  Device device;
  for (uint32_t id = 1;; ++id) {
    if (!Find(id)) {
      device.id = id;
      break;
    }
  }
  device.player = make_();
  if (!device.player) {
    lastError_ = "no media service";
    return kMciHardware;
  }
  lastError_.clear();
  if (!device.player->Open(std::string(path), SoundBackend::Streams::SoundOnly, &lastError_)) {
    return lastError_ == "the file has no sound track" ? kMciNoSoundTrack : kMciFileNotFound;
  }
  devices_.emplace(std::string(alias), std::move(device));
  return kMciOk;
}

uint32_t MciDevices::SendString(std::string_view command) {
  if (onCommand) onCommand(command);
  const std::vector<std::string_view> words = Words(command);
  if (words.empty()) return kMciUnrecognizedCommand;
  const std::string_view verb = words[0];
  if (SameWord(verb, "open")) {
    const size_t at = command.find(words[0]) + words[0].size();
    std::string_view rest = command.substr(at);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    return Open(rest);
  }
  if (words.size() < 2) return kMciMissingParameter;
  Device* device = Find(words[1]);
  if (!device) return kMciInvalidDeviceName;
  if (SameWord(verb, "play")) {
    double from = -1;
    for (size_t i = 2; i < words.size(); ++i) {
      if (SameWord(words[i], "from") && i + 1 < words.size()) {
        const auto ms = Number(words[++i]);
        if (!ms) return kMciMissingParameter;
        from = *ms / 1000.0;
      } else if (!SameWord(words[i], "notify") && !SameWord(words[i], "wait")) {
        return kMciUnrecognizedKeyword;
      }
    }
    if (from < 0) from = std::max(device->player->Position(), 0.0);
    std::string why;
    return device->player->PlayFrom(from, &why) ? kMciOk : kMciHardware;
  }
  if (words.size() != 2) return kMciUnrecognizedKeyword;
  if (SameWord(verb, "stop")) {
    device->player->Stop();
    return kMciOk;
  }
  if (SameWord(verb, "close")) {
    device->player->Close();
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
      if (&it->second == device) {
        devices_.erase(it);
        break;
      }
    }
    return kMciOk;
  }
  return kMciUnrecognizedCommand;
}

uint32_t MciDevices::SendCommand(uint32_t id, uint32_t command, uint32_t, MciSetRecord&) {
  if (!Find(id)) return kMciInvalidDeviceId;
  // The only set the program sends is taken as it comes; the device plays
  // in milliseconds whatever it asks.
  return command == kMciSet ? kMciOk : kMciUnrecognizedCommand;
}

uint32_t MciDevices::SendCommand(uint32_t id, uint32_t command, uint32_t flags,
                                 MciStatusRecord& record) {
  Device* device = Find(id);
  if (!device) return kMciInvalidDeviceId;
  if (command != kMciStatus || !(flags & kMciStatusItem)) return kMciUnrecognizedCommand;
  if (record.item != kMciStatusPosition) return kMciUnrecognizedKeyword;
  const double seconds = device->player->Position();
  // A device that cannot tell leaves the record as it was.
  if (!(seconds >= 0) || seconds > 4e6) return kMciHardware;
  record.returnValue = static_cast<uint32_t>(seconds * 1000);
  return kMciOk;
}

int32_t MciOpenPlay(ProgramContext& ctx, const std::string& path, int32_t startMs,
                    const std::string& notify) {
  MciClose(ctx);
  ctx.host.PumpEvents();
  MciDevices& mci = ctx.audio.mci;
  const uint32_t opened = mci.SendString("open \"" + path + "\" alias 1");
  if (opened == kMciNoSoundTrack) return kMciOpenNoSound;
  if (opened != kMciOk) return -1;
  ctx.audio.mciSet.audio = 7;
  mci.SendCommand(1, kMciSet, kMciSetFlags, ctx.audio.mciSet);
  return static_cast<int32_t>(
      mci.SendString("play 1 from " + std::to_string(startMs) + " " + notify));
}

void MciClose(ProgramContext& ctx) {
  ctx.audio.mci.SendString("stop 1");
  ctx.audio.mci.SendString("close 1");
}

int32_t MciPosition(ProgramContext& ctx) {
  MciStatusRecord& status = ctx.audio.mciStatus;
  status.item = kMciStatusPosition;
  ctx.audio.mci.SendCommand(1, kMciStatus, kMciStatusItem, status);
  return static_cast<int32_t>(status.returnValue);
}

}  // namespace dioptrix

// Audio method 1: the sound track played through media devices driven by
// command strings and command records, the way the program's media routines
// talk to them:
//
//   open "<path>" alias 1        opens the file's sound track as device "1"
//   play 1 from <ms> notify      plays from a position in milliseconds
//   stop 1                       stops
//   close 1                      closes the device
//   set    (0x841, flags 0x40000, record field 3 = 7)   accepted
//   status (0x814, flags 0x100, item 2)                 the position in ms
//
// Each device is a SoundBackend opened for the sound alone. Devices are
// numbered from 1 in the order opened (the lowest free number), so the first
// device is number 1 whatever its alias.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/sound/sound_backend.h"

namespace dioptrix {

struct ProgramContext;

// Replies of the command layer: 0 for success, else an error.
enum MciError : uint32_t {
  kMciOk = 0,
  kMciInvalidDeviceId = 257,
  kMciUnrecognizedKeyword = 259,
  kMciUnrecognizedCommand = 261,
  kMciHardware = 262,
  kMciInvalidDeviceName = 263,
  kMciMissingParameter = 273,
  kMciFileNotFound = 275,
  kMciDuplicateAlias = 289,
  kMciNoSoundTrack = 346,  // the file opened but holds no sound to play
};

// Command codes and flags of the records.
inline constexpr uint32_t kMciSet = 0x841;
inline constexpr uint32_t kMciSetFlags = 0x40000;
inline constexpr uint32_t kMciStatus = 0x814;
inline constexpr uint32_t kMciStatusItem = 0x100;
inline constexpr uint32_t kMciStatusPosition = 2;

// The records the commands fill or read, fields in this order.
struct MciSetRecord {
  uint32_t callback = 0;
  uint32_t timeFormat = 0;
  uint32_t audio = 0;
};
struct MciStatusRecord {
  uint32_t callback = 0;
  uint32_t returnValue = 0;  // the answer
  uint32_t item = 0;
  uint32_t track = 0;
};

class MciDevices {
 public:
  // make: how a device's player is made; without one, every open fails.
  explicit MciDevices(SoundBackendFactory make = {}) : make_(std::move(make)) {}

  void SetFactory(SoundBackendFactory make) { make_ = std::move(make); }
  // Sends a command string; 0 on success, else an MciError.
  uint32_t SendString(std::string_view command);
  uint32_t SendCommand(uint32_t device, uint32_t command, uint32_t flags, MciSetRecord& record);
  uint32_t SendCommand(uint32_t device, uint32_t command, uint32_t flags, MciStatusRecord& record);

  // Sees every command string sent (tests).
  std::function<void(std::string_view command)> onCommand;
  // What the last failed open reported.
  const std::string& LastError() const { return lastError_; }

 private:
  struct Device {
    uint32_t id = 0;
    std::unique_ptr<SoundBackend> player;
  };
  Device* Find(std::string_view alias);
  Device* Find(uint32_t id);
  uint32_t Open(std::string_view rest);

  SoundBackendFactory make_;
  std::map<std::string, Device, std::less<>> devices_;  // by alias
  std::string lastError_;
};

// MciOpenPlay's answer when the file holds no sound track (it opened, but
// there is nothing to hear).
inline constexpr int32_t kMciOpenNoSound = -2;

// Closes device 1, lets pending window events run, opens path as device 1,
// sets it up and plays it from startMs with the notify text. 0 when playing,
// -1 when the file could not be opened, kMciOpenNoSound when it has no sound
// track, else the play command's error.
int32_t MciOpenPlay(ProgramContext& ctx, const std::string& path, int32_t startMs,
                    const std::string& notify);
// Stops and closes device 1.
void MciClose(ProgramContext& ctx);
// The position of device 1 in milliseconds (0 when it has none).
int32_t MciPosition(ProgramContext& ctx);

}  // namespace dioptrix

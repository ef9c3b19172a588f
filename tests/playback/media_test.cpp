#include "playback/media.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/playback/playback_fakes.h"

namespace dioptrix {
namespace {

// The command strings and records as the media routines send them, and what
// a device does with awkward names, unknown devices and repeated opens.
TEST(MciDevicesTest, CommandsReachTheirDevice) {
  test::FakeSound::Script sound;
  sound.position = [] { return 4.25; };
  MciDevices mci(test::FakeSoundFactory(sound));

  // A path holding quotes and the word alias opens whole.
  EXPECT_EQ(mci.SendString("open \"/v/the \"alias\" cut.mpg\" alias 1"), kMciOk);
  EXPECT_EQ(sound.calls.back(), "open /v/the \"alias\" cut.mpg sound");
  EXPECT_EQ(mci.SendString("open \"/v/other.mpg\" alias 1"), kMciDuplicateAlias);
  EXPECT_EQ(mci.SendString("PLAY 1 FROM 4000 NOTIFY"), kMciOk);
  EXPECT_EQ(sound.calls.back(), "play 4.000");

  MciSetRecord set{0, 0, 7};
  EXPECT_EQ(mci.SendCommand(1, kMciSet, kMciSetFlags, set), kMciOk);
  MciStatusRecord status;
  status.item = kMciStatusPosition;
  EXPECT_EQ(mci.SendCommand(1, kMciStatus, kMciStatusItem, status), kMciOk);
  EXPECT_EQ(status.returnValue, 4250u);
  // A position the player cannot tell leaves the record as it was.
  sound.position = [] { return -1.0; };
  EXPECT_NE(mci.SendCommand(1, kMciStatus, kMciStatusItem, status), kMciOk);
  EXPECT_EQ(status.returnValue, 4250u);

  // Unknown devices, commands and words.
  EXPECT_EQ(mci.SendString("play 2"), kMciInvalidDeviceName);
  EXPECT_EQ(mci.SendCommand(2, kMciStatus, kMciStatusItem, status), kMciInvalidDeviceId);
  EXPECT_EQ(mci.SendString("rewind 1"), kMciUnrecognizedCommand);
  EXPECT_EQ(mci.SendString("play 1 backwards"), kMciUnrecognizedKeyword);
  EXPECT_EQ(mci.SendString("play 1 from soon"), kMciMissingParameter);
  EXPECT_EQ(mci.SendString(""), kMciUnrecognizedCommand);
  EXPECT_EQ(mci.SendString("open \"/v/a.mpg\""), kMciMissingParameter);

  // Closing frees the device and its number.
  EXPECT_EQ(mci.SendString("stop 1"), kMciOk);
  EXPECT_EQ(mci.SendString("close 1"), kMciOk);
  EXPECT_EQ(mci.SendString("close 1"), kMciInvalidDeviceName);
  EXPECT_EQ(mci.SendString("open /v/b.mpg alias music"), kMciOk);
  EXPECT_EQ(mci.SendCommand(1, kMciSet, kMciSetFlags, set), kMciOk);  // number 1 again

  // A file without sound, or that cannot be opened.
  sound.hasSound = false;
  EXPECT_EQ(mci.SendString("open \"/v/silent.mpg\" alias 2"), kMciNoSoundTrack);
  sound.openResult = false;
  EXPECT_EQ(mci.SendString("open \"/v/missing.mpg\" alias 2"), kMciFileNotFound);
  // Without a media service nothing opens.
  MciDevices none;
  EXPECT_EQ(none.SendString("open \"/v/a.mpg\" alias 1"), kMciHardware);
}

}  // namespace
}  // namespace dioptrix

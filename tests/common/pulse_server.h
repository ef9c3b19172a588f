// A PulseAudio server of the test's own with one null sink: a sound output
// for tests that play sound on machines without a sound card (CI has none).
// It lives in a private folder and is stopped when the object goes.
//
// A null sink with nothing playing sleeps in blocks of two seconds, so a new
// stream would wait up to that long before it is played. A silent stream
// with a short latency (pacat) keeps the sink awake, so that playing starts
// at once, as on a sound card.
#pragma once

#include <sys/types.h>

#include <string>

namespace dioptrix::test {

class PulseServer {
 public:
  // Starts the server and points this process's PULSE_SERVER at it. Address()
  // is empty when pulseaudio is missing or did not start.
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // The value for PULSE_SERVER ("unix:<socket>").
  const std::string& Address() const { return address_; }

 private:
  pid_t pid_ = -1;
  pid_t keepAwake_ = -1;
  std::string folder_;
  std::string address_;
};

}  // namespace dioptrix::test

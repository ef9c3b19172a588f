// The core's links to the outside: one message sink for everything the
// program tells the user, one event-pump hook that lets pending window events
// run while a long loop keeps control (and a timed wait that keeps them
// running), and the size of the screen.
//
// The GUI installs a modal message box and Qt's event processing; the
// command-line tools print to standard error; tests record the messages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dioptrix {

enum class MessageStyle { Error, Information };

struct ScreenSize {
  int32_t width = 0;
  int32_t height = 0;
};

struct Host {
  // Shows one message to the user. Default: print to standard error.
  std::function<void(const std::string& text, MessageStyle style)> onMessage;
  // Lets pending window events run. Default: nothing to run.
  std::function<void()> onPumpEvents;
  // Lets window events run while a loop waits for time to pass (frame
  // pacing), giving the processor away for a moment so that the wait does
  // not spin. Default: PumpEvents.
  std::function<void()> onIdle;
  // Runs window events for the given milliseconds and returns: timers,
  // keys and clicks are delivered during the wait. Default: pumps events
  // and sleeps in short steps until the time has passed.
  std::function<void(int32_t milliseconds)> onRunEventsFor;
  // The size in pixels of the screen the program's window is on. Default (no
  // screen): 1920 x 1080.
  std::function<ScreenSize()> onDesktopSize;

  void Message(std::string_view text, MessageStyle style = MessageStyle::Error) const;
  void PumpEvents() const;
  void Idle() const;
  void RunEventsFor(int32_t milliseconds) const;
  ScreenSize DesktopSize() const;
};

// Records every message; for tests and for callers that collect messages.
struct MessageLog {
  struct Entry {
    std::string text;
    MessageStyle style;
  };
  std::vector<Entry> entries;

  // Installs this log as the host's message sink.
  void Attach(Host& host);
  std::vector<std::string> Texts() const;
};

// Runs f; a run-time error (or any exception) that escapes it is shown as
// prefix + description. Returns true when f completed.
template <class F>
bool TrapErrors(const Host& host, std::string_view prefix, F&& f);

void ReportException(const Host& host, std::string_view prefix, const std::exception& e);

template <class F>
bool TrapErrors(const Host& host, std::string_view prefix, F&& f) {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    ReportException(host, prefix, e);
    return false;
  }
}

}  // namespace dioptrix

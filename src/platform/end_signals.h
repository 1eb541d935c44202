// The requests to end the program that arrive as signals: SIGTERM (a session or service manager,
// `kill`), SIGINT (Ctrl+C in a terminal) and SIGHUP (the terminal closed). Left to their default
// action they end the process on the spot, and what the program started keeps running: the
// private browsers (in sessions of their own) with their profile folders, and the mention
// indexes lose every change made since their last save. Caught, each becomes one call on the
// event loop, which ends the program the way closing its window does.
//
// 1. catch_end_signals(), first thing in main(), before any thread exists: a pipe (close-on-exec,
//    non-blocking) and, for the three signals, a handler that does nothing but write the
//    signal's number into it. write() is async-signal-safe; when the pipe is full the byte is
//    dropped, as one waiting byte already says everything. The pipe stays open for the life of
//    the process, so a late signal never writes into a descriptor reused for something else.
// 2. An EndSignals object, made once the application object exists, reads the pipe from the
//    event loop and calls `on_end` for the first signal, also for one that came before the
//    object or the event loop existed. Later signals are read and dropped: the end is already
//    on its way, and running it twice or cutting it short would lose what it is there to keep.
//
// What children inherit: on exec a caught signal goes back to its default action and the pipe
// closes, so commands and browsers start with neither. Between fork and exec a child still runs
// the handler; it sees it is not the program (another process id) and takes the signal's default
// action itself, rather than ask the program to end.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace kavor::platform {

// False when the pipe or a handler could not be set up; the signals then keep their default
// action.
bool catch_end_signals();

class EndSignals : public QObject {
 public:
  // `on_end` runs on this thread, from its event loop, with the first signal's number.
  explicit EndSignals(std::function<void(int signal)> on_end, QObject* parent = nullptr);

 private:
  void read_pipe();

  std::function<void(int)> on_end_;
  QSocketNotifier* notifier_ = nullptr;
  bool ended_ = false;
};

}  // namespace kavor::platform

// The state that lives for the whole run, in one place, and the one way
// every step says how it ended. Every routine of the program takes the
// Session by reference; nothing else is global.
//
// This folder is the floor of the program: the run state, the console
// words every option uses (session/console_io.h) and the text comparison
// (session/text.h), and how a run that must end before its time gets out
// (session/ending.h). Above it, in this order, stand link/ (the wire),
// catalogue/, operations/ and transfer/ (side by side, never including
// each other) and app/ (start-up and the menu). No folder includes one
// above it; platform/ lies beneath them all.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"

namespace chipferry {

/// Exit codes of the run. Each non-zero one follows its message. The
/// port's five (1 to 5) have their messages, and their lines in --help, in
/// the table of port failures (link/port.h).
enum ExitCode : int {
  kExitOk = 0,
  kExitNoPort = 1,
  kExitPortAccess = 2,
  kExitPortGetState = 3,
  kExitPortSetState = 4,
  kExitPortTimeouts = 5,
  kExitNoResponse = 6,       ///< programmer silent or a download ended wrongly
  kExitInvalidResponse = 7,  ///< malformed reply or checksum mismatch
  kExitNotSaved = 8,         ///< input ended before a received image was saved
  kExitTraceFile = 9,        ///< the CHIPFERRY_TRACE file cannot be created
  // A run of steps from the command line only (app/steps.h): the menu
  // reports these failures and goes on.
  kExitChipOperation = 10,  ///< the programmer reported a chip operation failed
  kExitFile = 11,           ///< an image file cannot be read, decoded or written
  kExitVerify = 12,         ///< --verify found the chip and the file differ
  kExitUsage = 64,          ///< the command line is wrong (EX_USAGE); nothing was done
};

/// How a step ended, and so where the run goes: on to the option's next
/// step, to the menu at once, to the menu once the programmer's prompt has
/// come, or to the end of the run with an exit code (its message printed).
struct Next {
  enum class Kind { carry_on, menu, menu_after_prompt, end };
  Kind kind = Kind::carry_on;
  /// end: the run's exit code. The two menu kinds: kExitOk when the option
  /// did what it was asked; otherwise the code a run of steps ends with
  /// there, once it has come to where the menu would be shown. The menu
  /// itself goes on whatever this holds.
  int exit_code = kExitOk;

  static Next carry_on() { return {Kind::carry_on, kExitOk}; }
  static Next menu(int failure = kExitOk) { return {Kind::menu, failure}; }
  static Next menu_after_prompt(int failure = kExitOk) {
    return {Kind::menu_after_prompt, failure};
  }
  static Next end(int code) { return {Kind::end, code}; }

  /// The step went as it should; the option goes on with its next one.
  bool carries_on() const { return kind == Kind::carry_on; }
};

/// The serial port as the program holds it.
struct Port {
  bool release_registered = false;  ///< release_device runs at the end
  /// The port answered the settings query, so it is a terminal device and
  /// the release may write to it. Anything else (a regular file named by
  /// mistake) must never be written to: the bytes would land in the file.
  bool answers_settings = false;
  /// The device has gone (hung up, its adapter pulled): the port is not
  /// touched again, only closed.
  bool gone = false;
  /// Standard error has said that the mark of an upload under way cannot
  /// be kept (link/port.h); once a run is enough.
  bool mark_trouble_told = false;
};

/// Standard input as the menu sees it: the piece of the current line the
/// console handed over last (platform/console.h), without carriage
/// returns, and how much of it has been read. A line keeps its line feed,
/// which the menu reads too. A line longer than a piece comes piece by
/// piece, so that none costs more memory than a piece, however long.
struct InputLine {
  std::string piece;
  size_t pos = 0;
  bool line_goes_on = false;  ///< more of this piece's line is still to come
  bool dropping = false;      ///< the rest of the current line is dropped as it comes
  bool ended = false;         ///< standard input has no more lines
};

/// The status line as the program last drew it (session/status.h).
struct StatusLine {
  std::string line;  ///< empty: none is shown
  uint64_t drawn_at_ms = 0;
};

constexpr size_t kHostBufferSize = 65536;

/// The transfer length before any type query or file load has set one: the
/// largest, so that a download of an unknown type fetches the whole buffer
/// rather than failing on surplus bytes.
constexpr int32_t kStartTransferLength = 65536;

struct Session {
  Session(SerialDevice& s, Console& c, Clock& k) : serial(s), console(c), clock(k) {}

  SerialDevice& serial;
  Console& console;
  Clock& clock;

  Port port;
  InputLine input;
  StatusLine status;
  std::array<uint8_t, kHostBufferSize> host_buffer{};
  int32_t transfer_length = kStartTransferLength;
  /// The length of the image option 1 put into the device buffer in this
  /// run, once its checksum confirmed it; 0 when none is known to be there
  /// (none loaded, an upload abandoned, or a dump has filled the buffer
  /// from the chip since).
  int32_t loaded_image_length = 0;
  /// Why the run must end before its time, once the program has heard of
  /// it (session/ending.h); the first reason is kept.
  Stop stop = Stop::none;
  /// A menu run: ESC on the keyboard abandons a transfer. A run of steps
  /// reads no key at all and leaves the terminal's mode alone; Ctrl+C is
  /// its way out.
  bool reads_keys = true;
};

}  // namespace chipferry

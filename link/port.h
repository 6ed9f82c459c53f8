// The serial link to the programmer: opening COM1, byte input and output,
// the two bounded waits, and the release at the end of the run.
//
// How the layer behaves on the line:
//  - send_byte() is one write of one byte, and says whether it went. A byte
//    that cannot leave within the byte time-out (the programmer holds CTS
//    off) did not go, and nothing is printed; a failed call prints
//    "Couldn't write to Port COM1".
//  - read_byte() is one read of one byte, and returns it, or nothing after
//    the byte time-out on a silent line. A received zero byte is a byte. A
//    failed call prints "Couldn't read Port COM1" and brings nothing.
//  - A failed call that does not mean the device has gone takes the byte
//    time-out, as a call that timed out does: a caller that sends a byte
//    again until it goes does not spin on a port that fails at once.
//  - Nothing is retried here and nothing is buffered in the program: every
//    byte is one device call.
//  - A device that has gone (the line hung up, the USB adapter pulled) is
//    told once: its failure line, and a diagnostic naming the device and
//    the system's reason. From then on the port is not touched again: a
//    send does nothing, a read brings nothing, the waits end at once and
//    the run ends with "No Response" (exit code 6). A failure that does not
//    mean the device has gone prints its line each time and carries on.
//  - The waits give up after kWaitAttempts failed attempts, each followed
//    by a pause: about eight minutes on a silent line. A byte that ends an
//    attempt is dropped, never looked at again. They also end, at once,
//    when the run must end (session/ending.h).
// The figures are in link/timings.h, the bytes in link/protocol.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/line.h"
#include "session/session.h"

namespace chipferry {

/// The port the program talks to, whatever device stands for it, and the
/// name every message gives it.
constexpr char kPortName[] = "COM1";

/// One way the port can fail to be had, said three ways: the line on
/// standard output, the clause on standard error, and the exit code with
/// what --help says of it.
struct PortFailure {
  int exit_code;
  /// Standard output; its one "%s" is the port's name.
  const char* message;
  /// Standard error, after the port and its device: "COM1 (/dev/ttyUSB0)
  /// cannot be opened". The system's reason and the platform's advice
  /// follow it.
  const char* clause;
  /// What was asked of the port, in figures, shown in brackets after the
  /// clause; nullptr: nothing.
  const char* asked;
  /// The exit code's line in --help.
  const char* meaning;
};

/// Exit codes 1 to 5, in their order.
inline constexpr PortFailure kPortFailures[] = {
    {kExitNoPort, "Port %s doesn't exist\n", " cannot be opened", nullptr,
     "the port does not exist"},
    {kExitPortAccess, "Can't access Port %s\n", " cannot be opened", nullptr,
     "the port cannot be opened (held by another program, no permission)"},
    // No settings: no serial device, and nothing will be written to it.
    {kExitPortGetState, "Can't get Port %s state\n", " is not a serial device", nullptr,
     "the port's settings cannot be read: it is not a serial device"},
    {kExitPortSetState, "Can't set Port %s state\n", " refused the line settings",
     line::kPersonText, "the port's settings cannot be set"},
    {kExitPortTimeouts, "Can't set Port %s timeouts\n", " refused its time-outs", nullptr,
     "the port's time-outs cannot be set"},
};

/// COM1 and the device it stands for, when that has another name:
/// "COM1 (/dev/ttyUSB0)".
std::string port_and_device(Session& s);

/// Opens and configures COM1. 0, or the exit code 1 to 5 after its message.
/// From the moment the port is open, release_device is due at the end.
int open_port(Session& s);

/// True when the byte went.
bool send_byte(Session& s, uint8_t byte);
void send_string(Session& s, const char* text);
/// The byte that came, or nothing.
std::optional<uint8_t> read_byte(Session& s);

/// True once "[C]" has been read, false when the attempts ran out (or the
/// wait was cut off: the device gone, the run ending).
bool wait_command_prompt(Session& s);
/// True once "[" has been read, false when the attempts ran out (or the
/// wait was cut off). What follows the "[" stays unread.
bool wait_bracket(Session& s);

/// The end of every wait that ran out: prints "No Response" and ends the
/// run with exit code 6. A run that must end ends as it must instead.
Next no_response(Session& s);
/// wait_command_prompt, or no_response when it runs out.
Next expect_prompt(Session& s);
/// wait_bracket, or no_response when it runs out.
Next expect_bracket(Session& s);

/// Holds the line in the break state for timing::kBreakMs: the end of an
/// upload.
void hold_break(Session& s);

/// Keeps (`on`) or drops the mark that an upload is under way on the port
/// (SerialDevice::mark_upload). A mark that cannot be kept does not stop
/// the run; standard error says so, once a run.
void mark_upload(Session& s, bool on);

/// Abandons an upload as ESC does: what the system still queues for the
/// line is dropped, a break ends the upload, ESC follows, and the
/// programmer is given its time to stop; its prompt is left unread. The
/// upload's mark goes with it, unless the device has gone: the programmer
/// behind a pulled adapter is still in its upload.
void abandon_upload(Session& s);

/// Before the wake-up: a run on this port that ended in an upload (killed,
/// crashed, its adapter pulled) left the programmer taking every byte as
/// data, the wake-up's too. That upload is abandoned first, and what the
/// programmer says to it is dropped. A port without the mark is left as
/// it is.
void recover_left_upload(Session& s);

/// Hands the programmer back (protocol::kRelease) and closes the port. Runs
/// once, at the end of the run, an interrupted one too, when open_port got
/// as far as opening; a port whose settings could not be read, and a device
/// that has gone, are closed without a byte written to them. Its pauses run
/// whole, whatever comes.
void release_device(Session& s);

}  // namespace chipferry

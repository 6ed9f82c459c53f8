// The serial device seam.
//
// Everything the program says to the programmer passes through one
// SerialDevice. It offers the few things a comm port can do, in the
// program's own terms:
//
//  - The port speaks one line only, the programmer's: 19,200 baud, 8 data
//    bits, no parity, one stop bit, RTS/CTS handshake. get_state() finds
//    out whether the port is a serial device at all (a file or /dev/null
//    has no settings, and must never be written to); set_state() then
//    sets that line and leaves every other setting as the port had it.
//  - read_byte() moves at most one byte. It returns as soon as a byte is
//    there, and otherwise after the read time-out with count 0. A time-out
//    is not a failure.
//  - write_byte() moves at most one byte. A byte that cannot leave within the
//    write time-out, for instance while the programmer holds CTS off, comes
//    back with count 0. A time-out is not a failure either.
//  - call_ok is false only when the call itself failed; the caller prints one
//    line and carries on. Nothing here is ever retried.
//  - gone is set with it when the failure says the device itself has gone:
//    the line hung up, or the USB adapter behind it was pulled. Every later
//    call would fail the same way, so the caller touches the port no more.
//
// Operating systems that queue written bytes (Linux) report a byte as written
// once it is queued. wait_output_drained() and discard_output() let the
// transfer code keep the meaning "the data has left" at the points where it
// matters; on a backend without such a queue both are trivial.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace chipferry {

/// How long a single-byte call waits before it gives up, in milliseconds.
struct Timeouts {
  uint32_t read_ms = 0;
  uint32_t write_ms = 0;
};

enum class OpenResult {
  ok,
  not_found,  ///< no device of that name
  failed,     ///< any other reason, a device held by someone else included
};

/// Outcome of one single-byte read or write.
struct ByteIo {
  bool call_ok = true;  ///< false: the call itself failed
  uint32_t count = 0;   ///< bytes moved: 0 or 1
  bool gone = false;    ///< the call failed because the device has gone
};

class SerialDevice {
 public:
  SerialDevice() = default;
  virtual ~SerialDevice() = default;
  // One device is one open port: a copy would close it twice.
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  /// Opens the named port for exclusive reading and writing.
  virtual OpenResult open(const char* port_name) = 0;
  /// The device that open(port_name) opens on this machine.
  virtual std::string device_path(const char* port_name) const { return port_name; }
  /// Reads the port's settings and keeps them for set_state(); false when
  /// it has none, for it is no serial device.
  virtual bool get_state() = 0;
  /// Sets the programmer's line on top of what get_state() read: 19,200
  /// baud, 8N1, output held while CTS is off and RTS dropped while we can
  /// take no more. False when the port refuses.
  virtual bool set_state() = 0;
  /// Establishes the time-outs of later single-byte calls; false on failure.
  virtual bool set_timeouts(const Timeouts& timeouts) = 0;

  virtual ByteIo write_byte(uint8_t byte) = 0;
  /// `byte` receives what arrived; it is left untouched when nothing did.
  virtual ByteIo read_byte(uint8_t& byte) = 0;

  /// Raises or clears the break condition. A backend whose kernel would
  /// first wait for queued output to leave discards that output instead,
  /// so that a break never waits on a held CTS line.
  virtual void set_break(bool on) = 0;
  /// Waits at most `max_ms` for written bytes to leave the machine;
  /// true once none are queued.
  virtual bool wait_output_drained(uint32_t max_ms) = 0;
  /// Drops written bytes that have not left yet.
  virtual void discard_output() = 0;

  /// Closes the port without waiting long for queued output.
  virtual void close() = 0;

  /// The system's reason for the last call that failed (the open, a read, a
  /// write), in the system's own words ("Permission denied", "Input/output
  /// error"); empty when nothing has failed or the device cannot tell.
  virtual std::string error_text() const { return {}; }
  /// What the user can do about the failure that error_text() names, as
  /// this platform knows it: who holds the port, the group that may open
  /// it, the serial devices there are. Empty when it knows nothing that
  /// helps.
  virtual std::string advice() const { return {}; }
  /// What the user can check once a call has reported the device gone:
  /// for a local port, the cable or the USB adapter.
  virtual std::string gone_advice() const {
    return "is the cable or the USB adapter still plugged in?";
  }

  /// Keeps (`on`) or drops the mark that an upload is under way on this
  /// port, where it outlives the process: the next run on the port finds
  /// it even after this one was killed, or crashed, mid-upload, with the
  /// programmer still taking every byte as data. Empty when done; else
  /// what could not be done and why ("cannot make FILE: REASON"). A
  /// device that keeps no marks does nothing.
  virtual std::string mark_upload(bool on) {
    static_cast<void>(on);
    return {};
  }
  /// A run on this port left the mark: it ended without finishing its
  /// upload. Asked once the port is open.
  virtual bool upload_marked() { return false; }

  /// Where to tell, as it happens, what no call's result shows but a
  /// trace should (a port server that refused a break, say). A device
  /// with nothing of the kind to tell ignores it.
  virtual void set_note_sink(const std::function<void(std::string_view note)>& sink) {
    static_cast<void>(sink);
  }
};

}  // namespace chipferry

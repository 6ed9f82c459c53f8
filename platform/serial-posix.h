// The serial device on Linux: a termios port.
//
// COM1 is the device named by the environment variable CHIPFERRY_COM1, or
// /dev/ttyS0 when it is not set; set but empty, it names none. The port is opened without becoming
// the controlling terminal and held exclusively: flock() keeps out every other process that asks
// for it, root included, and TIOCEXCL keeps out plain opens by anyone but root.
//
// The single-byte time-outs are made with poll(): a read waits at most its
// time-out for a byte, a write at most its time-out for room in the
// kernel's queue.
// What the kernel has received is fetched in one call and handed out a
// byte per read_byte, as a Win32 driver's receive queue does: a 64 KiB
// download would otherwise cost a system call or three per byte.
// A written byte counts as delivered once the kernel holds it; the queue is
// emptied, or dropped, only where the caller asks (wait_output_drained,
// discard_output), before a break, and at close, which never waits longer
// than the closing bytes need.
// The mark of an upload under way is kept in the user's cache folder
// (platform/upload_mark.h), for the device the name leads to: a link in
// /dev/serial/by-id and the device it names share one.
// A device that has gone shows as a hang-up: read() at its end with the
// line hung up (a USB adapter pulled), or EIO, ENXIO or ENODEV from a read
// or a write (a pseudo-terminal whose other end closed, a driver that lost
// its device). Such a call reports gone, at once.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

#include "platform/clock-posix.h"
#include "platform/serial.h"

namespace chipferry {

class PosixSerial : public SerialDevice {
 public:
  /// `default_path`: the device when CHIPFERRY_COM1 is not set.
  explicit PosixSerial(const char* default_path = "/dev/ttyS0") : default_path_(default_path) {}
  ~PosixSerial() override;

  OpenResult open(const char* port_name) override;
  std::string device_path(const char* port_name) const override;
  bool get_state() override;
  bool set_state() override;
  bool set_timeouts(const Timeouts& timeouts) override;
  ByteIo write_byte(uint8_t byte) override;
  ByteIo read_byte(uint8_t& byte) override;
  void set_break(bool on) override;
  bool wait_output_drained(uint32_t max_ms) override;
  void discard_output() override;
  void close() override;
  std::string error_text() const override;
  std::string advice() const override;
  std::string mark_upload(bool on) override;
  bool upload_marked() override;

 private:
  std::string mark_key() const;
  int queued_output() const;
  bool take_received(uint8_t& byte);
  ByteIo failed();
  ByteIo hung_up(int error);

  const char* default_path_;
  std::string path_;  ///< the device open() was asked for
  int fd_ = -1;
  int error_ = 0;  ///< errno of the last call that failed, or one of serial-posix.cc's own
  termios tio_{};  ///< the settings as the port reported them
  PosixClock clock_;
  int read_timeout_ms_ = 0;  ///< as set_timeouts gave them
  int write_timeout_ms_ = 0;
  uint8_t received_[512];
  size_t received_pos_ = 0;
  size_t received_end_ = 0;
};

}  // namespace chipferry

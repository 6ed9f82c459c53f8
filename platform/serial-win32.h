// The serial device on Windows: a comm handle.
//
// COM1 is the port of that name, unless the environment variable
// CHIPFERRY_COM1 names another device (for instance \\.\COM7); set but
// empty, it names none. The driver itself provides the single-byte
// time-outs and the hardware handshake, and it keeps no queue of written
// bytes that we could wait on, so a written byte counts as delivered once
// WriteFile says so.
//
// The mark of an upload under way is kept under %LOCALAPPDATA%
// (platform/upload_mark.h), for the port whatever way it was named: COM3,
// com3 and \\.\COM3 share one.
//
// A USB serial adapter that is pulled leaves the handle open and fails
// every call; which error it gives depends on the driver (see
// is_device_gone in serial-win32.cc). Those calls report gone.
#pragma once

#include <windows.h>

#include <string>

#include "platform/serial.h"

namespace chipferry {

class Win32Serial : public SerialDevice {
 public:
  /// `default_path`: the device when CHIPFERRY_COM1 is not set.
  explicit Win32Serial(const char* default_path = "COM1") : default_path_(default_path) {}
  ~Win32Serial() override;

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
  ByteIo failed();

  const char* default_path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DCB dcb_{};             ///< the settings as the port reported them
  DWORD error_ = 0;       ///< GetLastError() of the last call that failed
  bool no_name_ = false;  ///< CHIPFERRY_COM1 is set but empty: nothing was opened
};

}  // namespace chipferry

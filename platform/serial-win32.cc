#include "platform/serial-win32.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com1.h"
#include "platform/error-win32.h"
#include "platform/upload_mark.h"

namespace chipferry {
namespace {

// The errors of a serial device that has gone. A pulled USB serial adapter
// leaves our handle open, and its driver fails every later call with one
// of these, which one depending on the driver and its version:
// ERROR_GEN_FAILURE or ERROR_DEVICE_NOT_CONNECTED (usbser.sys, the CDC
// driver, and Prolific's), ERROR_BAD_COMMAND (FTDI's), ERROR_ACCESS_DENIED
// (usbser.sys and CH340's on later calls), ERROR_DEVICE_REMOVED or
// ERROR_FILE_NOT_FOUND (a device whose node was removed). None of them
// comes from a live port on a call that was made right. Not among them:
// ERROR_OPERATION_ABORTED, which a live port gives after a line error
// when it was left with fAbortOnError set; that one fails one call.
bool is_device_gone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The record length the port is told; a different layout would make
// GetCommState reject the call.
static_assert(sizeof(DCB) == 28, "DCB must be the 28-byte Win32 record");

Win32Serial::~Win32Serial() { close(); }

std::string Win32Serial::device_path(const char*) const { return com1_device(default_path_); }

OpenResult Win32Serial::open(const char* port_name) {
  const std::string path = device_path(port_name);
  no_name_ = path.empty();
  if (no_name_) return OpenResult::not_found;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    error_ = GetLastError();
    return error_ == ERROR_FILE_NOT_FOUND ? OpenResult::not_found : OpenResult::failed;
  }
  return OpenResult::ok;
}

bool Win32Serial::get_state() {
  dcb_ = DCB{};
  dcb_.DCBlength = sizeof(DCB);
  if (!GetCommState(handle_, &dcb_)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

// Six fields make the programmer's line; the rest (DTR, XON/XOFF, parity
// checking, the special characters, the driver's flow-control limits) stay
// as the port had them.
bool Win32Serial::set_state() {
  DCB dcb = dcb_;
  dcb.BaudRate = CBR_19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  if (!SetCommState(handle_, &dcb)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

bool Win32Serial::set_timeouts(const Timeouts& t) {
  // A single-byte call ends after multiplier x 1 + constant. Ten of the
  // milliseconds are the byte's own share; the gap between bytes, which no
  // single byte meets, is given the rest as well.
  constexpr DWORD kPerByteMs = 10;
  auto rest = [](uint32_t ms) { return ms > kPerByteMs ? ms - kPerByteMs : 0; };
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = rest(t.read_ms);
  timeouts.ReadTotalTimeoutMultiplier = kPerByteMs;
  timeouts.ReadTotalTimeoutConstant = rest(t.read_ms);
  timeouts.WriteTotalTimeoutMultiplier = kPerByteMs;
  timeouts.WriteTotalTimeoutConstant = rest(t.write_ms);
  if (!SetCommTimeouts(handle_, &timeouts)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

ByteIo Win32Serial::failed() {
  error_ = GetLastError();
  return {false, 0, is_device_gone(error_)};
}

ByteIo Win32Serial::write_byte(uint8_t byte) {
  DWORD written = 0;
  if (!WriteFile(handle_, &byte, 1, &written, nullptr)) return failed();
  return {true, static_cast<uint32_t>(written)};
}

ByteIo Win32Serial::read_byte(uint8_t& byte) {
  uint8_t got = 0;
  DWORD read = 0;
  if (!ReadFile(handle_, &got, 1, &read, nullptr)) return failed();
  if (read == 1) byte = got;
  return {true, static_cast<uint32_t>(read)};
}

void Win32Serial::set_break(bool on) { EscapeCommFunction(handle_, on ? SETBREAK : CLRBREAK); }

bool Win32Serial::wait_output_drained(uint32_t) { return true; }

void Win32Serial::discard_output() { PurgeComm(handle_, PURGE_TXCLEAR); }

std::string Win32Serial::error_text() const {
  if (no_name_) return kCom1Empty;
  return error_ != 0 ? system_message(error_) : "";
}

std::string Win32Serial::mark_key() const {
  std::string key = com1_device(default_path_);
  if (key.rfind("\\\\.\\", 0) == 0) key.erase(0, 4);
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

std::string Win32Serial::mark_upload(bool on) { return keep_upload_mark(mark_key(), on); }

bool Win32Serial::upload_marked() { return upload_mark_found(mark_key()); }

void Win32Serial::close() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

// Windows refuses a port that another program has open as it refuses a
// user without access, and most often it is the former. A port that does
// not exist is best answered with the ports that do.
std::string Win32Serial::advice() const {
  if (no_name_) return com1_empty_advice(default_path_);
  if (error_ == ERROR_ACCESS_DENIED || error_ == ERROR_SHARING_VIOLATION) {
    return "another program may hold it";
  }
  if (error_ != ERROR_FILE_NOT_FOUND && error_ != ERROR_PATH_NOT_FOUND) return {};
  std::vector<char> names(65536);
  const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<std::string> ports;
  for (size_t at = 0; at < length && names[at] != '\0'; at += std::strlen(&names[at]) + 1) {
    const std::string name = &names[at];
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
      ports.push_back(name);
    }
  }
  if (ports.empty())
    return "Windows knows no serial port here; CHIPFERRY_COM1 names the one to use";
  // COM3 before COM10.
  std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  std::string advice = "serial ports here: ";
  for (size_t i = 0; i < ports.size(); ++i) advice += (i == 0 ? "" : ", ") + ports[i];
  return advice + "; CHIPFERRY_COM1 names the one to use (\\\\.\\COM10 for COM10 and above)";
}

}  // namespace chipferry

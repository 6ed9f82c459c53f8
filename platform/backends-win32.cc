#include <windows.h>

#include <cstdio>

#include "platform/backends.h"
#include "platform/clock-win32.h"
#include "platform/com1.h"
#include "platform/console-win32.h"
#include "platform/interrupt-win32.h"
#include "platform/serial-win32.h"

namespace chipferry {
namespace {

// GetVersionEx reports what the program's manifest allows it to know;
// ntdll tells the truth, and under Wine also which Wine it is.
std::string system_name() {
  std::string name = "Windows";
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) return name;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersionFn = const char*(CDECL*)();
  // GetProcAddress hands back a generic function pointer; through void* the
  // compiler takes it as the function it is.
  const auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (rtl_get_version != nullptr && rtl_get_version(&info) == 0) {
    char version[64];
    std::snprintf(version, sizeof version, " %lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion,
                  info.dwBuildNumber);
    name += version;
  }
  const auto wine_version = reinterpret_cast<WineVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine_version != nullptr) name += std::string(" (Wine ") + wine_version() + ")";
  return name;
}

}  // namespace

Backends make_backends(RemoteSerial remote) {
  win32_interrupt::install();
  Backends b;
  b.com1_default = "COM1";
  b.clock = std::make_unique<Win32Clock>();
  b.serial = remote(com1_device(b.com1_default), *b.clock);
  if (!b.serial) b.serial = std::make_unique<Win32Serial>(b.com1_default);
  b.console = std::make_unique<Win32Console>();
  b.platform = system_name();
  return b;
}

void end_as(Stop stop) {
  if (stop == Stop::none) return;
  win32_interrupt::released();
  // No signal ends a Windows process; the console's Ctrl+C code tells a
  // caller the run was interrupted, and a closed pipe has no code of its
  // own, so it gives the status a shell shows on Linux.
  ExitProcess(stop == Stop::output_gone ? static_cast<UINT>(stop_status(stop))
                                        : win32_interrupt::kControlCExit);
}

}  // namespace chipferry

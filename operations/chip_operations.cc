#include "operations/chip_operations.h"

#include "link/protocol.h"
#include "link/timings.h"
#include "operations/sequence.h"

namespace chipferry {
namespace {

using timing::check_pause;
using timing::dump_pause;
using timing::program_pause;

constexpr Confirmation kProgramConfirmation = {"Type the word 'PROGRAM' to confirm this action\n",
                                               "PROGRAM"};
constexpr Confirmation kEraseConfirmation = {"Type the word 'ERASE' to confirm this action\n",
                                             "erase"};

constexpr ExtraCode kReinsertRom = {protocol::kReinsert, "ROM error!\nReinsert ROM\n"};
constexpr ExtraCode kNotErasable = {protocol::kNotErasable,
                                    "Only EEPROMs can be erased with this function!\n"};

// The dump answers with two frames, and only its closing wait asks for the
// whole prompt.
constexpr ChipOperation kDump = {
    .uses_type_query = true,
    .confirmation = nullptr,
    .command = protocol::kDump,
    .pause_after_execute = dump_pause,
    .activity = "Dumping",
    .failure_message = "Operation failed!\nVerify error!\n",
    .extra_code = nullptr,
    .status_frames = 2,
    .closing_wait = ClosingWait::command_prompt,
    .fills_device_buffer = true,
    .burns_device_buffer = false,
};

constexpr ChipOperation kCompare = {
    .uses_type_query = true,
    .confirmation = nullptr,
    .command = protocol::kCompare,
    .pause_after_execute = check_pause,
    .activity = "Comparing",
    .failure_message = "ROM doesn't match Buffer!\n",
    .extra_code = nullptr,
    .status_frames = 1,
    .closing_wait = ClosingWait::bracket,
    .fills_device_buffer = false,
    .burns_device_buffer = false,
};

constexpr ChipOperation kProgram = {
    .uses_type_query = true,
    .confirmation = &kProgramConfirmation,
    .command = protocol::kProgram,
    .pause_after_execute = program_pause,
    .activity = "Programming",
    .failure_message = "ROM couldn't be programmed!\n",
    .extra_code = &kReinsertRom,
    .status_frames = 1,
    .closing_wait = ClosingWait::bracket,
    .fills_device_buffer = false,
    .burns_device_buffer = true,
};

// Erasing does not depend on the chip's size, so the type is not asked
// for, and the programmer is watched from the moment it starts.
constexpr ChipOperation kErase = {
    .uses_type_query = false,
    .confirmation = &kEraseConfirmation,
    .command = protocol::kErase,
    .pause_after_execute = nullptr,
    .activity = nullptr,
    .failure_message = "ROM couldn't be erased!\n",
    .extra_code = &kNotErasable,
    .status_frames = 1,
    .closing_wait = ClosingWait::bracket,
    .fills_device_buffer = false,
    .burns_device_buffer = false,
};

constexpr ChipOperation kBlankCheck = {
    .uses_type_query = true,
    .confirmation = nullptr,
    .command = protocol::kBlankCheck,
    .pause_after_execute = check_pause,
    .activity = "Blank checking",
    .failure_message = "ROM not blank!\n",
    .extra_code = nullptr,
    .status_frames = 1,
    .closing_wait = ClosingWait::bracket,
    .fills_device_buffer = false,
    .burns_device_buffer = false,
};

}  // namespace

Next dump_rom(Session& s) { return run_chip_operation(s, kDump); }
Next compare_rom(Session& s) { return run_chip_operation(s, kCompare); }
Next program_rom(Session& s) { return run_chip_operation(s, kProgram); }
Next erase_rom(Session& s) { return run_chip_operation(s, kErase); }
Next blank_check_rom(Session& s) { return run_chip_operation(s, kBlankCheck); }

Next program_rom_confirmed(Session& s) {
  return run_chip_operation(s, kProgram, Confirmed::by_command_line);
}
Next erase_rom_confirmed(Session& s) {
  return run_chip_operation(s, kErase, Confirmed::by_command_line);
}

}  // namespace chipferry

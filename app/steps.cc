#include "app/steps.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "catalogue/rom_list.h"
#include "chipferry/version.h"
#include "link/port.h"
#include "operations/chip_operations.h"
#include "platform/printable.h"
#include "transfer/file_options.h"
#include "transfer/verify.h"

namespace chipferry {

// What a step's option takes after it.
enum class Value : uint8_t { none, rom_type, file_read, file_written };

struct StepOption {
  const char* name;  ///< "--type"
  char letter;       ///< 't' for -t
  Value value;
  const char* usage;  ///< its line in --help, after the name and the value
  Next (*run)(Session& s, const Step& step);
};

namespace {

// --verify: the chip into the device buffer (option 5), then the buffer
// fetched (option 2's exchange) and compared here with the file.
Next verify_chip(Session& s, const std::string& name) {
  const Next dumped = dump_rom(s);
  if (dumped.kind != Next::Kind::menu || dumped.exit_code != kExitOk) return dumped;
  return verify_device_buffer(s, name);
}

constexpr StepOption kStepOptions[] = {
    {"--type", 't', Value::rom_type, "set the ROM type, by full or short name (4)",
     [](Session& s, const Step& step) { return set_rom_type(s, *step.type); }},
    {"--load", 'l', Value::file_read, "load an image file into the programmer's buffer (1)",
     [](Session& s, const Step& step) { return load_image_file(s, step.value); }},
    {"--save", 's', Value::file_written, "save the programmer's buffer into a file (2)",
     [](Session& s, const Step& step) { return save_device_buffer(s, step.value); }},
    {"--dump", 'd', Value::none, "read the chip into the buffer (5)",
     [](Session& s, const Step&) { return dump_rom(s); }},
    {"--compare", 'c', Value::none, "compare the chip with the buffer (6)",
     [](Session& s, const Step&) { return compare_rom(s); }},
    {"--program", 'p', Value::none, "program the chip from the buffer (7)",
     [](Session& s, const Step&) { return program_rom_confirmed(s); }},
    {"--erase", 'e', Value::none, "erase the chip, an EEPROM only (8)",
     [](Session& s, const Step&) { return erase_rom_confirmed(s); }},
    {"--blank-check", 'b', Value::none, "blank check the chip (9)",
     [](Session& s, const Step&) { return blank_check_rom(s); }},
    {"--verify", 'v', Value::file_read, "dump the chip, fetch it (5, 2), compare it with FILE",
     [](Session& s, const Step& step) { return verify_chip(s, step.value); }},
};

const char* value_name(Value value) {
  switch (value) {
    case Value::none:
      return "";
    case Value::rom_type:
      return " NAME";
    case Value::file_read:
    case Value::file_written:
      return " FILE";
  }
  return "";
}

// The exit codes, in their order, as --help lists them.
std::string exit_status_text() {
  std::string usage =
      "Exit status:\n"
      "  0  quit, or input ended at the menu\n";
  for (const PortFailure& failure : kPortFailures) {
    usage += "  " + std::to_string(failure.exit_code) + "  " + failure.meaning + "\n";
  }
  usage +=
      "  6  the programmer did not answer, or a download ended wrongly\n"
      "  7  a malformed reply, or the checksums differ\n"
      "  8  input ended before a received image was saved\n"
      "  9  the trace file (CHIPFERRY_TRACE) cannot be created\n"
      "  10  a step's chip operation failed: the chip differs, is not blank,\n"
      "      cannot be programmed or erased, or has no contact\n"
      "  11  a step's image file cannot be read, decoded or written, or its\n"
      "      size is no chip's\n"
      "  12  --verify found bytes that differ\n"
      "  64  the command line is wrong, or names no ROM type\n"
      "  129  SIGHUP (the terminal closed), 130 Ctrl+C, 131 SIGQUIT, 143 SIGTERM:\n"
      "       the run ended as the signal asks, once the programmer was handed\n"
      "       back (on Windows a Ctrl+C or a closed console gives Ctrl+C's code)\n"
      "  141  standard output was closed (its reader went away); the programmer\n"
      "       was handed back\n"
      "A run of steps ends with 0 only when every step succeeded.\n"
      "\n"
      "More in the manual: man chipferry (README.txt in the Windows zip).\n";
  return usage;
}

std::string usage_text(const char* com1_default) {
  std::string usage =
      "Usage: chipferry [--help | --version]\n"
      "       chipferry STEP...\n"
      "\n"
      "Remote control for an Advantest SE4943 (TR4943) EPROM programmer on the\n"
      "serial port COM1, from a numbered menu: load an image file into the\n"
      "programmer's buffer, save the buffer to a file, set the ROM type, and\n"
      "start the chip operations (dump, compare, program, erase, blank check).\n"
      "Image files: raw, Intel HEX or Motorola S-record (.hex, .s19 and the like).\n"
      "\n"
      "Steps do the same without the menu, in the order given, and the run\n"
      "stops at the first that fails. Each does what the menu option in\n"
      "brackets does; program and erase ask for no word. Standard input is\n"
      "not read. --load=FILE works too.\n"
      "\n";
  for (const StepOption& option : kStepOptions) {
    std::string line =
        std::string("  -") + option.letter + ", " + option.name + value_name(option.value);
    line.resize(std::max<size_t>(line.size() + 1, 24), ' ');
    usage += line + option.usage + "\n";
  }
  usage +=
      "For example: chipferry --type 2764 --load fw.hex --program --verify fw.hex\n"
      "\n"
      "COM1 is the device named by the environment variable CHIPFERRY_COM1,\n"
      "or ";
  usage += com1_default;
  usage +=
      " when it is not set.\n"
      "A port on another machine, served by ser2net or another RFC 2217\n"
      "server, is CHIPFERRY_COM1=rfc2217://HOST:PORT.\n"
      "\n"
      "At a terminal, a status line on standard error tells what the program\n"
      "waits for. Ctrl+C hands the programmer back and ends the run; a second\n"
      "Ctrl+C ends it at once.\n"
      "\n";
  return usage + exit_status_text();
}

// The option `arg` names, "--load" or "-l", or nullptr.
const StepOption* option_named(std::string_view arg) {
  for (const StepOption& option : kStepOptions) {
    if (arg == option.name) return &option;
    if (arg.size() == 2 && arg[0] == '-' && arg[1] == option.letter) return &option;
  }
  return nullptr;
}

// One line on standard error, pointing to --help; the exit code of a
// command line that is wrong.
int usage_error(Console& console, const std::string& problem) {
  console.diagnostic(printable(problem) + "; see chipferry --help");
  return kExitUsage;
}

// What the arguments ask for, read in order; no name or file looked at
// yet.
struct Parsed {
  bool help = false;
  bool version = false;
  std::vector<Step> steps;
};

// One argument at argv[i], and its value when the option takes one
// (argv[i + 1] when it is not given with '='); i moves past what was read.
std::optional<int> parse_argument(int argc, const char* const* argv, int& i, Parsed& parsed,
                                  Console& console) {
  const std::string_view arg = argv[i];
  const size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
  const std::string_view name = arg.substr(0, equals);
  const bool with_value = equals != std::string_view::npos;
  if ((name == "--help" || name == "-h" || name == "--version") && !with_value) {
    (name == "--version" ? parsed.version : parsed.help) = true;
    return std::nullopt;
  }
  const StepOption* option = option_named(name);
  if (option == nullptr) {
    return usage_error(console,
                       (arg.starts_with('-') ? "unknown option '" : "unexpected argument '") +
                           std::string(arg) + "'");
  }
  Step step{option, {}, nullptr};
  if (option->value == Value::none) {
    if (with_value) return usage_error(console, std::string(name) + " takes no value");
  } else if (with_value) {
    step.value = arg.substr(equals + 1);
  } else if (i + 1 < argc) {
    step.value = argv[++i];
  } else {
    return usage_error(console,
                       std::string(name) + " needs a" +
                           (option->value == Value::rom_type ? " ROM type" : " file name"));
  }
  parsed.steps.push_back(std::move(step));
  return std::nullopt;
}

// The type names and the files to be read, before anything is sent: the
// first that fails says so as its step would, and gives the exit code.
std::optional<int> check_steps(std::vector<Step>& steps, Console& console) {
  for (Step& step : steps) {
    if (step.option->value != Value::rom_type) continue;
    step.type = rom_type_named(step.value);
    if (step.type == nullptr) {
      console.write(kUnknownRomType);
      return kExitUsage;
    }
  }
  std::vector<std::string> written;
  for (const Step& step : steps) {
    if (step.option->value == Value::file_written) written.push_back(step.value);
    // A file an earlier step saves is there only once that step has run.
    if (step.option->value != Value::file_read ||
        std::find(written.begin(), written.end(), step.value) != written.end()) {
      continue;
    }
    if (const std::optional<FileRefusal> refusal = image_file_refusal(step.value)) {
      console.write(refusal->message);
      console.diagnostic(printable(refusal->reason));
      return kExitFile;
    }
  }
  return std::nullopt;
}

}  // namespace

CommandLine read_command_line(int argc, const char* const* argv, Console& console,
                              const char* com1_default) {
  Parsed parsed;
  for (int i = 1; i < argc; ++i) {
    if (std::optional<int> code = parse_argument(argc, argv, i, parsed, console)) return {code, {}};
  }
  if (parsed.help) {
    console.write(usage_text(com1_default));
    return {kExitOk, {}};
  }
  if (parsed.version) {
    console.write("chipferry " CHIPFERRY_VERSION "\n");
    return {kExitOk, {}};
  }
  if (std::optional<int> code = check_steps(parsed.steps, console)) return {code, {}};
  return {std::nullopt, std::move(parsed.steps)};
}

Next run_step(Session& s, const Step& step) { return step.option->run(s, step); }

}  // namespace chipferry

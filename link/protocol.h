// Every word the program says to the programmer and every frame it takes
// back, in one table, each with why it is what it is; link/timings.h does
// the same for the pauses. The code names these and spells no command of
// its own. The tests keep their own copies of the bytes
// (tests/support/wire.h), so a change here is a change of the protocol and
// fails them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/timings.h"

namespace chipferry::protocol {

// --- Bytes with a meaning of their own ----------------------------------

/// Stops whatever the programmer is doing. It opens the wake-up and the
/// release, acknowledges an error code and abandons a transfer.
constexpr uint8_t kEsc = 0x1B;
/// Asks a programmer that ESC has stopped for its prompt.
constexpr uint8_t kDc1 = 0x11;
/// Ends every command line: the programmer acts on a line once it has come.
constexpr uint8_t kCr = 0x0D;

// --- Start and end of the run -------------------------------------------

/// Takes the programmer under remote control once it has shown its prompt;
/// it answers with the next prompt.
constexpr char kStartUp[] = "S900000 01\r";

/// One byte of the programmer's release and the pause after it.
struct ReleaseStep {
  uint8_t byte;
  uint32_t pause_ms;
};

/// The release, byte by byte with the pause after each: ESC stops whatever
/// the programmer was doing, "SC\r" hands it back to its own keys, and the
/// pauses let both leave before the port closes. Nothing answers it.
inline constexpr ReleaseStep kRelease[] = {
    {kEsc, timing::kReleaseMs}, {'S', 0}, {'C', 0}, {kCr, timing::kReleaseMs}};

// --- Replies --------------------------------------------------------------

/// Every reply opens with it, so a wait can skip whatever came before.
constexpr uint8_t kOpening = '[';
/// The programmer is ready for the next command line. Three bytes, so
/// that a stray "[" alone never passes for it.
constexpr char kPrompt[] = "[C]";

// --- The ROM type ---------------------------------------------------------

/// The type query. The answer is "[" and the type code: the short name of
/// the programmer's ROM type in kTypeCodeLength characters, kTypeCodePad in
/// front of a shorter one (no short name begins with it).
constexpr char kTypeQuery[] = "R\r";
constexpr size_t kTypeCodeLength = 4;
constexpr char kTypeCodePad = '0';
/// Sets the programmer's ROM type: kSelectType, the type's short name and
/// kCr. Not answered: the type query tells what it took.
constexpr uint8_t kSelectType = 'R';

// --- Chip operations ------------------------------------------------------

/// The operation commands: each says what the next kExecute does to the
/// chip in the socket, and is answered with the prompt.
constexpr char kDump[] = "P8\r";
constexpr char kCompare[] = "PE\r";
constexpr char kProgram[] = "PD\r";
constexpr char kErase[] = "P9\r";
constexpr char kBlankCheck[] = "PC\r";
/// Starts the chosen operation; its outcome comes as status frames.
constexpr char kExecute[] = "P\r";

/// A status frame: kFrameLength characters after "[". kPass, or kError
/// with a code frame of the same length directly behind it, without a "["
/// of its own.
constexpr size_t kFrameLength = 5;
constexpr char kPass[] = "PASS]";
constexpr char kError[] = "ERROR";

/// The code frames, " #", two characters and "]". Only kNoContact leaves
/// the programmer at its prompt by itself; every other one waits for ESC.
/// kNoContact: no chip, or one that does not touch the socket's contacts.
constexpr char kNoContact[] = " #06]";
/// The operation failed on the chip; each operation names the failure in
/// its own words.
constexpr const char* kFailureCodes[] = {" #10]", " #11]", " #12]", " #13]",
                                         " #14]", " #15]", " #16]", " #17]"};
/// A chip the programmer could not work on where it sits: it wants
/// reinserting.
constexpr char kReinsert[] = " #05]";
/// Only an electrically erasable chip can be erased.
constexpr char kNotErasable[] = " #35]";

// --- Transfers ------------------------------------------------------------

/// Host to programmer: the command, then kUploadZeros zero bytes and
/// kDataStart, then the data. The zeros give the programmer a run to settle
/// on, and the one byte that is not zero says the data starts next.
constexpr char kUpload[] = "S6 0\r";
constexpr int kUploadZeros = 13;
constexpr uint8_t kDataStart = 0xFF;

/// Programmer to host: after the command the programmer sends its own run
/// of zeros and kDataStart. A run outside these bounds is no download.
constexpr char kDownload[] = "S8\r";
constexpr int32_t kFewestZeros = 2;
constexpr int32_t kMostZeros = 200;
/// The data has ended at this many empty reads, counted over the whole
/// download, a byte in between does not reset them: about 1.6 s of
/// silence, long past the programmer's last byte, yet no pause of its own
/// while it sends.
constexpr int kEmptyReadsThatEndData = 26;
/// The programmer closes the data with a few bytes of its own ending in
/// kTrailer; this many more than the block is no answer to a download but
/// a stream gone wrong.
constexpr int32_t kSurplusLimit = 250;
/// The end of a download: a line end and the prompt.
constexpr uint8_t kTrailer[] = {kCr, 0x0A, '[', 'C', ']'};

/// A run that found the programmer left in an upload abandons it before
/// the wake-up; what the programmer says to that (the prompt a break
/// brings) answers nothing the wake-up asks, and is dropped: this many
/// bytes at the most, so that a line that never falls silent cannot hold
/// the start.
constexpr int kMostDroppedAfterRecovery = 256;

/// The checksum query for 0000 to the block's last address: kChecksumQuery,
/// the high byte of that address in two upper-case hexadecimal digits, and
/// kChecksumQueryEnd. Every block is a whole number of 256-byte pages, so
/// the low byte is always FF.
constexpr char kChecksumQuery[] = "S1K 0000-";
constexpr char kChecksumQueryEnd[] = "FF\r";
/// The reply after "[": four hexadecimal digits of the sum modulo 65,536,
/// a blank and "]", then the prompt.
constexpr size_t kChecksumReplyLength = 6;
constexpr size_t kChecksumDigits = 4;
constexpr char kChecksumReplyEnd[] = " ]";

}  // namespace chipferry::protocol

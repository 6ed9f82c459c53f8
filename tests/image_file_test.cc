// Intel HEX and S-record images in options 1 and 2, on the bench: what a
// text image sends, what a refused file does not, and how files are saved;
// and every file failure's reason on standard error.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/bench.h"
#include "tests/support/srec_cat.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

const std::string kPrompt = "Enter Filename\n";

// `data` at `offset` as srec_cat writes it; `format` is its output option.
std::string written_by_srec_cat(const TempDir& dir, const Bytes& data, uint32_t offset,
                                const std::string& format) {
  write_file(dir / "data.bin", data);
  srec_cat(dir / "data.bin -Binary -offset " + std::to_string(offset) + " -o " + dir / "image " +
           format);
  return read_file<std::string>(dir / "image");
}

// A text image goes exactly as the raw image of its block would, with the
// programmer's type asked first: the same upload, checksum query and
// pauses, plus the type query's.
TEST(TextImageLoad, SendsTheBlockARawImageWouldAfterTheTypeQuery) {
  TempDir dir;
  const Bytes code = pattern(700, 1);
  std::string padded = written_by_srec_cat(dir, code, 0, "-Intel");
  padded += std::string(2048 - padded.size(), ' ');  // nothing after the end is read
  struct Case {
    const char* name;
    const RomType* selected;
    std::string text;
    uint32_t at;     // where the block holds `code`
    int32_t length;  // the block's
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"a 2764 image linked at E000",
       type_of_class(2),
       written_by_srec_cat(dir, code, 0xE100, "-Intel"),
       0x100,
       8192,
       {" holds E100-E3BB; a 2764 sees it as 0100-03BB"}},
      {"S-records for a 27512",
       type_of_class(5),
       written_by_srec_cat(dir, code, 0x4000, "-Motorola -crlf"),
       0x4000,
       65536,
       {}},
      {"a file of 2,048 bytes, type unknown", nullptr, padded, 0, 2048, {}},
      {"type unknown, linked high",
       nullptr,
       written_by_srec_cat(dir, code, 0xF800, "-Intel"),
       0,
       2048,
       {" holds F800-FABB; a 2 KiB chip sees it as 0000-02BB"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes block(static_cast<size_t>(c.length), 0xFF);
    std::copy(code.begin(), code.end(), block.begin() + c.at);
    write_file(dir / "raw.bin", block);
    write_file(dir / "fw", c.text);
    Bench raw;
    Bench text;
    raw.programmer.selected = text.programmer.selected = c.selected;
    ASSERT_EQ(raw.run("1\n" + dir / "raw.bin" + "\nq\n"), 0);
    ASSERT_EQ(text.run("1\n" + dir / "fw" + "\nq\n"), 0);

    EXPECT_EQ(text.wire(), kWakeUp + "R\r" + raw.wire().substr(kWakeUp.size()));
    Sleeps pauses = raw.clock.sleeps;
    pauses.insert(pauses.begin() + 1, {100, 75});  // "R\r", and one wait for the prompt
    EXPECT_EQ(text.clock.sleeps, pauses);
    EXPECT_EQ(text.out_after_banner(), kMenu + kPrompt + kMenu);
    std::vector<std::string> said;
    for (const std::string& words : c.said) said.push_back(dir / "fw" + words);
    EXPECT_EQ(text.console.diagnostics, said);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), text.programmer.device_buffer.begin()));
    EXPECT_EQ(text.session->transfer_length, c.length);
    EXPECT_EQ(text.session->loaded_image_length, c.length);  // for the warning before PROGRAM
  }
}

// Refused before anything is sent, or, for data that fits no window of
// the chip, after the type query alone; one line on standard error says
// why, and the transfer length stays.
TEST(TextImageLoad, RefusedFilesSendNothingAndSayWhy) {
  TempDir dir;
  const std::string data = ":0100000041BE\n";
  const std::string end = ":00000001FF\n";
  std::string stray = data + std::string("\x01\x02\n") + end;
  stray.resize(2048, '\0');  // a capacity's size: never burned as data
  const std::string s_records = "\nS104000041BA\nS10400014179\n";
  const struct {
    std::string text;
    const char* out;
    std::string wire;
    std::string said;  // after the file's name
  } cases[] = {
      {data + ":0100010042BC\n:0100020043B9\n" + end, "Can't read file", "",
       ":3: checksum B9, the record sums to BA"},
      {stray, "Can't read file", "", ":2: byte 01 where a record should begin"},
      {s_records, "Can't read file", "", ":3: checksum 79, the record sums to B9"},
      {data + ":020000040001F9\n" + data + end, "Unsupported file size", "R\r",
       " holds 0000-0000 and 10000-10000: no 8 KiB window holds both"},
      {":0100000041BF\n" + std::string(1000, 'x'), "Unsupported file size", "",
       ":1: checksum BF, the record sums to BE; as a raw image, its 1014 bytes are no chip's "
       "size"},
      {std::string(1692, '\0'), "Unsupported file size", "",
       " holds 1692 bytes; a raw image holds exactly 2, 4, 8, 16, 32 or 64 KiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    write_file(dir / "fw", c.text);
    Bench b;
    b.programmer.selected = type_of_class(2);
    b.session->transfer_length = 4096;
    EXPECT_EQ(b.run("1\n" + dir / "fw" + "\n\nq\n"), 0);
    EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + c.out +
                                        (c.out[0] == 'C' ? " " + dir / "fw" : std::string()) +
                                        "\n" + kPrompt + kMenu);
    EXPECT_EQ(b.wire(), kWakeUp + c.wire + kRelease);
    EXPECT_EQ(b.console.diagnostics, std::vector<std::string>{dir / "fw" + c.said});
    EXPECT_EQ(b.session->transfer_length, 4096);
  }
}

// A text file of a capacity's size whose first line is no record is raw
// data by the detection rule: loaded, but not without a word. A binary
// image that happens to begin with ':' is loaded without one.
TEST(TextImageLoad, ATextFileTakenAsRawDataIsSaidSo) {
  TempDir dir;
  std::string text = ":0100000041BF\n";
  text.resize(2048, 'x');
  std::string binary = text;
  binary[20] = '\x8C';
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {text, {dir / "fw:1: checksum BF, the record sums to BE; the file is loaded as raw data"}},
      {binary, {}},
  };
  for (const auto& [image, said] : cases) {
    write_file(dir / "fw", image);
    Bench b;
    EXPECT_EQ(b.run("1\n" + dir / "fw" + "\nq\n"), 0);
    EXPECT_EQ(b.wire(), kWakeUp + kUploadStart + image + checksum_query(2048) + kRelease);
    EXPECT_EQ(b.console.diagnostics, said);
  }
}

// Option 2 writes what the name asks for, in any case, LF-ended here;
// srec_cat reads back the bytes received.
TEST(TextImageSave, EachFormatReadsBackByteForByte) {
  TempDir dir;
  Bench b;
  const Bytes device = pattern(2048, 7);
  std::copy(device.begin(), device.end(), b.programmer.device_buffer.begin());
  b.programmer.selected = type_of_class(0);
  const struct {
    const char* name;
    const char* srec_format;
    const char* last;  // the end record, which tells the format
  } files[] = {
      {"out.hex", "-Intel", ":00000001FF\n"},
      {"out.s19", "-Motorola", "S9030000FC\n"},
      {"OUT.S28", "-Motorola", "S804000000FB\n"},
      {"out.mot", "-Motorola", "S9030000FC\n"},
  };
  std::string input;
  for (const auto& f : files) input += "2\n" + dir / f.name + "\n";
  ASSERT_EQ(b.run(input + "2\n" + dir / "out.bin" + "\nq\n"), 0);
  EXPECT_TRUE(b.console.diagnostics.empty());
  EXPECT_EQ(read_file(dir / "out.bin"), device);
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::string text = read_file<std::string>(dir / f.name);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_TRUE(text.ends_with(f.last));
    ASSERT_TRUE(srec_cat(dir / f.name + " " + f.srec_format + " -o " + dir / "back.bin -Binary"));
    EXPECT_EQ(read_file(dir / "back.bin"), device);
  }
}

}  // namespace
}  // namespace chipferry::test

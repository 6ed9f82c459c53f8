// Intel HEX and S-record images: srec_cat (Debian's srecord) as the
// oracle both ways, the lines refused, and where the data lands.
#include "transfer/text_image.h"

#include <gtest/gtest.h>

#include "tests/support/srec_cat.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

using namespace std::string_literals;

TextImage read_text(std::string_view text) {
  return read_text_image(Bytes(text.begin(), text.end()));
}

TEST(SrecCatOracle, ItsFilesGiveTheirBytesWhereverTheyAreLinked) {
  struct Case {
    const char* output;  // srec_cat's format and options
    uint32_t offset;
    size_t size;
    int32_t length;
    uint32_t base;
  };
  const Case cases[] = {
      {"-Intel -obs 1", 0x100, 300, 2048, 0},
      {"-Intel -obs 255 -crlf", 0xE000, 8192, 8192, 0xE000},
      {"-Intel -address-length=2", 0xF000, 4096, 65536, 0},
      {"-Intel", 0x12000, 8192, 8192, 0x12000},                                // linear (04)
      {"-Intel -address-length=3 -obs 64", 0x1C000, 16384, 16384, 0x1C000},    // segments (02)
      {"-Motorola -execution-start-address=0 -obs 1", 0, 2048, 2048, 0},       // ends with S9
      {"-Motorola -address-length=3 -obs 250", 0x8000, 32768, 32768, 0x8000},  // ends with S5
      {"-Motorola -address-length=4 -crlf", 0x3F800, 2048, 2048, 0x3F800},
  };
  TempDir dir;
  unsigned seed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.output) + " at " + std::to_string(c.offset));
    const Bytes data = pattern(c.size, ++seed);
    write_file(dir / "in.bin", data);
    // Each image has a hole of 0x50 bytes, which must come out FF.
    ASSERT_TRUE(srec_cat(dir / "in.bin -Binary -exclude 0x40 0x90 -offset " +
                         std::to_string(c.offset) + " -o " + dir / "out.txt " + c.output));
    const TextImage image = read_text_image(read_file(dir / "out.txt"));
    ASSERT_FALSE(image.error) << text_image_message("out.txt", *image.error);
    EXPECT_EQ(image.format, c.output[1] == 'I' ? ImageFormat::intel_hex : ImageFormat::s_record);
    const Placement placed = place_text_image(image, c.length);
    EXPECT_EQ(placed.base, c.base);
    Bytes expected(static_cast<size_t>(c.length), 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + (c.offset - c.base));
    std::fill_n(expected.begin() + (c.offset - c.base + 0x40), 0x50, 0xFF);
    EXPECT_EQ(placed.block, expected);
  }
}

TEST(SrecCatOracle, ReadsOurFilesBackByteForByte) {
  const std::pair<SaveFormat, const char*> formats[] = {{SaveFormat::intel_hex, "-Intel"},
                                                        {SaveFormat::s19, "-Motorola"},
                                                        {SaveFormat::s28, "-Motorola"},
                                                        {SaveFormat::s37, "-Motorola"}};
  TempDir dir;
  unsigned seed = 0;
  for (const auto& [format, srec_format] : formats) {
    for (int32_t length : {2048, 65536}) {
      SCOPED_TRACE(std::string(srec_format) + " " + std::to_string(length));
      const Bytes block = pattern(static_cast<size_t>(length), ++seed);
      const std::string text = write_text_image(block, format, seed % 2 != 0 ? "\r\n" : "\n");
      write_file(dir / "out.txt", text);
      ASSERT_TRUE(srec_cat(dir / "out.txt " + srec_format + " -o " + dir / "out.bin -Binary"));
      EXPECT_EQ(read_file(dir / "out.bin"), block);
      EXPECT_EQ(place_text_image(read_text(text), length).block, block);  // and ours
    }
  }
}

TEST(Writing, HeaderRecordsOfSixteenBytesAndTheEndTheNameAsksFor) {
  Bytes block(18);
  for (size_t k = 0; k < block.size(); ++k) block[k] = static_cast<uint8_t>(k * 17);
  EXPECT_EQ(write_text_image(block, SaveFormat::s28, "\r\n"),
            "S00C000063686970666572727927\r\n"
            "S21400000000112233445566778899AABBCCDDEEFFF3\r\n"
            "S2060000101021B8\r\n"
            "S804000000FB\r\n");
  const std::pair<const char*, SaveFormat> names[] = {
      {"a.b/FW.IHX", SaveFormat::intel_hex}, {"fw.SREC", SaveFormat::s19},
      {"C:\\fw.S37", SaveFormat::s37},       {"fw.hex.bin", SaveFormat::raw},
      {"fw.hex/image", SaveFormat::raw},     {"fw.hex\\image", SaveFormat::raw},
  };
  for (const auto& [name, format] : names) EXPECT_EQ(save_format_for(name), format) << name;
}

TEST(Detection, ByContentNeverByName) {
  const std::pair<std::string, ImageFormat> files[] = {
      {"\r\n \t\r\n:0100000041be\r\n:00000001ff\r\n", ImageFormat::intel_hex},
      {"S104000041BA\nS9030000FC\x1A\x00\xFF"s, ImageFormat::s_record},  // DOS's end of file
      {":00000001FF\x1A", ImageFormat::intel_hex},
      // To be refused with their lines, never taken for raw data.
      {":0100000041BE\n:01000000BAD\n", ImageFormat::intel_hex},
      {"S104000041BA\nS1\x00\x10\nS9030000FC\n"s, ImageFormat::s_record},
      {":0100000041BF\n:00000001FF\n", ImageFormat::raw},  // first checksum wrong
      {":0100000741B7\n:00000001FF\n", ImageFormat::raw},  // first type unknown
      {":\x10\x00\x00\x00\xDE\xAD"s, ImageFormat::raw},
      {std::string(2048, ':'), ImageFormat::raw},
  };
  for (const auto& [text, format] : files) {
    EXPECT_EQ(detect_image_format(Bytes(text.begin(), text.end())), format)
        << testing::PrintToString(text);
  }
}

TEST(Reading, EveryRefusalNamesItsLine) {
  const std::string kData = ":0100000041BE\n";
  const std::string kEnd = ":00000001FF\n";
  const std::pair<std::string, std::string> files[] = {
      {kData + ":0100010042BD\n" + kEnd, "fw:2: checksum BD, the record sums to BC"},
      {kData + "\n\n:0100000742B6\n" + kEnd, "fw:4: record type 07 is not Intel HEX"},
      {kData + ":0200010042BB\n", "fw:2: byte count 02, but the record holds 1 data byte"},
      {kData + ":01000100G2BC\n", "fw:2: 'G' is not a hex digit"},
      {kData + ":010001 0042BC\n", "fw:2: a blank inside the record"},
      {kData + ":0100010042B\n", "fw:2: the record has an odd number of hex digits"},
      {kData + "S104000041BA\n", "fw:2: the record does not begin with ':'"},
      {kData + ":03000002100000EB\n", "fw:2: record type 02 holds 3 bytes, not 2"},
      {kData + ":0100000042BD\n" + kEnd, "fw:2: address 0000 given twice: 42 here, 41 on line 1"},
      {kData + ":020000040001F9\n" + kData + ":020000040000FA\n:0100000042BD\n" + kEnd,
       "fw:5: address 0000 given twice: 42 here, 41 on line 1"},
      {kData, "fw ends without an end record: is it cut short?"},
      {kData + "\x1A\n" + kEnd, "fw ends without an end record: is it cut short?"},
      {":020000040000FA\n" + kEnd, "fw holds no data"},
      {":02000004FFFFFC\n:02FFFF000102FD\n", "fw:2: the record runs past address FFFFFFFF"},
      {"S104000041BA\nS4030000FC\n", "fw:2: record type S4 is not in use"},
      {"S104000041BA\nS503000CF0\n", "fw:2: S5 counts 12 data records; 1 come before it"},
      {"S104000041BA\nS104000142\n", "fw:2: byte count 04, but the rest of the record is 3 bytes"},
      {"S104000041BA\nS1040001424A\n", "fw:2: checksum 4A, the record sums to B8"},
      // Binary after a good first record: refused where it stands.
      {"S104000041BA\nS1\x00\x10\nS9030000FC\n"s, "fw:2: byte 00 is not a hex digit"},
      {kData + "\n\xFF\xFE\n" + kEnd, "fw:3: byte FF where a record should begin"},
  };
  for (const auto& [text, message] : files) {
    const TextImage image = read_text(text);
    ASSERT_TRUE(image.error) << text;
    EXPECT_TRUE(image.runs.empty());
    EXPECT_EQ(text_image_message("fw", *image.error), message) << text;
  }
}

TEST(Reading, WhatATextImageMayHoldBesideItsRecords) {
  const std::pair<std::string, std::vector<DataRun>> files[] = {
      // Blanks around records, CR LF, the same value given twice; nothing
      // after the end is read, not even a record.
      {"  :0100000041be \t\r\n\r\n:0100000041BE\n:00000001FF\n:0100000042BD\n\x1A", {{0, {0x41}}}},
      // srec_cat's S5 count as the last record, and DOS's end of file.
      {"S104000041BA\r\nS5030001FB\r\n\x1A", {{0, {0x41}}}},
      // A segment's offsets wrap within its 64 KiB: FFFF, then 0000.
      {":020000021000EC\n:02FFFF0041427D\n:00000001FF\n", {{0x10000, {0x42}}, {0x1FFFF, {0x41}}}},
  };
  for (const auto& [text, runs] : files) {
    const TextImage image = read_text(text);
    ASSERT_FALSE(image.error) << text_image_message(text, *image.error);
    ASSERT_EQ(image.runs.size(), runs.size()) << text;
    for (size_t k = 0; k < runs.size(); ++k) {
      EXPECT_EQ(image.runs[k].address, runs[k].address);
      EXPECT_EQ(image.runs[k].bytes, runs[k].bytes);
    }
  }
}

// A run of `size` bytes at each address, as a file would give them.
TextImage image_at(std::initializer_list<std::pair<uint32_t, size_t>> runs) {
  TextImage image;
  image.format = ImageFormat::intel_hex;
  for (auto [address, size] : runs) image.runs.push_back({address, Bytes(size, 0x5A)});
  return image;
}

TEST(Window, DataMovesOnlyWhenOneAlignedWindowHoldsIt) {
  struct Case {
    TextImage image;
    int32_t length;
    std::string said;  // window_note, or the refusal
  };
  const Case cases[] = {
      {image_at({{0x0100, 0x10}, {0x1FF0, 0x10}}), 8192, ""},
      {image_at({{0xE000, 0x2000}}), 8192, "fw holds E000-FFFF; a 2764 sees it as 0000-1FFF"},
      {image_at({{0xE800, 0x10}, {0xF000, 4}}), 8192,
       "fw holds E800-F003; a 2764 sees it as 0800-1003"},
      {image_at({{0x18000, 0x8000}}), 65536, "fw holds 18000-1FFFF; a 2764 sees it as 8000-FFFF"},
      {image_at({{0x0000, 0x800}, {0x8000, 0x800}}), 2048,
       "fw holds 0000-07FF and 8000-87FF: no 2 KiB window holds both"},
      {image_at({{0x0700, 0x200}}), 2048, "fw holds 0700-08FF: no 2 KiB window holds it"},
      {image_at({{0xFFFF, 2}}), 65536, "fw holds FFFF-10000: no 64 KiB window holds it"},
  };
  for (const Case& c : cases) {
    const Placement placed = place_text_image(c.image, c.length);
    if (!placed.fits) {
      EXPECT_EQ(text_image_message("fw", placed.refusal), c.said);
      EXPECT_TRUE(placed.block.empty());
      continue;
    }
    EXPECT_EQ(placed.moved() ? window_note("fw", "a 2764", placed) : "", c.said);
    Bytes expected(static_cast<size_t>(c.length), 0xFF);
    for (const DataRun& run : c.image.runs) {
      std::fill_n(expected.begin() + (run.address - placed.base), run.bytes.size(), 0x5A);
    }
    EXPECT_EQ(placed.block, expected) << c.said;
  }
  // A programmer of unknown type: the smallest window that holds it all.
  EXPECT_EQ(smallest_length(image_at({{0xE000, 0x2000}})), 8192);
  EXPECT_EQ(smallest_length(image_at({{0x1F000, 0x1000}})), 4096);
  EXPECT_EQ(smallest_length(image_at({{0x0000, 1}, {0x10000, 1}})), 65536);  // then refused
}

}  // namespace
}  // namespace chipferry::test

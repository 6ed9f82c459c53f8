// The Intel HEX and S-record codec under libFuzzer: every input is judged,
// read, placed in a block of each transfer length, and written back.
//
// A fault is a crash, a sanitizer report, or a broken promise of
// transfer/text_image.h: reading that disagrees with detection; runs out of
// order, touching or empty; a refusal without words; a block of the wrong
// length, with bytes the file does not give, or without FF where it gives
// none; a length that fits while a larger one does not; and a block that,
// written as text, does not read back as the same bytes. The input itself
// is also written, as a block, and read back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "transfer/text_image.h"

namespace {

using namespace chipferry;

void check(bool holds) {
  if (!holds) std::abort();
}

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void check_runs(const TextImage& image) {
  check(!image.runs.empty());
  for (size_t k = 0; k < image.runs.size(); ++k) {
    const DataRun& run = image.runs[k];
    check(!run.bytes.empty() && uint64_t{run.address} + run.bytes.size() - 1 <= 0xFFFFFFFF);
    if (k > 0) {
      const DataRun& before = image.runs[k - 1];
      check(uint64_t{before.address} + before.bytes.size() < run.address);
    }
  }
}

// Every byte of the block is the file's, or FF where the file is silent.
void check_block(const TextImage& image, const Placement& placed, int32_t length) {
  check(placed.block.size() == static_cast<size_t>(length));
  check(placed.base % static_cast<uint32_t>(length) == 0);
  size_t next = 0;  // the first block position no run has reached yet
  for (const DataRun& run : image.runs) {
    const size_t at = run.address - placed.base;
    check(at >= next && at + run.bytes.size() <= placed.block.size());
    for (; next < at; ++next) check(placed.block[next] == 0xFF);
    check(std::equal(run.bytes.begin(), run.bytes.end(), placed.block.data() + at));
    next = at + run.bytes.size();
  }
  for (; next < placed.block.size(); ++next) check(placed.block[next] == 0xFF);
}

constexpr SaveFormat kTextFormats[] = {SaveFormat::intel_hex, SaveFormat::s19, SaveFormat::s28,
                                       SaveFormat::s37};

// Written as text, the block reads back as one run at 0000 of its bytes.
void check_round_trip(std::span<const uint8_t> block, size_t pick) {
  if (block.empty()) return;
  const SaveFormat format = kTextFormats[pick % 4];
  const std::string text = write_text_image(block, format, pick % 8 < 4 ? "\n" : "\r\n");
  const TextImage back = read_text_image(bytes_of(text));
  check(back.format ==
        (format == SaveFormat::intel_hex ? ImageFormat::intel_hex : ImageFormat::s_record));
  check(!back.error && back.runs.size() == 1 && back.runs[0].address == 0);
  check(
      std::equal(block.begin(), block.end(), back.runs[0].bytes.begin(), back.runs[0].bytes.end()));
}

void check_placements(const TextImage& image, size_t pick) {
  check_runs(image);
  const int32_t smallest = smallest_length(image);
  bool fitted = false;
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    const int32_t length = capacity_of(k);
    const Placement placed = place_text_image(image, length);
    // Aligned windows nest: a window that holds the data lies in a larger one.
    check(placed.fits || !fitted);
    if (placed.fits && !fitted) check(length == smallest);
    fitted = placed.fits;
    if (!placed.fits) {
      check(placed.block.empty() && placed.refusal.line == 0 && !placed.refusal.what.empty());
      continue;
    }
    check_block(image, placed, length);
    if (placed.moved()) check(!window_note("f", "a 2716", placed).empty());
    if (length == smallest) check_round_trip(placed.block, pick);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  const ImageFormat format = detect_image_format(file);
  const TextImage image = read_text_image(file);
  check(image.format == format);
  if (format == ImageFormat::raw) {
    check(image.runs.empty() && !image.error);
  } else if (image.error) {
    check(image.runs.empty() && image.error->line >= 0 && !image.error->what.empty());
    check(!text_image_message("f", *image.error).empty());
  } else {
    check_placements(image, size);
  }
  check_round_trip(file.first(std::min<size_t>(size, 0x10000)), size / 3);
  return 0;
}

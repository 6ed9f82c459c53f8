// The file side of options 1 and 2: the name prompt, which files are
// taken, and saving without ever losing the old file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iterator>

#include "platform/files.h"
#include "tests/support/as_nobody.h"
#include "tests/support/bench.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

const std::string kPrompt = "Enter Filename\n";

size_t open_files() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

using FileToBuffer = WithBenchAndFolder;

TEST_F(FileToBuffer, RefusedSizesLeaveTheLengthAndTheLineAlone) {
  b.session->transfer_length = 4096;
  std::string input = "1\n";
  std::string expected = kMenu;
  for (size_t size : {0u, 2047u, 2049u, 131072u}) {
    const std::string name = dir / ("size" + std::to_string(size));
    write_file(name, Bytes(size, 0xFF));
    input += name + "\n";
    expected += kPrompt + "Unsupported file size\n";
  }
  const size_t open_before = open_files();
  EXPECT_EQ(b.run(input + "\nq\n"), 0);
  EXPECT_EQ(open_files(), open_before);  // each refused file closed again
  EXPECT_EQ(b.out_after_banner(), expected + kPrompt + kMenu);
  EXPECT_EQ(b.session->transfer_length, 4096);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

TEST_F(FileToBuffer, NamesThatOpenNothingAskAgain) {
  const Bytes image = pattern(2048, 1);
  write_file(dir / "my file.bin", image);
  const std::string cases[][2] = {
      {dir / "missing.bin", dir / "missing.bin"},
      {dir.path().string(), dir.path().string()},              // a folder
      {"\"\"", ""},                                            // quotes round nothing
      {" " + dir / "my file.bin", " " + dir / "my file.bin"},  // blanks stay
  };
  std::string input = "1\n";
  std::string expected = kMenu;
  for (const auto& c : cases) {
    input += c[0] + "\n";
    expected += kPrompt + "Can't read file " + c[1] + "\n";
  }
  input += "\"" + dir / "my file.bin" + "\" and whatever follows\nq\n";
  EXPECT_EQ(b.run(input), 0);
  EXPECT_EQ(b.out_after_banner(), expected + kPrompt + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + upload_bytes(image) + checksum_query(2048) + kRelease);
}

// A FIFO with no writer would hold the open for ever; a device with no
// size is refused by its size, as before, without a byte read.
TEST_F(FileToBuffer, NothingIsWaitedOn) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  alarm(60);  // a hang fails the test rather than the whole run
  EXPECT_EQ(b.run("1\n" + dir / "fifo" + "\n/dev/null\n/dev/zero\n\nq\n"), 0);
  alarm(0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + "Can't read file " + dir / "fifo" + "\n" +
                                      kPrompt + "Unsupported file size\n" + kPrompt +
                                      "Unsupported file size\n" + kPrompt + kMenu);
}

TEST_F(FileToBuffer, QuotesInsideAnUnquotedNameArePartOfIt) {
  write_file(dir / "a\"b\".bin", pattern(4096, 2));
  EXPECT_EQ(b.run("1\n" + dir / "a\"b\".bin" + "\nq\n"), 0);
  EXPECT_EQ(b.session->transfer_length, 4096);
  EXPECT_NE(b.wire().find(checksum_query(4096)), std::string::npos);
}

TEST_F(FileToBuffer, EmptyLineOrEndOfInputReturnsWithoutTraffic) {
  for (const char* input : {"1 name typed on the menu line\n\nq\n", "1\n"}) {
    SCOPED_TRACE(input);
    Bench bench;
    EXPECT_EQ(bench.run(input), 0);
    EXPECT_EQ(bench.out_after_banner(), kMenu + kPrompt + kMenu);
    EXPECT_EQ(bench.wire(), kWakeUp + kRelease);
  }
}

using FileNames = WithBenchAndFolder;

// A long line must never be cut down to a name that exists.
TEST_F(FileNames, LongLinesAreRefusedWhole) {
  std::string kept = dir / "";
  kept += std::string(255 - kept.size(), 'k');
  write_file(kept, pattern(2048, 3));
  const std::string line = kept + std::string(45, 'k');
  b.programmer.selected = type_of_class(0);
  EXPECT_EQ(b.run("1\n" + line + "\n\n2\n" + line + "\n" + dir / "out.bin" + "\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + "Can't read file " + kept + "\n" + kPrompt +
                                      kMenu + kPrompt + "Can't write file " + kept + "\n" +
                                      kPrompt + kMenu);
  EXPECT_EQ(b.wire().find("S6 0"), std::string::npos);
  EXPECT_EQ(read_file(kept), pattern(2048, 3));
  EXPECT_EQ(read_file(dir / "out.bin").size(), 2048u);
}

using BufferToFile = WithBenchAndFolder;

TEST_F(BufferToFile, EndOfInputAtThePromptEndsTheRunUnsaved) {
  EXPECT_EQ(b.run("2\n"), 8);
  EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + "Buffer not saved\n");
  EXPECT_EQ(b.wire().substr(b.wire().size() - kRelease.size()), kRelease);
  // A last line is a line, with or without its line end: this one empty.
  Bench unended;
  EXPECT_EQ(unended.run("2\n\r"), 8);
  EXPECT_EQ(unended.out_after_banner(),
            kMenu + kPrompt + "Can't write file \n" + kPrompt + "Buffer not saved\n");
}

TEST_F(BufferToFile, AsksAgainUntilTheFileIsSaved) {
  const Bytes device = pattern(2048, 4);
  std::copy(device.begin(), device.end(), b.programmer.device_buffer.begin());
  b.programmer.selected = type_of_class(0);
  std::filesystem::create_directory(dir / "folder");
  write_file(dir / "folder/inside", {1, 2, 3});
  write_file(dir / "old.bin", pattern(5000, 5));
  chmod((dir / "old.bin").c_str(), 0640);
  const std::string cases[] = {"", "\"\"", dir / "missing/out.bin", dir / "folder", dir / ""};
  std::string input = "2\n";
  std::string expected = kMenu;
  for (const std::string& name : cases) {
    input += name + "\n";
    expected += kPrompt + "Can't write file " + (name == "\"\"" ? "" : name) + "\n";
  }
  EXPECT_EQ(b.run(input + "\"" + dir / "old.bin" + "\" old\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), expected + kPrompt + kMenu);
  // Replaced, exactly one block long, with its permissions; nothing else
  // left behind.
  EXPECT_EQ(read_file(dir / "old.bin"), device);
  EXPECT_EQ(b.session->transfer_length, 2048);  // kept for the options to come
  struct stat info {};
  ASSERT_EQ(stat((dir / "old.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"folder", "old.bin"}));
  EXPECT_EQ(read_file(dir / "folder/inside"), (Bytes{1, 2, 3}));
}

TEST_F(BufferToFile, SavesThroughALink) {
  write_file(dir / "real.bin", {9});
  std::filesystem::create_symlink(dir / "real.bin", dir / "link.bin");
  b.programmer.selected = type_of_class(0);
  EXPECT_EQ(b.run("2\n" + dir / "link.bin" + "\nq\n"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bin"));
  EXPECT_EQ(read_file(dir / "real.bin").size(), 2048u);
}

// A link to a link, relative to its own folder, to a file not made yet:
// the file is made where the last link points, and both links stay.
TEST_F(BufferToFile, SavesThroughADanglingChainOfLinks) {
  std::filesystem::create_directory(dir / "images");
  std::filesystem::create_symlink("images/next.bin", dir / "link.bin");
  std::filesystem::create_symlink("../made.bin", dir / "images/next.bin");
  b.programmer.selected = type_of_class(0);
  EXPECT_EQ(b.run("2\n" + dir / "link.bin" + "\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + kMenu);
  EXPECT_EQ(read_file(dir / "made.bin").size(), 2048u);
  EXPECT_EQ(std::filesystem::read_symlink(dir / "link.bin"), "images/next.bin");
  EXPECT_EQ(std::filesystem::read_symlink(dir / "images/next.bin"), "../made.bin");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"images", "link.bin", "made.bin"}));
}

TEST_F(BufferToFile, ASaveByRootKeepsTheOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can save over another user's file";
  write_file(dir / "theirs.bin", {1});
  ASSERT_EQ(chown((dir / "theirs.bin").c_str(), kNobody, kNoGroup), 0);
  ASSERT_EQ(chmod((dir / "theirs.bin").c_str(), 0640), 0);
  b.programmer.selected = type_of_class(0);
  EXPECT_EQ(b.run("2\n" + dir / "theirs.bin" + "\nq\n"), 0);
  struct stat info {};
  ASSERT_EQ(stat((dir / "theirs.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 2048);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_EQ(info.st_gid, kNoGroup);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Where a temporary file cannot take the old one's place, but the user may
// write the file, it is written in place as "wb" would, and keeps its
// owner: a folder the user may not write, and a file the user may write
// but not give its owner's name.
TEST(Saves, WhereNoTemporaryFileCanServeTheFileIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "closed");
  std::filesystem::create_directory(dir / "open");
  const std::string in_closed = dir / "closed/image.bin";
  const std::string roots = dir / "open/image.bin";
  write_file(in_closed, Bytes(5000, 1));
  write_file(roots, Bytes(5000, 2));
  ASSERT_EQ(chown(in_closed.c_str(), kNobody, kNoGroup), 0);
  ASSERT_EQ(chmod(roots.c_str(), 0666), 0);
  ASSERT_EQ(chmod((dir / "closed").c_str(), 0555), 0);
  ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);

  const Bytes image = pattern(2048, 9);
  const std::string saved = as_nobody([&] {
    return std::string(replace_file(in_closed.c_str(), image.data(), image.size()).ok ? "y" : "n") +
           (replace_file(roots.c_str(), image.data(), image.size()).ok ? "y" : "n");
  });
  EXPECT_EQ(saved, "yy");
  EXPECT_EQ(read_file(in_closed), image);
  EXPECT_EQ(read_file(roots), image);
  struct stat info {};
  ASSERT_EQ(stat(roots.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(std::filesystem::directory_iterator(dir / "closed")->path(), in_closed);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "open"), {}), 1);
}

// The disk refuses the image half-way: the old file must survive whole.
TEST_F(BufferToFile, FailedSaveLeavesTheOldFileIntact) {
  const Bytes old = pattern(3000, 6);
  write_file(dir / "keep.bin", old);
  b.programmer.selected = type_of_class(1);

  rlimit saved_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  rlimit small = saved_limit;
  small.rlim_cur = 1000;
  const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int code = b.run("2\n" + dir / "keep.bin" + "\n");
  setrlimit(RLIMIT_FSIZE, &saved_limit);
  std::signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(code, 8);
  EXPECT_EQ(b.out_after_banner(), kMenu + kPrompt + "Can't write file " + dir / "keep.bin" + "\n" +
                                      kPrompt + "Buffer not saved\n");
  EXPECT_EQ(read_file(dir / "keep.bin"), old);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.bin"});
  EXPECT_EQ(b.console.diagnostics,
            std::vector<std::string>{"cannot write " + dir / "keep.bin" + ": File too large"});
}

// One descriptor lost a save, of the file or of its folder, would end
// every save after about a thousand.
TEST(Saves, LeaveNoDescriptorOpen) {
  TempDir dir;
  const Bytes image = pattern(2048, 8);
  const size_t open_before = open_files();
  for (int k = 0; k < 20; ++k) {
    EXPECT_TRUE(replace_file((dir / "image.bin").c_str(), image.data(), image.size()).ok);
    EXPECT_FALSE(replace_file((dir / "no/image.bin").c_str(), image.data(), image.size()).ok);
  }
  EXPECT_EQ(open_files(), open_before);
}

// Standard output says what it always said; standard error says why.
TEST(FileFailures, SayWhyOnStandardError) {
  TempDir dir;
  std::filesystem::create_symlink("loop", dir / "loop");
  const std::string saved = "\n" + dir / "saved.bin" + "\n";
  std::string too_long = dir / "";
  too_long += std::string(300 - too_long.size(), 'k');
  const struct {
    std::string input;
    std::string said;
  } cases[] = {
      {"1\n" + dir / "missing.bin" + "\n\n",
       "cannot read " + dir / "missing.bin" + ": No such file or directory"},
      {"1\n" + dir.path().string() + "\n\n",
       "cannot read " + dir.path().string() + ": Is a directory"},
      {"1\n" + dir / "a" + std::string(1, '\0') + "b\n\n",
       "cannot read " + dir / "a^@b: the name holds a NUL byte"},
      {"1\n" + too_long + "\n\n",
       "cannot read " + too_long.substr(0, 255) + "...: the name is longer than 255 characters"},
      {"2\n" + dir / "loop" + saved,
       "cannot write " + dir / "loop: Too many levels of symbolic links"},
      {"2\n" + dir / "no/out.bin" + saved,
       "cannot write " + dir / "no/out.bin: No such file or directory"},
      {"2\n\"\"" + saved, "cannot write a file: the name is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    Bench b;
    b.programmer.selected = type_of_class(0);
    EXPECT_EQ(b.run(c.input + "q\n"), 0);
    EXPECT_EQ(b.console.diagnostics, std::vector<std::string>{c.said});
  }
}

// What root is never refused: a folder it may not write, a file it may
// not read.
TEST(FileFailures, PermissionDeniedIsSaid) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  write_file(dir / "root.bin", pattern(2048, 2));
  ASSERT_EQ(chmod((dir / "root.bin").c_str(), 0600), 0);
  const std::string said = as_nobody([&] {
    Bench b;
    b.programmer.selected = type_of_class(0);
    b.run("1\n" + dir / "root.bin" + "\n\n2\n" + dir / "out.bin" + "\n");
    std::string lines;
    for (const std::string& line : b.console.diagnostics) lines += line + "\n";
    return lines;
  });
  EXPECT_EQ(said, "cannot read " + dir / "root.bin: Permission denied\n" + "cannot write " +
                      dir / "out.bin: Permission denied\n");
}

}  // namespace
}  // namespace chipferry::test

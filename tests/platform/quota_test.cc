// File system quotas: a write that would make the files of a file system
// larger than its quota fails with ENOSPC, whichever call makes it.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "nacl_io/nacl_io.h"
#include "ppplatform/file_systems.h"
#include "support/child_session.h"
#include "support/run_program.h"

namespace {

using pp::platform::Html5FileSystemType;

const int64_t kQuota = 10000;

class QuotaTest : public testing::Test {
 protected:
  void SetUp() override {
    persistent_ = kelmora_test::MakeTempDir();
    temporary_ = kelmora_test::MakeTempDir();
    pp::platform::UnmountAll();
    pp::platform::SetHtml5FileSystem(Html5FileSystemType::kPersistent, persistent_);
    pp::platform::SetHtml5FileSystem(Html5FileSystemType::kTemporary, temporary_);
    pp::platform::SetHtml5FileSystemQuota(Html5FileSystemType::kPersistent, kQuota);
    ASSERT_EQ(0, nacl_io_init_ppapi(1, nullptr));
    ASSERT_EQ(0, mount("", "/html5_persistent", "html5fs", 0, "type=PERSISTENT"));
    ASSERT_EQ(0, mount("", "/html5_temporary", "html5fs", 0, "type=TEMPORARY"));
  }
  void TearDown() override {
    pp::platform::SetHtml5FileSystemQuota(Html5FileSystemType::kPersistent,
                                          pp::platform::kUnlimitedQuota);
    pp::platform::UnmountAll();
  }

  int64_t Usage() { return pp::platform::Html5FileSystemUsage(Html5FileSystemType::kPersistent); }

  std::string persistent_;
  std::string temporary_;
};

TEST_F(QuotaTest, DescriptorWritesStopAtTheQuota) {
  const std::string block(4000, 'a');
  int fd = open("/html5_persistent/a.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(4000, write(fd, block.data(), block.size()));
  EXPECT_EQ(4000, write(fd, block.data(), block.size()));
  // What fits is written, then the disk is full.
  EXPECT_EQ(2000, write(fd, block.data(), block.size()));
  errno = 0;
  EXPECT_EQ(-1, write(fd, block.data(), 1));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(kQuota, Usage());
  // Overwriting bytes that exist takes no room.
  EXPECT_EQ(100, pwrite(fd, block.data(), 100, 50));
  errno = 0;
  EXPECT_EQ(-1, pwrite(fd, block.data(), 10, kQuota));
  EXPECT_EQ(ENOSPC, errno);
  errno = 0;
  EXPECT_EQ(-1, ftruncate(fd, kQuota + 1));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(ENOSPC, posix_fallocate(fd, 0, kQuota + 1));
  // A copy of the descriptor is held to the same quota.
  int copy = dup(fd);
  errno = 0;
  EXPECT_EQ(-1, write(copy, "x", 1));
  EXPECT_EQ(ENOSPC, errno);
  close(copy);
  // Shrinking frees room for a second file; writev is cut like write.
  EXPECT_EQ(0, ftruncate(fd, 9000));
  close(fd);
  fd = open("/html5_persistent/b.bin", O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  struct iovec parts[2] = {{const_cast<char*>(block.data()), 600},
                           {const_cast<char*>(block.data()), 600}};
  EXPECT_EQ(1000, writev(fd, parts, 2));
  close(fd);
  EXPECT_EQ(kQuota, Usage());
  errno = 0;
  EXPECT_EQ(-1, truncate("/html5_persistent/b.bin", 2000));
  EXPECT_EQ(ENOSPC, errno);
  // Deleting a file gives its bytes back.
  ASSERT_EQ(0, unlink("/html5_persistent/a.bin"));
  EXPECT_EQ(0, truncate("/html5_persistent/b.bin", 2000));
  EXPECT_EQ(2000, kelmora_test::ReadFile(persistent_ + "/b.bin").size());
}

TEST_F(QuotaTest, StreamsAndOtherFileSystems) {
  // Files the host put there count too.
  std::ofstream(persistent_ + "/old.bin") << std::string(7000, 'o');
  FILE* file = fopen("/html5_persistent/s.txt", "w");
  ASSERT_NE(nullptr, file);
  std::string text(5000, 's');
  size_t written = fwrite(text.data(), 1, text.size(), file);
  int error = written == text.size() ? fflush(file) == 0 ? 0 : errno : errno;
  EXPECT_EQ(ENOSPC, error);
  EXPECT_NE(0, ferror(file));
  fclose(file);
  EXPECT_LE(kelmora_test::ReadFile(persistent_ + "/s.txt").size(), 3000u);
  EXPECT_LE(Usage(), kQuota);
  // The descriptor of a stream is the file's own.
  file = fopen("/html5_persistent/old.bin", "r");
  ASSERT_NE(nullptr, file);
  struct stat info;
  ASSERT_EQ(0, fstat(fileno(file), &info));
  EXPECT_EQ(7000, info.st_size);
  char first = 0;
  EXPECT_EQ(1u, fread(&first, 1, 1, file));
  EXPECT_EQ('o', first);
  fclose(file);
  // The temporary file system has no quota here.
  file = fopen("/html5_temporary/big.txt", "w");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(text.size(), fwrite(text.data(), 1, text.size(), file));
  EXPECT_EQ(text.size(), fwrite(text.data(), 1, text.size(), file));
  EXPECT_EQ(0, fclose(file));
  // Moving it into the full file system would add its bytes there.
  errno = 0;
  EXPECT_EQ(-1, rename("/html5_temporary/big.txt", "/html5_persistent/big.txt"));
  EXPECT_EQ(ENOSPC, errno);
  // Standard C++ streams write through the same layer.
  std::ofstream stream("/html5_persistent/stream.txt");
  stream << std::string(20000, 'c');
  stream.flush();
  EXPECT_FALSE(stream.good());
}

TEST_F(QuotaTest, MediaLibraryWriteFailsWhenFull) {
  AVIOContext* output = nullptr;
  ASSERT_GE(avio_open(&output, "/html5_persistent/out.bin", AVIO_FLAG_WRITE), 0);
  std::string chunk(4096, 'm');
  for (int i = 0; i < 8; ++i) {
    avio_write(output, reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
  }
  avio_flush(output);
  EXPECT_EQ(AVERROR(ENOSPC), output->error);
  avio_closep(&output);
  EXPECT_LE(kelmora_test::ReadFile(persistent_ + "/out.bin").size(),
            static_cast<size_t>(kQuota));
}

// Through plugin-host: the page's quota holds for the module's writes.
TEST(PluginHostQuotaTest, QuotaOptionsLimitTheModulesWrites) {
  std::string dir = kelmora_test::MakeTempDir();
  std::string script =
      "{\"type\": \"write\", \"data\": {\"path\": \"/html5_temporary/a\", \"bytes\": 3000, "
      "\"stdio\": false}}\n"
      "{\"$await\": \"write\"}\n"
      "{\"type\": \"write\", \"data\": {\"path\": \"/html5_temporary/b\", \"bytes\": 3000, "
      "\"stdio\": true}}\n"
      "{\"$await\": \"write\"}\n"
      "{\"type\": \"write\", \"data\": {\"path\": \"/html5_persistent/c\", \"bytes\": 3000, "
      "\"stdio\": true}}\n"
      "{\"$await\": \"write\"}\n";
  kelmora_test::ProgramResult result = kelmora_test::RunProgram(
      {kelmora_test::BuildPath("plugin-host"), kelmora_test::BuildPath("file_writer_module.so"),
       "--persistent", dir + "/p", "--temporary", dir + "/t", "--temporary-quota", "5000"},
      script, dir);
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{R"({"type":"write","data":false})",
                                      R"({"type":"write","data":"No space left on device"})",
                                      R"({"type":"write","data":false})"}),
            result.OutLines());
  EXPECT_EQ(3000u, kelmora_test::ReadFile(dir + "/p/c").size());

  kelmora_test::ProgramResult bad = kelmora_test::RunProgram(
      {kelmora_test::BuildPath("plugin-host"), kelmora_test::BuildPath("file_writer_module.so"),
       "--persistent-quota", "12k"},
      "", dir);
  EXPECT_EQ(2, bad.exit_code);
}

}  // namespace

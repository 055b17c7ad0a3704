// The indirect copy: whole 1024-byte chunks up to the image size, and the
// faults that must end it.
#include "update_test_util.h"

#include <fcntl.h>
#include <vector>

namespace {

class Copy : public UpdateStateTest {
  protected:
    // A source file of n bytes with a pattern, opened for reading.
    int source(size_t n) {
        std::string path = dir_ + "/ram";
        std::vector<char> data(n);
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<char>(i * 7 + 1);
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(n));
        pattern_ = std::string(data.begin(), data.end());
        return open(path.c_str(), O_RDONLY);
    }
    int target() {
        return open((dir_ + "/dev").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::string written() {
        return read_file_(dir_ + "/dev");
    }
    static std::string read_file_(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string pattern_;
};

TEST_F(Copy, WholeChunksUpToTheImageSize) {
    struct {
        int32_t image;
        size_t source;
        int32_t want_bytes;
    } cases[] = {{4096, 8192, 4096}, {2500, 8192, 3072},       {1, 4096, 1024},
                 {0, 4096, 0},       {200000, 300000, 200704}, // several batches, rounded up to a
                                                               // whole chunk
                 {2500, 2500, 2500}}; // the last chunk may be short at the end of the source
    for (auto c : cases) {
        int from = source(c.source), to = target();
        ASSERT_GE(from, 0);
        ASSERT_GE(to, 0);
        image_size.store(c.image);
        transfer_bytes.store(0);
        EXPECT_EQ(copy_image(from, to), 0) << c.image;
        close(from);
        close(to);
        EXPECT_EQ(transfer_bytes.load(), c.want_bytes) << c.image;
        EXPECT_EQ(written(), pattern_.substr(0, static_cast<size_t>(c.want_bytes))) << c.image;
    }
}

TEST_F(Copy, SourceEndingBeforeTheImageIsAFailedRead) {
    int from = source(3000), to = target();
    image_size.store(8192);
    EXPECT_EQ(copy_image(from, to), UPDATE_EXIT_READ);
    EXPECT_EQ(transfer_bytes.load(), 3000);
    close(from);
    close(to);
}

TEST_F(Copy, UnreadableSourceIsAFailedRead) {
    int to = target();
    int from = open(dir_.c_str(), O_RDONLY | O_DIRECTORY); // read() gives EISDIR
    image_size.store(1024);
    EXPECT_EQ(copy_image(from, to), UPDATE_EXIT_READ);
    EXPECT_EQ(transfer_bytes.load(), 0);
    close(from);
    close(to);
}

TEST_F(Copy, TargetTakingNothingIsAFailedWrite) {
    int from = source(4096);
    int to = open("/dev/full", O_WRONLY);
    ASSERT_GE(to, 0);
    image_size.store(4096);
    EXPECT_EQ(copy_image(from, to), UPDATE_EXIT_WRITE);
    EXPECT_EQ(transfer_bytes.load(), 0);
    close(from);
    close(to);
}

} // namespace

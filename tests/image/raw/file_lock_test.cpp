// Whole-file locks between processes and between handles, and the
// descriptor listing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "rwimage1.h"
#include "support/test_support.h"

using oru::test::TempDir;

namespace {

// A second process that opens the image through raw_open, reports the
// moment it got it, and holds it until told to close.
class Opener {
  public:
    Opener(const std::string &path, int flag) {
        if (pipe(opened_) != 0 || pipe(release_) != 0) std::abort();
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // A forked copy of the parent's image descriptor would share
            // its lock and outlive the parent's close: keep only the pipes.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != opened_[1] && fd != release_[0]) close(fd);
            oru_file_handle handle{};
            char *error = nullptr;
            char result = raw_open(path.c_str(), flag, &handle, &error) == 0 ? 'o' : 'f';
            if (write(opened_[1], &result, 1) != 1) _exit(2);
            char go;
            if (read(release_[0], &go, 1) < 0) _exit(3);
            raw_close(&handle);
            _exit(0);
        }
        close(opened_[1]);
        close(release_[0]);
    }
    ~Opener() {
        close(release_[1]); // also releases a child still holding the image
        close(opened_[0]);
        int status;
        waitpid(pid_, &status, 0);
    }
    // True when the child reported a successful open within `ms`.
    bool opened_within(int ms) {
        struct pollfd p = {opened_[0], POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        char result = 0;
        return read(opened_[0], &result, 1) == 1 && result == 'o';
    }

  private:
    pid_t pid_ = -1;
    int opened_[2] = {-1, -1};
    int release_[2] = {-1, -1};
};

constexpr int kWaitMs = 300;      // long enough to see that a lock holds
constexpr int kPatienceMs = 20000; // generous: the machine is shared

class LockedImage : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("disk.raw");
        oru::test::write_file(path_, std::vector<uint8_t>(8192, 1));
    }
    void TearDown() override { raw_close(&mine_); }
    void open_mine(int flag) {
        char *error = nullptr;
        ASSERT_EQ(raw_open(path_.c_str(), flag, &mine_, &error), 0);
    }
    TempDir dir_;
    std::string path_;
    oru_file_handle mine_{};
};

} // namespace

TEST_F(LockedImage, WriterMakesEveryOtherOpenWaitUntilItCloses) {
    for (int flag : {ORU_RO, ORU_WO, ORU_RW}) {
        open_mine(ORU_RW);
        Opener other(path_, flag);
        EXPECT_FALSE(other.opened_within(kWaitMs)) << "flag " << flag;
        raw_close(&mine_);
        EXPECT_TRUE(other.opened_within(kPatienceMs)) << "flag " << flag;
    }
}

TEST_F(LockedImage, ReadersShareAndKeepWritersOut) {
    open_mine(ORU_RO);
    {
        Opener reader(path_, ORU_RO);
        EXPECT_TRUE(reader.opened_within(kPatienceMs));
    }
    Opener writer(path_, ORU_RW);
    EXPECT_FALSE(writer.opened_within(kWaitMs));
    raw_close(&mine_);
    EXPECT_TRUE(writer.opened_within(kPatienceMs));
}

TEST_F(LockedImage, LockCoversTheWholeFileAndBeyondItsEnd) {
    int fd = open(path_.c_str(), O_RDWR);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(lock_set(fd, F_WRLCK), 0);
    auto conflict_seen_by_child = [&](off_t start) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int cfd = open(path_.c_str(), O_RDWR);
            struct flock probe {};
            probe.l_type = F_RDLCK;
            probe.l_whence = SEEK_SET;
            probe.l_start = start;
            probe.l_len = 1;
            if (cfd < 0 || fcntl(cfd, F_GETLK, &probe) != 0) _exit(2);
            // A lock of an open file description names no process.
            _exit(probe.l_type == F_WRLCK && probe.l_pid == -1 ? 1 : 0);
        }
        int status;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    };
    EXPECT_EQ(conflict_seen_by_child(0), 1);
    EXPECT_EQ(conflict_seen_by_child(off_t{1} << 40), 1);
    ASSERT_EQ(lock_set(fd, F_UNLCK), 0);
    EXPECT_EQ(conflict_seen_by_child(0), 0);
    close(fd);
    EXPECT_EQ(lock_set(-1, F_RDLCK), -1);
}

TEST_F(LockedImage, EachHandleKeepsItsOwnLockAndConflictsInProcessAreRefused) {
    // Two readers in this process; closing one leaves the other's lock.
    open_mine(ORU_RO);
    oru_file_handle second{};
    char *error = nullptr;
    ASSERT_EQ(raw_open(path_.c_str(), ORU_RO, &second, &error), 0);
    raw_close(&second);
    int probe = open(path_.c_str(), O_RDONLY); // any other descriptor, closed too
    close(probe);
    {
        Opener writer(path_, ORU_RW);
        EXPECT_FALSE(writer.opened_within(kWaitMs));
        // A writer in this process is refused at once rather than waiting
        // for a reader that this very thread holds.
        error = nullptr;
        EXPECT_EQ(raw_open(path_.c_str(), ORU_RW, &second, &error), -1);
        EXPECT_STREQ(error, "file locked failed");
        raw_close(&mine_);
        EXPECT_TRUE(writer.opened_within(kPatienceMs));
    }
    // Released, the image opens for writing again, and then refuses readers here.
    open_mine(ORU_RW);
    EXPECT_EQ(raw_open(path_.c_str(), ORU_RO, &second, &error), -1);
}

namespace {

std::map<int, std::string> list_descriptors() {
    std::map<int, std::string> listed;
    fdinfo *node = getFdlist();
    while (node) {
        listed[node->fd] = node->path;
        EXPECT_NE(std::memchr(node->path, 0, sizeof node->path), nullptr); // terminated
        fdinfo *next = node->next;
        std::free(node);
        node = next;
    }
    return listed;
}

} // namespace

TEST_F(LockedImage, DescriptorListingShowsTheOpenImageWithItsPath) {
    open_mine(ORU_RO);
    char real[PATH_MAX];
    ASSERT_NE(realpath(path_.c_str(), real), nullptr);
    auto listed = list_descriptors();
    ASSERT_TRUE(listed.count(mine_.fd));
    EXPECT_EQ(listed[mine_.fd], real);
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) != -1) {
            EXPECT_TRUE(listed.count(fd)) << fd;
        }
}

TEST_F(LockedImage, LongTargetIsCutTo255Bytes) {
    std::string deep = dir_.path();
    while (deep.size() < 400) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string file = deep + "/image.raw";
    oru::test::write_file(file, std::vector<uint8_t>(512, 0));
    int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GT(fd, 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(file.c_str(), real), nullptr);
    auto listed = list_descriptors();
    close(fd);
    ASSERT_TRUE(listed.count(fd));
    EXPECT_EQ(listed[fd], std::string(real).substr(0, 255));
}

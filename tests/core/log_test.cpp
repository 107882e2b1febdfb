// Log lines and the two-day clean-up of the log directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

#include "core/log.h"
#include "oruDiskLib.h"
#include "support/test_support.h"

using oru::test::TempDir;

namespace {

constexpr time_t kTwoDays = 172800;

std::string read_text(const std::string &path) {
    auto bytes = oru::test::read_file(path);
    return {bytes.begin(), bytes.end()};
}

void touch(const std::string &path) { oru::test::write_file(path, {'x'}); }

void set_mtime(const std::string &path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int clean(const std::string &dir) { return delete_log_file(const_cast<char *>(dir.c_str())); }

} // namespace

TEST(LogLine, StampIsUnpaddedLocalTimeAndTheFormatAddsItsOwnColon) {
    TempDir dir;
    std::string path = dir.file("volume.log");
    FILE *f = fopen(path.c_str(), "w+");
    ASSERT_NE(f, nullptr);
    time_t before = time(nullptr);
    oruDiskLib_Log(f, const_cast<char *>("read failed:"), const_cast<char *>("boom"));
    oruDiskLib_Log(f, const_cast<char *>("session id: "), const_cast<char *>("abc"));
    time_t after = time(nullptr);
    // Flushed by the call itself: visible before the stream is closed.
    std::string text = read_text(path);
    fclose(f);

    std::regex line(R"(\[(\d+)/(\d+)/(\d+) (\d+):(\d+):(\d+)\] - read failed::boom\n)"
                    R"(\[[0-9/: ]+\] - session id: :abc\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    for (size_t i = 1; i <= 6; ++i) {
        std::string field = m[i].str();
        EXPECT_FALSE(field.size() > 1 && field[0] == '0') << "zero-padded field " << field;
    }
    bool matched_a_second = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm tm;
        localtime_r(&t, &tm);
        matched_a_second |= std::stoi(m[1]) == tm.tm_year + 1900 && std::stoi(m[2]) == tm.tm_mon + 1 &&
                            std::stoi(m[3]) == tm.tm_mday && std::stoi(m[4]) == tm.tm_hour &&
                            std::stoi(m[5]) == tm.tm_min && std::stoi(m[6]) == tm.tm_sec;
    }
    EXPECT_TRUE(matched_a_second) << text;
}

TEST(LogLine, NullStreamIsIgnored) {
    oruDiskLib_Log(nullptr, const_cast<char *>("a"), const_cast<char *>("b"));
}

TEST(LogCleanup, TwoDayBoundary) {
    TempDir dir;
    std::string older = dir.file("older.log"), younger = dir.file("younger.log");
    std::string exact = dir.file("exact.log"), other = dir.file("not-a-log.txt");
    for (const auto &p : {older, younger, exact, other}) touch(p);
    // The threshold is taken inside the call; retry until the call and our
    // stamps fall into the same second so the exact case is decidable.
    for (int attempt = 0; attempt < 20; ++attempt) {
        time_t now = time(nullptr);
        set_mtime(older, now - kTwoDays - 1);
        set_mtime(younger, now - kTwoDays + 1);
        set_mtime(exact, now - kTwoDays);
        set_mtime(other, now - 3 * kTwoDays);
        EXPECT_EQ(clean(dir.path()), 0);
        if (time(nullptr) != now) {
            touch(older);
            touch(other);
            continue;
        }
        EXPECT_FALSE(exists(older));
        EXPECT_TRUE(exists(exact)); // strictly earlier than the threshold goes; equal stays
        EXPECT_TRUE(exists(younger));
        EXPECT_FALSE(exists(other)); // every old file goes, not only logs
        return;
    }
    FAIL() << "the clock never held still for one second";
}

TEST(LogCleanup, DotFilesSubdirectoriesAndOverlongPathsStay) {
    TempDir dir;
    time_t ancient = time(nullptr) - 10 * kTwoDays;
    std::string hidden = dir.file(".hidden.log"), subdir = dir.file("old-subdir");
    ASSERT_EQ(mkdir(subdir.c_str(), 0755), 0);
    touch(hidden);
    touch(subdir + "/inner.log");
    // The joined entry path has 256 bytes of room; an entry whose path does
    // not fit is skipped, not cut to the name of some other file.
    std::string deep = dir.path();
    while (deep.size() < 180) {
        deep += "/dddddddddddddddddddd";
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string long_name = deep + "/" + std::string(100, 'l');
    std::string cut_name = (deep + "/" + std::string(100, 'l')).substr(0, 255);
    touch(long_name);
    touch(cut_name);
    for (const auto &p : {hidden, subdir, long_name, cut_name}) set_mtime(p, ancient);

    EXPECT_EQ(clean(dir.path()), 0);
    EXPECT_EQ(clean(deep), 0);
    EXPECT_TRUE(exists(hidden));
    EXPECT_TRUE(exists(subdir));
    EXPECT_TRUE(exists(subdir + "/inner.log")); // not recursed into
    EXPECT_TRUE(exists(long_name));
    EXPECT_FALSE(exists(cut_name)); // fits, so it is an ordinary old file
}

TEST(LogCleanup, MissingDirectoryIsCreatedWithNothingRemoved) {
    TempDir dir;
    std::string logdir = dir.file("tamb");
    mode_t old_mask = umask(022);
    EXPECT_EQ(clean(logdir), 0);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(logdir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u); // 0777 less the umask
    EXPECT_EQ(clean(dir.file("no/such/parent")), 0); // cannot be created: still 0
}

// An image open through the engine, written in step with a raw reference
// file, so that qemu-img compare can judge every workload.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "image_oracle.h"
#include "qcow2.h"

namespace oru::test {

class OpenImage {
  public:
    OpenImage(const std::string &path, int flag) : path_(path) {
        char *text = nullptr;
        rc_ = qcow2_open(path_.data(), &q_, flag, &text);
        open_text_ = text ? text : "";
    }
    ~OpenImage() { close(); }
    OpenImage(const OpenImage &) = delete;
    OpenImage &operator=(const OpenImage &) = delete;

    bool ok() const { return rc_ == 0 && q_; }
    const std::string &open_text() const { return open_text_; }
    qcow2 *get() const { return q_; }
    void close() {
        if (q_) qcow2_close(&q_);
        q_ = nullptr;
    }

    // qcow2_write's result; *text receives the error text of a failure.
    int write(const std::vector<uint8_t> &data, uint64_t offset, std::string *text = nullptr) {
        char *error = nullptr;
        int n = qcow2_write(q_, data.data(), data.size(), offset, &error);
        if (text) *text = n < 0 && error ? error : "";
        return n;
    }

  private:
    std::string path_; // the record refers to it
    qcow2 *q_ = nullptr;
    int rc_ = -1;
    std::string open_text_;
};

// A raw file holding what the guest disk should contain.
class RawReference {
  public:
    // Starts as a copy of the guest contents of `image` (qemu-img convert),
    // or as zeros of `size` bytes when image is empty.
    RawReference(const std::string &path, uint64_t size, const std::string &image = "")
        : path_(path), size_(size) {
        if (image.empty())
            run("rm -f " + quote(path) + " && truncate -s " + std::to_string(size) + " " + quote(path));
        else
            run("qemu-img convert -O raw " + quote(image) + " " + quote(path));
    }
    // Writes what a qcow2_write of data at offset writes: clamped to the size.
    void write(const std::vector<uint8_t> &data, uint64_t offset) const {
        if (offset >= size_) return;
        size_t n = static_cast<size_t>(std::min<uint64_t>(data.size(), size_ - offset));
        int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, data.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
        ::close(fd);
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    uint64_t size_;
};

} // namespace oru::test

// The simulated host agents: "pre_remote_rw" starts a real qemu-nbd export
// of the volume's image, named by the volume UUID and reachable on the
// host's address and its backup-network address; exports end with the
// simulator. qemu-img, nbdinfo and nbdcopy are the judges.
#include "sim_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <signal.h>

namespace oru::test {
namespace {

constexpr size_t kImageSize = 4 << 20;

std::string agent_body(const std::string &path, const std::string &format, const std::string &flag,
                       const std::string &uuid) {
    return "{\"action\": \"pre_remote_rw\", \"param\": {\"diskPath\": \"" + path + "\", \"format\": \"" + format +
           "\", \"openFlag\": \"" + flag + "\",\"volumeUuid\":\"" + uuid + "\"}}";
}

// The agent's "serverPort" text ("" when the reply had none).
std::string export_port(const std::string &host, const std::string &body) {
    auto reply = curl("POST", "http://" + host + ":9753/vm", "", body);
    EXPECT_EQ(reply.body.find('\n'), std::string::npos) << "the reply body must be one line";
    auto json = reply.json();
    return json.is_object() && json["serverPort"].is_string() ? json["serverPort"].get<std::string>() : "";
}

std::string nbd_uri(const std::string &address, const std::string &port, const std::string &uuid) {
    return "nbd://" + address + ":" + port + "/" + uuid;
}

class PlatformSimAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        ORU_REQUIRE_ROOT();
        for (const char *tool : {"curl", "qemu-img", "qemu-nbd", "nbdinfo", "nbdcopy"}) ORU_REQUIRE_PROGRAM(tool);
        sim_ = std::make_unique<PlatformSim>(example_platform().dump());
        ASSERT_TRUE(sim_->ready());
        const TempDir &dir = sim_->dir();
        source_ = dir.file("source.raw");
        write_file(source_, pattern(kImageSize, 7));
        ASSERT_EQ(run("qemu-img convert -f raw -O qcow2 " + quote(source_) + " " + quote(dir.file("volume-1.qcow2"))).status, 0);
        write_file(dir.file("volume-2.raw"), pattern(kImageSize, 9));
    }

    std::unique_ptr<PlatformSim> sim_;
    std::string source_;
};

TEST_F(PlatformSimAgent, ExportsQcow2ReadWriteOnHostAndBackupAddress) {
    std::string port = export_port("127.0.0.12", agent_body("/platform/volume-1", "qcow2", "rw", kVolumeQcow2));
    ASSERT_FALSE(port.empty());
    ASSERT_NE(port, "null");
    const TempDir &dir = sim_->dir();

    // Read on the host's own address: the guest view of the qcow2 image.
    std::string copy = dir.file("copy.raw");
    ASSERT_EQ(run("nbdcopy " + quote(nbd_uri("127.0.0.12", port, kVolumeQcow2)) + " " + quote(copy)).status, 0);
    EXPECT_EQ(read_file(copy), read_file(source_));

    // Write on the backup-network address, at the same port.
    std::string fresh = dir.file("fresh.raw");
    write_file(fresh, pattern(kImageSize, 11));
    ASSERT_EQ(run("nbdcopy " + quote(fresh) + " " + quote(nbd_uri("127.0.0.22", port, kVolumeQcow2))).status, 0);

    int pid = -1;
    for (const auto &line : sim_->journal())
        if (line.value("event", "") == "export started") pid = line["pid"];
    ASSERT_GT(pid, 0);
    EXPECT_EQ(sim_->stop(), 0);
    // The export ended with the simulator, and the data reached the image.
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_NE(run("nbdinfo --size " + quote(nbd_uri("127.0.0.12", port, kVolumeQcow2))).status, 0);
    EXPECT_NE(run("nbdinfo --size " + quote(nbd_uri("127.0.0.22", port, kVolumeQcow2))).status, 0);
    EXPECT_EQ(run("qemu-img check -q " + quote(dir.file("volume-1.qcow2"))).status, 0);
    EXPECT_EQ(run("qemu-img compare -q -f qcow2 -F raw " + quote(dir.file("volume-1.qcow2")) + " " + quote(fresh)).status, 0);
    bool stopped = false;
    for (const auto &line : sim_->journal()) stopped = stopped || line.value("event", "") == "export stopped";
    EXPECT_TRUE(stopped);
}

TEST_F(PlatformSimAgent, ReadOnlyExportsAreReusedAndReplacedForWriting) {
    std::string body = agent_body("/platform/volume-2", "raw", "r", kVolumeRaw);
    std::string port = export_port("127.0.0.11", body);
    ASSERT_FALSE(port.empty());
    ASSERT_NE(port, "null");
    std::string uri = nbd_uri("127.0.0.11", port, kVolumeRaw);
    EXPECT_EQ(run("nbdinfo --is read-only " + quote(uri)).status, 0);
    EXPECT_EQ(run("nbdinfo --size " + quote(uri)).out, std::to_string(kImageSize) + "\n");
    // The same export again: same port, the running export is kept.
    EXPECT_EQ(export_port("127.0.0.11", body), port);

    // LUKS volumes travel as raw bytes; writing needs a writable export.
    std::string writable = export_port("127.0.0.11", agent_body("/platform/volume-2", "luks", "rw", kVolumeRaw));
    ASSERT_NE(writable, "null");
    EXPECT_NE(writable, port);
    std::string rw_uri = nbd_uri("127.0.0.11", writable, kVolumeRaw);
    EXPECT_NE(run("nbdinfo --is read-only " + quote(rw_uri)).status, 0);
    std::string copy = sim_->dir().file("copy.raw");
    ASSERT_EQ(run("nbdcopy " + quote(rw_uri) + " " + quote(copy)).status, 0);
    EXPECT_EQ(read_file(copy), pattern(kImageSize, 9));
    // The read-only export it replaced is gone.
    EXPECT_NE(run("nbdinfo --size " + quote(uri)).status, 0);
}

TEST_F(PlatformSimAgent, AnswersNullWhenNoExportCanBeMade) {
    const std::string unknown = "0b0e5c1a-1111-4222-8333-944455556666";
    struct Case {
        const char *host;
        std::string body;
    } cases[] = {
        {"127.0.0.11", agent_body("/x", "vmdk", "r", kVolumeQcow2)},       // no such format
        {"127.0.0.11", agent_body("/x", "qcow2", "w", kVolumeQcow2)},      // no such open flag
        {"127.0.0.13", agent_body("/x", "qcow2", "r", kVolumeQcow2)},      // data store not mounted there
        {"127.0.0.11", agent_body("/x", "raw", "r", kVolumeInUse)},        // host-1 lacks ds-2
        {"127.0.0.11", agent_body("/nonexistent.img", "raw", "r", unknown)}, // no image
        {"127.0.0.11", agent_body(sim_->dir().file("volume-2.raw"), "qcow2", "r", unknown)}, // qemu-nbd refuses
        {"127.0.0.11", "{\"action\": \"pre_remote_rw\", \"param\": {\"diskPath\": \"a\"b\"}}"}, // not JSON
        {"127.0.0.11", "{\"action\": \"post_remote_rw\", \"param\": {}}"},
    };
    for (const auto &c : cases) EXPECT_EQ(export_port(c.host, c.body), "null") << c.host << " " << c.body;

    // A volume the platform does not list is exported from the path the client sent.
    std::string port = export_port("127.0.0.12", agent_body(sim_->dir().file("volume-2.raw"), "raw", "r", unknown));
    ASSERT_NE(port, "null");
    EXPECT_EQ(run("nbdinfo --size " + quote(nbd_uri("127.0.0.12", port, unknown))).out,
              std::to_string(kImageSize) + "\n");
    // No export is left behind by the refused requests.
    int started = 0;
    for (const auto &line : sim_->journal()) started += line.value("event", "") == "export started";
    EXPECT_EQ(started, 1);
}

} // namespace
} // namespace oru::test

#include "volume_session.h"

#include <algorithm>

#include "cli_error.h"

namespace orudisk {

namespace {

uint64_t sectors_for(uint64_t bytes) {
    return (bytes + kSector - 1) / kSector;
}

const std::string kAccessKeyPrefix = "ORU ";

char *text_or_null(std::string &s) {
    return s.empty() ? nullptr : s.data();
}

// Overwrites a secret before its memory is given back.
void wipe(std::string &secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

} // namespace

int format_code(const std::string &name) {
    if (name == "qcow2") return ORU_QCOW;
    if (name == "raw") return ORU_RAW;
    if (name == "luks") return ORU_LUKS;
    throw CliError("unknown volume format '" + name + "'");
}

std::string format_name(int code) {
    switch (code) {
    case ORU_QCOW:
        return "qcow2";
    case ORU_RAW:
        return "raw";
    case ORU_LUKS:
        return "luks";
    default:
        return "format " + std::to_string(code);
    }
}

VolumeSession::VolumeSession(const VolumeOptions &o, int format, int open_flag)
    : remote_(o.is_remote()), name_(o.describe()), path_(o.path), uuid_(o.uuid),
      datastore_(o.datastore), target_url_(o.target_url), initiator_(o.initiator),
      transport_(o.transport) {
    volume_.diskPath = text_or_null(path_);
    volume_.diskFormat = format;
    volume_.volumeUuid = text_or_null(uuid_);
    volume_.dataStoreid = text_or_null(datastore_);
    volume_.targeturl = text_or_null(target_url_);
    volume_.initiator = text_or_null(initiator_);
    try {
        if (remote_) {
            std::string server = o.server, user = o.user, password, key;
            if (!o.access_key_file.empty()) {
                key = read_secret_file(o.access_key_file, "access key");
                // The library takes the key in its authorization form.
                if (key.rfind(kAccessKeyPrefix, 0) != 0) key = kAccessKeyPrefix + key;
            } else {
                password = read_secret_file(o.password_file, "password");
            }
            oruDiskLibConnectParams params{text_or_null(server), text_or_null(user),
                                           text_or_null(password), text_or_null(key)};
            oruError rc = key.empty() ? oruDiskLib_Connect(params, &connection_)
                                      : oruDiskLib_Set_AK(params, &connection_);
            wipe(password);
            wipe(key);
            // A failed login hands back nothing that could be logged out.
            if (rc != ORU_OK) connection_ = nullptr;
            check(rc, "cannot log in to " + o.server);
        }
        check(oruDiskLib_Init(&handle_), "cannot allocate a volume handle");
        const char *mode = transport_.empty() ? nullptr : transport_.c_str();
        oruError rc = oruDiskLib_Open(&volume_, open_flag, mode, remote_, handle_, connection_);
        if (rc != ORU_OK)
            throw CliError("cannot open " + name_, rc,
                           remote_ ? "" : os_reason_opening(path_, open_flag != ORU_RO));
        open_ = true;
    } catch (...) {
        release();
        throw;
    }
}

VolumeSession::~VolumeSession() {
    release();
}

void VolumeSession::release() noexcept {
    if (open_) oruDiskLib_Close(handle_, &volume_);
    open_ = false;
    if (handle_) oruDiskLib_Finalize(&handle_);
    handle_ = nullptr;
    if (connection_) oruDiskLib_DisConnect(connection_);
    connection_ = nullptr;
}

void VolumeSession::close() {
    if (!open_) return;
    open_ = false;
    check(oruDiskLib_Close(handle_, &volume_), "closing " + name_ + " failed");
}

void VolumeSession::read(uint64_t offset, uint64_t length, void *buffer) {
    check(oruDiskLib_Read(handle_, &volume_, offset / kSector, sectors_for(length), buffer),
          "reading " + name_ + " at byte " + std::to_string(offset) + " failed");
}

void VolumeSession::write(uint64_t offset, uint64_t length, void *buffer) {
    check(oruDiskLib_Write(handle_, &volume_, offset / kSector, sectors_for(length), buffer),
          "writing " + name_ + " at byte " + std::to_string(offset) + " failed");
}

void VolumeSession::read_luks_header(void *buffer) {
    check(oruDiskLib_Header_get(handle_, &volume_, buffer),
          "reading the LUKS header of " + name_ + " failed");
}

void VolumeSession::write_luks_header(void *buffer) {
    check(oruDiskLib_Header_set(handle_, &volume_, buffer),
          "writing the LUKS header of " + name_ + " failed");
}

void VolumeSession::query_allocation() {
    check(oruDiskLib_QueryAllocatedClusters(handle_, &volume_),
          "querying the allocated clusters of " + name_ + " failed");
}

oruError VolumeSession::query_extents(uint64_t start_sector, uint64_t sectors,
                                      oruDiskLibExtent *extents, uint32_t max_extents,
                                      uint32_t *count) {
    return oruDiskLib_QueryExtents(handle_, &volume_, start_sector, sectors, extents, max_extents,
                                   count);
}

oruDiskLibInfo VolumeSession::info() {
    oruDiskLibInfo facts{};
    facts.structSize = sizeof facts;
    check(oruDiskLib_GetInfo(handle_, &volume_, &facts),
          "asking the library what " + name_ + " is failed");
    return facts;
}

oruError VolumeSession::query_changed_extents(const std::string &bitmap, uint64_t start_sector,
                                              uint64_t sectors, oruDiskLibExtent *extents,
                                              uint32_t max_extents, uint32_t *count) {
    return oruDiskLib_QueryChangedExtents(handle_, &volume_, bitmap.c_str(), start_sector, sectors,
                                          extents, max_extents, count);
}

std::vector<oruDiskLibBitmapInfo> VolumeSession::list_bitmaps() {
    // Asked again while bitmaps appear between the two calls.
    std::vector<oruDiskLibBitmapInfo> bitmaps;
    uint32_t count = 0;
    do {
        bitmaps.resize(count);
        check(oruDiskLib_ListBitmaps(handle_, &volume_, bitmaps.data(),
                                     static_cast<uint32_t>(bitmaps.size()), &count),
              "listing the bitmaps of " + name_ + " failed");
    } while (count > bitmaps.size());
    bitmaps.resize(count);
    for (auto &bitmap : bitmaps)
        bitmap.name[sizeof bitmap.name - 1] = '\0';
    return bitmaps;
}

// A partial last sector (a raw file's odd end) is named whole, as reads and
// writes name it.
void VolumeSession::write_zeroes(uint64_t offset, uint64_t length) {
    check(oruDiskLib_WriteZeroes(handle_, &volume_, offset / kSector, sectors_for(length)),
          "zeroing " + name_ + " at byte " + std::to_string(offset) + " failed");
}

void VolumeSession::flush() {
    check(oruDiskLib_Flush(handle_, &volume_), "flushing " + name_ + " failed");
}

} // namespace orudisk

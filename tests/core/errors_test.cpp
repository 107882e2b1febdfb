// Result texts, the last-error slots and the handle lifecycle, as a caller
// of the shared library sees them.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/handle.h"
#include "oruDiskLib.h"

namespace {

// Every code with a constant text. The slot codes are checked separately.
const std::vector<std::pair<int, std::string>> kConstantTexts = {
    {0, "The operation was successful"},
    {1, "Unknown error"},
    {2, "Unknown error"},
    {3, "Failed to connect server"},
    {4, "Unknown error"},
    {5, "Unknown error"},
    {6, "POST request has error"},
    {8, "Parameters are not completed"},
    {11, "lock/unlock local file failed"},
    {12, "Unknown error"},
    {13, "Unknown error"},
    {14, "Unknown error"},
    {15, "iptables managed faild"},
    {16, "Unknown error"},
    {17, "Failed to create a TCP connection with the hostIP"},
    {18, "Failed to initialize SSL"},
    {19, "Failed to send data"},
    {20, "Failed to receive data"},
    {21, "Faile to malloc space"},
    {22, "The image is using can't open"},
    {23, "The server exports image failed"},
    {31, "Http get response error"},
    {33, "Unknown error"},
    {34, "transportmode only support lanfree,nbd,file,NULL"},
    {35, "lock/unlock remote file failed"},
    {36, "nbd handle can't be NULL"},
    {37, "qcow handle can't be NULL"},
    {38, "raw handle can't be NULL"},
    {39, "account or password is not right"},
    {45, "length * 512 can't over 32 * 1024 *1024 "},
    {46, "volume format is not right"},
};

const std::vector<int> kNbdCodes = {9, 24, 25, 44};
const std::vector<int> kQcowCodes = {10, 26, 27, 32};
const std::vector<int> kRawCodes = {7, 28, 29, 30, 40};
const std::vector<int> kIscsiCodes = {41, 42, 43};

std::string text_of(int code) { return oruDiskLib_GetErrorText(static_cast<oruError>(code)); }

} // namespace

TEST(ErrorTexts, EveryConstantCodeHasItsExactText) {
    for (const auto &[code, text] : kConstantTexts) EXPECT_EQ(text_of(code), text) << "code " << code;
    // Together with the slot codes that is every one of the 47 codes.
    EXPECT_EQ(kConstantTexts.size() + kNbdCodes.size() + kQcowCodes.size() + kRawCodes.size() +
                  kIscsiCodes.size(),
              47u);
}

TEST(ErrorTexts, CodesOutsideTheEnumAreUnknown) {
    for (int code : {47, 48, 1000, -1, -47, 0x7fffffff}) EXPECT_EQ(text_of(code), "Unknown error");
}

// The slots are process-wide, so this runs before anything could fail in
// this program: the initial contents are what a fresh process shows.
TEST(ErrorTexts, SlotCodesShowTheirSlotsInitialContents) {
    for (int code : kNbdCodes) {
        EXPECT_EQ(oruDiskLib_GetErrorText(static_cast<oruError>(code)), nbderror);
        EXPECT_EQ(text_of(code), "");
    }
    for (int code : kQcowCodes) EXPECT_EQ(text_of(code), "null");
    for (int code : kRawCodes) EXPECT_EQ(text_of(code), "null");
    for (int code : kIscsiCodes) EXPECT_EQ(text_of(code), "null");
}

TEST(ErrorTexts, SlotCodesFollowTheSlotTheyBelongTo) {
    char *saved_raw = rawerror, *saved_qcow = qcowerror, *saved_iscsi = iscsierror;
    char raw_text[] = "raw text", qcow_text[] = "qcow text", iscsi_text[] = "iscsi text";
    rawerror = raw_text;
    qcowerror = qcow_text;
    iscsierror = iscsi_text;
    std::strcpy(nbderror, "nbd text");
    for (int code : kRawCodes) EXPECT_EQ(text_of(code), "raw text") << code;
    for (int code : kQcowCodes) EXPECT_EQ(text_of(code), "qcow text") << code;
    for (int code : kIscsiCodes) EXPECT_EQ(text_of(code), "iscsi text") << code;
    for (int code : kNbdCodes) EXPECT_EQ(text_of(code), "nbd text") << code;
    rawerror = saved_raw;
    qcowerror = saved_qcow;
    iscsierror = saved_iscsi;
    nbderror[0] = '\0';
}

// Each thread reads its own latest failure, whatever other threads do; the
// process-wide slots go on as before.
TEST(ErrorTexts, LastErrorTextBelongsToTheThread) {
    std::string fresh;
    std::thread([&] { fresh = oruDiskLib_GetLastErrorText(); }).join();
    EXPECT_EQ(fresh, "");

    std::mutex mutex;
    std::condition_variable turn;
    int step = 0;
    auto wait_for = [&](int wanted) {
        std::unique_lock<std::mutex> hold(mutex);
        turn.wait(hold, [&] { return step >= wanted; });
    };
    auto advance = [&] {
        std::lock_guard<std::mutex> hold(mutex);
        ++step;
        turn.notify_all();
    };
    std::string opener_text, opener_after_success, reader_text;
    std::thread opener([&] {
        oruDiskLibHandle handle = nullptr;
        ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        oruDiskLibVolume missing{};
        missing.diskPath = const_cast<char *>("/nonexistent/disk.qcow2");
        missing.diskFormat = ORU_QCOW;
        EXPECT_EQ(oruDiskLib_Open(&missing, ORU_RO, nullptr, false, handle, nullptr),
                  ORU_E_QCOW_OPEN);
        advance(); // 1: failed first
        wait_for(2);
        opener_text = oruDiskLib_GetLastErrorText();
        oruDiskLib_Finalize(&handle);
        EXPECT_EQ(oruDiskLib_Init(&handle), ORU_OK);
        opener_after_success = oruDiskLib_GetLastErrorText();
        oruDiskLib_Finalize(&handle);
    });
    std::thread reader([&] {
        wait_for(1);
        char buffer[512];
        EXPECT_EQ(oruDiskLib_Read(nullptr, nullptr, 0, 1, buffer), ORU_E_PARAMS);
        reader_text = oruDiskLib_GetLastErrorText();
        advance(); // 2: failed later
    });
    opener.join();
    reader.join();
    EXPECT_EQ(opener_text, "open file failed");
    EXPECT_EQ(opener_after_success, "open file failed");
    EXPECT_EQ(reader_text, "Parameters are not completed");
    EXPECT_STREQ(qcowerror, "open file failed");
}

TEST(Identification, VersionAndTransportModes) {
    EXPECT_STREQ(oruDiskLib_GetVersion(), "1.5.0");
    EXPECT_STREQ(oruDiskLib_GetTransportMode(), "nbd:lanfree:file");
}

TEST(HandleLifecycle, InitGivesAZeroFilledHandleAndFinalizeFreesIt) {
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    ASSERT_NE(handle, nullptr);
    // A later open or close must never meet stale fields.
    const oruDiskLibInHandle *in = in_handle(handle);
    EXPECT_EQ(in->flag, 0);
    EXPECT_EQ(in->lblk, nullptr);
    EXPECT_EQ(in->qblk, nullptr);
    EXPECT_EQ(in->rblk, nullptr);
    EXPECT_EQ(in->log, nullptr);
    EXPECT_EQ(in->iscsi, nullptr);
    EXPECT_EQ(in->size, 0u);
    oruDiskLibHandle kept = handle;
    EXPECT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
    EXPECT_EQ(handle, kept); // left as it was: the caller forgets it
}

TEST(HandleLifecycle, FinalizeOfNothingIsHarmless) {
    oruDiskLibHandle handle = nullptr;
    EXPECT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
    EXPECT_EQ(oruDiskLib_Finalize(nullptr), ORU_OK);
    EXPECT_EQ(oruDiskLib_Init(nullptr), ORU_E_INIT);
}

// What a failed remote open leaves in the handle (the export's address and
// port, the volume's log) goes with the handle; LeakSanitizer watches the
// texts, the descriptor count the stream.
TEST(HandleLifecycle, FinalizeReleasesWhatAFailedOpenLeft) {
    oruDiskLibHandle handle = nullptr;
    ASSERT_EQ(oruDiskLib_Init(&handle), ORU_OK);
    oruDiskLibInHandle *in = in_handle(handle);
    in->ip = strdup("127.0.0.9");
    in->port = strdup("10809");
    in->log = tmpfile();
    ASSERT_NE(in->log, nullptr);
    const int log_fd = fileno(in->log);
    EXPECT_EQ(oruDiskLib_Finalize(&handle), ORU_OK);
    EXPECT_EQ(fcntl(log_fd, F_GETFD), -1); // the stream's descriptor is closed
}

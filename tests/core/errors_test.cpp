// Result texts, the last-error slots and the handle lifecycle, as a caller
// of the shared library sees them.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string>
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

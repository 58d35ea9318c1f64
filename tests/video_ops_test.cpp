// Video encoder, image and audio settings, the frame-size table and the JPEG
// snapshot against the stand-in daemon. This program plays the loading
// program: it defines BufferEncode and points it at a record of its own.
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

BUFFER_ENCODE_T* BufferEncode = nullptr;

namespace {

constexpr int kSnapMax = 102400;

unsigned char level, qp_i, qp_p;
char ip[64];
std::vector<unsigned char> snap(kSnapMax);

std::vector<OpCase> video_cases() {
    return {
        ROW(byte_set, API_Video_SetCompression, 1), ROW(byte_get, API_Video_GetCompression, 2),
        ROW(byte_set, API_Video_SetResolution, 3), ROW(byte_get, API_Video_GetResolution, 4),
        ROW(byte_set, API_Video_SetFrameRate, 5), ROW(byte_get, API_Video_GetFrameRate, 6),
        ROW(byte_set, API_Video_SetMPEG4Encode, 9), ROW(byte_get, API_Video_GetMPEG4Encode, 10),
        ROW(byte_set, API_Video_SetCameraType, 11), ROW(byte_get, API_Video_GetCameraType, 12),
        ROW(byte_set, API_Audio_SetADPCMEncode, 13), ROW(byte_get, API_Audio_GetADPCMEncode, 14),
        ROW(byte_set, API_Video_SetMJPGEncode, 15), ROW(byte_get, API_Video_GetMJPGEncode, 16),
        ROW(byte_set, API_Video_SetMJPGQuality, 18), ROW(byte_get, API_Video_GetMJPGQuality, 19),
        ROW(byte_set, API_Video_SetBrightness, 150), ROW(byte_get, API_Video_GetBrightness, 151),
        ROW(byte_set, API_Video_SetContrast, 152), ROW(byte_get, API_Video_GetContrast, 153),
        ROW(byte_set, API_Video_SetSaturation, 154), ROW(byte_get, API_Video_GetSaturation, 155),
        ROW(byte_set, API_Video_SetHue, 156), ROW(byte_get, API_Video_GetHue, 157),
        ROW(byte_set, API_Video_SetCBREnable, 320), ROW(byte_get, API_Video_GetCBREnable, 321),
        ROW(byte_set, API_Video_SetFrequency, 392), ROW(byte_get, API_Video_GetFrequency, 393),
        {"SetPIRatio", [] { return API_Video_SetPIRatio(2, -5); }, 7, chan_text(2, "-5"), Reply::bytes({}), 1, 0},
        {"GetPIRatio", [] { return API_Video_GetPIRatio(1); }, 8, {1}, Reply::text("42"), 42, -1},
        {"SetDeinterlace", [] { return API_Video_SetDeinterlace(1, 2, 3); }, 158, {1, 2, 3}, Reply::bytes({}), 1, 0},
        {"GetDeinterlace", [] { return API_Video_GetDeinterlace(3, &level); }, 159, {3}, Reply::bytes({2, 7}), 2, -1,
         [] { EXPECT_EQ(level, 7); }},
        {"GetCutPixel", [] { return API_Video_GetCutPixel(300); }, 210, {44}, Reply::bytes({0xF0}), 240, -1},
        {"SetCutPixel", [] { return API_Video_SetCutPixel(3, 16); }, 211, text("3 16"), Reply::bytes({}), 1, 0},
        {"SetIReset", [] { return API_Video_SetIReset(); }, 310, {}, Reply::bytes({}), 1, 0},
        {"SetCBRByteRate", [] { return API_Video_SetCBRByteRate(1, 512000); }, 322, text("1,512000"), Reply::bytes({}), 1, 0},
        {"GetCBRByteRate", [] { return API_Video_GetCBRByteRate(258); }, 323, {2}, Reply::text("512000"), 512000, -1},
        {"SetQP", [] { return API_Video_SetQP(0, 25, 30); }, 330, text("0,25,30"), Reply::bytes({}), 1, 0},
        {"GetQP", [] { return API_Video_GetQP(2, &qp_i, &qp_p); }, 331, {2}, Reply::text("28,31"), 1, -1,
         [] { EXPECT_EQ(qp_i, 28); EXPECT_EQ(qp_p, 31); }},
        {"GetCodetype", [] { return API_Video_GetCodetype(); }, 426, {}, Reply::int32(-7), -7, -1},
        {"SetCodetype", [] { return API_Video_SetCodetype(0x01020304); }, 427, int32(0x01020304), Reply::bytes({}), 1, 0},
        {"GetAlarmSoundflags", [] { return API_Video_GetAlarmSoundflags(); }, 428, {}, Reply::int32(70000), 70000, -1},
        {"SetAlarmSoundflags", [] { return API_Video_SetAlarmSoundflags(-2); }, 429, int32(-2), Reply::bytes({}), 1, 0},
        {"GetCoderesolution", [] { return API_Video_GetCoderesolution(); }, 430, {}, Reply::int32(3), 3, -1},
        {"SetCoderesolution", [] { return API_Video_SetCoderesolution(5); }, 431, int32(5), Reply::bytes({}), 1, -1},
        text_get("GetCodeservip", API_Video_GetCodeservip, 436, 32, ip),
        copy_set("SetCodeservip", API_Video_SetCodeservip, 437, 1, -1),
        {"GetRecordav", [] { return API_Video_GetRecordav(); }, 438, {}, Reply::int32(1), 1, -1},
        {"SetRecordav", [] { return API_Video_SetRecordav(65536); }, 439, int32(65536), Reply::bytes({}), 1, 0},
        {"SetJPGSnapShot", [] { return API_Video_SetJPGSnapShot(3, snap.data()); }, 17, {3}, Reply::bytes({}), 4, 0,
         [] { EXPECT_EQ(memcmp(snap.data(), "\xFF\xD8\xFF\xE0", 4), 0); }},
        {"Set_SnapShot", [] { return API_Set_SnapShot(257); }, 371, {1}, Reply::bytes({}), 1, 0},
        {"Get_SnapShot", [] { return API_Get_SnapShot(); }, 372, {}, Reply::bytes({0xFE}), 254, -1},
    };
}

// True when `out` is exactly one trace line: "app/api_arch.cpp==<line>:\t" and the value line.
bool is_trace(const std::string& out, const std::string& value) {
    return std::regex_match(out, std::regex("app/api_arch\\.cpp==[1-9][0-9]*:\t" + value + "\n"));
}

class Video : public testing::Test {
protected:
    void SetUp() override {
        record_.reset(new BUFFER_ENCODE_T());
        BufferEncode = record_.get();
        set_snapshot(4, 0xE0);
        memcpy(record_->JPGBSnapBuffer, "\xFF\xD8\xFF\xE0", 4);
    }
    void TearDown() override { BufferEncode = nullptr; }

    void set_snapshot(int len, unsigned char fill) {
        record_->JPGSnapLen = len;
        memset(record_->JPGBSnapBuffer, fill, sizeof record_->JPGBSnapBuffer);
    }

    FakeDaemon daemon;
    std::unique_ptr<BUFFER_ENCODE_T> record_;
};

TEST_F(Video, EveryOperation) {
    testing::internal::CaptureStdout();
    run_op_table(daemon, video_cases());
    const std::string out = testing::internal::GetCapturedStdout();
    // Only the two traced operations print, once each, and only when answered.
    const size_t split = out.find('\n') + 1;
    EXPECT_TRUE(is_trace(out.substr(0, split), "PIRatio:42")) << out;
    EXPECT_TRUE(is_trace(out.substr(split), "len=4----")) << out;
}

TEST_F(Video, FrameSizeTable) {
    const int want[10][2] = {{352, 288}, {720, 288}, {720, 576}, {352, 240}, {720, 240},
                             {720, 480}, {176, 144}, {640, 480}, {320, 240}, {0, 0}};
    EXPECT_EQ(memcmp(MORIK_SIZE_T, want, sizeof want), 0);
}

TEST_F(Video, QPStoresOnlyTheNumbersGivenAsBytes) {
    struct { const char* reply; unsigned char i, p; } rows[] = {
        {"28", 28, 9}, {"abc", 9, 9}, {"300,-1", 44, 255}, {"7,", 7, 9},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reply);
        unsigned char i = 9, p = 9;
        daemon.script(Reply::text(r.reply));
        EXPECT_EQ(API_Video_GetQP(0, &i, &p), 1);
        EXPECT_EQ(i, r.i);
        EXPECT_EQ(p, r.p);
    }
}

TEST_F(Video, HandWrittenGetsLeaveOutputsAloneOnFailureOrNull) {
    unsigned char a = 9, b = 9;
    {
        SendFailure failing;
        EXPECT_EQ(API_Video_GetQP(0, &a, &b), -1);
        EXPECT_EQ(API_Video_GetDeinterlace(0, &a), -1);
    }
    EXPECT_EQ(a + b, 18);
    EXPECT_EQ(API_Video_GetQP(0, nullptr, &b) + API_Video_GetQP(0, &a, nullptr), -2);
    EXPECT_EQ(API_Video_GetDeinterlace(0, nullptr), -1);
    EXPECT_EQ(API_Video_SetJPGSnapShot(0, nullptr), 0);
    EXPECT_EQ(daemon.request_count(), 0u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Video, SnapshotLengths) {
    struct { int len; int result; } rows[] = {
        {0, 0}, {1, 1}, {kSnapMax, kSnapMax}, {kSnapMax + 1, 0}, {-1, 0}, {INT_MAX, 0}, {INT_MIN, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.len);
        set_snapshot(r.len, 0x5A);
        std::vector<unsigned char> out(kSnapMax, 0);  // exactly the room a caller must have
        testing::internal::CaptureStdout();
        EXPECT_EQ(API_Video_SetJPGSnapShot(1, out.data()), r.result);
        EXPECT_TRUE(is_trace(testing::internal::GetCapturedStdout(), "len=" + std::to_string(r.len) + "----"));
        const size_t copied = std::count(out.begin(), out.end(), 0x5A);
        EXPECT_EQ(copied, static_cast<size_t>(r.result));
    }
}

TEST_F(Video, SnapshotIsReadAfterTheReplyFromTheOneBuffer) {
    // The daemon refreshes the record before it answers; the channel only reaches the daemon.
    int refresh = 0;
    daemon.on_request([&](const Request&) {
        ++refresh;
        set_snapshot(100 * refresh, static_cast<unsigned char>(refresh));
        return Reply::bytes({0xEE});
    });
    for (unsigned char channel : {0, 3}) {
        std::vector<unsigned char> out(kSnapMax, 0);
        testing::internal::CaptureStdout();
        const int len = API_Video_SetJPGSnapShot(channel, out.data());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(daemon.last().mtext[0], channel);
        EXPECT_EQ(daemon.last().command, 17);
        EXPECT_EQ(len, 100 * refresh);
        EXPECT_EQ(std::count(out.begin(), out.end(), refresh), len);
    }
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Video, SnapshotWithANullRecordPointerCopiesNothing) {
    std::vector<unsigned char> out(16, 0);
    BufferEncode = nullptr;  // the loading program has not set it up yet
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_Video_SetJPGSnapShot(2, out.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(daemon.request_count(), 1u);  // the daemon was still asked
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), 16);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace

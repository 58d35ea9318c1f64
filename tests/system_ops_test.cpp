// System control, the multi-camera texts, and the camera name, labels and OSD
// against the stand-in daemon.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

namespace {


char got[2018];
#define ACTION(op, cmd) {#op, [] { return op(); }, cmd, {}, Reply::bytes({9}), 1, 0}

std::vector<OpCase> cases() {
    return {
        ACTION(API_System_Boot, 140), ACTION(API_System_Restore, 141),
        ACTION(API_System_Default, 142), ACTION(API_System_SyncFlash, 143),
        {"Update", [] { return API_System_Update(S("/tmp/a"), 512); }, 144, text("/tmp/a,512"), Reply::bytes({}), 1, 0},
        TEXT_PAIR(API_MULTI_Get_DeviceSetting, API_MULTI_Set_DeviceSetting, 341, 340),
        {"GetBufferEmpty", [] { return API_System_GetBufferEmpty(); }, 351, {}, Reply::bytes({0x80}), -128, -1},
        {"SetBufferEmpty", [] { return API_System_SetBufferEmpty(-1); }, 352, {0xFF}, Reply::bytes({}), 1, 0},
        TEXT_PAIR(API_MULTI_Get_Device, API_MULTI_Set_Device, 379, 378),
        {"GetProcename", [] { return API_System_GetProcename(got); }, 434, {}, Reply::text("camd"), 0, -1,
         [] { EXPECT_STREQ(got, "camd"); }},
        {"SetProcename", [] { return API_System_SetProcename(S("")); }, 435, {}, Reply::bytes({}), 1, -1},
        {"GetInfo", [] { return API_Multi_GetInfo(got); }, 456, {}, Reply::text(std::string(2017, 'i')), 0, -1,
         [] { EXPECT_EQ(strlen(got), 2017u); }},
        {"SetInfo", [] { return API_Multi_SetInfo(S("v")); }, 457, text("v"), Reply::bytes({}), 1, 0},

        TEXT_PAIR(API_VELDA_GetCameraName, API_VELDA_SetCameraName, 180, 181),
        TEXT_PAIR(API_VELDA_GetSnapshotPath, API_VELDA_SetSnapshotPath, 182, 183),
        BYTE_PAIR(API_VELDA_GetSnapshotTimeLabel, API_VELDA_SetSnapshotTimeLabel, 184, 185),
        BYTE_PAIR(API_VELDA_GetSnapshotLabelColor, API_VELDA_SetSnapshotLabelColor, 186, 187),
        BYTE_PAIR(API_VELDA_GetAudioVolume, API_VELDA_SetAudioVolume, 188, 189),
        TEXT_PAIR(API_VELDA_GetRecPath, API_VELDA_SetRecPath, 190, 191),
        BYTE_PAIR(API_VELDA_GetRecDucTime, API_VELDA_SetRecDucTime, 192, 193),
        BYTE_PAIR(API_VELDA_GetRecTimeLabel, API_VELDA_SetRecTimeLabel, 194, 195),
        BYTE_PAIR(API_VELDA_GetRecLabelColor, API_VELDA_SetRecLabelColor, 196, 197),
        BYTE_PAIR(API_VELDA_GetOSDEnable, API_VELDA_SetOSDEnable, 198, 199),
        TEXT_PAIR(API_VELDA_GetOSDText, API_VELDA_SetOSDText, 200, 201),
        BYTE_PAIR(API_VELDA_GetOSDX, API_VELDA_SetOSDX, 202, 203),
        BYTE_PAIR(API_VELDA_GetOSDY, API_VELDA_SetOSDY, 204, 205),
        BYTE_PAIR(API_VELDA_GetOSDColor, API_VELDA_SetOSDColor, 206, 207),
        BYTE_PAIR(API_VELDA_GetOSDFontSize, API_VELDA_SetOSDFontSize, 208, 209),
    };
}

class System : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(System, EveryOperation) { run_op_table(daemon, cases()); }

TEST_F(System, OverLongTextSetsAreRefusedWithTheirOwnFailureValue) {
    const std::string longest(2017, 'x'), too_long(2018, 'x');
    daemon.script(Reply::bytes({}));
    EXPECT_EQ(API_System_SetProcename(S(longest.c_str())), 1);
    EXPECT_EQ(daemon.last().text(), longest);
    const size_t sent = daemon.request_count();
    EXPECT_EQ(API_System_SetProcename(S(too_long.c_str())), -1);
    EXPECT_EQ(API_System_SetProcename(nullptr), -1);
    for (auto set : {API_Multi_SetInfo, API_MULTI_Set_Device, API_MULTI_Set_DeviceSetting, API_VELDA_SetCameraName})
        EXPECT_EQ(set(S(too_long.c_str())), 0);
    EXPECT_EQ(API_System_Update(nullptr, 1), 0);
    EXPECT_EQ(daemon.request_count(), sent);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(System, TextGetsStopAtTheNulAndAtTheDaemonsFieldSize) {
    const struct { int (*get)(char*); size_t field; } gets[] = {
        {API_System_GetProcename, 32}, {API_MULTI_Get_Device, 1024}, {API_MULTI_Get_DeviceSetting, 1024},
        {API_VELDA_GetCameraName, 128}, {API_VELDA_GetOSDText, 128}, {API_SMTP_Get_MailServer, 128},
        {API_Net_FTPGetPath, 128}, {API_Get_Inner_Pwd, 128},
    };
    for (const auto& g : gets) {
        SCOPED_TRACE(g.field);
        memset(got, '#', sizeof got);
        daemon.script(Reply::text(std::string(g.field, 'a')));
        EXPECT_EQ(g.get(got), -1);
        EXPECT_EQ(got[0], '#');
        Reply r = Reply::text(std::string(g.field - 1, 'b'));
        r.mtext.push_back('z');  // after the NUL: not copied
        daemon.script(r);
        EXPECT_EQ(g.get(got), 0);
        EXPECT_EQ(strlen(got), g.field - 1);
        EXPECT_EQ(got[g.field], '#');
    }
}

}  // namespace

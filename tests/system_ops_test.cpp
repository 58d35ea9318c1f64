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

char got[2100];

std::vector<OpCase> cases() {
    return {
        ROW(action, API_System_Boot, 140), ROW(action, API_System_Restore, 141),
        ROW(action, API_System_Default, 142), ROW(action, API_System_SyncFlash, 143),
        {"Update", [] { return API_System_Update(S("/tmp/a"), 512); }, 144, text("/tmp/a,512"), Reply::bytes({}), 1, 0},
        ROW(copy_set, API_MULTI_Set_DeviceSetting, 340), ROW(text_get, API_MULTI_Get_DeviceSetting, 341, 1024, got),
        ROW(signed_byte_get, API_System_GetBufferEmpty, 351), ROW(byte_set, API_System_SetBufferEmpty, 352),
        ROW(copy_set, API_MULTI_Set_Device, 378), ROW(text_get, API_MULTI_Get_Device, 379, 1024, got),
        ROW(text_get, API_System_GetProcename, 434, 32, got), ROW(copy_set, API_System_SetProcename, 435, 1, -1),
        ROW(text_get, API_Multi_GetInfo, 456, 2018, got), ROW(copy_set, API_Multi_SetInfo, 457),

        ROW(text_get, API_VELDA_GetCameraName, 180, 128, got), ROW(copy_set, API_VELDA_SetCameraName, 181),
        ROW(text_get, API_VELDA_GetSnapshotPath, 182, 128, got), ROW(copy_set, API_VELDA_SetSnapshotPath, 183),
        ROW(byte_get, API_VELDA_GetSnapshotTimeLabel, 184), ROW(byte_set, API_VELDA_SetSnapshotTimeLabel, 185),
        ROW(byte_get, API_VELDA_GetSnapshotLabelColor, 186), ROW(byte_set, API_VELDA_SetSnapshotLabelColor, 187),
        ROW(byte_get, API_VELDA_GetAudioVolume, 188), ROW(byte_set, API_VELDA_SetAudioVolume, 189),
        ROW(text_get, API_VELDA_GetRecPath, 190, 128, got), ROW(copy_set, API_VELDA_SetRecPath, 191),
        ROW(byte_get, API_VELDA_GetRecDucTime, 192), ROW(byte_set, API_VELDA_SetRecDucTime, 193),
        ROW(byte_get, API_VELDA_GetRecTimeLabel, 194), ROW(byte_set, API_VELDA_SetRecTimeLabel, 195),
        ROW(byte_get, API_VELDA_GetRecLabelColor, 196), ROW(byte_set, API_VELDA_SetRecLabelColor, 197),
        ROW(byte_get, API_VELDA_GetOSDEnable, 198), ROW(byte_set, API_VELDA_SetOSDEnable, 199),
        ROW(text_get, API_VELDA_GetOSDText, 200, 128, got), ROW(copy_set, API_VELDA_SetOSDText, 201),
        ROW(byte_get, API_VELDA_GetOSDX, 202), ROW(byte_set, API_VELDA_SetOSDX, 203),
        ROW(byte_get, API_VELDA_GetOSDY, 204), ROW(byte_set, API_VELDA_SetOSDY, 205),
        ROW(byte_get, API_VELDA_GetOSDColor, 206), ROW(byte_set, API_VELDA_SetOSDColor, 207),
        ROW(byte_get, API_VELDA_GetOSDFontSize, 208), ROW(byte_set, API_VELDA_SetOSDFontSize, 209),
    };
}

class System : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(System, EveryOperation) { run_op_table(daemon, cases()); }

TEST_F(System, OverLongProcessNameIsRefusedWithItsOwnFailureValue) {
    const std::string longest(2017, 'x'), too_long(2018, 'x');
    daemon.script(Reply::bytes({}));
    EXPECT_EQ(API_System_SetProcename(S(longest.c_str())), 1);
    EXPECT_EQ(daemon.last().text(), longest);
    const size_t sent = daemon.request_count();
    EXPECT_EQ(API_System_SetProcename(S(too_long.c_str())), -1);
    EXPECT_EQ(API_System_SetProcename(nullptr), -1);
    EXPECT_EQ(API_System_Update(nullptr, 1), 0);
    EXPECT_EQ(daemon.request_count(), sent);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace

// Motion detection, alarm actions, I/O lines, pan/tilt and preset positions
// against the stand-in daemon.
#include <string.h>

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

namespace {

unsigned char mask_in[48], mask_out[48];
int lx, ly, rx, ry;
POSITION_T pos;

std::vector<unsigned char> mask_bytes() { return std::vector<unsigned char>(mask_in, mask_in + 48); }
Reply mask_reply() {
    Reply r;
    for (int i = 0; i < 48; ++i) r.mtext.push_back(static_cast<unsigned char>(0x30 + i));
    return r;
}

std::vector<OpCase> event_cases() {
    for (int i = 0; i < 48; ++i) mask_in[i] = static_cast<unsigned char>(0xA0 + i);
    return {
        // Motion detection and alarm actions
        {"Motion_SetMode", [] { return API_Motion_SetMode(2, -1); }, 160, chan_text(2, "-1"), Reply::bytes({}), 1, 0},
        {"Motion_GetMode", [] { return API_Motion_GetMode(1); }, 161, {1}, Reply::text("12"), 12, -1},
        {"Motion_GetMode, no number", [] { return API_Motion_GetMode(1); }, 161, {1}, Reply::text("x"), -1, -1},
        ROW(byte_set, API_Motion_SetSensitivity, 162), ROW(byte_get, API_Motion_GetSensitivity, 163),
        {"Motion_SetMask", [] { return API_Motion_SetMask(1, mask_in); }, 164, concat({1}, mask_bytes()), Reply::bytes({}), 1, 0},
        {"Motion_GetMask", [] { return API_Motion_GetMask(2, mask_out); }, 165, {2}, mask_reply(), 0, -1,
         [] { EXPECT_EQ(memcmp(mask_out, mask_reply().mtext.data(), 48), 0); }},
        ROW(byte_get, API_ALARM_GetMotionAction, 170), ROW(byte_set, API_ALARM_SetMotionAction, 171),
        {"EVENT_GetMotionRegion", [] { return API_EVENT_GetMotionRegion(0x101, 3, &lx, &ly, &rx, &ry); }, 178, {1, 3},
         Reply::text("16,8,320,240"), 0, -1,
         [] { EXPECT_EQ(std::make_tuple(lx, ly, rx, ry), std::make_tuple(16, 8, 320, 240)); }},
        {"EVENT_SetMotionRegion", [] { return API_EVENT_SetMotionRegion(1, 3, 16, 8, 320, 240); }, 179,
         text("1,3,16,8,320,240"), Reply::bytes({}), 1, 0},
        ROW(int_get, API_ALARM_Getlanalarm, 432), ROW(int_set, API_ALARM_Setlanalarm, 433),
        // Motion output and input settings: bytes read unsigned
        ROW(byte_get, API_Motion_GetGPIOOUTSTATUS, 353), ROW(byte_set, API_Motion_SetGPIOOUTSTATUS, 354),
        {"Motion_GetGPIOINSTATUS 0xFF", [] { return API_Motion_GetGPIOINSTATUS(0); }, 355, {0}, Reply::bytes({0xFF}), 255, -1},
        ROW(byte_set, API_Motion_SetGPIOINSTATUS, 356),
        ROW(byte_set, API_Motion_SetGPIOA30VALUE, 359), ROW(byte_get, API_Motion_GetGPIOA30VALUE, 360),
        ROW(byte_set, API_Motion_SetGPIOA29VALUE, 361), ROW(byte_get, API_Motion_GetGPIOA29VALUE, 362),
        ROW(byte_set, API_Motion_SetoutLeveltime, 363), ROW(byte_get, API_Motion_GetoutLeveltime, 364),
        ROW(byte_set, API_Motion_SetMotionGpioinAction, 365), ROW(byte_get, API_Motion_GetMotionGpioinAction, 367),
        // I/O lines and their alarm behaviour: bytes read signed
        ROW(signed_byte_get, API_GPIO_Get_Direction, 240),
        {"GPIO_Set_Direction 0x10A", [] { return API_GPIO_Set_Direction(0x10A, 1); }, 241, {0x0A, 1}, Reply::bytes({}), 1, 0},
        ROW(signed_byte_get, API_GPIO_Get_Rising, 242), ROW(byte_set, API_GPIO_Set_Rising, 243),
        ROW(signed_byte_get, API_GPIO_Get_Falling, 244), ROW(byte_set, API_GPIO_Set_Falling, 245),
        ROW(signed_byte_get, API_GPIO_Get_Value, 246),
        {"GPIO_Get_Value 0x01", [] { return API_GPIO_Get_Value(1); }, 246, {1}, Reply::bytes({0x01}), 1, -1},
        ROW(byte_set, API_GPIO_Set_Value, 247),
        ROW(signed_byte_get, API_GPIOB_Get_Value, 248), ROW(byte_set, API_GPIOB_Set_Value, 249),
        ROW(signed_byte_get, API_MOD_GetGPIOValueOut, 172),
        ROW(signed_byte_get, API_MOD_GetGPIOAlarmAction, 174), ROW(byte_set, API_MOD_SetGPIOAlarmAction, 175),
        ROW(signed_byte_get, API_MOD_GetGPIOAlarmLevel, 176), ROW(byte_set, API_MOD_SetGPIOAlarmLevel, 177),
        // Pan/tilt: sets as bounded text (the body cleared), gets as decimals
        ROW(decimal_get, API_PTZ_GetProtocal, 225), ROW(decimal_set, API_PTZ_SetProtocal, 226),
        ROW(decimal_get, API_PTZ_GetBaudrate, 227), ROW(decimal_set, API_PTZ_SetBaudrate, 228),
        ROW(decimal_get, API_PTZ_GetAddress, 229), ROW(decimal_set, API_PTZ_SetAddress, 230),
        ROW(decimal_get, API_PTZ_GetSpeed, 231), ROW(decimal_set, API_PTZ_SetSpeed, 232),
        ROW(decimal_get, API_PTZ_GetPandirection, 233), ROW(decimal_set, API_PTZ_SetPandirection, 234),
        ROW(decimal_set, API_PTZ_SetStatus, 390), ROW(decimal_get, API_PTZ_GetStatus, 391),
        {"PTZ_GetStatus, no number", [] { return API_PTZ_GetStatus(); }, 391, {}, Reply::text(""), -1, -1},
        {"SET_POSITION", [] { return API_SET_POSITION(POSITION_T{2, 100, -5}); }, 395,
         {2, 0, 0, 0, 100, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF}, Reply::bytes({}), 0, -1},
        {"GET_POSITION", [] { pos = {7, 8, 9}; return API_GET_POSITION(&pos); }, 394,
         concat(concat(int32(7), int32(8)), int32(9)), Reply::bytes({1, 0, 0, 0, 2, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF}), 0, -1,
         [] { EXPECT_EQ(std::make_tuple(pos.count, pos.A, pos.B), std::make_tuple(1, 2, -3)); }},
    };
}

class Events : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(Events, EveryOrdinaryOperation) { run_op_table(daemon, event_cases()); }

TEST_F(Events, MotionRegionShortAnswerKeepsWhatWasRead) {
    int v[4] = {-1, -2, -3, -4};
    daemon.script(Reply::text("16,8"));
    EXPECT_EQ(API_EVENT_GetMotionRegion(0, 1, &v[0], &v[1], &v[2], &v[3]), -1);
    EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{16, 8, -3, -4}));
    daemon.script(Reply::text("abc"));
    EXPECT_EQ(API_EVENT_GetMotionRegion(0, 1, &v[0], &v[1], &v[2], &v[3]), -1);
    EXPECT_EQ(v[0], 16);
    daemon.script(Reply::oversized());  // receive fails: nothing is written
    EXPECT_EQ(API_EVENT_GetMotionRegion(0, 1, &v[0], &v[1], &v[2], &v[3]), -1);
    EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{16, 8, -3, -4}));
    EXPECT_EQ(daemon.lock_value(), 1);

    const size_t sent = daemon.request_count();
    EXPECT_EQ(API_EVENT_GetMotionRegion(0, 1, &v[0], nullptr, &v[2], &v[3]), -1);
    EXPECT_EQ(daemon.request_count(), sent);
}

TEST_F(Events, SetGPIOValueOutRunsTwoTransactionsAndReportsTheSecond) {
    // Either exchange fails on its own: the daemon's answer is too large to receive.
    for (int failing : {0, 247, 173}) {
        SCOPED_TRACE(failing);
        daemon.on_request([failing](const Request& r) {
            return r.command == failing ? Reply::oversized() : Reply::bytes({});
        });
        const size_t before = daemon.request_count();
        EXPECT_EQ(API_MOD_SetGPIOValueOut(0x103, 1), failing == 173 ? 0 : 1);
        const std::vector<Request> all = daemon.requests();
        ASSERT_EQ(all.size(), before + 2);
        EXPECT_EQ(all[before].command, 247);
        EXPECT_EQ(all[before + 1].command, 173);
        for (size_t i = before; i < all.size(); ++i) {
            EXPECT_EQ(all[i].mtext[0], 3);
            EXPECT_EQ(all[i].mtext[1], 1);
            EXPECT_EQ(all[i].mtext[2], 0);
        }
        EXPECT_EQ(daemon.lock_value(), 1);
    }
}

TEST_F(Events, PositionRoundTrip) {
    // The daemon keeps the last record set; a get of count 99 cannot be received.
    std::vector<unsigned char> kept;
    daemon.on_request([&kept](const Request& r) {
        Reply out;
        if (r.command == 395) kept.assign(r.mtext.begin(), r.mtext.begin() + 12);
        out.mtext = kept;
        return r.mtext[0] == 99 ? Reply::oversized() : out;
    });
    EXPECT_EQ(API_SET_POSITION(POSITION_T{4, -1, 0x7FFFFFFF}), 0);
    POSITION_T q = {4, 0, 0};
    EXPECT_EQ(API_GET_POSITION(&q), 0);
    EXPECT_EQ(std::make_tuple(q.count, q.A, q.B), std::make_tuple(4, -1, 0x7FFFFFFF));
    q = {99, 1, 2};
    EXPECT_EQ(API_GET_POSITION(&q), -1);
    EXPECT_EQ(std::make_tuple(q.count, q.A, q.B), std::make_tuple(99, 1, 2));
    EXPECT_EQ(API_GET_POSITION(nullptr), -1);
    EXPECT_EQ(daemon.request_count(), 3u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace

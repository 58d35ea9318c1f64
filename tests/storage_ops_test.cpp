// Recording settings, the chunked record-list transfer and the SD card values
// against the stand-in daemon.
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

namespace {

int row_in[24], row_out[24], list_count, list_out[2];

std::vector<unsigned char> row_bytes() {
    for (int i = 0; i < 24; ++i) row_in[i] = i == 0 ? 1 : -i;
    const auto* p = reinterpret_cast<const unsigned char*>(row_in);
    return std::vector<unsigned char>(p, p + 96);
}
Reply row_reply() {
    Reply r;
    for (int i = 0; i < 96; ++i) r.mtext.push_back(static_cast<unsigned char>(i + 1));
    return r;
}
std::function<void()> row_check() {
    return [] { EXPECT_EQ(memcmp(row_out, row_reply().mtext.data(), 96), 0); };
}

std::vector<OpCase> storage_cases() {
    return {
        // Recording settings
        ROW(byte_set, API_MOD_SetRecord, 250), ROW(byte_set, API_MOD_SetRecordType, 251),
        ROW(signed_byte_get, API_MOD_GetRecordType, 252),
        {"MOD_SetRecordSchedule", [] { return API_MOD_SetRecordSchedule(2, row_in); }, 253, concat({2}, row_bytes()), Reply::bytes({}), 1, 0},
        {"MOD_GetRecordSchedule", [] { return API_MOD_GetRecordSchedule(1, row_out); }, 254, {1}, row_reply(), 0, -1, row_check()},
        {"MOD_SetRecordDuration", [] { return API_MOD_SetRecordDuration(3, row_in); }, 255, concat({3}, row_bytes()), Reply::bytes({}), 1, 0},
        {"MOD_GetRecordDuration", [] { return API_MOD_GetRecordDuration(0, row_out); }, 256, {0}, row_reply(), 0, -1, row_check()},
        ROW(byte_set, API_MOD_SetRecordGPIOTrig, 261), ROW(byte_set, API_MOD_SetRecordMotionTrig, 262),
        ROW(signed_byte_get, API_MOD_GetRecordChannel, 263), ROW(byte_set, API_MOD_SetRecordChannel, 264),
        ROW(signed_byte_get, API_MOD_GetRecordPreOSD, 265), ROW(byte_set, API_MOD_SetRecordPreOSD, 266),
        ROW(byte_set, API_MOD_SetRecordLanTrig, 440),
        // Record lists of no records: the header exchange alone
        {"MOD_SetRecordList, 0 records", [] { return API_MOD_SetRecordList(1, 0, nullptr); }, 259,
         concat(int32(1), int32(0)), Reply::bytes({}), 1, 0},
        {"MOD_GetRecordList, 0 records", [] { list_count = 5; return API_MOD_GetRecordList(0x101, &list_count, list_out); },
         260, {1}, Reply::int32(0), 1, -1, [] { EXPECT_EQ(list_count, 0); }},
        // SD card status
        ROW(int_get, API_MOD_GetSdSize, 400), ROW(int_set, API_MOD_SetSdSize, 401, 1, -1),
        ROW(int_get, API_MOD_GetSdUseSize, 402), ROW(int_set, API_MOD_SetSdUseSize, 403),
        ROW(signed_byte_get, API_MOD_GetSdType, 404), ROW(byte_set, API_MOD_SetSdType, 405),
        ROW(int_get, API_MOD_GetSdEventCount, 406), ROW(int_set, API_MOD_SetSdEventCount, 407),
        ROW(int_get, API_MOD_GetSdWriteCount, 408), ROW(int_set, API_MOD_SetSdWriteCount, 409),
        ROW(int_get, API_MOD_GetPreEventTime, 410), ROW(int_set, API_MOD_SetPreEventTime, 411),
        ROW(int_get, API_MOD_GetLastEventTime, 412), ROW(int_set, API_MOD_SetLastEventTime, 413),
        ROW(int_get, API_MOD_GetSdRdWriteStatus, 414), ROW(int_get, API_MOD_GetSdwriteCount, 414),
        ROW(int_set, API_MOD_SetSdRdWriteStatus, 415), ROW(int_set, API_MOD_SetSdwriteCount, 415),
        ROW(signed_byte_get, API_MOD_GetSdLock, 416),
        {"MOD_SetSdLock", [] { return API_MOD_SetSdLock(1); }, 417, {1, 0, 0, 0}, Reply::bytes({}), 0, -1},
        ROW(signed_byte_get, API_MOD_GetSdTable, 418),
        ROW(int_get, API_MOD_GetSdcontrol, 422), ROW(int_set, API_MOD_SetSdcontrol, 423),
        ROW(int_get, API_MOD_GetSdprestop, 424), ROW(int_set, API_MOD_SetSdprestop, 425),
    };
}

// ---- record lists ----

// Record i of a test list: two ints that no other record shares.
std::vector<int> make_list(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.insert(v.end(), {0x1000 + i, -(i + 1)});
    return v;
}

std::vector<unsigned char> as_bytes(const int* p, int records) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::vector<unsigned char>(b, b + 8 * records);
}

// A daemon that holds `records` for every channel: it answers the get header
// with `count` and a chunk request with up to 100 records from its index. Its
// answer to request number `fail_at` is too large to be received.
std::function<Reply(const Request&)> list_daemon(int count, const std::vector<int>& records,
                                                 int fail_at = -1) {
    auto seen = std::make_shared<int>(0);
    return [=](const Request& r) {
        if ((*seen)++ == fail_at) return Reply::oversized();
        if (r.command == 260) return Reply::int32(count);
        Reply out;
        int index;
        memcpy(&index, &r.mtext[4], 4);
        const int n = std::min(100, static_cast<int>(records.size() / 2) - index);
        if (r.command == 258 && n > 0) out.mtext = as_bytes(&records[2 * index], n);
        return out;
    };
}

// Checks one request of a transfer: command, channel and first index as 32-bit
// ints, then `chunk` (whatever follows must be zero).
void expect_chunk(const Request& r, int command, int channel, int index,
                  const std::vector<unsigned char>& chunk = {}) {
    EXPECT_EQ(r.command, command);
    EXPECT_EQ(r.mtype, MSG_TYPE_REQUEST);
    EXPECT_EQ(r.size, MSG_SIZE);
    const std::vector<unsigned char> want = concat(concat(int32(channel), int32(index)), chunk);
    EXPECT_EQ(std::vector<unsigned char>(r.mtext.begin(), r.mtext.begin() + want.size()), want);
    for (size_t i = want.size(); i < r.mtext.size(); ++i) {
        if (r.mtext[i] != 0) {
            ADD_FAILURE() << "stray byte at mtext[" << i << "]";
            break;
        }
    }
}

class Storage : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(Storage, EveryOrdinaryOperation) { run_op_table(daemon, storage_cases()); }

TEST_F(Storage, SetRecordListSendsTheHeaderThenChunksOfTwelve) {
    // Channel 0x102 shows that the channel travels as 32 bits, not as a byte.
    for (auto [channel, n] : {std::pair{1, 13}, {0x102, 0}, {0x102, 1}, {0x102, 12}, {0x102, 25}, {0x102, 4096}}) {
        SCOPED_TRACE(n);
        const std::vector<int> list = make_list(n);
        const size_t before = daemon.request_count();
        EXPECT_EQ(API_MOD_SetRecordList(channel, n, const_cast<int*>(list.data())), 1);
        const std::vector<Request> all = daemon.requests();
        ASSERT_EQ(all.size() - before, 1 + static_cast<size_t>((n + 11) / 12));
        expect_chunk(all[before], 259, channel, n);
        for (int first = 0, k = 1; first < n; first += 12, ++k)
            expect_chunk(all[before + k], 257, channel, first, as_bytes(&list[2 * first], std::min(12, n - first)));
        EXPECT_EQ(daemon.lock_value(), 1);
    }
}

TEST_F(Storage, GetRecordListFetchesTheAnnouncedCount) {
    for (int n : {0, 1, 12, 13, 25, 4096}) {
        SCOPED_TRACE(n);
        const std::vector<int> records = make_list(4200);
        daemon.on_request(list_daemon(n, records));
        std::vector<int> out(2 * 4200, 0x5A5A5A5A);
        int count = -7;
        const size_t before = daemon.request_count();
        EXPECT_EQ(API_MOD_GetRecordList(0x102, &count, out.data()), 1);
        EXPECT_EQ(count, n);
        const std::vector<Request> all = daemon.requests();
        ASSERT_EQ(all.size() - before, 1 + static_cast<size_t>((n + 11) / 12));
        EXPECT_EQ(all[before].command, 260);
        EXPECT_EQ(all[before].text(), "\x02");  // the header carries one channel byte
        for (int first = 0, k = 1; first < n; first += 12, ++k)
            expect_chunk(all[before + k], 258, 0x102, first);
        // Exactly the announced records were taken, nothing past them.
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 2 * n, records.begin()));
        EXPECT_TRUE(std::all_of(out.begin() + 2 * n, out.end(), [](int v) { return v == 0x5A5A5A5A; }));
        EXPECT_EQ(daemon.lock_value(), 1);
    }
}

TEST_F(Storage, ReceiveFailuresOnTheHeaderAndOnTheSecondChunk) {
    const std::vector<int> list = make_list(30);
    int* data = const_cast<int*>(list.data());
    daemon.on_request(list_daemon(30, list, 0));
    EXPECT_EQ(API_MOD_SetRecordList(1, 30, data), 0);
    EXPECT_EQ(daemon.request_count(), 1u);
    daemon.on_request(list_daemon(30, list, 2));
    EXPECT_EQ(API_MOD_SetRecordList(1, 30, data), -1);
    EXPECT_EQ(daemon.request_count(), 1u + 3u);  // header, chunk 0, chunk 12: no more
    EXPECT_EQ(daemon.lock_value(), 1);

    std::vector<int> out(60, 0x5A5A5A5A);
    int count = -7;
    daemon.on_request(list_daemon(30, list, 0));
    EXPECT_EQ(API_MOD_GetRecordList(1, &count, out.data()), -1);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(out[0], 0x5A5A5A5A);
    daemon.on_request(list_daemon(30, list, 2));
    EXPECT_EQ(API_MOD_GetRecordList(1, &count, out.data()), -1);
    EXPECT_EQ(daemon.request_count(), 4u + 1u + 3u);
    EXPECT_EQ(count, 30);  // the full count, though only the first chunk arrived
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 24, list.begin()));
    EXPECT_EQ(out[24], 0x5A5A5A5A);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Storage, CountsOutsideTheListBoundsAreRefused) {
    std::vector<int> list = make_list(4097);
    for (int n : {-1, 4097, -2147483647 - 1}) EXPECT_EQ(API_MOD_SetRecordList(0, n, list.data()), -1);
    EXPECT_EQ(API_MOD_SetRecordList(0, 1, nullptr), -1);
    EXPECT_EQ(daemon.request_count(), 0u);

    for (int announced : {-1, 4097, 0x7FFFFFFF}) {
        SCOPED_TRACE(announced);
        daemon.on_request(list_daemon(announced, list));
        std::vector<int> out(8, 0x5A5A5A5A);
        int count = -7;
        const size_t before = daemon.request_count();
        EXPECT_EQ(API_MOD_GetRecordList(0, &count, out.data()), -1);
        EXPECT_EQ(daemon.request_count(), before + 1);  // the header, no chunk
        EXPECT_EQ(count, -7);
        EXPECT_EQ(out[0], 0x5A5A5A5A);
        EXPECT_EQ(daemon.lock_value(), 1);
    }
    int count = 0;
    const size_t before = daemon.request_count();
    EXPECT_EQ(API_MOD_GetRecordList(0, nullptr, list.data()), -1);
    EXPECT_EQ(API_MOD_GetRecordList(0, &count, nullptr), -1);
    EXPECT_EQ(daemon.request_count(), before);
}

// Another process calls while a transfer runs: its request waits at the lock
// and lands after the transfer's last chunk, never between two chunks.
void expect_transfer_not_interleaved(FakeDaemon& daemon, const std::function<int()>& transfer,
                                     int header, int chunk) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const std::vector<int> list = make_list(40);
    auto serve = list_daemon(40, list);
    const int signal_fd = go[1];
    daemon.on_request([=](const Request& r) {
        if (r.command == header) {
            char c = 'g';
            EXPECT_EQ(write(signal_fd, &c, 1), 1);
        }
        Reply out = serve(r);
        out.delay_ms = 40;  // a slow daemon: the other caller has time to try
        return out;
    });
    const pid_t child = fork();
    if (child == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        _exit(API_MOD_SetRecordChannel(3) == 1 ? 0 : 1);
    }
    EXPECT_EQ(transfer(), 1);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(go[0]);
    close(go[1]);
    std::vector<int> order;
    for (const Request& r : daemon.requests()) order.push_back(r.command);
    EXPECT_EQ(order, (std::vector<int>{header, chunk, chunk, chunk, chunk, 264}));
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Storage, SetRecordListHoldsTheLockForTheWholeTransfer) {
    static std::vector<int> list = make_list(40);
    expect_transfer_not_interleaved(daemon, [] { return API_MOD_SetRecordList(0, 40, list.data()); }, 259, 257);
}

TEST_F(Storage, GetRecordListHoldsTheLockForTheWholeTransfer) {
    static std::vector<int> out(80);
    static int count;
    expect_transfer_not_interleaved(daemon, [] { return API_MOD_GetRecordList(0, &count, out.data()); }, 260, 258);
}

}  // namespace

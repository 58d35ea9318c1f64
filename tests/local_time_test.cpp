// Date and time on the interposed clock (the hardware-clock command and the
// console are the test's stand-ins), the zone converter over a changed table,
// and the log file.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "local_support.h"

namespace {

const time_t kBase = 1715329815;  // 2024-05-10 08:30:15 UTC

class Clock : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        local_now = kBase, local_settime_errno = 0, local_fail_localtime = 0, local_year = 0;
        unlink((std::string(local_dir) + "/hwclock.log").c_str());
    }
    void TearDown() override { local_settime_errno = 0, local_fail_localtime = 0, local_year = 0; }
    static std::string hwclock() { return read_file(std::string(local_dir) + "/hwclock.log"); }
    static std::string date() { char b[16] = "#"; return API_SNTP_Get_Date(b); }
    static std::string time_of_day() {
        char b[16] = "#";
        EXPECT_EQ(API_SNTP_Get_Time(b), b);
        EXPECT_EQ(read_file(std::string(local_dir) + "/console"), std::to_string(local_now) + "\n");
        return b;
    }
};

TEST_F(Clock, SetsKeepTheOtherHalfAndWriteTheHardwareClockOnce) {
    struct Case { int (*set)(char*); const char* text; int result; const char* date = nullptr; const char* time = nullptr; };
    const Case cases[] = {
        {API_SNTP_Set_Date, "2024-02-30", 0, "2024-03-01", nullptr}, {API_SNTP_Set_Date, "2031-12-31", 0, "2031-12-31", nullptr},
        {API_SNTP_Set_Date, "1970-01-01", 0, "1970-01-01", nullptr}, {API_SNTP_Set_Date, "2024-3-7", 0, "2024-03-07", nullptr},
        {API_SNTP_Set_Date, "2025-06-01 x", 0, "2025-06-01", nullptr}, {API_SNTP_Set_Date, "2032-01-01", -1},
        {API_SNTP_Set_Date, "1969-12-31", -1}, {API_SNTP_Set_Date, "2024/03/07", -1},
        {API_SNTP_Set_Date, "2024-13-01", -1}, {API_SNTP_Set_Date, "2024-00-10", -1},
        {API_SNTP_Set_Date, "2024-01-32", -1}, {API_SNTP_Set_Date, "2024-01-00", -1}, {API_SNTP_Set_Date, nullptr, -1},
        {API_SNTP_Set_Time, "23:59:59", 0, nullptr, "23:59:59"}, {API_SNTP_Set_Time, "7:5:3", 0, nullptr, "07:05:03"},
        {API_SNTP_Set_Time, "0:0:0", 0, nullptr, "00:00:00"}, {API_SNTP_Set_Time, "24:00:00", -1},
        {API_SNTP_Set_Time, "12:60:00", -1}, {API_SNTP_Set_Time, "12:00:60", -1},
        {API_SNTP_Set_Time, "-1:00:00", -1}, {API_SNTP_Set_Time, "12:30", -1}, {API_SNTP_Set_Time, nullptr, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        local_now = kBase;
        unlink((std::string(local_dir) + "/hwclock.log").c_str());
        EXPECT_EQ(c.set((char*)c.text), c.result);
        EXPECT_EQ(hwclock(), c.result == 0 ? "-w " + std::to_string(local_now) + "\n" : "");
        EXPECT_EQ(date(), c.date ? c.date : "2024-05-10");
        EXPECT_EQ(time_of_day(), c.time ? c.time : "08:30:15");
    }
}

TEST_F(Clock, RefusedClockAndUnconvertibleTimeChangeNothing) {
    local_settime_errno = EPERM;
    EXPECT_EQ(API_SNTP_Set_Date((char*)"2025-06-01"), -1);
    EXPECT_EQ(API_SNTP_Set_Time((char*)"01:02:03"), -1);
    local_settime_errno = 0, local_fail_localtime = 1;
    EXPECT_EQ(API_SNTP_Set_Date((char*)"2025-06-01"), -1);
    EXPECT_EQ(API_SNTP_Set_Time((char*)"01:02:03"), -1);
    EXPECT_EQ(date(), "");
    EXPECT_EQ(time_of_day(), "");  // still echoed to the console
    EXPECT_EQ(local_now, kBase);
    EXPECT_EQ(hwclock(), "");
    EXPECT_EQ(API_SNTP_Get_Date(nullptr), nullptr);
}

TEST_F(Clock, DateTextsStayWithinTheirElevenBytes) {
    // A 64-bit clock reaches years of five digits: such a clock counts as one
    // that cannot be converted.
    const std::pair<long long, const char*> years[] = {
        {9999, "9999-05-10"}, {-999, "-999-05-10"}, {10000, ""}, {-1000, ""}, {2147483647LL + 1900, ""}};
    for (const auto& [year, text] : years) {
        SCOPED_TRACE(year);
        local_year = year;
        char buf[16];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(API_SNTP_Get_Date(buf), buf);
        EXPECT_STREQ(buf, text);
        EXPECT_EQ(buf[11], '#');
        EXPECT_EQ(time_of_day(), "08:30:15");
    }
}

TEST_F(Clock, NewDateAcrossDaylightSavingKeepsTheOldFlag) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    local_now = 1719828000;  // 2024-07-01 12:00:00 CEST
    EXPECT_EQ(API_SNTP_Set_Date((char*)"2024-01-15"), 0);
    EXPECT_EQ(date(), "2024-01-15");
    EXPECT_EQ(time_of_day(), "11:00:00");
}

// ---- time zones ----

int zone_of(const std::string& text) {
    char copy[128];
    snprintf(copy, sizeof copy, "%s", text.c_str());
    const int zone = sntp_timezone(0, copy, 1);
    EXPECT_EQ(copy, text) << "the text was changed";
    return zone;
}
std::string text_of(int zone) {
    char buf[16] = "#";
    EXPECT_EQ(sntp_timezone(zone, buf, 0), 0);
    return buf;
}

TEST(TimeZones, SearchReadsTheTableAsItStands) {
    const char* saved[2] = {zoneList[0], zoneList[4]};
    zoneList[0] = "A-1B-2 (test)";  // only the first sign of a text is flipped
    zoneList[4] = "XYZ-3 (Nowhere)";
    EXPECT_EQ(zone_of("A-1B+2"), 1);
    EXPECT_EQ(zone_of("XYZ+3"), 5);
    EXPECT_EQ(zone_of("PST+8"), 0);
    EXPECT_EQ(text_of(5), "PST+8");  // a zone's own text does not change
    zoneList[0] = nullptr;
    EXPECT_EQ(zone_of(""), 2);
    zoneList[0] = saved[0], zoneList[4] = saved[1];
    EXPECT_EQ(zone_of("PST+8"), 5);
}

// ---- log file ----

class LogFile : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        local_now = kBase;
        dir = std::string(local_dir) + "/log";
        ASSERT_TRUE(sh("rm -rf " + dir + " && mkdir " + dir));
        path = dir + "/app.log";
    }
    static std::string entry(const std::string& text) { return text + ",\t" + ctime(&local_now); }
    int write(const std::string& text) { return WriteLogFile((char*)path.c_str(), (char*)text.c_str()); }
    std::string dir, path;
};

TEST_F(LogFile, EntriesTheLimitAndTheFailures) {
    const mode_t mask = umask(022);
    EXPECT_EQ(write("started"), 0);
    EXPECT_EQ(read_file(path), entry("started"));
    EXPECT_EQ(read_file(path), "started,\tFri May 10 08:30:15 2024\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    umask(mask);
    for (size_t size : {102400, 102401}) {
        ASSERT_TRUE(sh("head -c " + std::to_string(size) + " /dev/zero | tr '\\0' a > " + path));
        EXPECT_EQ(write("next"), 0);
        EXPECT_EQ(read_file(path), (size == 102400 ? std::string(102400, 'a') : "") + entry("next"));
    }
    const std::string text(200000, 'L');  // a long text arrives whole
    EXPECT_EQ(write(text), 0);
    EXPECT_EQ(read_file(path), entry("next") + entry(text));

    Capture out(1);
    EXPECT_EQ(WriteLogFile((char*)(dir + "/missing/app.log").c_str(), (char*)"x"), -1);
    EXPECT_EQ(WriteLogFile((char*)"/dev/full", (char*)"x"), -1);
    ASSERT_TRUE(sh("head -c 102401 /dev/zero > " + path));
    ASSERT_EQ(mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(write("x"), -1);
    umount(dir.c_str());
    EXPECT_EQ(out.text(), "Error at open log file\nError at write log file\ndel file failed\n");
    EXPECT_EQ(read_file(path), std::string(102401, '\0'));
    EXPECT_EQ(WriteLogFile(nullptr, (char*)"x"), -1);
}

TEST_F(LogFile, ConcurrentWritersNeverInterleave) {
    const int kWriters = 4, kEntries = 20;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string text(1200, static_cast<char>('a' + w));
            for (int i = 0; i < kEntries; ++i)
                if (write(text) != 0) _exit(1);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    const std::string log = read_file(path);
    int counts[kWriters] = {};
    for (size_t at = 0; at < log.size();) {
        const size_t end = log.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = log.substr(at, end + 1 - at);
        const int w = line[0] - 'a';
        ASSERT_TRUE(w >= 0 && w < kWriters);
        EXPECT_EQ(line, entry(std::string(1200, line[0])));
        ++counts[w], at = end + 1;
    }
    for (int c : counts) EXPECT_EQ(c, kEntries);
}

}  // namespace

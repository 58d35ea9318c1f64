#include "op_table.h"

#include <string.h>

#include <gtest/gtest.h>

std::vector<unsigned char> bytes(std::initializer_list<unsigned char> b) { return b; }

std::vector<unsigned char> text(const std::string& s) {
    std::vector<unsigned char> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

std::vector<unsigned char> chan_text(unsigned char channel, const std::string& s) {
    return concat({channel}, text(s));
}

std::vector<unsigned char> int32(int v) {
    std::vector<unsigned char> b(4);
    memcpy(b.data(), &v, 4);
    return b;
}

std::vector<unsigned char> concat(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void run_op_table(FakeDaemon& daemon, const std::vector<OpCase>& table) {
    for (const OpCase& c : table) {
        SCOPED_TRACE(c.name);
        daemon.script(c.reply);
        const size_t before = daemon.request_count();
        EXPECT_EQ(c.call(), c.result);
        ASSERT_EQ(daemon.request_count(), before + 1);
        const Request r = daemon.last();
        EXPECT_EQ(r.mtype, MSG_TYPE_REQUEST);
        EXPECT_EQ(r.command, c.command);
        EXPECT_EQ(r.size, MSG_SIZE);
        const std::vector<unsigned char> sent(r.mtext.begin(), r.mtext.begin() + c.request.size());
        EXPECT_EQ(sent, c.request);
        size_t stray = c.request.size();
        while (stray < r.mtext.size() && r.mtext[stray] == 0) ++stray;
        EXPECT_EQ(stray, r.mtext.size()) << "unexpected byte at mtext[" << stray << "]";
        if (c.check) c.check();
        EXPECT_EQ(daemon.lock_value(), 1);
    }
    SendFailure failing;
    for (const OpCase& c : table) {
        SCOPED_TRACE(std::string(c.name) + " (send fails)");
        EXPECT_EQ(c.call(), c.failure);
        EXPECT_EQ(daemon.lock_value(), 1);
    }
}

#include "op_table.h"

#include <string.h>

#include <gtest/gtest.h>

std::vector<unsigned char> bytes(std::initializer_list<unsigned char> b) { return b; }

std::vector<unsigned char> text(const std::string& s) {
    std::vector<unsigned char> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

namespace {

void check_limits(FakeDaemon& daemon, const OpCase& c) {
    if (c.text_field) {
        const size_t size = c.text_field;
        const std::string longest(size - 1, 'L');
        Reply fits = Reply::text(longest);
        fits.mtext.push_back('z');  // after the NUL: not part of the text
        daemon.script(fits);
        memset(c.text_out, '#', size + 1);
        EXPECT_EQ(c.call(), c.result) << "a text of " << size - 1 << " characters for a field of " << size;
        EXPECT_EQ(std::string(c.text_out, size), longest + '\0');
        EXPECT_EQ(c.text_out[size], '#');
        daemon.script(Reply::text(std::string(size, 'M')));
        memset(c.text_out, '#', size + 1);
        EXPECT_EQ(c.call(), c.failure) << "a text of " << size << " characters for a field of " << size;
        EXPECT_EQ(c.text_out[0], '#');
    }
    if (c.signed_byte) {
        daemon.script(Reply::bytes({0xFF}));
        EXPECT_EQ(c.call(), -1) << "reply byte 0xFF";
    }
}

}  // namespace

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
        check_limits(daemon, c);
        EXPECT_EQ(daemon.lock_value(), 1);
    }
    SendFailure failing;
    for (const OpCase& c : table) {
        SCOPED_TRACE(std::string(c.name) + " (send fails)");
        EXPECT_EQ(c.call(), c.failure);
        EXPECT_EQ(daemon.lock_value(), 1);
    }
}

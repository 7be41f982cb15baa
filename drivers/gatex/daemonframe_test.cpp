// daemonframe: the bind retries of the listener: a warning after every failed
// attempt (the last one included), one wait after each, then the final error.
#include "daemonframe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "test_support.h"

namespace {
int g_failures;  // attempts that fail before one succeeds
int g_attempts;
std::vector<unsigned> g_waits;
int g_waitsAllowed;  // the wait that is cut short (by a restart or termination), -1 none

int attempt(void*) {
    g_attempts++;
    if (g_attempts <= g_failures) {
        errno = EADDRINUSE;
        return -1;
    }
    return 0;
}
bool waitAfter(unsigned s) {
    g_waits.push_back(s);
    return (int)g_waits.size() != g_waitsAllowed;
}

TEST(FrameBind, RetriesLogAfterEveryFailedAttempt) {
    const std::string retry = "bind: Address already in use, retry";
    const std::string gaveUp = "bind: Address already in use, 8 times.";
    struct Case {
        int failures;
        int cutAt;  // wait that returns false, -1 none
        int result;
        int attempts;
        int retries;
        bool gaveUpLogged;
    } cases[] = {
        {0, -1, 1, 1, 0, false},
        {1, -1, 1, 2, 1, false},
        {7, -1, 1, 8, 7, false},   // the 8th attempt still binds
        {8, -1, 0, 8, 8, true},    // all 8 fail: 8 warnings, 8 waits, then the error
        {100, -1, 0, 8, 8, true},
        {100, 3, -1, 3, 3, false}, // a stop or restart during the 3rd wait
        {100, 8, -1, 8, 8, false}, // ... or during the last one: no error then
    };
    for (const Case& c : cases) {
        g_failures = c.failures;
        g_attempts = 0;
        g_waits.clear();
        g_waitsAllowed = c.cutAt;
        drvtest::LogCapture log;
        EXPECT_EQ(frame_bind_retry(attempt, nullptr, waitAfter), c.result) << c.failures;
        EXPECT_EQ(g_attempts, c.attempts) << c.failures;
        EXPECT_EQ(g_waits, std::vector<unsigned>((size_t)c.retries, kFrameBindWait)) << c.failures;
        int retries = 0, gaveUps = 0;
        for (const auto& r : log.all()) {
            if (r.text == retry && r.prio == LOG_WARNING) retries++;
            if (r.text == gaveUp && r.prio == LOG_ERR) gaveUps++;
        }
        EXPECT_EQ(retries, c.retries) << c.failures;
        EXPECT_EQ(gaveUps, c.gaveUpLogged ? 1 : 0) << c.failures;
        EXPECT_EQ(log.all().size(), (size_t)(retries + gaveUps)) << c.failures;
        if (c.gaveUpLogged) {
            EXPECT_EQ(log.all().back().text, gaveUp);
        }
    }
}
}  // namespace

// The command path allocates nothing per exchange: counted on the calling thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "link_fixture.h"

namespace {
thread_local long t_allocations = 0;
}

void *operator new(size_t size) {
    ++t_allocations;
    if (void *p = malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

class Allocations : public LinkFixture {};

TEST_F(Allocations, NonePerExchangeAtTheDefaultLogLevel) {
    open_link();
    ASSERT_EQ(g_log_level.load(), 3);
    char fw[80];
    ASSERT_EQ(com->read_version(fw), STATUS_NOERROR); // warm up
    long before = t_allocations;
    for (int i = 0; i < 200; ++i) ASSERT_EQ(com->read_version(fw), STATUS_NOERROR);
    EXPECT_EQ(t_allocations - before, 0);

    uint8_t resp[16];
    uint32_t elapsed = 0;
    before = t_allocations;
    for (int i = 0; i < 200; ++i) {
        uint32_t len = sizeof resp;
        ASSERT_EQ(com->send_command(0x49, nullptr, 0, resp, &len, 1000, &elapsed), STATUS_NOERROR);
    }
    EXPECT_EQ(t_allocations - before, 0);
}

#include <csignal>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Tests write to sockets and pipes whose peers may already be gone.
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

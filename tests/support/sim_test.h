// The fixture every test of the simulated kernel's users derives from: a
// fresh kernel before each test, and a failure naming each problem the kernel
// found (leaked pool, bad frees, open handles, requests completed twice or
// never, ...) after it.
#pragma once

#include <gtest/gtest.h>

#include "platform/sim/sim.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }

    void TearDown() override {
        std::vector<std::string> found = sim::problems();
        for (const std::string &problem : found)
            ADD_FAILURE() << "simulated kernel: " << problem;
        EXPECT_TRUE(found.empty()) << found.size() << " problem(s) left by the test";
    }
};

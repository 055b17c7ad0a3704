#pragma once
// Shared fixture of the update unit tests: a temporary directory holding the
// state file, and the process-wide run state reset around every test.

#include "update_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class UpdateStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/update-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        state_path_ = dir_ + "/.update.state";
        update_init("update");
        update_state_path = state_path_.c_str();
        run_flags.store(0);
        transfer_bytes.store(0);
        image_size.store(0);
    }
    void TearDown() override {
        update_state_path = UPDATE_STATE_FILE;
        run_flags.store(0);
        chmod(dir_.c_str(), 0700);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string state() const {
        std::ifstream in(state_path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir_;
    std::string state_path_;
};

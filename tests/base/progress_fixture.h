// A fresh progress state over a scratch device root (with its /tmp) per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "base/progress.h"
#include "sys/path.h"
#include "sys/scratch.h"

class ProgressFixture : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root_ / "tmp");
        sys::SetDeviceRoot(root_.path());
        UPDATE_ResetProgress();
    }
    void TearDown() override {
        UPDATE_ResetProgress();
        sys::SetDeviceRoot("");
    }

    ScratchDir root_;
};
